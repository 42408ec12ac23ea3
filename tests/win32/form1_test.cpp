// The Win32 mode-change window: its controls as laid out at design time,
// their colours, fonts, cursors and keys, and the Change action it forwards
// to. (The message box itself is checked by scripts/wine-gui-check.sh.) Runs on
// the real window system (under Wine in CI, with or without a display).
#include "form1.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantor::tool::win32 {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// Token calls that list `devices` tokens and record the mode byte sent.
class FakeApi final : public TokenApi {
 public:
  std::uint32_t devices = 0;
  std::vector<std::uint8_t> modeBytes;
  int closes = 0;

  std::uint32_t ListDevices(VXContext* contexts,
                            std::uint32_t* length) override {
    const std::uint32_t needed = devices * kContextBytes;
    if (contexts == nullptr || *length < needed) {
      *length = needed;
      return devices == 0 ? VX_SUCCESS : VX_BUFFER_TOO_SMALL;
    }
    *length = needed;
    return VX_SUCCESS;
  }
  std::uint32_t OpenDevice(VXContext*) override { return VX_SUCCESS; }
  std::uint32_t CloseDevice(VXContext*) override {
    ++closes;
    return VX_SUCCESS;
  }
  std::uint32_t Control(VXContext*, std::uint32_t code,
                        const std::uint8_t* input, std::uint32_t inputLength,
                        std::uint8_t*, std::uint32_t,
                        std::uint32_t* returned) override {
    if (code == VX_SET_DEVICE_MODE && inputLength == kRequestBytes) {
      modeBytes.push_back(input[0]);
    }
    *returned = 0;
    return VX_SUCCESS;
  }
};

class MessageLog final : public MessageSink {
 public:
  void Show(const std::string& utf8) override { messages.push_back(utf8); }
  std::vector<std::string> messages;
};

struct Expected {
  ControlId id;
  const wchar_t* windowClass;
  const wchar_t* text;
  RECT bounds;  // left, top, right, bottom in client pixels
};

const Expected kLayout[] = {
    {RadioGroup1, L"Button", L"将设备类型修改为", {40, 24, 273, 121}},
    {USB, L"Button", L"USB模式，需要安装驱动", {64, 56, 265, 73}},
    {HID, L"Button", L"HID模式，不需要安装驱动", {64, 88, 265, 105}},
    {StaticText1,
     L"Static",
     L"注意：请确保设备被插入时能够被识别。例如，如果设备原来被设置为USB模式，"
     L"则必须安装设备驱动后才能修改为HID模式。",
     {40, 144, 369, 201}},
    {StaticText2,
     L"Static",
     L"另外，设备类型修改后必须重新插拔一次方能使用新的模式。",
     {40, 200, 369, 233}},
    {Change, L"Button", L"修改(&C)", {304, 32, 393, 57}},
    {About, L"Button", L"关于(&A)", {304, 96, 393, 121}},
    {BitBtn1, L"Button", L"安装驱动(&I)", {304, 64, 393, 89}},
};

std::wstring Text(HWND window) {
  wchar_t buffer[256] = {};
  GetWindowTextW(window, buffer, 256);
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t buffer[64] = {};
  GetClassNameW(window, buffer, 64);
  return buffer;
}

LOGFONTW FontOf(HWND window) {
  LOGFONTW font{};
  auto handle = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  if (handle != nullptr) GetObjectW(handle, sizeof(font), &font);
  return font;
}

DWORD StyleOf(HWND window) {
  return static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
}

class Form1Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(form_.Create(GetModuleHandleW(nullptr), false));
  }

  HWND Window() const { return form_.Window(); }
  HWND Control(ControlId id) const { return form_.Control(id); }

  FakeApi api_;
  MessageLog log_;
  Form1 form_{api_, &log_};
};

