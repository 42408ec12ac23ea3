// The Linux system: real tokens in HID mode, reached through hidraw.
//
// It answers the calls of the device layer as a Windows XP machine (NT 5.1)
// would for tokens that are HID devices:
// - the HID interface class enumerates the hidraw nodes, each with the
//   first hardware id "HID\VID_xxxx&PID_xxxx&REV_xxxx" built from its USB
//   numbers, and the node's path as the interface path;
// - CreateFileA/CloseHandle open and close nodes, keeping the Windows
//   share-mode rule among the opens of this process;
// - "hid.dll" binds HidD_GetHidGuid, HidD_SetFeature and HidD_GetFeature to
//   feature reports on the node;
// - the vendor driver's interface class lists nothing, and QueryDosDeviceA
//   fails: there is no driver on Linux;
// - threads, windows, messages and device notifications are the portable
//   ones; no device-change broadcast is ever sent, since HID tokens are not
//   watched.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/linux/hid_api.h"
#include "os/portable/portable_system.h"

namespace os {

namespace hidraw {

// "HID\VID_0471&PID_485E&REV_0100": the first hardware id of a HID device.
std::string HardwareId(std::uint16_t vendorId, std::uint16_t productId,
                       std::uint16_t releaseNumber);

// The SPDRP_HARDWAREID property of a HID device: its hardware ids as a
// list of zero-terminated texts ended by an empty one.
std::string HardwareIdList(std::uint16_t vendorId, std::uint16_t productId,
                           std::uint16_t releaseNumber);

// The Windows error of a failed feature-report transfer with errno `error`.
DWORD FeatureReportError(int error);

// The Windows error of a failed open with errno `error`.
DWORD OpenError(int error);

}  // namespace hidraw

class LinuxSystem final : public PortableSystem {
 public:
  explicit LinuxSystem(std::unique_ptr<hidraw::HidApi> hid);
  ~LinuxSystem() override;

  // Device setup.
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator,
                                HWND parent, DWORD flags) override;

  // Files and devices.
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                       LPVOID out, DWORD outSize, LPDWORD returned,
                       LPOVERLAPPED overlapped) override;
  DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath,
                        DWORD max) override;
  BOOL GetVersionExA(LPOSVERSIONINFOA info) override;

  // Bound by name from "hid.dll": feature reports on the node.
  BOOLEAN HidD_SetFeature(HANDLE handle, PVOID report, ULONG length) override;
  BOOLEAN HidD_GetFeature(HANDLE handle, PVOID report, ULONG length) override;
  // hidraw keeps no state to ask without a request to the device: an open
  // handle is answered as attached, and a gone device is found by its next
  // feature report.
  BOOLEAN HidD_GetAttributes(HANDLE handle,
                             os::HidAttributes* attributes) override;

  // Modules and binding by name.
  HMODULE LoadLibraryA(LPCSTR name) override;
  HMODULE GetModuleHandleA(LPCSTR name) override;
  FARPROC GetProcAddress(HMODULE module, LPCSTR name) override;
  BOOL FreeLibrary(HMODULE module) override;

  // Memory.
  HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override;
  HLOCAL LocalFree(HLOCAL mem) override;

  // Device nodes open now, for inspection.
  int OpenDevices() const;

 protected:
  BOOL CloseOtherHandle(HANDLE handle) override;

 private:
  struct OpenDevice {
    std::string path;
    DWORD access = 0;
    DWORD share = 0;
    std::shared_ptr<hidraw::HidDevice> device;  // null while being opened
  };

  std::shared_ptr<hidraw::HidDevice> FindDevice(HANDLE handle);

  std::unique_ptr<hidraw::HidApi> hid_;
  // Guarded by Mutex().
  std::map<std::uintptr_t, OpenDevice> devices_;
};

}  // namespace os
