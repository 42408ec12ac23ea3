// Modules and binding by name: the simulated "setupapi.dll", "hid.dll" and
// "user32.dll" hand out pointers to the trampolines below, which forward to
// the machine installed at the time of the call.
#include <cctype>
#include <cstring>
#include <string>

#include "sim/sim_system.h"

namespace vantor::sim::detail {
namespace {

template <typename R>
R NoMachine(R result) {
  os::Sys().SetLastError(ERROR_INVALID_FUNCTION);
  return result;
}

void WINAPI HidDGetHidGuid(LPGUID guid) {
  if (SimSystem* s = SimSystem::Installed()) {
    s->HidGetHidGuid(guid);
  } else {
    NoMachine(0);
  }
}

BOOLEAN WINAPI HidDGetFeature(HANDLE device, PVOID buffer, ULONG length) {
  SimSystem* s = SimSystem::Installed();
  return s != nullptr ? s->HidGetFeature(device, buffer, length)
                      : NoMachine<BOOLEAN>(0);
}

BOOLEAN WINAPI HidDSetFeature(HANDLE device, PVOID buffer, ULONG length) {
  SimSystem* s = SimSystem::Installed();
  return s != nullptr ? s->HidSetFeature(device, buffer, length)
                      : NoMachine<BOOLEAN>(0);
}

BOOL WINAPI EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info,
                                 const GUID* classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
  SimSystem* s = SimSystem::Installed();
  return s != nullptr
             ? s->SetupDiEnumDeviceInterfaces(set, info, classGuid, index, data)
             : NoMachine<BOOL>(0);
}

BOOL WINAPI GetDeviceInterfaceDetail(HDEVINFO set,
                                     PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                     DWORD detailSize, PDWORD requiredSize,
                                     PSP_DEVINFO_DATA info) {
  SimSystem* s = SimSystem::Installed();
  return s != nullptr ? s->SetupDiGetDeviceInterfaceDetailA(
                            set, data, detail, detailSize, requiredSize, info)
                      : NoMachine<BOOL>(0);
}

HDEVNOTIFY WINAPI RegisterNotification(HANDLE recipient, LPVOID filter,
                                       DWORD flags) {
  SimSystem* s = SimSystem::Installed();
  return s != nullptr ? s->RegisterDeviceNotificationA(recipient, filter, flags)
                      : NoMachine<HDEVNOTIFY>(nullptr);
}

BOOL WINAPI UnregisterNotification(HDEVNOTIFY notification) {
  SimSystem* s = SimSystem::Installed();
  return s != nullptr ? s->UnregisterDeviceNotification(notification)
                      : NoMachine<BOOL>(0);
}

template <typename F>
FARPROC ToFarproc(F function) {
  // Through void(*)(): the one function pointer type that converts to any
  // other without a warning.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

struct Export {
  int module;  // SimSystem::Module as int
  const char* name;
  FARPROC address;
};

constexpr std::uintptr_t kModuleHandles[] = {
    0x00400000,  // the process
    0x7C800000,  // kernel32.dll
    0x77920000,  // setupapi.dll
    0x7E410000,  // user32.dll
    0x688F0000,  // hid.dll
};
constexpr const char* kModuleNames[] = {nullptr, "kernel32.dll", "setupapi.dll",
                                        "user32.dll", "hid.dll"};

// The file name of a module as Windows looks it up: without folders, in
// lower case, ".dll" added when there is no extension.
std::string ModuleFileName(const char* name) {
  std::string text(name);
  const std::size_t folder = text.find_last_of("\\/");
  if (folder != std::string::npos) text = text.substr(folder + 1);
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (text.find('.') == std::string::npos) text += ".dll";
  return text;
}

int ModuleByName(const char* name) {
  const std::string file = ModuleFileName(name);
  for (int i = 1; i < 5; ++i) {
    if (file == kModuleNames[i]) return i;
  }
  return -1;
}

HMODULE ModuleHandle(int module) {
  return reinterpret_cast<HMODULE>(
      kModuleHandles[static_cast<std::size_t>(module)]);
}

}  // namespace

std::optional<SimSystem::Module> SimSystem::ModuleOf(HMODULE module) const {
  for (int i = 0; i < 5; ++i) {
    if (ModuleHandle(i) == module) return static_cast<Module>(i);
  }
  return std::nullopt;
}

int& SimSystem::LoadCountLocked(Module module) {
  switch (module) {
    case Module::Process:
      return loads_process_;
    case Module::Kernel32:
      return loads_kernel32_;
    case Module::SetupApi:
      return loads_setupapi_;
    case Module::User32:
      return loads_user32_;
    case Module::Hid:
      break;
  }
  return loads_hid_;
}

HMODULE SimSystem::LoadLibraryA(LPCSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const int module = ModuleByName(name);
  std::unique_lock<std::mutex> lock(Mutex());
  // Windows NT 4 has no HID class library.
  if (module < 0 ||
      (static_cast<Module>(module) == Module::Hid &&
       (faults_.hidLibraryMissing || version_ == OsVersion::WindowsNt4))) {
    lock.unlock();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++LoadCountLocked(static_cast<Module>(module));
  return ModuleHandle(module);
}

HMODULE SimSystem::GetModuleHandleA(LPCSTR name) {
  if (name == nullptr) return ModuleHandle(0);
  const int module = ModuleByName(name);
  std::unique_lock<std::mutex> lock(Mutex());
  // Every module but "hid.dll" is loaded with the process.
  if (module < 0 ||
      (static_cast<Module>(module) == Module::Hid && loads_hid_ == 0)) {
    lock.unlock();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return ModuleHandle(module);
}

BOOL SimSystem::FreeLibrary(HMODULE module) {
  const std::optional<Module> which = ModuleOf(module);
  std::unique_lock<std::mutex> lock(Mutex());
  // Only what LoadLibraryA loaded can be freed.
  if (!which || LoadCountLocked(*which) == 0) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  --LoadCountLocked(*which);
  return 1;
}

FARPROC SimSystem::GetProcAddress(HMODULE module, LPCSTR name) {
  static const Export kExports[] = {
      {static_cast<int>(Module::Hid), "HidD_GetHidGuid",
       ToFarproc(&HidDGetHidGuid)},
      {static_cast<int>(Module::Hid), "HidD_GetFeature",
       ToFarproc(&HidDGetFeature)},
      {static_cast<int>(Module::Hid), "HidD_SetFeature",
       ToFarproc(&HidDSetFeature)},
      {static_cast<int>(Module::SetupApi), "SetupDiEnumDeviceInterfaces",
       ToFarproc(&EnumDeviceInterfaces)},
      {static_cast<int>(Module::SetupApi), "SetupDiGetDeviceInterfaceDetailA",
       ToFarproc(&GetDeviceInterfaceDetail)},
      {static_cast<int>(Module::User32), "RegisterDeviceNotificationA",
       ToFarproc(&RegisterNotification)},
      {static_cast<int>(Module::User32), "UnregisterDeviceNotification",
       ToFarproc(&UnregisterNotification)},
  };
  const std::optional<Module> which = ModuleOf(module);
  std::unique_lock<std::mutex> lock(Mutex());
  DWORD error = ERROR_PROC_NOT_FOUND;
  if (!which || (*which == Module::Hid && loads_hid_ == 0)) {
    error = ERROR_MOD_NOT_FOUND;
  } else if (name != nullptr &&
             reinterpret_cast<std::uintptr_t>(name) >= 0x10000 &&
             faults_.unboundFunction != name) {
    // Windows NT 4 has no device notifications.
    const bool nt4 = version_ == OsVersion::WindowsNt4;
    for (const Export& e : kExports) {
      if (e.module == static_cast<int>(*which) &&
          std::strcmp(e.name, name) == 0 &&
          !(nt4 && *which == Module::User32)) {
        return e.address;
      }
    }
  }
  lock.unlock();
  SetLastError(error);
  return nullptr;
}

}  // namespace vantor::sim::detail
