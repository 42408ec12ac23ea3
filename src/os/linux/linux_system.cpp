#include "os/linux/linux_system.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/portable/bound_functions.h"

namespace os {

namespace {

constexpr UINT kLocalMoveable = 0x0002;

// Module handles this system hands out. They name no memory.
HMODULE ModuleHandle(std::uintptr_t value) {
  return reinterpret_cast<HMODULE>(value);
}
const HMODULE kProcessModule = ModuleHandle(0x00400000);
const HMODULE kHidModule = ModuleHandle(0x10000000);
const HMODULE kSetupApiModule = ModuleHandle(0x10100000);
const HMODULE kUser32Module = ModuleHandle(0x10200000);

// The module a name stands for, with or without its ".dll", in any case.
HMODULE KnownModule(LPCSTR name) {
  if (name == nullptr) return nullptr;
  struct Known {
    const char* base;
    HMODULE module;
  };
  static const Known kKnown[] = {{"hid", kHidModule},
                                 {"setupapi", kSetupApiModule},
                                 {"user32", kUser32Module}};
  for (const Known& known : kKnown) {
    const std::size_t length = std::strlen(known.base);
    if (strncasecmp(name, known.base, length) != 0) continue;
    const char* rest = name + length;
    if (*rest == '\0' || strcasecmp(rest, ".dll") == 0) return known.module;
  }
  return nullptr;
}

// The functions bound by name forward to the current system while it is a
// Linux one: the device layer drops its bindings when that changes.
PortableSystem* CurrentLinux() { return dynamic_cast<LinuxSystem*>(&Sys()); }
using Bound = BoundFunctions<&CurrentLinux>;

}  // namespace

namespace hidraw {

std::string HardwareId(std::uint16_t vendorId, std::uint16_t productId,
                       std::uint16_t releaseNumber) {
  char text[40];
  std::snprintf(text, sizeof text, "HID\\VID_%04X&PID_%04X&REV_%04X",
                static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId),
                static_cast<unsigned>(releaseNumber));
  return text;
}

std::string HardwareIdList(std::uint16_t vendorId, std::uint16_t productId,
                           std::uint16_t releaseNumber) {
  // The most specific id first, as Windows lists them.
  char general[32];
  std::snprintf(general, sizeof general, "HID\\VID_%04X&PID_%04X",
                static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId));
  return MultiString({HardwareId(vendorId, productId, releaseNumber), general});
}

DWORD FeatureReportError(int error) {
  switch (error) {
    case ETIMEDOUT:
    case ETIME:
    case EAGAIN:
      return ERROR_SEM_TIMEOUT;
    case ENODEV:
    case ENXIO:
    case ENOENT:
    case ESHUTDOWN:
      return ERROR_DEVICE_NOT_CONNECTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace hidraw

LinuxSystem::LinuxSystem(std::unique_ptr<hidraw::HidApi> hid)
    : hid_(std::move(hid)) {}

LinuxSystem::~LinuxSystem() {
  // The monitor thread may still be calling in.
  Shutdown();
}

// --- Device setup --------------------------------------------------------

HDEVINFO LinuxSystem::SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND,
                                           DWORD flags) {
  if (classGuid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Only the HID interface class has members; the vendor driver's class and
  // every other one are empty here. The nodes are listed outside the lock.
  std::vector<DeviceRecord> records;
  if ((flags & DIGCF_DEVICEINTERFACE) != 0 &&
      SameGuid(*classGuid, kHidInterfaceClassGuid)) {
    for (const hidraw::HidDeviceInfo& device : hid_->Enumerate()) {
      DeviceRecord record;
      record.path = device.path;
      record.hardwareIds = hidraw::HardwareIdList(
          device.vendorId, device.productId, device.releaseNumber);
      record.setupClass = kHidSetupClassGuid;
      record.devInst = static_cast<DWORD>(records.size() + 1);
      records.push_back(std::move(record));
    }
  }
  std::lock_guard<std::mutex> lock(Mutex());
  return AddDeviceSetLocked(*classGuid, std::move(records));
}

// --- Files and devices ---------------------------------------------------

HANDLE LinuxSystem::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                                LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                                HANDLE) {
  if (path == nullptr || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = nullptr;
  {
    // Claim the handle first, so that concurrent opens see each other.
    std::lock_guard<std::mutex> lock(Mutex());
    if (!SharesWithAll(
            access, shareMode, devices_,
            [&](const OpenDevice& open) { return open.path == path; })) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    handle = NewHandleLocked();
    devices_.emplace(reinterpret_cast<std::uintptr_t>(handle),
                     OpenDevice{path, access, shareMode, nullptr});
  }
  int error = 0;
  std::shared_ptr<hidraw::HidDevice> device = hid_->Open(path, &error);
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = devices_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (device == nullptr) {
    if (it != devices_.end()) devices_.erase(it);
    ReleaseHandleLocked(handle);
    SetLastError(hidraw::OpenError(error));
    return INVALID_HANDLE_VALUE;
  }
  it->second.device = std::move(device);
  return handle;
}

BOOL LinuxSystem::CloseOtherHandle(HANDLE handle) {
  std::shared_ptr<hidraw::HidDevice> device;  // closed outside the lock
  {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = devices_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == devices_.end() || it->second.device == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    device = std::move(it->second.device);
    devices_.erase(it);
    ReleaseHandleLocked(handle);
  }
  return 1;
}

std::shared_ptr<hidraw::HidDevice> LinuxSystem::FindDevice(HANDLE handle) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = devices_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it != devices_.end() ? it->second.device : nullptr;
}

int LinuxSystem::OpenDevices() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return static_cast<int>(devices_.size());
}

