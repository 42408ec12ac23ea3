// The library on the real Windows system (under Wine in CI): discovery
// through the system's own SetupAPI and hid.dll, and the removal monitor
// with a real thread, window class, window and device notification.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "counting_system.h"
#include "device/testing.h"
#include "vantor/vantor.h"

namespace vantor::win32::testing {
namespace {

using ::testing::Each;
using ::testing::Field;
using ::testing::Gt;
using ::testing::IsEmpty;
using ::testing::SizeIs;

bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr &&
         ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The HID interface class, from hid.dll through the seam.
GUID HidClass() {
  os::System& sys = os::NativeSystem();
  GUID guid{};
  HMODULE hid = sys.LoadLibraryA("hid.dll");
  if (hid == nullptr) return guid;
  auto getGuid = reinterpret_cast<os::PFN_HidD_GetHidGuid>(
      reinterpret_cast<void (*)()>(sys.GetProcAddress(hid, "HidD_GetHidGuid")));
  if (getGuid != nullptr) getGuid(&guid);
  sys.FreeLibrary(hid);
  return guid;
}

// The HID interfaces present, counted without the library.
int PresentInterfaces(const GUID& classGuid) {
  os::System& sys = os::NativeSystem();
  HDEVINFO set = sys.SetupDiGetClassDevsA(
      &classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return -1;
  auto enumInterfaces = reinterpret_cast<os::PFN_SetupDiEnumDeviceInterfaces>(
      reinterpret_cast<void (*)()>(
          sys.GetProcAddress(sys.GetModuleHandleA("SETUPAPI.DLL"),
                             "SetupDiEnumDeviceInterfaces")));
  int count = 0;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  while (enumInterfaces != nullptr &&
         enumInterfaces(set, nullptr, &classGuid, static_cast<DWORD>(count),
                        &data) != 0) {
    ++count;
  }
  sys.SetupDiDestroyDeviceInfoList(set);
  return count;
}

// The platform's own record sizes, which the library passes as they are.
#ifdef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
static_assert(sizeof(WNDCLASSEXA) == 80);
#endif

class Win32SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::SetCurrentSystem(nullptr);
    device::InitDeviceTable();
    hid_ = HidClass();
    ASSERT_FALSE(SameGuid(hid_, GUID{})) << "hid.dll did not bind";
  }
  void TearDown() override { device::InitDeviceTable(); }