TEST_F(Form1Test, WindowIsAFixedCaptionedFrameOfTheDesignSize) {
  EXPECT_EQ(ClassOf(Window()), kFormClassName);
  EXPECT_EQ(Text(Window()), L"Vantor 2.3设备类型修改工具v1.0");
  const DWORD style = StyleOf(Window());
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  RECT client{};
  GetClientRect(Window(), &client);
  EXPECT_EQ(client.right - client.left, 405);
  EXPECT_EQ(client.bottom - client.top, 249);

  // The class paints the window's colour, 16744576.
  auto brush =
      reinterpret_cast<HBRUSH>(GetClassLongPtrW(Window(), GCLP_HBRBACKGROUND));
  LOGBRUSH logBrush{};
  ASSERT_EQ(GetObjectW(brush, sizeof(logBrush), &logBrush),
            static_cast<int>(sizeof(logBrush)));
  EXPECT_EQ(logBrush.lbColor, 16744576u);
  EXPECT_EQ(logBrush.lbColor, RGB(128, 128, 255));

  // The icon resource of this program, in both sizes.
  EXPECT_NE(GetClassLongPtrW(Window(), GCLP_HICON), 0);
  EXPECT_NE(GetClassLongPtrW(Window(), GCLP_HICONSM), 0);
}

TEST_F(Form1Test, ShownAtTheCentreOfTheDesktop) {
  form_.Show(SW_SHOWNA);
  RECT frame{};
  GetWindowRect(Window(), &frame);
  EXPECT_NEAR((frame.left + frame.right) / 2.0,
              GetSystemMetrics(SM_CXSCREEN) / 2.0, 1.0);
  EXPECT_NEAR((frame.top + frame.bottom) / 2.0,
              GetSystemMetrics(SM_CYSCREEN) / 2.0, 1.0);
  EXPECT_TRUE(IsWindowVisible(Window()));
}

