// What Windows shows of the tokens: HID devices with the tokens' hardware
// id, and devices of the vendor driver's interface class.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first.
#include <setupapi.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "hosts.h"

namespace vantor::tool::cli {
namespace {

// The HID class and the vendor driver's interface class.
const GUID kHidClass = {0x4D1E55B2,
                        0xF16F,
                        0x11CF,
                        {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kDriverClass = {0x171638F7,
                           0x1EAD,
                           0x4873,
                           {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
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

}  // namespace

WindowsFacts GatherWindowsFacts() {
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

}  // namespace vantor::tool::cli
