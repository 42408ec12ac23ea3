// vantor-window-probe: looks at a running mode-change window from another
// process, for the checks that drive the program under Wine and Xvfb.
//
//   vantor-window-probe [--wait <seconds>] <command>
//
//   form                rectangle of the window
//   control <id>        rectangle of a control
//   messagebox          rectangle, then text, of its message box
//   dismiss             presses the message box's OK
//   close               closes the window
//
// Rectangles are "left top width height" in screen pixels; texts are UTF-8.
// Each waits for what it looks for (30 seconds unless --wait says), exit
// code 1 when it does not appear.
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>

#include "form1.h"

namespace {

using vantor::tool::win32::kCaption;
using vantor::tool::win32::kFormClassName;

long g_waitSeconds = 30;

template <typename Find>
HWND WaitFor(Find find) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(g_waitSeconds);
  for (;;) {
    HWND window = find();
    if (window != nullptr && IsWindowVisible(window) != 0) return window;
    if (std::chrono::steady_clock::now() > deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

HWND Form() {
  return WaitFor([] { return FindWindowW(kFormClassName, kCaption); });
}

HWND MessageBoxWindow() {
  return WaitFor([] { return FindWindowW(L"#32770", kCaption); });
}

void PrintRect(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
              r.bottom - r.top);
}

void PrintText(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  char utf8[2048] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr,
                      nullptr);
  std::printf("%s\n", utf8);
}

int Fail(const char* what) {
  std::fprintf(stderr, "vantor-window-probe: %s not found\n", what);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc > 2 && std::wstring(argv[1]) == L"--wait") {
    g_waitSeconds = std::wcstol(argv[2], nullptr, 10);
    argv += 2;
    argc -= 2;
  }
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"form") {
    HWND form = Form();
    if (form == nullptr) return Fail("the window");
    PrintRect(form);
  } else if (command == L"control" && argc > 2) {
    HWND form = Form();
    if (form == nullptr) return Fail("the window");
    HWND control = GetDlgItem(form, std::wcstol(argv[2], nullptr, 10));
    if (control == nullptr) return Fail("the control");
    PrintRect(control);
  } else if (command == L"messagebox") {
    HWND box = MessageBoxWindow();
    if (box == nullptr) return Fail("the message box");
    PrintRect(box);
    PrintText(GetDlgItem(box, 0xFFFF));
  } else if (command == L"dismiss") {
    HWND box = MessageBoxWindow();
    if (box == nullptr) return Fail("the message box");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  } else if (command == L"close") {
    HWND form = Form();
    if (form == nullptr) return Fail("the window");
    PostMessageW(form, WM_CLOSE, 0, 0);
  } else {
    std::fprintf(stderr,
                 "usage: vantor-window-probe [--wait <seconds>] form | "
                 "control <id> | messagebox | dismiss | close\n");
    return 2;
  }
  std::fflush(stdout);
  return 0;
}
