// What Windows shows of the tokens: HID devices with the tokens' hardware
// id, and devices of the vendor driver's interface class.
#include <cwchar>
#include <cwctype>
#include <string>

#include "os/driver_codes.h"
#include "os/portable/device_sets.h"
#include "os/probe.h"

namespace os {
namespace {

const GUID kHidClass = kHidInterfaceClassGuid;
const GUID kDriverClass = kDriverInterfaceClassGuid;
constexpr wchar_t kHardwareIdPrefix[] = L"hid\\vid_0471&pid_485e";

bool IsToken(HDEVINFO set, SP_DEVINFO_DATA& info) {
  wchar_t ids[1024] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(
          set, &info, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
          sizeof ids - sizeof(wchar_t), nullptr)) {
    return false;
  }
  const std::size_t length = std::wcslen(kHardwareIdPrefix);
  for (std::size_t i = 0; i < length; ++i) {
    if (std::towlower(ids[i]) != kHardwareIdPrefix[i]) return false;
  }
  return true;
}

class Win32Probe final : public Probe {
 public:
  LinuxFacts GatherLinux() override { return {}; }
  WindowsFacts GatherWindows() override;
};

WindowsFacts Win32Probe::GatherWindows() {
  WindowsFacts facts;
  HDEVINFO hid = SetupDiGetClassDevsW(&kHidClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hid != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(hid, i, &info); ++i) {
      if (IsToken(hid, info)) ++facts.hidTokens;
    }
    SetupDiDestroyDeviceInfoList(hid);
  }
  HDEVINFO driver = SetupDiGetClassDevsW(&kDriverClass, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (driver != INVALID_HANDLE_VALUE) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(driver, nullptr, &kDriverClass, i, &data);
         ++i) {
      ++facts.driverTokens;
    }
    SetupDiDestroyDeviceInfoList(driver);
  }
  return facts;
}

}  // namespace

// The native probe of a Windows build.
Probe& NativeProbe() {
  static Win32Probe probe;
  return probe;
}

}  // namespace os