TEST_F(Form1Test, ControlsHaveTheirNamesTextsAndPlaces) {
  for (const Expected& expected : kLayout) {
    SCOPED_TRACE(expected.id);
    HWND control = Control(expected.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(GetParent(control), Window());
    EXPECT_EQ(ClassOf(control), expected.windowClass);
    EXPECT_EQ(Text(control), expected.text);
    RECT bounds{};
    GetWindowRect(control, &bounds);
    MapWindowPoints(nullptr, Window(), reinterpret_cast<POINT*>(&bounds), 2);
    EXPECT_EQ(bounds.left, expected.bounds.left);
    EXPECT_EQ(bounds.top, expected.bounds.top);
    EXPECT_EQ(bounds.right, expected.bounds.right);
    EXPECT_EQ(bounds.bottom, expected.bounds.bottom);
    EXPECT_TRUE(IsWindowVisible(control) || !IsWindowVisible(Window()));
  }

  // Siblings, and so the tab order, in the order of the design.
  std::vector<int> order;
  for (HWND child = GetWindow(Window(), GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    order.push_back(GetDlgCtrlID(child));
  }
  EXPECT_THAT(order, ElementsAre(RadioGroup1, USB, HID, StaticText1,
                                 StaticText2, Change, About, BitBtn1));
}

TEST_F(Form1Test, KindsStatesAndFonts) {
  EXPECT_EQ(StyleOf(Control(RadioGroup1)) & BS_TYPEMASK,
            static_cast<DWORD>(BS_GROUPBOX));
  for (ControlId id : {USB, HID}) {
    EXPECT_EQ(StyleOf(Control(id)) & BS_TYPEMASK,
              static_cast<DWORD>(BS_AUTORADIOBUTTON));
  }
  EXPECT_TRUE(StyleOf(Control(USB)) & WS_GROUP);
  EXPECT_TRUE(StyleOf(Control(USB)) & WS_TABSTOP);
  EXPECT_FALSE(StyleOf(Control(HID)) & WS_GROUP);
  EXPECT_EQ(SendMessageW(Control(USB), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(SendMessageW(Control(HID), BM_GETCHECK, 0, 0), BST_UNCHECKED);

  for (ControlId id : {Change, About, BitBtn1}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(StyleOf(Control(id)) & BS_TYPEMASK,
              static_cast<DWORD>(BS_OWNERDRAW));
    EXPECT_TRUE(StyleOf(Control(id)) & WS_TABSTOP);
    const LOGFONTW font = FontOf(Control(id));
    EXPECT_EQ(font.lfHeight, -13);
    EXPECT_EQ(font.lfWeight, FW_BOLD);
    EXPECT_STREQ(font.lfFaceName, L"宋体");
  }
  EXPECT_TRUE(IsWindowEnabled(Control(Change)));
  EXPECT_FALSE(IsWindowEnabled(Control(About)));
  EXPECT_FALSE(IsWindowEnabled(Control(BitBtn1)));

  for (ControlId id : {RadioGroup1, USB, HID, StaticText1, StaticText2}) {
    SCOPED_TRACE(id);
    const LOGFONTW font = FontOf(Control(id));
    EXPECT_EQ(font.lfHeight, -11);
    EXPECT_EQ(font.lfWeight, FW_NORMAL);
    EXPECT_STREQ(font.lfFaceName, L"MS Sans Serif");
  }
}

TEST_F(Form1Test, TextsAreWhiteOnTheWindowColour) {
  HDC dc = GetDC(Window());
  for (ControlId id : {RadioGroup1, USB, HID, StaticText1, StaticText2}) {
    SCOPED_TRACE(id);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, OPAQUE);
    const UINT message =
        ClassOf(Control(id)) == L"Static" ? WM_CTLCOLORSTATIC : WM_CTLCOLORBTN;
    auto brush = reinterpret_cast<HBRUSH>(
        SendMessageW(Window(), message, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(Control(id))));
    LOGBRUSH logBrush{};
    ASSERT_NE(GetObjectW(brush, sizeof(logBrush), &logBrush), 0);
    EXPECT_EQ(logBrush.lbColor, kBackground);
    EXPECT_EQ(GetTextColor(dc), RGB(255, 255, 255));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
  }
  ReleaseDC(Window(), dc);
}

TEST_F(Form1Test, HandOverTheActiveControlsHelpOverTheDisabledButtons) {
  const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
  const HCURSOR help = LoadCursorW(nullptr, IDC_HELP);
  for (ControlId id : {USB, HID, Change}) {
    SCOPED_TRACE(id);
    SetCursor(nullptr);
    EXPECT_EQ(SendMessageW(Window(), WM_SETCURSOR,
                           reinterpret_cast<WPARAM>(Control(id)),
                           MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              TRUE);
    EXPECT_EQ(GetCursor(), hand);
  }
  // Disabled controls get no mouse messages: the window finds them under
  // the pointer.
  form_.Show(SW_SHOWNA);
  for (ControlId id : {About, BitBtn1}) {
    SCOPED_TRACE(id);
    RECT bounds{};
    GetWindowRect(Control(id), &bounds);
    ASSERT_TRUE(SetCursorPos((bounds.left + bounds.right) / 2,
                             (bounds.top + bounds.bottom) / 2));
    SetCursor(nullptr);
    EXPECT_EQ(
        SendMessageW(Window(), WM_SETCURSOR, reinterpret_cast<WPARAM>(Window()),
                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
        TRUE);
    EXPECT_EQ(GetCursor(), help);
  }
  // Elsewhere the class cursor stays.
  EXPECT_EQ(SendMessageW(Window(), WM_SETCURSOR,
                         reinterpret_cast<WPARAM>(Control(StaticText1)),
                         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
            FALSE);
}

TEST_F(Form1Test, ChangeRunsTheActionWithTheCheckedMode) {
  std::vector<Outcome> outcomes;
  form_.SetActionFinished(
      [&](Outcome outcome) { outcomes.push_back(outcome); });

  SendMessageW(Control(Change), BM_CLICK, 0, 0);
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));

  api_.devices = 1;
  SendMessageW(Control(Change), BM_CLICK, 0, 0);
  SendMessageW(Control(HID), BM_CLICK, 0, 0);
  SendMessageW(Control(Change), BM_CLICK, 0, 0);
  EXPECT_THAT(api_.modeBytes, ElementsAre(0x00, 0xAA));
  EXPECT_EQ(api_.closes, 2);
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));
  EXPECT_THAT(outcomes, ElementsAre(Outcome::kNoDevice, Outcome::kChanged,
                                    Outcome::kChanged));

  // The disabled buttons do nothing.
  SendMessageW(Window(), WM_COMMAND, MAKEWPARAM(About, BN_CLICKED),
               reinterpret_cast<LPARAM>(Control(About)));
  SendMessageW(Window(), WM_COMMAND, MAKEWPARAM(BitBtn1, BN_CLICKED),
               reinterpret_cast<LPARAM>(Control(BitBtn1)));
  EXPECT_THAT(outcomes, SizeIs(3));
}

// A key as the message loop receives it, offered to the dialog keys.
bool DialogKey(HWND form, UINT message, WPARAM key) {
  MSG msg{};
  msg.hwnd = GetFocus() != nullptr ? GetFocus() : form;
  msg.message = message;
  msg.wParam = key;
  msg.lParam = message == WM_SYSCHAR ? (1 << 29) | 1 : 1;
  return IsDialogMessageW(form, &msg) != 0;
}

TEST_F(Form1Test, TabOrderAndMnemonics) {
  form_.Show(SW_SHOWNORMAL);
  SetForegroundWindow(Window());
  SetFocus(Control(USB));
  ASSERT_EQ(GetFocus(), Control(USB));

  // Tab: the checked radio button, then Change; the disabled buttons and
  // the texts are passed over.
  EXPECT_TRUE(DialogKey(Window(), WM_KEYDOWN, VK_TAB));
  EXPECT_EQ(GetFocus(), Control(Change));
  EXPECT_TRUE(DialogKey(Window(), WM_KEYDOWN, VK_TAB));
  EXPECT_EQ(GetFocus(), Control(USB));

  // Alt+C clicks Change; Alt+A and Alt+I reach disabled buttons: nothing.
  std::vector<Outcome> outcomes;
  form_.SetActionFinished(
      [&](Outcome outcome) { outcomes.push_back(outcome); });
  DialogKey(Window(), WM_SYSCHAR, 'a');
  DialogKey(Window(), WM_SYSCHAR, 'i');
  EXPECT_THAT(outcomes, IsEmpty());
  DialogKey(Window(), WM_SYSCHAR, 'c');
  EXPECT_THAT(outcomes, ElementsAre(Outcome::kNoDevice));
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));

  // Enter presses the focused Change button, and nothing elsewhere.
  SetFocus(Control(USB));
  DialogKey(Window(), WM_KEYDOWN, VK_RETURN);
  EXPECT_THAT(outcomes, SizeIs(1));
  SetFocus(Control(Change));
  DialogKey(Window(), WM_KEYDOWN, VK_RETURN);
  EXPECT_THAT(outcomes, SizeIs(2));
}

