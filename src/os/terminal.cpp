#include "os/terminal.h"

#include <iterator>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace os {

#ifdef _WIN32
namespace {

// The console's mode from before its echo was turned off, put back when
// Ctrl+C, Ctrl+Break or closing the console ends the program while a secret
// is typed.
HANDLE g_console = INVALID_HANDLE_VALUE;
DWORD g_mode = 0;
volatile LONG g_hidden = 0;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_hidden != 0) SetConsoleMode(g_console, g_mode);
  return FALSE;  // the event's own handling (the end) follows
}

}  // namespace
#else
namespace {

// The terminal's settings from before its echo was turned off, put back
// when a signal ends or stops the program while a secret is typed (the
// shell does not always restore them).
volatile std::sig_atomic_t g_hidden = 0;  // `g_settings` is to be restored
int g_fd = -1;
termios g_settings{};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGTSTP};
struct sigaction g_previous[4];
struct sigaction g_previousContinue;

void OnContinue(int);

void OnSignal(int signal) {
  const int saved = errno;
  if (g_hidden != 0) tcsetattr(g_fd, TCSANOW, &g_settings);
  // The signal's own action (end or stop) follows when this returns.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);
  errno = saved;
}

void Catch(int signal, void (*handler)(int), struct sigaction* previous) {
  struct sigaction action {};
  action.sa_handler = handler;
  // The read of the secret goes on after a stop rather than failing.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, previous);
  // A signal the program was started to ignore stays ignored.
  if (previous != nullptr && previous->sa_handler == SIG_IGN) {
    sigaction(signal, previous, nullptr);
  }
}

// Back after a stop: the secret is still being typed, so the echo goes off
// again and the next stop is caught again.
void OnContinue(int) {
  const int saved = errno;
  if (g_hidden != 0) {
    termios quiet = g_settings;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(g_fd, TCSANOW, &quiet);
    Catch(SIGTSTP, OnSignal, nullptr);
  }
  errno = saved;
}

void HideEcho(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  g_fd = fd;
  g_settings = settings;
  g_hidden = 1;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    Catch(kSignals[i], OnSignal, &g_previous[i]);
  }
  Catch(SIGCONT, OnContinue, &g_previousContinue);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(fd, TCSANOW, &settings);
}

void ShowEcho(int fd) {
  if (g_hidden == 0 || fd != g_fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return;
    settings.c_lflag |= ECHO;
    tcsetattr(fd, TCSANOW, &settings);
    return;
  }
  tcsetattr(fd, TCSANOW, &g_settings);
  g_hidden = 0;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
  sigaction(SIGCONT, &g_previousContinue, nullptr);
}

}  // namespace
#endif

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
  if (on) {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_hidden = 0;
    SetConsoleMode(console, mode | ENABLE_ECHO_INPUT);
    return;
  }
  g_console = console;
  g_mode = mode;
  g_hidden = 1;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  SetConsoleMode(console, mode & ~DWORD{ENABLE_ECHO_INPUT});
#else
  if (on) {
    ShowEcho(fd);
  } else {
    HideEcho(fd);
  }
#endif
}

void UseBinaryStdin() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
#endif
}

}  // namespace os
