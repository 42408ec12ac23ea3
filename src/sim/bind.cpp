// Modules and binding by name: the simulated "setupapi.dll", "hid.dll" and
// "user32.dll" hand out the portable systems' functions bound by name
// (os/portable/bound_functions.h), which forward to the machine installed at
// the time of the call.
#include <cctype>
#include <cstring>
#include <string>

#include "os/portable/bound_functions.h"
#include "sim/sim_system.h"

namespace vantor::sim::detail {
namespace {

// The functions bound by name forward to the installed machine.
os::PortableSystem* InstalledMachine() { return SimSystem::Installed(); }
using Bound = os::BoundFunctions<&InstalledMachine>;

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
    std::optional<os::BoundModule> bound;
    if (*which == Module::Hid) bound = os::BoundModule::Hid;
    if (*which == Module::SetupApi) bound = os::BoundModule::SetupApi;
    if (*which == Module::User32 && !nt4) bound = os::BoundModule::User32;
    if (bound) {
      if (FARPROC address = Bound::Find(*bound, name)) return address;
    }
  }
  lock.unlock();
  SetLastError(error);
  return nullptr;
}

}  // namespace vantor::sim::detail
