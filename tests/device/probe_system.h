// A system that stands in front of the simulated machine: it forwards every
// call and records the monitor's module, window and thread calls, which the
// machine does not show.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "os/forwarding_system.h"

namespace vantor::device::testing {

class ProbeSystem final : public os::ForwardingSystem {
 public:
  // Stands in front of the current system until destroyed.
  ProbeSystem() : ForwardingSystem(os::Sys()) { os::SetCurrentSystem(this); }
  ~ProbeSystem() override { os::SetCurrentSystem(&inner()); }
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
    return inner().LoadLibraryA(n);
  }
  BOOL FreeLibrary(HMODULE m) override {
    Record("FreeLibrary");
    return inner().FreeLibrary(m);
  }
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES s, SIZE_T z,
                      LPTHREAD_START_ROUTINE r, LPVOID p, DWORD f,
                      LPDWORD id) override {
    Record("CreateThread");
    return inner().CreateThread(s, z, r, p, f, id);
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
    Record("WaitForSingleObject " + std::to_string(ms));
    return inner().WaitForSingleObject(h, ms);
  }
  BOOL PostThreadMessageA(DWORD t, UINT m, WPARAM w, LPARAM l) override {
    Record("PostThreadMessageA " + std::to_string(m));
    return inner().PostThreadMessageA(t, m, w, l);
  }
  ATOM RegisterClassExA(const WNDCLASSEXA* c) override {
    Record(std::string("RegisterClassExA ") + c->lpszClassName);
    return inner().RegisterClassExA(c);
  }
  BOOL UnregisterClassA(LPCSTR c, HINSTANCE i) override {
    Record(std::string("UnregisterClassA ") + c);
    return inner().UnregisterClassA(c, i);
  }
  BOOL ShowWindow(HWND w, int c) override {
    Record("ShowWindow " + std::to_string(c));
    return inner().ShowWindow(w, c);
  }
  BOOL UpdateWindow(HWND w) override {
    Record("UpdateWindow");
    return inner().UpdateWindow(w);
  }
  BOOL DestroyWindow(HWND w) override {
    Record("DestroyWindow");
    return inner().DestroyWindow(w);
  }

 private:
  void Record(std::string line) {
    std::lock_guard guard(mutex_);
    calls_.push_back(std::move(line));
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace vantor::device::testing
