#include "os/system.h"

#include <atomic>

namespace os {
namespace {

// The native system of a build that has no real one: no devices, no modules,
// and every call refused with ERROR_NOT_SUPPORTED.
class NoSystem final : public System {
 public:
  HDEVINFO SetupDiGetClassDevsA(const GUID*, LPCSTR, HWND, DWORD) override {
    return Fail<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) override {
    return Fail<BOOL>(0);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO, PSP_DEVINFO_DATA, DWORD,
                                         PDWORD, PBYTE, DWORD,
                                         PDWORD) override {
    return Fail<BOOL>(0);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) override { return Fail<BOOL>(0); }
  HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                     HANDLE) override {
    return Fail<HANDLE>(INVALID_HANDLE_VALUE);
  }
  BOOL CloseHandle(HANDLE) override { return Fail<BOOL>(0); }
  BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                       LPOVERLAPPED) override {
    return Fail<BOOL>(0);
  }
  DWORD QueryDosDeviceA(LPCSTR, LPSTR, DWORD) override {
    return Fail<DWORD>(0);
  }
  BOOL GetVersionExA(LPOSVERSIONINFOA info) override {
    if (info == nullptr ||
        info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
      return Fail<BOOL>(0);
    }
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 0;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion[0] = '\0';
    return 1;
  }
  HMODULE LoadLibraryA(LPCSTR) override { return Fail<HMODULE>(nullptr); }
  HMODULE GetModuleHandleA(LPCSTR) override { return Fail<HMODULE>(nullptr); }
  FARPROC GetProcAddress(HMODULE, LPCSTR) override {
    return Fail<FARPROC>(nullptr);
  }
  BOOL FreeLibrary(HMODULE) override { return Fail<BOOL>(0); }
  HLOCAL LocalAlloc(UINT, SIZE_T) override { return Fail<HLOCAL>(nullptr); }
  HLOCAL LocalFree(HLOCAL mem) override { return mem; }
  DWORD GetLastError() override { return last_error_; }
  void SetLastError(DWORD error) override { last_error_ = error; }
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                      LPVOID, DWORD, LPDWORD) override {
    return Fail<HANDLE>(nullptr);
  }
  DWORD WaitForSingleObject(HANDLE, DWORD) override {
    return Fail<DWORD>(WAIT_FAILED);
  }
  BOOL PostThreadMessageA(DWORD, UINT, WPARAM, LPARAM) override {
    return Fail<BOOL>(0);
  }
  ATOM RegisterClassExA(const WNDCLASSEXA*) override { return Fail<ATOM>(0); }
  BOOL UnregisterClassA(LPCSTR, HINSTANCE) override { return Fail<BOOL>(0); }
  HWND CreateWindowExA(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND,
                       HMENU, HINSTANCE, LPVOID) override {
    return Fail<HWND>(nullptr);
  }
  BOOL ShowWindow(HWND, int) override { return 0; }
  BOOL UpdateWindow(HWND) override { return Fail<BOOL>(0); }
  BOOL DestroyWindow(HWND) override { return Fail<BOOL>(0); }
  BOOL GetMessageA(LPMSG, HWND, UINT, UINT) override { return Fail<BOOL>(-1); }
  BOOL TranslateMessage(const MSG*) override { return 0; }
  LRESULT DispatchMessageA(const MSG*) override { return 0; }
  LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) override { return 0; }
  void PostQuitMessage(int) override {}

 private:
  template <typename T>
  T Fail(T value) {
    last_error_ = ERROR_NOT_SUPPORTED;
    return value;
  }
  static thread_local DWORD last_error_;
};

thread_local DWORD NoSystem::last_error_ = 0;

std::atomic<System*> g_current{nullptr};
std::atomic<std::uint64_t> g_generation{0};

}  // namespace

#ifndef VANTOR_HAVE_NATIVE_SYSTEM
System& NativeSystem() {
  static NoSystem system;
  return system;
}
#endif

System& Sys() {
  System* current = g_current.load(std::memory_order_acquire);
  return current != nullptr ? *current : NativeSystem();
}

void SetCurrentSystem(System* system) {
  g_current.store(system, std::memory_order_release);
  g_generation.fetch_add(1, std::memory_order_acq_rel);
}

std::uint64_t SystemGeneration() {
  return g_generation.load(std::memory_order_acquire);
}

}  // namespace os
