#include "counting_system.h"

#include <atomic>

namespace vantor::win32::testing {
namespace {

std::atomic<CountingSystem*> g_counting{nullptr};
std::atomic<os::PFN_SetupDiEnumDeviceInterfaces> g_enumInterfaces{nullptr};
std::atomic<os::PFN_SetupDiGetDeviceInterfaceDetailA> g_getDetail{nullptr};

BOOL WINAPI CountEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info,
                                const GUID* classGuid, DWORD index,
                                PSP_DEVICE_INTERFACE_DATA data) {
  const DWORD size = data != nullptr ? data->cbSize : 0;
  const BOOL ok = g_enumInterfaces.load()(set, info, classGuid, index, data);
  const DWORD error = ::GetLastError();
  if (CountingSystem* counting = g_counting.load()) {
    counting->AddInterfaceCall(
        {classGuid != nullptr ? *classGuid : GUID{}, index, size, ok != 0});
  }
  ::SetLastError(error);
  return ok;
}

BOOL WINAPI CountGetDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                           DWORD detailSize, PDWORD requiredSize,
                           PSP_DEVINFO_DATA info) {
  const DWORD interfaceSize = data != nullptr ? data->cbSize : 0;
  const DWORD detailRecordSize = detail != nullptr ? detail->cbSize : 0;
  const BOOL ok =
      g_getDetail.load()(set, data, detail, detailSize, requiredSize, info);
  const DWORD error = ::GetLastError();
  if (CountingSystem* counting = g_counting.load()) {
    counting->AddDetailCall({interfaceSize, detailRecordSize, ok != 0});
  }
  ::SetLastError(error);
  return ok;
}

template <typename Fn>
FARPROC AsFarProc(Fn fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

template <typename Fn>
Fn FromFarProc(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

CountingSystem::CountingSystem() : ForwardingSystem(os::Sys()) {
  g_counting.store(this);
  os::SetCurrentSystem(this);
}

CountingSystem::~CountingSystem() {
  os::SetCurrentSystem(&inner() == &os::NativeSystem() ? nullptr : &inner());
  g_counting.store(nullptr);
}

FARPROC CountingSystem::GetProcAddress(HMODULE m, LPCSTR n) {
  FARPROC proc = inner().GetProcAddress(m, n);
  const DWORD error = inner().GetLastError();
  {
    std::lock_guard guard(mutex_);
    record_.boundNames.emplace_back(n);
  }
  if (proc != nullptr && std::strcmp(n, "SetupDiEnumDeviceInterfaces") == 0) {
    g_enumInterfaces.store(
        FromFarProc<os::PFN_SetupDiEnumDeviceInterfaces>(proc));
    proc = AsFarProc(&CountEnumInterfaces);
  } else if (proc != nullptr &&
             std::strcmp(n, "SetupDiGetDeviceInterfaceDetailA") == 0) {
    g_getDetail.store(
        FromFarProc<os::PFN_SetupDiGetDeviceInterfaceDetailA>(proc));
    proc = AsFarProc(&CountGetDetail);
  }
  inner().SetLastError(error);
  return proc;
}

}  // namespace vantor::win32::testing
