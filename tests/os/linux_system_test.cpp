// The Linux system against a scripted HID bus: enumeration as the device
// layer walks it, opens and the share-mode rule, feature reports and their
// errors, modules and functions bound by name.
#ifdef VANTOR_HAVE_LINUX_SYSTEM

#include "os/linux/linux_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "linux_fake_hid.h"
#include "os/linux/hid_api.h"
#include "os/system.h"

namespace os {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr GUID kDriverInterfaceGuid = {
    0x171638F7,
    0x1EAD,
    0x4873,
    {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

template <typename Fn>
Fn Bind(System& sys, const char* module, const char* name) {
  FARPROC proc = sys.GetProcAddress(sys.LoadLibraryA(module), name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

TEST(LinuxHardwareIdTest, BuiltFromTheUsbNumbers) {
  EXPECT_EQ(hidraw::HardwareId(0x0471, 0x485E, 0x0100),
            "HID\\VID_0471&PID_485E&REV_0100");
  EXPECT_EQ(hidraw::HardwareId(0xABCD, 0x0001, 0xFFFF),
            "HID\\VID_ABCD&PID_0001&REV_FFFF");
  EXPECT_EQ(hidraw::HardwareId(0, 0, 0), "HID\\VID_0000&PID_0000&REV_0000");

  const std::string list = hidraw::HardwareIdList(0x0471, 0x485E, 0x0100);
  using namespace std::string_literals;
  EXPECT_EQ(list,
            "HID\\VID_0471&PID_485E&REV_0100\0HID\\VID_0471&PID_485E\0\0"s);
}

TEST(LinuxErrorMapTest, FeatureReportErrors) {
  const struct {
    int error;
    DWORD expected;
  } cases[] = {
      {ETIMEDOUT, ERROR_SEM_TIMEOUT},
      {ETIME, ERROR_SEM_TIMEOUT},
      {EAGAIN, ERROR_SEM_TIMEOUT},
      {ENODEV, ERROR_DEVICE_NOT_CONNECTED},
      {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
      {ESHUTDOWN, ERROR_DEVICE_NOT_CONNECTED},
      {EIO, ERROR_GEN_FAILURE},
      {EPIPE, ERROR_GEN_FAILURE},
      {EPROTO, ERROR_GEN_FAILURE},
      {EINVAL, ERROR_GEN_FAILURE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hidraw::FeatureReportError(c.error), c.expected) << c.error;
  }
}

TEST(LinuxErrorMapTest, OpenErrors) {
  const struct {
    int error;
    DWORD expected;
  } cases[] = {
      {ENOENT, ERROR_FILE_NOT_FOUND},   {ENODEV, ERROR_FILE_NOT_FOUND},
      {EACCES, ERROR_ACCESS_DENIED},    {EPERM, ERROR_ACCESS_DENIED},
      {EBUSY, ERROR_SHARING_VIOLATION}, {EIO, ERROR_GEN_FAILURE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hidraw::OpenError(c.error), c.expected) << c.error;
  }
}

TEST(LinuxShareModeTest, WindowsRule) {
  const struct {
    DWORD access, share, openAccess, openShare;
    bool shares;
  } cases[] = {
      // The library's opens: read and write, sharing reading only.
      {kReadWrite, FILE_SHARE_READ, kReadWrite, FILE_SHARE_READ, false},
      {kReadWrite, 0, kReadWrite, FILE_SHARE_READ, false},
      {kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, kReadWrite,
       FILE_SHARE_READ | FILE_SHARE_WRITE, true},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
      {GENERIC_READ, FILE_SHARE_READ, kReadWrite, FILE_SHARE_READ, false},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, kReadWrite,
       FILE_SHARE_READ, true},
      // An open without read or write access takes no part, either side.
      {0, 0, GENERIC_READ, FILE_SHARE_READ, true},
      {kReadWrite, 0, 0, 0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SharesWith(c.access, c.share, c.openAccess, c.openShare),
              c.shares)
        << c.access << " " << c.share << " " << c.openAccess << " "
        << c.openShare;
  }
}

class LinuxSystemTest : public ::testing::Test {
 protected:
  LinuxSystemTest() {
    auto bus = std::make_unique<hidraw::fake::Bus>();
    bus_ = bus.get();
    system_ = std::make_unique<LinuxSystem>(std::move(bus));
  }
  void SetUp() override { SetCurrentSystem(system_.get()); }
  void TearDown() override { SetCurrentSystem(nullptr); }

  LinuxSystem& sys() { return *system_; }

  // The hardware ids and paths that the device layer's walk over the HID
  // class finds, in order.
  std::vector<std::pair<std::string, std::string>> WalkHidClass() {
    auto enumInterfaces = Bind<PFN_SetupDiEnumDeviceInterfaces>(
        sys(), "SETUPAPI.DLL", "SetupDiEnumDeviceInterfaces");
    auto getDetail = Bind<PFN_SetupDiGetDeviceInterfaceDetailA>(
        sys(), "SETUPAPI.DLL", "SetupDiGetDeviceInterfaceDetailA");
    GUID hid{};
    Bind<PFN_HidD_GetHidGuid>(sys(), "hid.dll", "HidD_GetHidGuid")(&hid);

    std::vector<std::pair<std::string, std::string>> found;
    HDEVINFO set = sys().SetupDiGetClassDevsA(
        &hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!enumInterfaces(set, nullptr, &hid, i, &data)) {
        EXPECT_EQ(sys().GetLastError(), ERROR_NO_MORE_ITEMS);
        break;
      }
      SP_DEVINFO_DATA info{};
      info.cbSize = sizeof info;
      EXPECT_TRUE(sys().SetupDiEnumDeviceInfo(set, i, &info));
      DWORD size = 0;
      EXPECT_FALSE(sys().SetupDiGetDeviceRegistryPropertyA(
          set, &info, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size));
      EXPECT_EQ(sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      std::vector<BYTE> ids(size);
      DWORD type = 0;
      EXPECT_TRUE(sys().SetupDiGetDeviceRegistryPropertyA(
          set, &info, SPDRP_HARDWAREID, &type, ids.data(), size, &size));
      EXPECT_EQ(type, 7u);  // REG_MULTI_SZ

      DWORD needed = 0;
      EXPECT_FALSE(getDetail(set, &data, nullptr, 0, &needed, nullptr));
      EXPECT_EQ(sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
      std::vector<std::uint8_t> block(needed);
      auto* detail =
          reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      EXPECT_TRUE(getDetail(set, &data, detail, needed, nullptr, nullptr));
      found.emplace_back(reinterpret_cast<const char*>(ids.data()),
                         detail->DevicePath);
    }
    EXPECT_TRUE(sys().SetupDiDestroyDeviceInfoList(set));
    return found;
  }

  hidraw::fake::Bus* bus_;
  std::unique_ptr<LinuxSystem> system_;
};

TEST_F(LinuxSystemTest, NoHidDevicesEnumeratesNothing) {
  EXPECT_TRUE(WalkHidClass().empty());
  EXPECT_EQ(bus_->enumerations, 1);
}

TEST_F(LinuxSystemTest, HidClassListsEveryNodeWithItsHardwareId) {
  bus_->Add("/dev/hidraw0", 0x046D, 0xC077, 0x7200);
  bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  using Found = std::pair<std::string, std::string>;
  EXPECT_THAT(
      WalkHidClass(),
      ElementsAre(Found{"HID\\VID_046D&PID_C077&REV_7200", "/dev/hidraw0"},
                  Found{"HID\\VID_0471&PID_485E&REV_0100", "/dev/hidraw3"}));
  // The device layer's prefix, compared without regard to case.
  EXPECT_EQ(strncasecmp("HID\\Vid_0471&Pid_485e",
                        hidraw::HardwareId(0x0471, 0x485E, 0x0100).c_str(), 21),
            0);
}

TEST_F(LinuxSystemTest, DriverClassListsNothing) {
  bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  auto enumInterfaces = Bind<PFN_SetupDiEnumDeviceInterfaces>(
      sys(), "SETUPAPI.DLL", "SetupDiEnumDeviceInterfaces");
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&kDriverInterfaceGuid, nullptr, nullptr,
                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(enumInterfaces(set, nullptr, &kDriverInterfaceGuid, 0, &data));
  EXPECT_EQ(sys().GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(sys().SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(bus_->enumerations, 0);

  char names[64];
  EXPECT_EQ(sys().QueryDosDeviceA(nullptr, names, sizeof names), 0u);
}

TEST_F(LinuxSystemTest, RecordsOfTheWrongSizeAreRefused) {
  bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  auto enumInterfaces = Bind<PFN_SetupDiEnumDeviceInterfaces>(
      sys(), "SETUPAPI.DLL", "SetupDiEnumDeviceInterfaces");
  auto getDetail = Bind<PFN_SetupDiGetDeviceInterfaceDetailA>(
      sys(), "SETUPAPI.DLL", "SetupDiGetDeviceInterfaceDetailA");
  const GUID hid = kHidInterfaceClassGuid;
  HDEVINFO set = sys().SetupDiGetClassDevsA(
      &hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);

  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = 28;  // the 32-bit size, wrong on this build
  EXPECT_FALSE(enumInterfaces(set, nullptr, &hid, 0, &data));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_USER_BUFFER);

  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info - 1;
  EXPECT_FALSE(sys().SetupDiEnumDeviceInfo(set, 0, &info));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_USER_BUFFER);

  data.cbSize = sizeof data;
  ASSERT_TRUE(enumInterfaces(set, nullptr, &hid, 0, &data));
  std::uint8_t block[64] = {};
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block);
  detail->cbSize = 5;  // the 32-bit size
  EXPECT_FALSE(getDetail(set, &data, detail, sizeof block, nullptr, nullptr));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_TRUE(getDetail(set, &data, detail, sizeof block, nullptr, nullptr));
  EXPECT_STREQ(detail->DevicePath, "/dev/hidraw3");
  sys().SetupDiDestroyDeviceInfoList(set);
}

TEST_F(LinuxSystemTest, OpensKeepTheShareModeRule) {
  auto node = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  HANDLE first = sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(node->openNow, 1);
  // A handle fits the device context's 32-bit word.
  EXPECT_LT(reinterpret_cast<std::uintptr_t>(first), 0xFFFFFFFFu);

  // A second reader-writer is refused before the node is touched.
  const int opensBefore = bus_->opens;
  EXPECT_EQ(sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(sys().GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(bus_->opens, opensBefore);

  EXPECT_TRUE(sys().CloseHandle(first));
  EXPECT_EQ(node->openNow, 0);
  EXPECT_FALSE(sys().CloseHandle(first));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE again = sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(sys().CloseHandle(again));
  EXPECT_EQ(sys().OpenDevices(), 0);
}

TEST_F(LinuxSystemTest, FailedOpensMapTheirErrorAndKeepNoHandle) {
  auto node = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  node->openError = EACCES;
  EXPECT_EQ(sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(sys().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(sys().CreateFileA("/dev/hidraw9", kReadWrite, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(sys().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sys().OpenDevices(), 0);

  // A failed open does not block the next one.
  node->openError = 0;
  HANDLE handle = sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE);
  sys().CloseHandle(handle);
}

TEST_F(LinuxSystemTest, FeatureReportsPassThroughWithTheirId) {
  auto node = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  auto setFeature =
      Bind<PFN_HidD_SetFeature>(sys(), "hid.dll", "HidD_SetFeature");
  auto getFeature =
      Bind<PFN_HidD_GetFeature>(sys(), "hid.dll", "HidD_GetFeature");
  HANDLE handle = sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);

  std::uint8_t report[8] = {0x14, 0x05, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x00};
  EXPECT_TRUE(setFeature(handle, report, sizeof report));
  ASSERT_EQ(node->sent.size(), 1u);
  EXPECT_THAT(node->sent[0], ElementsAreArray(report));

  // A shorter answer than asked for is padded with zeros, its id kept.
  node->onGet = [](std::uint8_t* data, std::size_t) {
    data[1] = 2;
    data[2] = 0x90;
    data[3] = 0x00;
    return hidraw::HidResult{4, 0};
  };
  std::vector<std::uint8_t> answer(258, 0xEE);
  answer[0] = 1;
  EXPECT_TRUE(getFeature(handle, answer.data(), 258));
  std::vector<std::uint8_t> expected(258, 0);
  expected[0] = 1;
  expected[1] = 2;
  expected[2] = 0x90;
  EXPECT_THAT(answer, ElementsAreArray(expected));
  sys().CloseHandle(handle);
}

TEST_F(LinuxSystemTest, FeatureReportErrorsBecomeWindowsErrors) {
  auto node = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  auto setFeature =
      Bind<PFN_HidD_SetFeature>(sys(), "hid.dll", "HidD_SetFeature");
  auto getFeature =
      Bind<PFN_HidD_GetFeature>(sys(), "hid.dll", "HidD_GetFeature");
  HANDLE handle = sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  std::uint8_t report[258] = {1};
  for (const auto& [error, expected] :
       {std::pair{ETIMEDOUT, ERROR_SEM_TIMEOUT},
        std::pair{ENODEV, ERROR_DEVICE_NOT_CONNECTED},
        std::pair{EPIPE, ERROR_GEN_FAILURE}}) {
    node->onSend = [e = error](const std::uint8_t*, std::size_t) {
      return hidraw::HidResult{-1, e};
    };
    node->onGet = [e = error](std::uint8_t*, std::size_t) {
      return hidraw::HidResult{-1, e};
    };
    EXPECT_FALSE(setFeature(handle, report, sizeof report));
    EXPECT_EQ(sys().GetLastError(), expected);
    EXPECT_FALSE(getFeature(handle, report, sizeof report));
    EXPECT_EQ(sys().GetLastError(), expected);
  }
  sys().CloseHandle(handle);

  // A closed or unknown handle.
  EXPECT_FALSE(setFeature(handle, report, sizeof report));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(getFeature(handle, report, sizeof report));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(LinuxSystemTest, ModulesBindTheirFunctionsByName) {
  for (const char* name : {"HID.DLL", "hid", "setupapi.dll", "USER32.DLL"}) {
    EXPECT_NE(sys().LoadLibraryA(name), nullptr) << name;
  }
  EXPECT_EQ(sys().LoadLibraryA("hidx.dll"), nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_NE(sys().GetModuleHandleA(nullptr), nullptr);
  EXPECT_EQ(sys().GetModuleHandleA("SETUPAPI.DLL"),
            sys().LoadLibraryA("setupapi.dll"));

  const struct {
    const char* module;
    const char* name;
  } exports[] = {{"hid.dll", "HidD_GetHidGuid"},
                 {"hid.dll", "HidD_SetFeature"},
                 {"hid.dll", "HidD_GetFeature"},
                 {"hid.dll", "HidD_GetAttributes"},
                 {"SETUPAPI.DLL", "SetupDiEnumDeviceInterfaces"},
                 {"SETUPAPI.DLL", "SetupDiGetDeviceInterfaceDetailA"},
                 {"USER32.DLL", "RegisterDeviceNotificationA"},
                 {"USER32.DLL", "UnregisterDeviceNotification"}};
  for (const auto& e : exports) {
    EXPECT_NE(sys().GetProcAddress(sys().LoadLibraryA(e.module), e.name),
              nullptr)
        << e.name;
  }
  EXPECT_EQ(
      sys().GetProcAddress(sys().LoadLibraryA("hid.dll"), "HidD_FlushQueue"),
      nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_PROC_NOT_FOUND);
  // Functions live in their own module only.
  EXPECT_EQ(
      sys().GetProcAddress(sys().LoadLibraryA("USER32.DLL"), "HidD_SetFeature"),
      nullptr);

  GUID guid{};
  Bind<PFN_HidD_GetHidGuid>(sys(), "hid.dll", "HidD_GetHidGuid")(&guid);
  const GUID expected = {0x4D1E55B2,
                         0xF16F,
                         0x11CF,
                         {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  EXPECT_EQ(std::memcmp(&guid, &expected, sizeof guid), 0);
  EXPECT_TRUE(sys().FreeLibrary(sys().LoadLibraryA("hid.dll")));
}

TEST_F(LinuxSystemTest, ReportsWindowsXpAndHasNoDriver) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  ASSERT_TRUE(sys().GetVersionExA(&version));
  EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(version.dwMajorVersion, 5u);
  EXPECT_EQ(version.dwMinorVersion, 1u);
  version.dwOSVersionInfoSize = 156;
  EXPECT_FALSE(sys().GetVersionExA(&version));

  bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  HANDLE handle = sys().CreateFileA("/dev/hidraw3", kReadWrite, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  std::uint8_t header[8] = {0xC0, 1, 0, 0, 0, 0, 0xFF, 0};
  std::uint8_t out[512];
  DWORD returned = 0;
  EXPECT_FALSE(sys().DeviceIoControl(handle, 0x220010, header, 8, out,
                                     sizeof out, &returned, nullptr));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_FUNCTION);
  sys().CloseHandle(handle);
}

}  // namespace
}  // namespace os

#endif  // VANTOR_HAVE_LINUX_SYSTEM
