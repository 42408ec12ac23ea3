// The mode-change window drawn with the Win32 controls: a fixed window with
// a framed pair of radio buttons for the target mode, two notes, and the
// Change button that runs the Change action. Texts are UTF-16 (the wide
// window calls), messages appear in a modal MessageBoxW.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <string>

#include "mode_change.h"

namespace vantor::tool::win32 {

// Caption of the window; also the title of its message boxes.
inline constexpr wchar_t kCaption[] = L"Vantor 2.3设备类型修改工具v1.0";
// Window class of the form.
inline constexpr wchar_t kFormClassName[] = L"TForm1";

// The window's background, a colour value in blue-green-red byte order: red
// 128, green 128, blue 255.
inline constexpr COLORREF kBackground = 16744576;
inline constexpr COLORREF kTextColour = RGB(255, 255, 255);
inline constexpr COLORREF kButtonTextColour = RGB(255, 0, 0);

// Client area at 96 dpi.
inline constexpr int kClientWidth = 405;
inline constexpr int kClientHeight = 249;

// Identifier of the application icon resource (32 x 32 and 16 x 16).
inline constexpr int kIconResource = 1;

// The controls' identifiers, named after the controls; in tab order.
enum ControlId : int {
  RadioGroup1 = 101,
  USB,
  HID,
  StaticText1,
  StaticText2,
  Change,
  About,
  BitBtn1,
};

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& utf8);

// Shows each message in a modal MessageBoxW with one OK button, owned by a
// window (or none) and titled with the caption.
class MessageBoxSink final : public MessageSink {
 public:
  explicit MessageBoxSink(HWND owner = nullptr) : owner_(owner) {}
  void SetOwner(HWND owner) { owner_ = owner; }
  void Show(const std::string& utf8) override;

 private:
  HWND owner_;
};

class Form1 {
 public:
  // `api` (and `sink`, when given) must outlive the form. Without a sink the
  // form shows its messages in message boxes of its own.
  explicit Form1(TokenApi& api, MessageSink* sink = nullptr);
  ~Form1();
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Creates the window, hidden, with its controls; false when the window or
  // a control cannot be created. `quitOnClose`: closing the window ends the
  // thread's message loop.
  bool Create(HINSTANCE instance, bool quitOnClose = true);
  // Moves the window to the centre of the desktop and shows it.
  void Show(int command = SW_SHOWNORMAL);

  HWND Window() const { return window_; }
  HWND Control(ControlId id) const;

  // Called when a Change action has ended, after any message was dismissed.
  void SetActionFinished(std::function<void(Outcome)> callback) {
    action_finished_ = std::move(callback);
  }

  // Runs the thread's message loop with the dialog keys (tab order, arrow
  // keys in the radio group, mnemonics) for `form`, until WM_QUIT. Returns
  // the quit code.
  static int RunMessageLoop(HWND form);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  bool CreateControls(HINSTANCE instance);
  void DrawButton(const DRAWITEMSTRUCT& item) const;
  bool SetCursorFor(HWND target, UINT hitTest) const;
  void OnChange();

  TokenApi& api_;
  MessageBoxSink own_sink_;
  MessageSink* sink_;
  std::function<void(Outcome)> action_finished_;
  bool quit_on_close_ = true;

  HWND window_ = nullptr;
  HWND focus_ = nullptr;  // control to give the focus back to on activation
  HBRUSH background_ = nullptr;
  HFONT window_font_ = nullptr;
  HFONT button_font_ = nullptr;
};

}  // namespace vantor::tool::win32
