// The simulated machine behind the platform seam: devices, handles, the
// device setup sets, modules and memory, on top of the portable threads and
// windows. Its members are defined by what they simulate: the machine itself
// (sim_system.cpp), devices and device setup sets (sim_devices.cpp), files
// and DOS names (sim_files.cpp), the HID class library (sim_hid.cpp), the
// driver (sim_driver.cpp), memory (sim_memory.cpp), modules (bind.cpp) and
// the cards (sim_card.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/portable/portable_system.h"
#include "os/probe.h"
#include "sim/sim_types.h"
#include "sim/token.h"
#include "vantor/sim.h"

namespace vantor::sim::detail {

// The HID interface class and the vendor driver's interface class.
extern const GUID kHidClassGuid;
extern const GUID kDriverClassGuid;

class SimSystem final : public os::PortableSystem, public os::Probe {
 public:
  explicit SimSystem(OsVersion version);
  ~SimSystem() override;

  // --- os::System -------------------------------------------------------
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator,
                                HWND parent, DWORD flags) override;
  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize,
                       LPVOID out, DWORD outSize, LPDWORD returned,
                       LPOVERLAPPED overlapped) override;
  DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath,
                        DWORD max) override;
  BOOL GetVersionExA(LPOSVERSIONINFOA info) override;
  HMODULE LoadLibraryA(LPCSTR name) override;
  HMODULE GetModuleHandleA(LPCSTR name) override;
  FARPROC GetProcAddress(HMODULE module, LPCSTR name) override;
  BOOL FreeLibrary(HMODULE module) override;
  HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) override;
  HLOCAL LocalFree(HLOCAL mem) override;

  // --- os::Probe: what Windows shows of the tokens (sim_devices.cpp) -----
  os::LinuxFacts GatherLinux() override { return {}; }
  os::WindowsFacts GatherWindows() override;

  // --- Functions bound by name (the HID class library) -------------------
  BOOLEAN HidD_GetFeature(HANDLE handle, PVOID buffer, ULONG length) override;
  BOOLEAN HidD_SetFeature(HANDLE handle, PVOID buffer, ULONG length) override;
  BOOLEAN HidD_GetAttributes(HANDLE handle,
                             os::HidAttributes* attributes) override;

  // --- The machine's own interface (Machine forwards here) ---------------
  OsVersion Version() const { return version_; }
  TokenId Plug(const TokenConfig& config);
  void PlugForeignHid(const std::string& hardwareId, int interfaces);
  void Unplug(TokenId token);
  void Replug(TokenId token);
  TokenState Token(TokenId token) const;
  std::vector<TokenId> Tokens() const;
  void SetAtr(TokenId token, const std::vector<std::uint8_t>& atr);
  void SetPath(TokenId token, const std::string& path);
  void SetLatency(TokenId token, std::chrono::microseconds latency);
  // Replaces a token's answer to control request `code`; none: its own.
  void SetControlAnswer(TokenId token, std::uint16_t code,
                        std::optional<std::vector<std::uint8_t>> answer);
  void SetFaults(TokenId token, const TokenFaults& faults);
  TokenFaults GetFaults(TokenId token) const;
  void SetFaults(const MachineFaults& faults);
  MachineFaults GetFaults() const;
  void SetCallFault(const std::optional<CallFault>& fault);
  int CallCount(CallKind kind) const;
  // Counts a call of `kind`: the error to fail it with, 0 for none.
  DWORD CallFaultLocked(CallKind kind);
  std::vector<WireRecord> Wire() const;
  void ClearWire();
  void SetWireLog(bool enabled);
  void SetLogLimit(std::size_t records);
  std::vector<std::string> Events() const;
  void ClearEvents();
  MachineCounters Counters() const;
  // The cards (sim_card.cpp).
  CardState Card(TokenId token) const;
  ApduLog Apdus(TokenId token) const;
  void ClearApdus(TokenId token);
  void InjectAnswer(TokenId token, const InjectedAnswer& injected);
  void ClearInjectedAnswers(TokenId token);
  void SetProgram(TokenId token, std::uint16_t fileId, CardProgram program);
  void SetCardCursor(TokenId token, std::uint32_t address);

  // The system the trampolines forward to (null when none is installed).
  static SimSystem* Installed();
  static void SetInstalled(SimSystem* system);
  // Makes `system` uninstalled if it is the installed one; returns whether
  // it was.
  static bool ClearInstalled(SimSystem* system);

 protected:
  BOOL CloseOtherHandle(HANDLE handle) override;
  std::optional<DWORD> FailingInterfaceIndexLocked() const override;
  DWORD InjectedFailureLocked(InjectedFailure failure) override;

 private:
  // A device present on the machine: a virtual token or a foreign HID
  // device.
  struct Device {
    std::unique_ptr<VirtualToken> token;  // null for a foreign device
    std::string foreignHardwareId;
    int foreignNumber = 0;
    int interfaces = 1;  // of its class
    bool plugged = false;
    std::uint64_t attachment = 0;  // rises at every plug-in
    std::optional<std::string> customPath;
    std::string dosName;
    Answer answer;                         // the answer waiting to be fetched
    std::chrono::microseconds latency{0};  // of each exchange call
    // Held by an exchange call for its latency and its work, without the
    // machine's lock while it waits; taken before that lock, never inside.
    std::mutex exchange;
  };
  struct OpenFile {
    Device* device = nullptr;
    std::uint64_t attachment = 0;
    DWORD access = 0;
    DWORD share = 0;
  };
  enum class Module { Process, Kernel32, SetupApi, User32, Hid };
  // The outcome of looking up a handle for a transport call.
  struct Target {
    Device* device = nullptr;
    DWORD error = 0;
  };

  Device* TokenDeviceLocked(TokenId token) const;
  bool IsHidLocked(const Device& device) const;
  const GUID& InterfaceClassLocked(const Device& device) const;
  // The path of the device's interface `number` (0: its first).
  std::string InterfacePathLocked(const Device& device, int number = 0) const;
  std::string HardwareIdsLocked(const Device& device) const;
  std::string StatePathLocked(const Device& device) const;
  Device* FindPathLocked(const char* path) const;
  void AttachLocked(Device& device);
  void DetachLocked(Device& device);
  Target ResolveLocked(HANDLE handle);
  // Waits out the latency of the token that `handle` opens, if any: with
  // `lock` (the machine's) released meanwhile, and holding the token's
  // exchange lock, which it returns for the rest of the call.
  std::unique_lock<std::mutex> AwaitLatency(HANDLE handle,
                                            std::unique_lock<std::mutex>& lock);
  // CreateFileA and SetupDiGetClassDevsA without the call log.
  HANDLE OpenDevice(LPCSTR path, DWORD access, DWORD shareMode,
                    DWORD disposition);
  HDEVINFO MakeDeviceSet(const GUID* classGuid, DWORD flags);
  std::optional<Module> ModuleOf(HMODULE module) const;
  int& LoadCountLocked(Module module);
  void EventLocked(std::string line);
  void TokenEventLocked(const VirtualToken& token, const char* text);
  void LogLocked(WireRecord::Kind kind, const Device* device,
                 std::uint32_t code, const void* data, std::uint32_t size,
                 std::uint32_t capacity, const void* output,
                 std::uint32_t produced, bool ok, DWORD error);
  void ControlLocked(Device& device, std::uint16_t code,
                     const std::uint8_t* data, std::size_t length);
  // HidD_SetFeature (`set`) and HidD_GetFeature (sim_hid.cpp): what both
  // do around the report's trip to or from the token.
  BOOLEAN FeatureReport(HANDLE handle, PVOID buffer, ULONG length, bool set);
  // The report's trip once the stack took it; the call's error, or 0.
  DWORD SetFeatureLocked(Device& device, const std::uint8_t* report,
                         ULONG length);
  DWORD GetFeatureLocked(Device& device, std::uint8_t* report, ULONG length);
  // Runs an APDU on the device's token; logs it and its event while the
  // wire log is on (sim_card.cpp).
  void CommandLocked(Device& device, const std::uint8_t* apdu,
                     std::size_t length);
  DWORD DriverLocked(Device& device, DWORD code, const std::uint8_t* in,
                     DWORD inSize, std::uint8_t* out, DWORD outSize,
                     DWORD& returned);
  void Broadcast(const GUID& classGuid, WPARAM event, const std::string& path);

  const OsVersion version_;

  std::vector<std::unique_ptr<Device>> devices_;  // in creation order
  std::vector<Device*> tokens_;                   // by token id - 1
  std::vector<Device*> plugged_;                  // in plug order
  // Lower-cased paths of the plugged devices, for opens by path.
  mutable std::unordered_map<std::string, Device*> path_index_;
  mutable bool path_index_stale_ = true;
  std::uint64_t next_attachment_ = 0;
  int foreign_count_ = 0;

  std::map<std::uintptr_t, OpenFile> files_;
  std::map<void*, std::size_t> blocks_;  // LocalAlloc blocks

  int loads_process_ = 0;
  int loads_kernel32_ = 0;
  int loads_setupapi_ = 0;
  int loads_user32_ = 0;
  int loads_hid_ = 0;

  MachineFaults faults_;
  std::optional<CallFault> call_fault_;
  int call_counts_[kCallKinds] = {};
  bool wire_enabled_ = true;
  os::Ring<WireRecord> wire_;
  std::vector<std::string> events_;
  MachineCounters counters_;
};

}  // namespace vantor::sim::detail