TEST(Win32TextTest, Utf8BecomesUtf16) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(Utf8ToWide("设备没有找到!"), L"设备没有找到!");
  EXPECT_EQ(Utf8ToWide("修改模式失败，错误代码<0x00006A81>"),
            L"修改模式失败，错误代码<0x00006A81>");
  // A byte that begins no sequence stands as U+FFFD.
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            L"a\xFFFD"
            L"b");
}

// The application icon: one resource with the two pictures, 32 x 32 and
// 16 x 16 pixels of 16 colours.
TEST(IconResourceTest, HasBothSizesInSixteenColours) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kIconResource),
                                 MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_NE(resource, nullptr);
#pragma pack(push, 2)
  struct Entry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
  };
  struct Directory {
    WORD reserved, type, count;
    Entry entries[2];
  };
#pragma pack(pop)
  ASSERT_GE(SizeofResource(module, resource), sizeof(Directory));
  const auto* directory = static_cast<const Directory*>(
      LockResource(LoadResource(module, resource)));
  ASSERT_NE(directory, nullptr);
  EXPECT_EQ(directory->type, 1);
  ASSERT_EQ(directory->count, 2);
  const int sizes[2] = {32, 16};
  for (int i = 0; i < 2; ++i) {
    const Entry& entry = directory->entries[i];
    EXPECT_EQ(entry.width, sizes[i]);
    EXPECT_EQ(entry.height, sizes[i]);
    EXPECT_EQ(entry.colours, 16);
    EXPECT_EQ(entry.bitCount, 4);
    HICON icon =
        static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(kIconResource),
                                      IMAGE_ICON, sizes[i], sizes[i], 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour{};
    GetObjectW(info.hbmColor, sizeof(colour), &colour);
    EXPECT_EQ(colour.bmWidth, sizes[i]);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

}  // namespace
}  // namespace vantor::tool::win32
