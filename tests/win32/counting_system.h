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

#include "os/forwarding_system.h"

namespace vantor::win32::testing {

class CountingSystem final : public os::ForwardingSystem {
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
    return inner().SetupDiGetClassDevsA(g, e, p, f);
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) override {
    const DWORD size = d != nullptr ? d->cbSize : 0;
    const BOOL ok = inner().SetupDiEnumDeviceInfo(s, i, d);
    std::lock_guard guard(mutex_);
    record_.deviceInfos.push_back({i, size, ok != 0});
    return ok;
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d,
                                         DWORD p, PDWORD t, PBYTE b, DWORD n,
                                         PDWORD r) override {
    const DWORD size = d != nullptr ? d->cbSize : 0;
    const BOOL ok =
        inner().SetupDiGetDeviceRegistryPropertyA(s, d, p, t, b, n, r);
    const DWORD error = inner().GetLastError();
    {
      std::lock_guard guard(mutex_);
      record_.properties.push_back({p, size, b != nullptr, ok != 0});
    }
    inner().SetLastError(error);
    return ok;
  }
  ATOM RegisterClassExA(const WNDCLASSEXA* c) override {
    {
      std::lock_guard guard(mutex_);
      record_.windowClassSizes.push_back(c != nullptr ? c->cbSize : 0);
    }
    return inner().RegisterClassExA(c);
  }
  // Functions bound by name that are counted come back as stand-ins that
  // count and call the real ones.
  FARPROC GetProcAddress(HMODULE m, LPCSTR n) override;

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
  std::mutex mutex_;
  Record record_;
};

inline bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

}  // namespace vantor::win32::testing
