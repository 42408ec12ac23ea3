// The Windows system: each member forwards to the Windows function of the
// same name. Functions bound by name (the interface enumeration of
// SETUPAPI.DLL, the HidD_ functions of hid.dll, the device notification calls
// of USER32.DLL) come from the real modules through the real
// GetModuleHandleA, LoadLibraryA and GetProcAddress.
#include "os/system.h"

namespace os {
namespace {

class Win32System final : public System {
 public:
  // Device setup enumeration.
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator,
                                HWND parent, DWORD flags) override {
    return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index,
                             PSP_DEVINFO_DATA info) override {
    return ::SetupDiEnumDeviceInfo(set, index, info);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA info,
                                         DWORD property, PDWORD regType,
                                         PBYTE buffer, DWORD bufferSize,
                                         PDWORD requiredSize) override {
    return ::SetupDiGetDeviceRegistryPropertyA(
        set, info, property, regType, buffer, bufferSize, requiredSize);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    return ::SetupDiDestroyDeviceInfoList(set);
  }

  // Files and devices.
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override {
    return ::CreateFileA(path, access, shareMode, security, disposition, flags,
                         templateFile);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                       LPVOID out, DWORD outSize, LPDWORD returned,
                       LPOVERLAPPED overlapped) override {
    return ::DeviceIoControl(device, code, in, inSize, out, outSize, returned,
                             overlapped);
  }
  DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath,
                        DWORD max) override {
    return ::QueryDosDeviceA(deviceName, targetPath, max);
  }
  BOOL GetVersionExA(LPOSVERSIONINFOA info) override {
    return ::GetVersionExA(info);
  }

  // Modules and binding by name.
  HMODULE LoadLibraryA(LPCSTR name) override { return ::LoadLibraryA(name); }
  HMODULE GetModuleHandleA(LPCSTR name) override {
    return ::GetModuleHandleA(name);
  }
  FARPROC GetProcAddress(HMODULE module, LPCSTR name) override {
    return ::GetProcAddress(module, name);
  }
  BOOL FreeLibrary(HMODULE module) override { return ::FreeLibrary(module); }

  // Memory.
  HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override {
    return ::LocalAlloc(flags, bytes);
  }
  HLOCAL LocalFree(HLOCAL mem) override { return ::LocalFree(mem); }

  // Errors.
  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD error) override { ::SetLastError(error); }

  // Threads and waits.
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                      LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD threadId) override {
    return ::CreateThread(security, stackSize, start, parameter, flags,
                          threadId);
  }
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
    return ::WaitForSingleObject(handle, milliseconds);
  }
  BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam,
                          LPARAM lParam) override {
    return ::PostThreadMessageA(threadId, message, wParam, lParam);
  }

  // Window classes, windows and the message loop.
  ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) override {
    return ::RegisterClassExA(windowClass);
  }
  BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) override {
    return ::UnregisterClassA(className, instance);
  }
  HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName,
                       DWORD style, int x, int y, int width, int height,
                       HWND parent, HMENU menu, HINSTANCE instance,
                       LPVOID param) override {
    return ::CreateWindowExA(exStyle, className, windowName, style, x, y, width,
                             height, parent, menu, instance, param);
  }
  BOOL ShowWindow(HWND window, int command) override {
    return ::ShowWindow(window, command);
  }
  BOOL UpdateWindow(HWND window) override { return ::UpdateWindow(window); }
  BOOL DestroyWindow(HWND window) override { return ::DestroyWindow(window); }
  BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin,
                   UINT filterMax) override {
    return ::GetMessageA(message, window, filterMin, filterMax);
  }
  BOOL TranslateMessage(const MSG* message) override {
    return ::TranslateMessage(message);
  }
  LRESULT DispatchMessageA(const MSG* message) override {
    return ::DispatchMessageA(message);
  }
  LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam,
                         LPARAM lParam) override {
    return ::DefWindowProcA(window, message, wParam, lParam);
  }
  void PostQuitMessage(int exitCode) override { ::PostQuitMessage(exitCode); }
};

}  // namespace

System& NativeSystem() {
  static Win32System system;
  return system;
}

}  // namespace os