BOOL LinuxSystem::DeviceIoControl(HANDLE device, DWORD, LPVOID, DWORD, LPVOID,
                                  DWORD, LPDWORD, LPOVERLAPPED) {
  // No vendor driver stands behind a hidraw node.
  SetLastError(FindDevice(device) != nullptr ? ERROR_INVALID_FUNCTION
                                             : ERROR_INVALID_HANDLE);
  return 0;
}

DWORD LinuxSystem::QueryDosDeviceA(LPCSTR, LPSTR, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return 0;
}

BOOL LinuxSystem::GetVersionExA(LPOSVERSIONINFOA info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Windows XP: HID tokens by interface enumeration, the monitor thread on.
  info->dwMajorVersion = 5;
  info->dwMinorVersion = 1;
  info->dwBuildNumber = 2600;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->szCSDVersion[0] = '\0';
  return 1;
}

// --- HID class library ---------------------------------------------------

BOOLEAN LinuxSystem::HidD_SetFeature(HANDLE handle, PVOID report,
                                     ULONG length) {
  const std::shared_ptr<hidraw::HidDevice> device = FindDevice(handle);
  if (device == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (report == nullptr || length == 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return 0;
  }
  // Both sides frame a report alike: the id in byte 0, counted in the length.
  const hidraw::HidResult result = device->SendFeatureReport(
      static_cast<const std::uint8_t*>(report), length);
  if (result.value < 0) {
    SetLastError(hidraw::FeatureReportError(result.error));
    return 0;
  }
  return 1;
}

BOOLEAN LinuxSystem::HidD_GetFeature(HANDLE handle, PVOID report,
                                     ULONG length) {
  const std::shared_ptr<hidraw::HidDevice> device = FindDevice(handle);
  if (device == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (report == nullptr || length == 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return 0;
  }
  auto* bytes = static_cast<std::uint8_t*>(report);
  const hidraw::HidResult result = device->GetFeatureReport(bytes, length);
  if (result.value < 0) {
    SetLastError(hidraw::FeatureReportError(result.error));
    return 0;
  }
  // A shorter report than asked for leaves nothing stale behind it.
  const std::size_t got =
      std::max<std::size_t>(1, static_cast<std::size_t>(result.value));
  if (got < length) std::memset(bytes + got, 0, length - got);
  return 1;
}

BOOLEAN LinuxSystem::HidD_GetAttributes(HANDLE handle,
                                        os::HidAttributes* attributes) {
  if (FindDevice(handle) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (attributes == nullptr || attributes->Size < sizeof(os::HidAttributes)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  attributes->VendorID = 0x0471;
  attributes->ProductID = 0x485e;
  attributes->VersionNumber = 0;
  return 1;
}

// --- Modules -------------------------------------------------------------

HMODULE LinuxSystem::LoadLibraryA(LPCSTR name) {
  HMODULE module = KnownModule(name);
  if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return module;
}

HMODULE LinuxSystem::GetModuleHandleA(LPCSTR name) {
  if (name == nullptr) return kProcessModule;
  return LoadLibraryA(name);
}

FARPROC LinuxSystem::GetProcAddress(HMODULE module, LPCSTR name) {
  // Names below 0x10000 are ordinals; none are exported by ordinal here.
  if (name == nullptr || reinterpret_cast<std::uintptr_t>(name) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  const struct {
    HMODULE module;
    BoundModule bound;
  } kBound[] = {{kHidModule, BoundModule::Hid},
                {kSetupApiModule, BoundModule::SetupApi},
                {kUser32Module, BoundModule::User32}};
  for (const auto& m : kBound) {
    if (m.module != module) continue;
    if (FARPROC proc = Bound::Find(m.bound, name)) return proc;
  }
  SetLastError(module == kHidModule || module == kSetupApiModule ||
                       module == kUser32Module || module == kProcessModule
                   ? ERROR_PROC_NOT_FOUND
                   : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL LinuxSystem::FreeLibrary(HMODULE module) {
  if (module == kHidModule || module == kSetupApiModule ||
      module == kUser32Module) {
    return 1;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}

// --- Memory --------------------------------------------------------------

HLOCAL LinuxSystem::LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & kLocalMoveable) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const SIZE_T size = bytes != 0 ? bytes : 1;
  void* mem =
      (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
  if (mem == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return mem;
}

HLOCAL LinuxSystem::LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

// The native system of a Linux build.
System& NativeSystem() {
  static LinuxSystem system(hidraw::MakeHidrawApi());
  return system;
}

}  // namespace os
