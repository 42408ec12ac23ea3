// A system that passes every call to another one. Derive from it to watch or
// change a few calls (in tests, for example) and leave the rest as they are.
#pragma once

#include "os/system.h"

namespace os {

class ForwardingSystem : public System {
 public:
  explicit ForwardingSystem(System& inner) : inner_(inner) {}

  HDEVINFO SetupDiGetClassDevsA(const GUID* g, LPCSTR e, HWND p,
                                DWORD f) override {
    return inner_.SetupDiGetClassDevsA(g, e, p, f);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) override {
    return inner_.SetupDiEnumDeviceInfo(s, i, d);
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d,
                                         DWORD p, PDWORD t, PBYTE b, DWORD n,
                                         PDWORD r) override {
    return inner_.SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override {
    return inner_.SetupDiDestroyDeviceInfoList(s);
  }
  HANDLE CreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa,
                     DWORD d, DWORD f, HANDLE t) override {
    return inner_.CreateFileA(p, a, s, sa, d, f, t);
  }
  BOOL CloseHandle(HANDLE h) override { return inner_.CloseHandle(h); }
  BOOL DeviceIoControl(HANDLE h, DWORD c, LPVOID i, DWORD is, LPVOID o,
                       DWORD os, LPDWORD r, LPOVERLAPPED ov) override {
    return inner_.DeviceIoControl(h, c, i, is, o, os, r, ov);
  }
  DWORD QueryDosDeviceA(LPCSTR n, LPSTR t, DWORD m) override {
    return inner_.QueryDosDeviceA(n, t, m);
  }
  BOOL GetVersionExA(LPOSVERSIONINFOA v) override {
    return inner_.GetVersionExA(v);
  }
  HMODULE LoadLibraryA(LPCSTR n) override { return inner_.LoadLibraryA(n); }
  HMODULE GetModuleHandleA(LPCSTR n) override {
    return inner_.GetModuleHandleA(n);
  }
  FARPROC GetProcAddress(HMODULE m, LPCSTR n) override {
    return inner_.GetProcAddress(m, n);
  }
  BOOL FreeLibrary(HMODULE m) override { return inner_.FreeLibrary(m); }
  HLOCAL LocalAlloc(UINT f, SIZE_T b) override {
    return inner_.LocalAlloc(f, b);
  }
  HLOCAL LocalFree(HLOCAL m) override { return inner_.LocalFree(m); }
  DWORD GetLastError() override { return inner_.GetLastError(); }
  void SetLastError(DWORD e) override { inner_.SetLastError(e); }
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES s, SIZE_T z,
                      LPTHREAD_START_ROUTINE r, LPVOID p, DWORD f,
                      LPDWORD id) override {
    return inner_.CreateThread(s, z, r, p, f, id);
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
    return inner_.WaitForSingleObject(h, ms);
  }
  BOOL PostThreadMessageA(DWORD t, UINT m, WPARAM w, LPARAM l) override {
    return inner_.PostThreadMessageA(t, m, w, l);
  }
  ATOM RegisterClassExA(const WNDCLASSEXA* c) override {
    return inner_.RegisterClassExA(c);
  }
  BOOL UnregisterClassA(LPCSTR c, HINSTANCE i) override {
    return inner_.UnregisterClassA(c, i);
  }
  HWND CreateWindowExA(DWORD ex, LPCSTR c, LPCSTR t, DWORD s, int x, int y,
                       int w, int h, HWND p, HMENU m, HINSTANCE i,
                       LPVOID a) override {
    return inner_.CreateWindowExA(ex, c, t, s, x, y, w, h, p, m, i, a);
  }
  BOOL ShowWindow(HWND w, int c) override { return inner_.ShowWindow(w, c); }
  BOOL UpdateWindow(HWND w) override { return inner_.UpdateWindow(w); }
  BOOL DestroyWindow(HWND w) override { return inner_.DestroyWindow(w); }
  BOOL GetMessageA(LPMSG m, HWND w, UINT a, UINT b) override {
    return inner_.GetMessageA(m, w, a, b);
  }
  BOOL TranslateMessage(const MSG* m) override {
    return inner_.TranslateMessage(m);
  }
  LRESULT DispatchMessageA(const MSG* m) override {
    return inner_.DispatchMessageA(m);
  }
  LRESULT DefWindowProcA(HWND w, UINT m, WPARAM a, LPARAM b) override {
    return inner_.DefWindowProcA(w, m, a, b);
  }
  void PostQuitMessage(int c) override { inner_.PostQuitMessage(c); }

 protected:
  System& inner() { return inner_; }

 private:
  System& inner_;
};

}  // namespace os
