// The platform seam: the only door from the library to the operating system.
//
// os::System has one member per Windows call that the device layer and the
// removal monitor make, with the Windows signature. Functions that Windows
// programs bind by name (SetupDiEnumDeviceInterfaces,
// SetupDiGetDeviceInterfaceDetailA, the HidD_ functions, the device
// notification calls) are not members: the device layer binds them through
// GetModuleHandleA / LoadLibraryA and GetProcAddress, and each system hands
// out function pointers of its own.
//
// A process has one current system. Programs install the native one (or a
// simulated machine) before the first library call.
#pragma once

#include <cstdint>

#include "os/win_types.h"

namespace os {

class System {
 public:
  virtual ~System() = default;

  // Device setup enumeration (linked functions).
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid,
                                        LPCSTR enumerator, HWND parent,
                                        DWORD flags) = 0;
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index,
                                     PSP_DEVINFO_DATA info) = 0;
  virtual BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set,
                                                 PSP_DEVINFO_DATA info,
                                                 DWORD property, PDWORD regType,
                                                 PBYTE buffer, DWORD bufferSize,
                                                 PDWORD requiredSize) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  // Files and devices.
  virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition,
                             DWORD flags, HANDLE templateFile) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in,
                               DWORD inSize, LPVOID out, DWORD outSize,
                               LPDWORD returned, LPOVERLAPPED overlapped) = 0;
  virtual DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath,
                                DWORD max) = 0;
  virtual BOOL GetVersionExA(LPOSVERSIONINFOA info) = 0;

  // Modules and binding by name.
  virtual HMODULE LoadLibraryA(LPCSTR name) = 0;
  virtual HMODULE GetModuleHandleA(LPCSTR name) = 0;
  virtual FARPROC GetProcAddress(HMODULE module, LPCSTR name) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;

  // Memory.
  virtual HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) = 0;
  virtual HLOCAL LocalFree(HLOCAL mem) = 0;

  // Errors.
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD error) = 0;

  // Threads and waits.
  virtual HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                              LPTHREAD_START_ROUTINE start, LPVOID parameter,
                              DWORD flags, LPDWORD threadId) = 0;
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  virtual BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam,
                                  LPARAM lParam) = 0;

  // Window classes, windows and the message loop.
  virtual ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) = 0;
  virtual BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) = 0;
  virtual HWND CreateWindowExA(DWORD exStyle, LPCSTR className,
                               LPCSTR windowName, DWORD style, int x, int y,
                               int width, int height, HWND parent, HMENU menu,
                               HINSTANCE instance, LPVOID param) = 0;
  virtual BOOL ShowWindow(HWND window, int command) = 0;
  virtual BOOL UpdateWindow(HWND window) = 0;
  virtual BOOL DestroyWindow(HWND window) = 0;
  virtual BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin,
                           UINT filterMax) = 0;
  virtual BOOL TranslateMessage(const MSG* message) = 0;
  virtual LRESULT DispatchMessageA(const MSG* message) = 0;
  virtual LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam,
                                 LPARAM lParam) = 0;
  virtual void PostQuitMessage(int exitCode) = 0;
};

// The process's current system. Never null: before anything is installed it
// is the native system of the build (or, where there is none, a system that
// has no devices and refuses every call).
System& Sys();

// Installs `system` as the current system (null restores the native one).
// The caller keeps ownership and must keep it alive while it is current.
void SetCurrentSystem(System* system);

// Rises each time the current system changes. Code that caches functions
// bound by name compares it to drop bindings that belong to a former system.
std::uint64_t SystemGeneration();

// The native system of this build.
System& NativeSystem();

}  // namespace os
