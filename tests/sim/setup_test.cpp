// The machine as seen by discovery: version, modules and binding by name,
// device setup sets, DOS device names and LocalAlloc.
#include <cstring>
#include <string>
#include <vector>

#include "sim_test_support.h"

namespace {

using simtest::Bound;
using simtest::kDriverClass;
using simtest::kHidClass;
using Machine = vantor::sim::TestMachine;
using vantor::sim::MachineFaults;
using vantor::sim::OsVersion;
using vantor::sim::TokenConfig;
using vantor::sim::TokenMode;

constexpr DWORD kAnyFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

TEST(SimVersion, ReportsEachSystemAndChecksTheRecordSize) {
  struct Row {
    OsVersion version;
    DWORD platform, major, minor;
  };
  const Row rows[] = {{OsVersion::WindowsNt4, 2, 4, 0},
                      {OsVersion::Windows98, 1, 4, 10},
                      {OsVersion::Windows2000, 2, 5, 0},
                      {OsVersion::WindowsXp, 2, 5, 1}};
  for (const Row& row : rows) {
    Machine machine(row.version);
    machine.Install();
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(os::Sys().GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, row.platform);
    EXPECT_EQ(info.dwMajorVersion, row.major);
    EXPECT_EQ(info.dwMinorVersion, row.minor);

    info.dwOSVersionInfoSize = sizeof(info) + 8;
    EXPECT_FALSE(os::Sys().GetVersionExA(&info));
  }
  EXPECT_EQ(sizeof(OSVERSIONINFOA), 148u);
}

TEST(SimMachine, InstallAndDestructionRestoreTheNativeSystem) {
  os::System* native = &os::Sys();
  {
    Machine machine;
    machine.Install();
    EXPECT_NE(&os::Sys(), native);
    machine.Uninstall();
    EXPECT_EQ(&os::Sys(), native);
    machine.Install();
  }
  EXPECT_EQ(&os::Sys(), native);
}

class SimBinding : public simtest::MachineTest {};

TEST_F(SimBinding, ModulesLoadByNameInAnyCaseAndCountReferences) {
  EXPECT_NE(sys().GetModuleHandleA(nullptr), nullptr);
  EXPECT_NE(sys().GetModuleHandleA("setupapi.dll"), nullptr);
  EXPECT_EQ(sys().GetModuleHandleA("SETUPAPI.DLL"),
            sys().GetModuleHandleA("SetupApi"));
  // "hid.dll" is not there until loaded.
  EXPECT_EQ(sys().GetModuleHandleA("hid.dll"), nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_MOD_NOT_FOUND);

  HMODULE hid = sys().LoadLibraryA("HID.DLL");
  ASSERT_NE(hid, nullptr);
  EXPECT_EQ(sys().LoadLibraryA("hid.dll"), hid);
  HMODULE user32 = sys().LoadLibraryA("USER32.DLL");
  ASSERT_NE(user32, nullptr);
  EXPECT_EQ(machine().Counters().loadedLibraries, 3);
  EXPECT_EQ(sys().GetModuleHandleA("hid.dll"), hid);

  EXPECT_TRUE(sys().FreeLibrary(hid));
  EXPECT_TRUE(sys().FreeLibrary(hid));
  EXPECT_TRUE(sys().FreeLibrary(user32));
  EXPECT_FALSE(sys().FreeLibrary(hid));  // no reference left
  EXPECT_EQ(machine().Counters().loadedLibraries, 0);
  EXPECT_EQ(sys().GetProcAddress(hid, "HidD_GetHidGuid"), nullptr);

  EXPECT_EQ(sys().LoadLibraryA("nosuch.dll"), nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(SimBinding, BindsTheNamedFunctionsOfEachModuleOnly) {
  HMODULE hid = sys().LoadLibraryA("hid.dll");
  HMODULE setupapi = sys().GetModuleHandleA("SETUPAPI.DLL");
  HMODULE user32 = sys().LoadLibraryA("USER32.DLL");
  for (const char* name :
       {"HidD_GetHidGuid", "HidD_GetFeature", "HidD_SetFeature"}) {
    EXPECT_NE(sys().GetProcAddress(hid, name), nullptr) << name;
    EXPECT_EQ(sys().GetProcAddress(setupapi, name), nullptr) << name;
  }
  for (const char* name :
       {"SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"}) {
    EXPECT_NE(sys().GetProcAddress(setupapi, name), nullptr) << name;
  }
  for (const char* name :
       {"RegisterDeviceNotificationA", "UnregisterDeviceNotification"}) {
    EXPECT_NE(sys().GetProcAddress(user32, name), nullptr) << name;
  }
  EXPECT_EQ(sys().GetProcAddress(hid, "hidd_gethidguid"), nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_PROC_NOT_FOUND);

  GUID guid{};
  simtest::Bind<os::PFN_HidD_GetHidGuid>(hid, "HidD_GetHidGuid")(&guid);
  EXPECT_EQ(std::memcmp(&guid, &kHidClass, sizeof(GUID)), 0);
}

TEST_F(SimBinding, FaultsLeaveTheLibraryOrAFunctionUnbound) {
  MachineFaults faults;
  faults.hidLibraryMissing = true;
  faults.unboundFunction = "SetupDiEnumDeviceInterfaces";
  machine().SetFaults(faults);
  EXPECT_EQ(sys().LoadLibraryA("hid.dll"), nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_MOD_NOT_FOUND);
  HMODULE setupapi = sys().GetModuleHandleA("SETUPAPI.DLL");
  EXPECT_EQ(sys().GetProcAddress(setupapi, "SetupDiEnumDeviceInterfaces"),
            nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_NE(sys().GetProcAddress(setupapi, "SetupDiGetDeviceInterfaceDetailA"),
            nullptr);
}

TEST(SimBindingNt4, HasNoHidLibraryAndNoDeviceNotifications) {
  Machine machine(OsVersion::WindowsNt4);
  machine.Install();
  EXPECT_EQ(os::Sys().LoadLibraryA("hid.dll"), nullptr);
  HMODULE user32 = os::Sys().LoadLibraryA("USER32.DLL");
  EXPECT_EQ(os::Sys().GetProcAddress(user32, "RegisterDeviceNotificationA"),
            nullptr);
  os::Sys().FreeLibrary(user32);
}

TEST(SimBindingUninstalled, TrampolinesFailWithoutAMachine) {
  os::PFN_HidD_SetFeature setFeature = nullptr;
  {
    Machine machine;
    machine.Install();
    HMODULE hid = os::Sys().LoadLibraryA("hid.dll");
    setFeature = simtest::Bind<os::PFN_HidD_SetFeature>(hid, "HidD_SetFeature");
    ASSERT_NE(setFeature, nullptr);
  }
  std::uint8_t report[258] = {0x80};
  EXPECT_FALSE(setFeature(reinterpret_cast<HANDLE>(0x100), report, 258));
  EXPECT_EQ(os::Sys().GetLastError(), ERROR_INVALID_FUNCTION);
}

class SimSetup : public simtest::MachineTest {
 protected:
  Bound b = simtest::BindAll();
};

TEST_F(SimSetup, EnumeratesTokensAndForeignDevicesInPlugOrderByClass) {
  const auto hid1 = machine().Plug({});
  machine().PlugForeignHid("HID\\VID_046D&PID_C52B&REV_1200");
  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  const auto drv = machine().Plug(usb);
  const auto hid2 = machine().Plug({});

  const auto hid = simtest::Enumerate(b, kHidClass);
  ASSERT_EQ(hid.size(), 3u);
  EXPECT_EQ(hid[0].path, machine().Token(hid1).path);
  EXPECT_EQ(hid[0].hardwareId, "HID\\VID_0471&PID_485E&REV_0100");
  EXPECT_EQ(hid[1].hardwareId, "HID\\VID_046D&PID_C52B&REV_1200");
  EXPECT_EQ(hid[2].path, machine().Token(hid2).path);
  EXPECT_NE(hid[0].path, hid[2].path);
  for (const auto& f : hid) {
    EXPECT_EQ(f.path.rfind("{4d1e55b2-f16f-11cf-88cb-001111000030}"),
              f.path.size() - 38)
        << f.path;
  }

  const auto driver = simtest::Enumerate(b, kDriverClass);
  ASSERT_EQ(driver.size(), 1u);
  EXPECT_EQ(driver[0].path, machine().Token(drv).path);
  EXPECT_EQ(driver[0].path.rfind("{171638f7-1ead-4873-ba98-c966abcf0142}"),
            driver[0].path.size() - 38);

  // A re-plugged token comes last.
  machine().Replug(hid1);
  const auto again = simtest::Enumerate(b, kHidClass);
  ASSERT_EQ(again.size(), 3u);
  EXPECT_EQ(again[2].path, machine().Token(hid1).path);
}

TEST_F(SimSetup, SetIsASnapshotAndEndsWithNoMoreItems) {
  machine().Plug({});
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kAnyFlags);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine().Counters().deviceSets, 1);
  machine().Plug({});  // not in the set taken before
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_TRUE(b.enumInterfaces(set, nullptr, &kHidClass, 0, &data));
  EXPECT_FALSE(b.enumInterfaces(set, nullptr, &kHidClass, 1, &data));
  EXPECT_EQ(sys().GetLastError(), ERROR_NO_MORE_ITEMS);
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  EXPECT_FALSE(sys().SetupDiEnumDeviceInfo(set, 1, &info));
  EXPECT_EQ(sys().GetLastError(), ERROR_NO_MORE_ITEMS);

  EXPECT_TRUE(sys().SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(sys().SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(machine().Counters().deviceSets, 0);
}

TEST_F(SimSetup, RefusesRecordsWhoseSizeWordIsNotThePlatformsSize) {
  machine().Plug({});
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kAnyFlags);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data) + 4;
  EXPECT_FALSE(b.enumInterfaces(set, nullptr, &kHidClass, 0, &data));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_USER_BUFFER);
  data.cbSize = sizeof(data);
  ASSERT_TRUE(b.enumInterfaces(set, nullptr, &kHidClass, 0, &data));

  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info) - 4;
  EXPECT_FALSE(sys().SetupDiEnumDeviceInfo(set, 0, &info));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_USER_BUFFER);

  std::uint64_t storage[64] = {};
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
  detail->cbSize = 1;
  EXPECT_FALSE(
      b.interfaceDetail(set, &data, detail, sizeof(storage), nullptr, nullptr));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_TRUE(
      b.interfaceDetail(set, &data, detail, sizeof(storage), nullptr, nullptr));
  sys().SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetup, DetailReportsItsSizeAndRefusesASmallerBuffer) {
  const auto token = machine().Plug({});
  const std::string path = machine().Token(token).path;
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kAnyFlags);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(b.enumInterfaces(set, nullptr, &kHidClass, 0, &data));

  DWORD required = 0;
  EXPECT_FALSE(b.interfaceDetail(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  const DWORD expected = static_cast<DWORD>(
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() +
      1);
  EXPECT_EQ(required, expected);

  std::vector<std::uint64_t> storage(required / 8 + 2, 0);
  auto* detail =
      reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(
      b.interfaceDetail(set, &data, detail, required - 1, nullptr, nullptr));
  EXPECT_EQ(sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(
      b.interfaceDetail(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(detail->DevicePath), path);
  sys().SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetup, HardwareIdPropertyIsAMultiStringWithItsSizeRule) {
  TokenConfig config;
  config.hardwareId = "HID\\Vid_0471&Pid_485e&Rev_0200";
  machine().Plug(config);
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kAnyFlags);
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  ASSERT_TRUE(sys().SetupDiEnumDeviceInfo(set, 0, &info));

  const std::string expected = std::string("HID\\Vid_0471&Pid_485e&Rev_0200") +
                               '\0' + "HID\\Vid_0471&Pid_485e" + '\0' + '\0';
  DWORD required = 0;
  DWORD type = 0;
  EXPECT_FALSE(sys().SetupDiGetDeviceRegistryPropertyA(
      set, &info, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
  EXPECT_EQ(sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, expected.size());

  std::vector<BYTE> buffer(required);
  EXPECT_FALSE(sys().SetupDiGetDeviceRegistryPropertyA(
      set, &info, SPDRP_HARDWAREID, &type, buffer.data(), required - 1,
      &required));
  EXPECT_EQ(sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_TRUE(sys().SetupDiGetDeviceRegistryPropertyA(
      set, &info, SPDRP_HARDWAREID, &type, buffer.data(), required, &required));
  EXPECT_EQ(type, 7u);  // REG_MULTI_SZ
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected);

  // Another property is not there.
  EXPECT_FALSE(sys().SetupDiGetDeviceRegistryPropertyA(
      set, &info, 0, &type, buffer.data(), required, &required));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_DATA);
  sys().SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SimSetup, EnumerationFaults) {
  machine().Plug({});
  machine().Plug({});
  machine().Plug({});
  MachineFaults faults;
  faults.enumerationFailsAt = 1;
  machine().SetFaults(faults);
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kAnyFlags);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_TRUE(b.enumInterfaces(set, nullptr, &kHidClass, 0, &data));
  EXPECT_FALSE(b.enumInterfaces(set, nullptr, &kHidClass, 1, &data));
  EXPECT_NE(sys().GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(b.enumInterfaces(set, nullptr, &kHidClass, 2, &data));
  sys().SetupDiDestroyDeviceInfoList(set);

  faults.classDevsFails = true;
  machine().SetFaults(faults);
  EXPECT_EQ(sys().SetupDiGetClassDevsA(&kHidClass, nullptr, nullptr, kAnyFlags),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine().Counters().deviceSets, 0);
}

TEST_F(SimSetup, PathOverridesAndSetPathChangeWhatIsEnumeratedAndOpened) {
  TokenConfig config;
  config.path = "\\\\?\\hid#custom#1";
  const auto token = machine().Plug(config);
  EXPECT_EQ(simtest::Enumerate(b, kHidClass).at(0).path, "\\\\?\\hid#custom#1");

  const std::string longPath = "\\\\?\\hid#" + std::string(300, 'x');
  machine().SetPath(token, longPath);
  EXPECT_EQ(simtest::Enumerate(b, kHidClass).at(0).path, longPath);
  EXPECT_EQ(machine().Token(token).path, longPath);

  // Paths are compared without regard to letter case.
  machine().SetPath(token, "\\\\?\\HID#Custom#2");
  HANDLE h = simtest::Open("\\\\?\\hid#CUSTOM#2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(sys().CloseHandle(h));
}

TEST(SimSetupNt4, ListsNoInterfacesButDosNamesOfUsbTokens) {
  Machine machine(OsVersion::WindowsNt4);
  machine.Install();
  Bound b = simtest::BindAll();
  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  machine.Plug(usb);
  usb.dosName = "kelVRA2-Second";
  const auto second = machine.Plug(usb);
  machine.Plug({});  // HID: nothing on NT 4
  EXPECT_TRUE(simtest::Enumerate(b, kDriverClass).empty());
  EXPECT_TRUE(simtest::Enumerate(b, kHidClass).empty());

  std::vector<char> buffer(32768);
  const DWORD n = os::Sys().QueryDosDeviceA(nullptr, buffer.data(),
                                            static_cast<DWORD>(buffer.size()));
  ASSERT_GT(n, 0u);
  std::vector<std::string> names;
  for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) {
    names.emplace_back(p);
  }
  EXPECT_EQ(n, [&] {
    DWORD total = 1;
    for (const auto& name : names) total += static_cast<DWORD>(name.size()) + 1;
    return total;
  }());
  const std::vector<std::string> expected = {
      "C:", "COM1", "PhysicalDrive0", "Kelvra2-1", "kelVRA2-Second", "NUL"};
  EXPECT_EQ(names, expected);

  EXPECT_EQ(os::Sys().QueryDosDeviceA(nullptr, buffer.data(), n - 1), 0u);
  EXPECT_EQ(os::Sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  // "\\.\" and the name, in any case, open the token.
  EXPECT_EQ(machine.Token(second).path, "\\\\.\\kelVRA2-Second");
  HANDLE h = simtest::Open("\\\\.\\KELVRA2-SECOND");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.Token(second).openHandles, 1);
  EXPECT_TRUE(os::Sys().CloseHandle(h));

  MachineFaults faults;
  faults.dosDeviceQueryFails = true;
  machine.SetFaults(faults);
  EXPECT_EQ(os::Sys().QueryDosDeviceA(nullptr, buffer.data(), 32768), 0u);
}

TEST_F(SimSetup, LocalAllocZeroesCountsAndFailsOnRequest) {
  auto* block = static_cast<std::uint8_t*>(sys().LocalAlloc(LMEM_ZEROINIT, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
  EXPECT_EQ(machine().Counters().liveAllocations, 1);

  MachineFaults faults;
  faults.allocationFailuresAfter = 1;
  machine().SetFaults(faults);
  void* second = sys().LocalAlloc(LMEM_FIXED, 8);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(sys().LocalAlloc(LMEM_ZEROINIT, 8), nullptr);
  EXPECT_EQ(sys().GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(machine().GetFaults().allocationFailuresAfter, 0);

  EXPECT_EQ(sys().LocalFree(block), nullptr);
  EXPECT_EQ(sys().LocalFree(second), nullptr);
  EXPECT_EQ(sys().LocalFree(second), second);  // not a live block
  const auto counters = machine().Counters();
  EXPECT_EQ(counters.allocations, 2);
  EXPECT_EQ(counters.liveAllocations, 0);
}

}  // namespace
