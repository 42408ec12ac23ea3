// A system that stands in front of the current one (on Windows, the real
// Windows system) and counts what the library asks of it: the device sets
// it opens, the interfaces and device records it examines, the hardware ids
// it reads and the record sizes it passes, including the calls of the
// functions it binds by name.
#pragma once

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "os/system.h"

namespace vantor::win32::testing {

class CountingSystem final : public os::System {
 public:
  struct InterfaceCall {
    GUID classGuid;
    DWORD index;
    DWORD cbSize;
    bool ok;
  };
  struct DeviceInfoCall {
    DWORD index;
    DWORD cbSize;
    bool ok;
  };
  struct PropertyCall {
    DWORD property;
    DWORD infoCbSize;
    bool withBuffer;
    bool ok;
  };
  struct DetailCall {
    DWORD interfaceCbSize;
    DWORD detailCbSize;  // 0 when no detail record was passed
    bool ok;
  };
  struct Record {
    std::vector<GUID> classDevs;
    std::vector<InterfaceCall> interfaces;
    std::vector<DeviceInfoCall> deviceInfos;
    std::vector<PropertyCall> properties;
    std::vector<DetailCall> details;
    std::vector<DWORD> windowClassSizes;
    std::vector<std::string> boundNames;
  };

  // Stands in front of the current system until destroyed.
  CountingSystem();
  ~CountingSystem() override;
  CountingSystem(const CountingSystem&) = delete;
  CountingSystem& operator=(const CountingSystem&) = delete;

  Record Calls() {
    std::lock_guard guard(mutex_);
    return record_;
  }

  // Counted.
  HDEVINFO SetupDiGetClassDevsA(const GUID* g, LPCSTR e, HWND p,
                                DWORD f) override {
    {
      std::lock_guard guard(mutex_);
      record_.classDevs.push_back(g != nullptr ? *g : GUID{});
    }
    return inner_.SetupDiGetClassDevsA(g, e, p, f);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) override {
    const DWORD size = d != nullptr ? d->cbSize : 0;
    const BOOL ok = inner_.SetupDiEnumDeviceInfo(s, i, d);
    std::lock_guard guard(mutex_);
    record_.deviceInfos.push_back({i, size, ok != 0});
    return ok;
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d,
                                         DWORD p, PDWORD t, PBYTE b, DWORD n,
                                         PDWORD r) override {
    const DWORD size = d != nullptr ? d->cbSize : 0;
    const BOOL ok =
        inner_.SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
    const DWORD error = inner_.GetLastError();
    {
      std::lock_guard guard(mutex_);
      record_.properties.push_back({p, size, b != nullptr, ok != 0});
    }
    inner_.SetLastError(error);
    return ok;
  }
  ATOM RegisterClassExA(const WNDCLASSEXA* c) override {
    {
      std::lock_guard guard(mutex_);
      record_.windowClassSizes.push_back(c != nullptr ? c->cbSize : 0);
    }
    return inner_.RegisterClassExA(c);
  }
  // Functions bound by name that are counted come back as stand-ins that
  // count and call the real ones.
  FARPROC GetProcAddress(HMODULE m, LPCSTR n) override;

  // Forwarded only.
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
  DWORD QueryDosDeviceA(LPCSTR d, LPSTR t, DWORD m) override {
    return inner_.QueryDosDeviceA(d, t, m);
  }
  BOOL GetVersionExA(LPOSVERSIONINFOA v) override {
    return inner_.GetVersionExA(v);
  }
  HMODULE LoadLibraryA(LPCSTR n) override { return inner_.LoadLibraryA(n); }
  HMODULE GetModuleHandleA(LPCSTR n) override {
    return inner_.GetModuleHandleA(n);
  }
  BOOL FreeLibrary(HMODULE m) override { return inner_.FreeLibrary(m); }
  HLOCAL LocalAlloc(UINT f, SIZE_T n) override {
    return inner_.LocalAlloc(f, n);
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
  BOOL UnregisterClassA(LPCSTR c, HINSTANCE i) override {
    return inner_.UnregisterClassA(c, i);
  }
  HWND CreateWindowExA(DWORD ex, LPCSTR c, LPCSTR n, DWORD s, int x, int y,
                       int w, int h, HWND p, HMENU m, HINSTANCE i,
                       LPVOID a) override {
    return inner_.CreateWindowExA(ex, c, n, s, x, y, w, h, p, m, i, a);
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
  LRESULT DefWindowProcA(HWND w, UINT m, WPARAM wp, LPARAM lp) override {
    return inner_.DefWindowProcA(w, m, wp, lp);
  }
  void PostQuitMessage(int c) override { inner_.PostQuitMessage(c); }

  // Used by the stand-ins.
  void AddInterfaceCall(const InterfaceCall& call) {
    std::lock_guard guard(mutex_);
    record_.interfaces.push_back(call);
  }
  void AddDetailCall(const DetailCall& call) {
    std::lock_guard guard(mutex_);
    record_.details.push_back(call);
  }

 private:
  os::System& inner_;
  std::mutex mutex_;
  Record record_;
};

inline bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

}  // namespace vantor::win32::testing
