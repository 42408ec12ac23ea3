// The simulated machine itself: which machine is installed, its version,
// its faults, the wire log, the events and the counters.
#include "sim/sim_system.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vantor::sim::detail {

namespace {

std::atomic<SimSystem*> g_installed{nullptr};

}  // namespace

SimSystem::SimSystem(OsVersion version) : version_(version) {}

SimSystem::~SimSystem() {
  Shutdown();
  for (auto& [block, size] : blocks_) std::free(block);
}

SimSystem* SimSystem::Installed() {
  return g_installed.load(std::memory_order_acquire);
}

void SimSystem::SetInstalled(SimSystem* system) {
  g_installed.store(system, std::memory_order_release);
}

bool SimSystem::ClearInstalled(SimSystem* system) {
  return g_installed.compare_exchange_strong(system, nullptr,
                                             std::memory_order_acq_rel);
}

void SimSystem::EventLocked(std::string line) {
  events_.push_back(std::move(line));
}

void SimSystem::TokenEventLocked(const VirtualToken& token, const char* text) {
  EventLocked("token " + std::to_string(token.Id()) + ": " + text);
}

void SimSystem::SetFaults(const MachineFaults& faults) {
  std::lock_guard<std::mutex> lock(Mutex());
  faults_ = faults;
}

MachineFaults SimSystem::GetFaults() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return faults_;
}

void SimSystem::SetCallFault(const std::optional<CallFault>& fault) {
  std::lock_guard<std::mutex> lock(Mutex());
  call_fault_ = fault;
  std::fill(std::begin(call_counts_), std::end(call_counts_), 0);
}

int SimSystem::CallCount(CallKind kind) const {
  std::lock_guard<std::mutex> lock(Mutex());
  return call_counts_[static_cast<int>(kind)];
}

DWORD SimSystem::CallFaultLocked(CallKind kind) {
  const int index = call_counts_[static_cast<int>(kind)]++;
  if (!call_fault_ || call_fault_->kind != kind) return 0;
  const bool due = index == call_fault_->index ||
                   (call_fault_->fromThenOn && index > call_fault_->index);
  return due ? (call_fault_->error != 0 ? call_fault_->error : 31) : 0;
}

std::vector<WireRecord> SimSystem::Wire() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return wire_.Records();
}

void SimSystem::ClearWire() {
  std::lock_guard<std::mutex> lock(Mutex());
  wire_.Clear();
}

void SimSystem::SetWireLog(bool enabled) {
  std::lock_guard<std::mutex> lock(Mutex());
  wire_enabled_ = enabled;
}

void SimSystem::SetLogLimit(std::size_t records) {
  Calls().SetLimit(records);
  std::lock_guard<std::mutex> lock(Mutex());
  wire_.SetLimit(records);
}

std::vector<std::string> SimSystem::Events() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return events_;
}

void SimSystem::ClearEvents() {
  std::lock_guard<std::mutex> lock(Mutex());
  events_.clear();
}

MachineCounters SimSystem::Counters() const {
  const UserCounters user = PortableSystem::Counters();
  std::lock_guard<std::mutex> lock(Mutex());
  MachineCounters c = counters_;
  c.openFileHandles = static_cast<int>(files_.size());
  c.liveAllocations = static_cast<int>(blocks_.size());
  c.deviceSets = static_cast<int>(DeviceSetsLocked());
  c.loadedLibraries = loads_process_ + loads_kernel32_ + loads_setupapi_ +
                      loads_user32_ + loads_hid_;
  c.wireDropped = static_cast<long long>(wire_.Dropped());
  c.callsDropped = static_cast<long long>(Calls().Dropped());
  c.threadsRunning = user.threadsRunning;
  c.windows = user.windows;
  c.notifications = user.notifications;
  return c;
}

void SimSystem::LogLocked(WireRecord::Kind kind, const Device* device,
                          std::uint32_t code, const void* data,
                          std::uint32_t size, std::uint32_t capacity,
                          const void* output, std::uint32_t produced, bool ok,
                          DWORD error) {
  if (!wire_enabled_) return;
  WireRecord record;
  record.kind = kind;
  record.token =
      device != nullptr && device->token != nullptr ? device->token->Id() : -1;
  record.code = code;
  record.size = size;
  record.capacity = capacity;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (bytes != nullptr) {
    record.data.assign(bytes, bytes + size);
    if (kind != WireRecord::Kind::DeviceIoControl && size != 0) {
      record.reportId = bytes[0];
    }
  }
  const auto* out = static_cast<const std::uint8_t*>(output);
  if (out != nullptr) record.output.assign(out, out + produced);
  record.ok = ok;
  record.error = ok ? 0 : error;
  wire_.Push(std::move(record));
}

DWORD SimSystem::InjectedFailureLocked(InjectedFailure failure) {
  switch (failure) {
    case InjectedFailure::ThreadCreation:
      if (const DWORD error = CallFaultLocked(CallKind::ThreadCreation)) {
        return error;
      }
      if (faults_.threadCreationFailures <= 0) return 0;
      --faults_.threadCreationFailures;
      return ERROR_NOT_ENOUGH_MEMORY;
    case InjectedFailure::WindowCreation:
      if (const DWORD error = CallFaultLocked(CallKind::WindowCreation)) {
        return error;
      }
      if (faults_.windowCreationFailures <= 0) return 0;
      --faults_.windowCreationFailures;
      return ERROR_NOT_ENOUGH_MEMORY;
    case InjectedFailure::Notification:
    default:
      return CallFaultLocked(CallKind::Notification);
  }
}

// --- Version --------------------------------------------------------------

BOOL SimSystem::GetVersionExA(LPOSVERSIONINFOA info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  struct Row {
    DWORD platform, major, minor, build;
    const char* servicePack;
  };
  Row row{};
  switch (version_) {
    case OsVersion::WindowsNt4:
      row = {VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6"};
      break;
    case OsVersion::Windows98:
      row = {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A07CE, " A "};
      break;
    case OsVersion::Windows2000:
      row = {VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4"};
      break;
    case OsVersion::WindowsXp:
      row = {VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 3"};
      break;
  }
  info->dwMajorVersion = row.major;
  info->dwMinorVersion = row.minor;
  info->dwBuildNumber = row.build;
  info->dwPlatformId = row.platform;
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  std::memcpy(info->szCSDVersion, row.servicePack,
              std::strlen(row.servicePack));
  return 1;
}

}  // namespace vantor::sim::detail