  GUID hid_{};
};

TEST_F(Win32SystemTest, ListingExaminesAndSkipsTheSystemsOwnHidDevices) {
  const int present = PresentInterfaces(hid_);
  ASSERT_GE(present, 0);
  if (UnderWine()) {
    // Wine presents HID devices of its own (a virtual mouse and keyboard).
    EXPECT_GT(present, 0);
  }

  CountingSystem counting;
  std::uint32_t length = 0;
  const std::uint32_t result = VXListDevices(nullptr, &length);
  const CountingSystem::Record calls = counting.Calls();

  if (UnderWine()) {
    EXPECT_EQ(result, VX_SUCCESS);
    EXPECT_EQ(length, 0u);
  }
  // One device set per enumeration: the HID class, then the driver's class.
  ASSERT_THAT(calls.classDevs, SizeIs(2));
  EXPECT_TRUE(SameGuid(calls.classDevs[0], hid_));
  EXPECT_TRUE(SameGuid(calls.classDevs[1], device::DriverInterfaceGuid));

  // Every HID interface was enumerated, with the platform's record size,
  // and ended by the first failure.
  std::vector<CountingSystem::InterfaceCall> hidInterfaces;
  for (const auto& call : calls.interfaces) {
    if (SameGuid(call.classGuid, hid_)) hidInterfaces.push_back(call);
  }
  ASSERT_THAT(hidInterfaces, SizeIs(present + 1));
  for (int i = 0; i < present; ++i) {
    EXPECT_TRUE(hidInterfaces[static_cast<std::size_t>(i)].ok);
  }
  EXPECT_FALSE(hidInterfaces.back().ok);
  EXPECT_THAT(calls.interfaces,
              Each(Field(&CountingSystem::InterfaceCall::cbSize,
                         sizeof(SP_DEVICE_INTERFACE_DATA))));

  // The device record at each interface's index was fetched and its
  // hardware id read: each device was examined.
  std::vector<DWORD> examined;
  for (const auto& call : calls.deviceInfos) {
    EXPECT_EQ(call.cbSize, sizeof(SP_DEVINFO_DATA));
    if (call.ok) examined.push_back(call.index);
  }
  ASSERT_THAT(examined, SizeIs(present));
  for (int i = 0; i < present; ++i) {
    EXPECT_EQ(examined[static_cast<std::size_t>(i)], static_cast<DWORD>(i));
  }
  int hardwareIdsRead = 0;
  for (const auto& call : calls.properties) {
    EXPECT_EQ(call.property, SPDRP_HARDWAREID);
    EXPECT_EQ(call.infoCbSize, sizeof(SP_DEVINFO_DATA));
    if (call.ok && call.withBuffer) ++hardwareIdsRead;
  }
  EXPECT_EQ(hardwareIdsRead, present);

  if (UnderWine()) {
    // None of Wine's devices is a token: no path was read, nothing listed.
    EXPECT_THAT(calls.details, IsEmpty());
    for (int i = 0; i < device::kUsableEntries; ++i) {
      EXPECT_EQ(device::testing::TableEntry(i).dwKind, device::SLOT_FREE);
    }
  }
}

TEST_F(Win32SystemTest, InterfaceEnumerationReadsThePathsOfTheHidClass) {
  const int present = PresentInterfaces(hid_);
  ASSERT_GE(present, 0);

  CountingSystem counting;
  device::PathList list = nullptr;
  DWORD count = device::kUsableEntries;
  // Without a hardware-id prefix every interface of the class is taken.
  ASSERT_TRUE(device::EnumInterfacePaths(hid_, nullptr, &list, &count));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(count, static_cast<DWORD>(present));
  for (DWORD i = 0; i < count; ++i) {
    const std::string path = device::PathText(list[i]);
    EXPECT_EQ(_strnicmp(path.c_str(), "\\\\?\\hid#", 8), 0) << path;
    // The header word of a path item is the detail record's size.
    EXPECT_EQ(list[i]->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  }
  EXPECT_EQ(list[count], nullptr);
  EXPECT_TRUE(device::FreePathList(list));

  // Size query then read, per interface; the read with the platform's size.
  std::vector<CountingSystem::DetailCall> reads;
  for (const auto& call : counting.Calls().details) {
    EXPECT_EQ(call.interfaceCbSize, sizeof(SP_DEVICE_INTERFACE_DATA));
    if (call.detailCbSize != 0) reads.push_back(call);
  }
  ASSERT_THAT(reads, SizeIs(present));
  EXPECT_THAT(reads, Each(Field(&CountingSystem::DetailCall::detailCbSize,
                                sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))));
  EXPECT_THAT(reads, Each(Field(&CountingSystem::DetailCall::ok, true)));
}

// The monitor's hidden window, once its thread has created it.
HWND WaitForMonitorWindow(bool present) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    HWND window =
        ::FindWindowA(device::kMonitorClassName, device::kMonitorWindowTitle);
    if ((window != nullptr) == present ||
        std::chrono::steady_clock::now() > deadline) {
      return window;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ClassRegistered() {
  WNDCLASSEXA info{};
  info.cbSize = sizeof(info);
  return ::GetClassInfoExA(::GetModuleHandleA(nullptr),
                           device::kMonitorClassName, &info) != 0;
}

TEST_F(Win32SystemTest, MonitorRunsAHiddenWindowOnItsOwnThread) {
  CountingSystem counting;
  device::StartDeviceMonitor();
  EXPECT_TRUE(device::MonitorThreadRunning());
  HWND window = WaitForMonitorWindow(true);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(::IsWindowVisible(window));
  EXPECT_NE(::GetWindowThreadProcessId(window, nullptr),
            ::GetCurrentThreadId());
  EXPECT_TRUE(ClassRegistered());
  const CountingSystem::Record calls = counting.Calls();
  EXPECT_THAT(calls.windowClassSizes, ::testing::ElementsAre(80u));
  EXPECT_THAT(calls.boundNames,
              ::testing::IsSupersetOf({"RegisterDeviceNotificationA",
                                       "UnregisterDeviceNotification"}));

  ASSERT_TRUE(device::StopDeviceMonitor());
  EXPECT_FALSE(device::MonitorThreadRunning());
  EXPECT_EQ(device::MonitorUsers(), 0);
  EXPECT_EQ(::FindWindowA(device::kMonitorClassName, nullptr), nullptr);
  EXPECT_FALSE(ClassRegistered());
  EXPECT_FALSE(device::StopDeviceMonitor());
}

TEST_F(Win32SystemTest, RemovalBroadcastClosesAndFreesTheOpenEntry) {
  // A driver token listed in entry 3 and held open by one connection. The
  // write end of a pipe stands in for its device: once it is closed, the
  // read end reports the pipe broken (handle values may be reused).
  constexpr char kPath[] =
      "\\\\?\\usb#vid_0471&pid_485d#5&1f&0&1#"
      "{171638f7-1ead-4873-ba98-c966abcf0142}";
  HANDLE reader = nullptr;
  HANDLE device = nullptr;
  ASSERT_TRUE(::CreatePipe(&reader, &device, nullptr, 0));
  {
    std::lock_guard guard(device::DeviceTableLock());
    device::SlotEntry& entry = device::testing::TableEntry(3);
    entry = device::SlotEntry{};
    entry.dwKind = device::SLOT_DRIVER;
    entry.hDevice = device;
    entry.dwOpenCount = 1;
    std::strcpy(entry.szPath, kPath);
  }
  device::StartDeviceMonitor();
  HWND window = WaitForMonitorWindow(true);
  ASSERT_NE(window, nullptr);

  // The broadcast as the system lays it out, the path in other letter case.
  std::vector<char> record(
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + sizeof(kPath));
  auto* broadcast =
      reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
  broadcast->dbcc_size = static_cast<DWORD>(record.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast->dbcc_classguid = device::DriverInterfaceGuid;
  std::memcpy(broadcast->dbcc_name, kPath, sizeof(kPath));
  _strupr(broadcast->dbcc_name);

  // An arrival changes nothing.
  EXPECT_EQ(::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                           reinterpret_cast<LPARAM>(broadcast)),
            0);
  EXPECT_EQ(device::testing::TableEntry(3).dwKind, device::SLOT_DRIVER);
  EXPECT_EQ(device::MonitorUsers(), 1);

  EXPECT_EQ(::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                           reinterpret_cast<LPARAM>(broadcast)),
            0);
  {
    std::lock_guard guard(device::DeviceTableLock());
    const device::SlotEntry& entry = device::testing::TableEntry(3);
    EXPECT_EQ(entry.dwKind, device::SLOT_FREE);
    EXPECT_EQ(entry.hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(entry.dwOpenCount, 0);
  }
  // The handle stays open, unusable, until its connection is closed, so
  // that its value cannot name a new connection meanwhile.
  DWORD available = 0;
  EXPECT_TRUE(::PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr))
      << "the device handle was closed under its connection";
  EXPECT_EQ(device::RetiredHandles(), 1);
  EXPECT_EQ(device::DisconnectSlot(device::Connection{3, device, 0}, 1),
            device::DisconnectResult::kInvalid);
  EXPECT_FALSE(
      ::PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr))
      << "the device handle was not closed";
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  ::CloseHandle(reader);
  EXPECT_EQ(device::MonitorUsers(), 0);
  // The last open token is gone: the thread ends by itself, and there is
  // nothing left to stop.
  EXPECT_FALSE(device::MonitorThreadRunning());
  EXPECT_EQ(WaitForMonitorWindow(false), nullptr);
  EXPECT_FALSE(device::StopDeviceMonitor());
}

}  // namespace
}  // namespace vantor::win32::testing
