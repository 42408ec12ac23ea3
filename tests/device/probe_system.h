// A system that stands in front of the simulated machine: it forwards every
// call and records the monitor's module, window and thread calls, which the
// machine does not show.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "os/system.h"

namespace vantor::device::testing {

class ProbeSystem final : public os::System {
 public:
  // Stands in front of the current system until destroyed.
  ProbeSystem() : inner_(os::Sys()) { os::SetCurrentSystem(this); }
  ~ProbeSystem() override { os::SetCurrentSystem(&inner_); }
  ProbeSystem(const ProbeSystem&) = delete;
  ProbeSystem& operator=(const ProbeSystem&) = delete;

  // The recorded calls, one line each ("UnregisterClassA <name>").
  std::vector<std::string> Calls() {
    std::lock_guard guard(mutex_);
    return calls_;
  }

  // Recorded.
  HMODULE LoadLibraryA(LPCSTR n) override {
    Record(std::string("LoadLibraryA ") + n);
    return inner_.LoadLibraryA(n);
  }
  BOOL FreeLibrary(HMODULE m) override {
    Record("FreeLibrary");
    return inner_.FreeLibrary(m);
  }
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES s, SIZE_T z,
                      LPTHREAD_START_ROUTINE r, LPVOID p, DWORD f,
                      LPDWORD id) override {
    Record("CreateThread");
    return inner_.CreateThread(s, z, r, p, f, id);
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
    Record("WaitForSingleObject " + std::to_string(ms));
    return inner_.WaitForSingleObject(h, ms);
  }
  BOOL PostThreadMessageA(DWORD t, UINT m, WPARAM w, LPARAM l) override {
    Record("PostThreadMessageA " + std::to_string(m));
    return inner_.PostThreadMessageA(t, m, w, l);
  }
  ATOM RegisterClassExA(const WNDCLASSEXA* c) override {
    Record(std::string("RegisterClassExA ") + c->lpszClassName);
    return inner_.RegisterClassExA(c);
  }
  BOOL UnregisterClassA(LPCSTR c, HINSTANCE i) override {
    Record(std::string("UnregisterClassA ") + c);
    return inner_.UnregisterClassA(c, i);
  }
  BOOL ShowWindow(HWND w, int c) override {
    Record("ShowWindow " + std::to_string(c));
    return inner_.ShowWindow(w, c);
  }
  BOOL UpdateWindow(HWND w) override {
    Record("UpdateWindow");
    return inner_.UpdateWindow(w);
  }
  BOOL DestroyWindow(HWND w) override {
    Record("DestroyWindow");
    return inner_.DestroyWindow(w);
  }

  // Forwarded only.
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
  HMODULE GetModuleHandleA(LPCSTR n) override {
    return inner_.GetModuleHandleA(n);
  }
  FARPROC GetProcAddress(HMODULE m, LPCSTR n) override {
    return inner_.GetProcAddress(m, n);
  }
  HLOCAL LocalAlloc(UINT f, SIZE_T b) override {
    return inner_.LocalAlloc(f, b);
  }
  HLOCAL LocalFree(HLOCAL m) override { return inner_.LocalFree(m); }
  DWORD GetLastError() override { return inner_.GetLastError(); }
  void SetLastError(DWORD e) override { inner_.SetLastError(e); }
  HWND CreateWindowExA(DWORD ex, LPCSTR c, LPCSTR t, DWORD s, int x, int y,
                       int w, int h, HWND p, HMENU m, HINSTANCE i,
                       LPVOID a) override {
    return inner_.CreateWindowExA(ex, c, t, s, x, y, w, h, p, m, i, a);
  }
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

 private:
  void Record(std::string line) {
    std::lock_guard guard(mutex_);
    calls_.push_back(std::move(line));
  }

  os::System& inner_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace vantor::device::testing
