// Shared helpers of the simulated machine's tests: they reach the machine
// the way the device layer does, through os::Sys() and functions bound by
// name.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/system.h"
#include "sim/testing.h"

namespace simtest {

inline const GUID kHidClass = {
    0x4D1E55B2,
    0xF16F,
    0x11CF,
    {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
inline const GUID kDriverClass = {
    0x171638F7,
    0x1EAD,
    0x4873,
    {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};

using Bytes = std::vector<std::uint8_t>;

// Heap allocations made through operator new so far in this program.
long Allocations();

template <typename Fn>
Fn Bind(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void (*)()>(os::Sys().GetProcAddress(module, name)));
}

// The functions the device layer binds by name.
struct Bound {
  os::PFN_HidD_GetHidGuid getHidGuid = nullptr;
  os::PFN_HidD_GetFeature getFeature = nullptr;
  os::PFN_HidD_SetFeature setFeature = nullptr;
  os::PFN_SetupDiEnumDeviceInterfaces enumInterfaces = nullptr;
  os::PFN_SetupDiGetDeviceInterfaceDetailA interfaceDetail = nullptr;
  os::PFN_RegisterDeviceNotificationA registerNotification = nullptr;
  os::PFN_UnregisterDeviceNotification unregisterNotification = nullptr;
};

// Loads "hid.dll" and "USER32.DLL" (freed again by Release) and binds.
inline Bound BindAll() {
  Bound b;
  os::System& sys = os::Sys();
  HMODULE setupapi = sys.GetModuleHandleA("SETUPAPI.DLL");
  b.enumInterfaces = Bind<os::PFN_SetupDiEnumDeviceInterfaces>(
      setupapi, "SetupDiEnumDeviceInterfaces");
  b.interfaceDetail = Bind<os::PFN_SetupDiGetDeviceInterfaceDetailA>(
      setupapi, "SetupDiGetDeviceInterfaceDetailA");
  if (HMODULE hid = sys.LoadLibraryA("hid.dll")) {
    b.getHidGuid = Bind<os::PFN_HidD_GetHidGuid>(hid, "HidD_GetHidGuid");
    b.getFeature = Bind<os::PFN_HidD_GetFeature>(hid, "HidD_GetFeature");
    b.setFeature = Bind<os::PFN_HidD_SetFeature>(hid, "HidD_SetFeature");
  }
  if (HMODULE user32 = sys.LoadLibraryA("USER32.DLL")) {
    b.registerNotification = Bind<os::PFN_RegisterDeviceNotificationA>(
        user32, "RegisterDeviceNotificationA");
    b.unregisterNotification = Bind<os::PFN_UnregisterDeviceNotification>(
        user32, "UnregisterDeviceNotification");
  }
  return b;
}

// The device paths of one interface class, in enumeration order, with the
// first hardware id of each (empty when it has none).
struct Found {
  std::string path;
  std::string hardwareId;
};

inline std::vector<Found> Enumerate(const Bound& b, const GUID& classGuid) {
  os::System& sys = os::Sys();
  std::vector<Found> result;
  HDEVINFO set = sys.SetupDiGetClassDevsA(
      &classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return result;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!b.enumInterfaces(set, nullptr, &classGuid, index, &data)) break;
    Found found;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    if (sys.SetupDiEnumDeviceInfo(set, index, &info)) {
      char ids[512] = {};
      if (sys.SetupDiGetDeviceRegistryPropertyA(
              set, &info, SPDRP_HARDWAREID, nullptr,
              reinterpret_cast<PBYTE>(ids), sizeof(ids), nullptr)) {
        found.hardwareId = ids;
      }
    }
    DWORD required = 0;
    b.interfaceDetail(set, &data, nullptr, 0, &required, nullptr);
    std::vector<std::uint64_t> storage((required + 7) / 8 + 1);
    auto* detail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (b.interfaceDetail(set, &data, detail, required, nullptr, nullptr)) {
      found.path = detail->DevicePath;
    }
    result.push_back(found);
  }
  sys.SetupDiDestroyDeviceInfoList(set);
  return result;
}

inline HANDLE Open(const std::string& path, DWORD share = FILE_SHARE_READ,
                   DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return os::Sys().CreateFileA(path.c_str(), access, share, nullptr,
                               OPEN_EXISTING, 0, nullptr);
}

// HID report 0x80 carrying control request `code` with `data`.
inline Bytes ControlReport(std::uint8_t code, const Bytes& data = {}) {
  Bytes report(258, 0);
  report[0] = 0x80;
  report[1] = static_cast<std::uint8_t>(data.size() + 1);
  report[2] = code;
  std::copy(data.begin(), data.end(), report.begin() + 3);
  return report;
}

// Report 1 read back: the answer bytes, or false when the read fails.
inline bool GetAnswer(const Bound& b, HANDLE h, Bytes* answer) {
  std::uint8_t report[258] = {1};
  if (!b.getFeature(h, report, sizeof(report))) return false;
  answer->assign(report + 2, report + 2 + report[1]);
  return true;
}

// A machine installed for the length of one test.
class MachineTest : public ::testing::Test {
 protected:
  explicit MachineTest(
      vantor::sim::OsVersion version = vantor::sim::OsVersion::WindowsXp)
      : machine_(std::make_unique<vantor::sim::TestMachine>(version)) {
    machine_->Install();
  }

  vantor::sim::TestMachine& machine() { return *machine_; }
  os::System& sys() { return os::Sys(); }

  std::unique_ptr<vantor::sim::TestMachine> machine_;
};

}  // namespace simtest
