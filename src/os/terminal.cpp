#include "os/terminal.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace os {

bool IsTerminal(int fd) {
#ifdef _WIN32
  return _isatty(fd) != 0;
#else
  return isatty(fd) != 0;
#endif
}

void SetEcho(int fd, bool on) {
  if (!IsTerminal(fd)) return;
#ifdef _WIN32
  const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    return;
  }
  mode = on ? (mode | ENABLE_ECHO_INPUT) : (mode & ~DWORD{ENABLE_ECHO_INPUT});
  SetConsoleMode(console, mode);
#else
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  if (on) {
    settings.c_lflag |= ECHO;
  } else {
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  tcsetattr(fd, TCSANOW, &settings);
#endif
}

void UseBinaryStdin() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
}

}  // namespace os
