#include "form1.h"

#include <array>
#include <iterator>
#include <utility>

namespace vantor::tool::win32 {
namespace {

// One control of the window, in tab order (which is also creation order and
// so the order of the siblings).
struct ControlSpec {
  ControlId id;
  const wchar_t* windowClass;
  const wchar_t* text;
  DWORD style;
  int left, top, width, height;
};

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

const std::array<ControlSpec, 8> kControls = {{
    {RadioGroup1, L"BUTTON", L"将设备类型修改为", kChild | BS_GROUPBOX, 40, 24,
     233, 97},
    {USB, L"BUTTON", L"USB模式，需要安装驱动",
     kChild | BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 64, 56, 201, 17},
    {HID, L"BUTTON", L"HID模式，不需要安装驱动", kChild | BS_AUTORADIOBUTTON,
     64, 88, 201, 17},
    {StaticText1, L"STATIC",
     L"注意：请确保设备被插入时能够被识别。例如，如果设备原来被设置为USB模式，"
     L"则必须安装设备驱动后才能修改为HID模式。",
     kChild | SS_LEFT | WS_GROUP, 40, 144, 329, 57},
    {StaticText2, L"STATIC",
     L"另外，设备类型修改后必须重新插拔一次方能使用新的模式。",
     kChild | SS_LEFT | WS_GROUP, 40, 200, 329, 33},
    {Change, L"BUTTON", L"修改(&C)",
     kChild | BS_OWNERDRAW | WS_GROUP | WS_TABSTOP, 304, 32, 89, 25},
    {About, L"BUTTON", L"关于(&A)",
     kChild | BS_OWNERDRAW | WS_TABSTOP | WS_DISABLED, 304, 96, 89, 25},
    {BitBtn1, L"BUTTON", L"安装驱动(&I)",
     kChild | BS_OWNERDRAW | WS_TABSTOP | WS_DISABLED, 304, 64, 89, 25},
}};

constexpr DWORD kFormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kFormExStyle = 0;

HFONT MakeFont(int height, int weight, const wchar_t* face) {
  return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

// The program's icon in one size; shared, so never destroyed. Null in a
// program without the icon resource.
HICON LoadAppIcon(HINSTANCE instance, int size) {
  return static_cast<HICON>(LoadImageW(instance,
                                       MAKEINTRESOURCEW(kIconResource),
                                       IMAGE_ICON, size, size, LR_SHARED));
}

bool RegisterFormClass(HINSTANCE instance, HBRUSH background, HICON icon,
                       HICON smallIcon, WNDPROC procedure) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  if (GetClassInfoExW(instance, kFormClassName, &windowClass) != 0) {
    return true;  // a former form of this process registered it
  }
  windowClass = WNDCLASSEXW{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hIconSm = smallIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = background;
  windowClass.lpszClassName = kFormClassName;
  return RegisterClassExW(&windowClass) != 0;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

void MessageBoxSink::Show(const std::string& utf8) {
  MessageBoxW(owner_, Utf8ToWide(utf8).c_str(), kCaption, MB_OK);
}

Form1::Form1(TokenApi& api, MessageSink* sink)
    : api_(api), sink_(sink != nullptr ? sink : &own_sink_) {}

Form1::~Form1() {
  if (window_ != nullptr) {
    quit_on_close_ = false;
    DestroyWindow(window_);
  }
  if (window_font_ != nullptr) DeleteObject(window_font_);
  if (button_font_ != nullptr) DeleteObject(button_font_);
}

bool Form1::Create(HINSTANCE instance, bool quitOnClose) {
  if (window_ != nullptr) return false;
  quit_on_close_ = quitOnClose;

  // The window class and its brush live as long as the process.
  static const HBRUSH background = CreateSolidBrush(kBackground);
  background_ = background;
  window_font_ = MakeFont(-11, FW_NORMAL, L"MS Sans Serif");
  button_font_ = MakeFont(-13, FW_BOLD, L"宋体");
  if (background_ == nullptr ||
      !RegisterFormClass(instance, background_, LoadAppIcon(instance, 32),
                         LoadAppIcon(instance, 16), &Form1::WindowProc)) {
    return false;
  }

  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  window_ = CreateWindowExW(kFormExStyle, kFormClassName, kCaption, kFormStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top,
                            nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  own_sink_.SetOwner(window_);
  if (!CreateControls(instance)) {
    DestroyWindow(window_);
    return false;
  }
  focus_ = Control(USB);
  return true;
}

bool Form1::CreateControls(HINSTANCE instance) {
  for (const ControlSpec& spec : kControls) {
    HWND control =
        CreateWindowExW(0, spec.windowClass, spec.text, spec.style, spec.left,
                        spec.top, spec.width, spec.height, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
                        instance, nullptr);
    if (control == nullptr) return false;
    const bool button =
        spec.id == Change || spec.id == About || spec.id == BitBtn1;
    SendMessageW(control, WM_SETFONT,
                 reinterpret_cast<WPARAM>(button ? button_font_ : window_font_),
                 FALSE);
  }
  SendMessageW(Control(USB), BM_SETCHECK, BST_CHECKED, 0);
  return true;
}

void Form1::Show(int command) {
  RECT frame{};
  GetWindowRect(window_, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  SetWindowPos(window_, nullptr, x, y, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(window_, command);
  UpdateWindow(window_);
}

HWND Form1::Control(ControlId id) const {
  return window_ != nullptr ? GetDlgItem(window_, id) : nullptr;
}

int Form1::RunMessageLoop(HWND form) {
  MSG message{};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) return -1;
    if (form != nullptr && IsWindow(form) != 0 &&
        IsDialogMessageW(form, &message) != 0) {
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam,
                                   LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* form = static_cast<Form1*>(create->lpCreateParams);
    form->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form =
      reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    form->window_ = nullptr;
    if (form->quit_on_close_) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return form->Handle(message, wParam, lParam);
}

LRESULT Form1::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // White texts on the window's colour: notes, radio buttons and the
      // group box caption.
      auto* dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, kTextColour);
      SetBkColor(dc, kBackground);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(background_);
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlType != ODT_BUTTON) break;
      DrawButton(*item);
      return TRUE;
    }
    case WM_SETCURSOR:
      if (SetCursorFor(reinterpret_cast<HWND>(wParam), LOWORD(lParam))) {
        return TRUE;
      }
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == Change && HIWORD(wParam) == BN_CLICKED) {
        OnChange();
        return 0;
      }
      // Enter (the dialog keys' IDOK) presses the focused button, as it
      // does a push button; owner-drawn buttons do not get it themselves.
      if (LOWORD(wParam) == IDOK && GetFocus() == Control(Change)) {
        OnChange();
        return 0;
      }
      break;
    case WM_ACTIVATE:
      // A plain window does not keep its focused control as a dialog does.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focused = GetFocus();
        if (focused != nullptr && IsChild(window_, focused) != 0) {
          focus_ = focused;
        }
      } else if (focus_ != nullptr) {
        SetFocus(focus_);
        return 0;
      }
      break;
    case WM_CLOSE:
      DestroyWindow(window_);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

bool Form1::SetCursorFor(HWND target, UINT hitTest) const {
  if (hitTest != HTCLIENT) return false;
  // Disabled controls get no mouse messages: over them the window itself is
  // the target, so find the control under the pointer.
  if (target == window_) {
    POINT point{};
    GetCursorPos(&point);
    ScreenToClient(window_, &point);
    target = ChildWindowFromPointEx(window_, point, CWP_SKIPINVISIBLE);
  }
  if (target == nullptr || target == window_) return false;
  const int id = GetDlgCtrlID(target);
  const wchar_t* cursor = nullptr;
  if (id == USB || id == HID || id == Change) {
    cursor = IDC_HAND;
  } else if (id == About || id == BitBtn1) {
    cursor = IDC_HELP;
  }
  if (cursor == nullptr) return false;
  SetCursor(LoadCursorW(nullptr, cursor));
  return true;
}

void Form1::DrawButton(const DRAWITEMSTRUCT& item) const {
  HDC dc = item.hDC;
  RECT face = item.rcItem;
  const bool pushed = (item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool focused = (item.itemState & ODS_FOCUS) != 0;

  DrawFrameControl(dc, &face, DFC_BUTTON,
                   DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0u));

  wchar_t text[64] = {};
  GetWindowTextW(item.hwndItem, text, static_cast<int>(std::size(text)));
  HGDIOBJ oldFont = SelectObject(dc, button_font_);
  SetBkMode(dc, TRANSPARENT);
  // The mnemonic's underline is always drawn.
  constexpr UINT kFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  RECT caption = item.rcItem;
  if (pushed) OffsetRect(&caption, 1, 1);
  if (disabled) {
    // Embossed grey, as disabled captions are drawn.
    RECT light = caption;
    OffsetRect(&light, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
    DrawTextW(dc, text, -1, &light, kFormat);
    SetTextColor(dc, GetSysColor(COLOR_BTNSHADOW));
  } else {
    SetTextColor(dc, kButtonTextColour);
  }
  DrawTextW(dc, text, -1, &caption, kFormat);
  SelectObject(dc, oldFont);

  if (focused && !disabled) {
    RECT focus = item.rcItem;
    InflateRect(&focus, -4, -4);
    DrawFocusRect(dc, &focus);
  }
}

void Form1::OnChange() {
  const bool usb = SendMessageW(Control(USB), BM_GETCHECK, 0, 0) == BST_CHECKED;
  const Outcome outcome =
      ModeChange(api_, *sink_, usb ? TargetMode::kUsb : TargetMode::kHid);
  if (action_finished_) action_finished_(outcome);
}

}  // namespace vantor::tool::win32
