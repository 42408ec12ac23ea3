#include "sim/sim_system.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "os/driver_codes.h"

namespace vantor::sim::detail {

const GUID kHidClassGuid = os::kHidInterfaceClassGuid;
const GUID kDriverClassGuid = {
    0x171638F7,
    0x1EAD,
    0x4873,
    {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};

namespace {

// The setup class of tokens in USB mode (what SP_DEVINFO_DATA::ClassGuid
// reports for them).
const GUID kUsbSetupClass = {0x36FC9E60,
                             0xC465,
                             0x11CF,
                             {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr DWORD kMaxDriverInput = 1024;  // header and data of one request

constexpr char kHidClassText[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr char kDriverClassText[] = "{171638f7-1ead-4873-ba98-c966abcf0142}";
constexpr char kDriverHardwareId[] = "USB\\VID_0471&PID_485D&REV_0100";

std::atomic<SimSystem*> g_installed{nullptr};

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool SameText(const std::string& a, const char* b) {
  return Lower(a) == Lower(b);
}

// The hardware id without its revision part (or without its last part),
// as Windows lists it after the full one; empty when there is none.
std::string ShorterId(const std::string& id) {
  const std::string lower = Lower(id);
  std::size_t cut = lower.find("&rev_");
  if (cut == std::string::npos) {
    const std::size_t slash = lower.find('\\');
    cut = lower.rfind('&');
    if (cut != std::string::npos && slash != std::string::npos && cut < slash) {
      cut = std::string::npos;
    }
  }
  return cut == std::string::npos ? std::string() : id.substr(0, cut);
}

// The size of each feature report of the token, 0 for an unknown id.
ULONG ReportSize(std::uint8_t id) {
  if (id == 0x80 || id == 1) return 258;
  if (id >= 13 && id <= 20) return 8u * (21u - id);
  if (id >= 2 && id <= 12) return 80u + 16u * (12u - id);
  return 0;
}

// A request header as sent to the driver (little-endian 16-bit fields).
struct Header {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

Header ReadHeader(const std::uint8_t* in) {
  Header h;
  h.requestType = in[0];
  h.request = in[1];
  h.value = static_cast<std::uint16_t>(in[2] | in[3] << 8);
  h.index = static_cast<std::uint16_t>(in[4] | in[5] << 8);
  h.length = static_cast<std::uint16_t>(in[6] | in[7] << 8);
  return h;
}

// A request sent to the token: vendor request to the device, a control
// request (1) or an APDU (0, no request code), index 0.
bool IsSentHeader(const Header& h) {
  return h.requestType == 0x40 && (h.request == 1 || h.request == 0) &&
         h.index == 0 && (h.request == 1 || h.value == 0);
}

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

// --- Devices -------------------------------------------------------------

SimSystem::Device* SimSystem::TokenDeviceLocked(TokenId token) const {
  if (token < 1 || static_cast<std::size_t>(token) > tokens_.size()) {
    return nullptr;
  }
  return tokens_[static_cast<std::size_t>(token) - 1];
}

bool SimSystem::IsHidLocked(const Device& device) const {
  return device.token == nullptr || device.token->Mode() == TokenMode::Hid;
}

const GUID& SimSystem::InterfaceClassLocked(const Device& device) const {
  return IsHidLocked(device) ? kHidClassGuid : kDriverClassGuid;
}

std::string SimSystem::InterfacePathLocked(const Device& device,
                                           int number) const {
  if (device.customPath) return *device.customPath;
  char text[128];
  if (device.token == nullptr) {
    // \\?\hid#<vid_xxxx&pid_yyyy of the hardware id>#<instance>#{class}
    std::string id = Lower(device.foreignHardwareId);
    const std::size_t slash = id.find('\\');
    if (slash != std::string::npos) id = id.substr(slash + 1);
    const std::size_t rev = id.find("&rev_");
    if (rev != std::string::npos) id = id.substr(0, rev);
    std::replace(id.begin(), id.end(), '\\', '#');
    std::snprintf(text, sizeof(text), "#7&%08x&0&%04x#",
                  0x3B6E0000u + static_cast<unsigned>(device.foreignNumber),
                  static_cast<unsigned>(number));
    return "\\\\?\\hid#" + id + text + kHidClassText;
  }
  const auto id = static_cast<unsigned>(device.token->Id());
  if (device.token->Mode() == TokenMode::Hid) {
    std::snprintf(text, sizeof(text),
                  "\\\\?\\hid#vid_0471&pid_485e#7&%08x&0&0000#",
                  0x2A4C1E00u + id);
    return text + std::string(kHidClassText);
  }
  std::snprintf(text, sizeof(text), "\\\\?\\usb#vid_0471&pid_485d#vx%06u#", id);
  return text + std::string(kDriverClassText);
}

std::string SimSystem::StatePathLocked(const Device& device) const {
  if (!device.plugged) return std::string();
  if (version_ == OsVersion::WindowsNt4 && !IsHidLocked(device)) {
    return "\\\\.\\" + device.dosName;
  }
  return InterfacePathLocked(device);
}

std::string SimSystem::HardwareIdsLocked(const Device& device) const {
  std::string first;
  if (device.token == nullptr) {
    first = device.foreignHardwareId;
  } else if (device.token->Mode() == TokenMode::Hid) {
    first = device.token->Config().hardwareId;
  } else {
    first = kDriverHardwareId;
  }
  if (first.empty()) return std::string();  // no hardware id property
  const std::string shorter = ShorterId(first);
  return os::MultiString(shorter.empty()
                             ? std::vector<std::string>{first}
                             : std::vector<std::string>{first, shorter});
}

SimSystem::Device* SimSystem::FindPathLocked(const char* path) const {
  // Every path a plugged device answers to, lower-cased, made again only
  // after a plug, unplug or path change: an open costs one look-up.
  if (path_index_stale_) {
    path_index_.clear();
    for (Device* device : plugged_) {
      for (int n = 0; n < device->interfaces; ++n) {
        path_index_.emplace(Lower(InterfacePathLocked(*device, n)), device);
      }
    }
    // "\\.\" and a DOS device name of a token in USB mode.
    for (Device* device : plugged_) {
      if (!IsHidLocked(*device)) {
        path_index_.emplace(Lower("\\\\.\\" + device->dosName), device);
      }
    }
    path_index_stale_ = false;
  }
  const auto found = path_index_.find(Lower(path));
  return found != path_index_.end() ? found->second : nullptr;
}

void SimSystem::AttachLocked(Device& device) {
  device.plugged = true;
  device.attachment = ++next_attachment_;
  device.answer.Clear();
  if (device.token != nullptr) device.token->PowerOn();
  plugged_.push_back(&device);
  path_index_stale_ = true;
}

void SimSystem::DetachLocked(Device& device) {
  device.plugged = false;
  device.answer.Clear();
  plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), &device),
                 plugged_.end());
  path_index_stale_ = true;
}

void SimSystem::EventLocked(std::string line) {
  events_.push_back(std::move(line));
}

void SimSystem::TokenEventLocked(const VirtualToken& token, const char* text) {
  EventLocked("token " + std::to_string(token.Id()) + ": " + text);
}

void SimSystem::Broadcast(const GUID& classGuid, WPARAM event,
                          const std::string& path) {
  BroadcastDeviceInterfaceChange(classGuid, event, path);
}

TokenId SimSystem::Plug(const TokenConfig& config) {
  TokenId id = 0;
  GUID classGuid{};
  std::string path;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    id = static_cast<TokenId>(tokens_.size()) + 1;
    auto device = std::make_unique<Device>();
    device->token = std::make_unique<VirtualToken>(id, config);
    device->customPath = config.path;
    device->dosName = config.dosName.empty() ? "Kelvra2-" + std::to_string(id)
                                             : config.dosName;
    device->latency = config.latency;
    Device& d = *device;
    tokens_.push_back(device.get());
    devices_.push_back(std::move(device));
    AttachLocked(d);
    classGuid = InterfaceClassLocked(d);
    path = InterfacePathLocked(d);
    TokenEventLocked(*d.token, IsHidLocked(d) ? "plugged in, HID mode"
                                              : "plugged in, USB mode");
  }
  Broadcast(classGuid, DBT_DEVICEARRIVAL, path);
  return id;
}

void SimSystem::PlugForeignHid(const std::string& hardwareId, int interfaces) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    auto device = std::make_unique<Device>();
    device->foreignHardwareId = hardwareId;
    device->foreignNumber = ++foreign_count_;
    device->interfaces = std::max(1, interfaces);
    Device& d = *device;
    devices_.push_back(std::move(device));
    AttachLocked(d);
    path = InterfacePathLocked(d);
    EventLocked("foreign HID device plugged in: " + hardwareId);
  }
  Broadcast(kHidClassGuid, DBT_DEVICEARRIVAL, path);
}

void SimSystem::Unplug(TokenId token) {
  GUID classGuid{};
  std::string path;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    Device* device = TokenDeviceLocked(token);
    if (device == nullptr || !device->plugged) return;
    classGuid = InterfaceClassLocked(*device);
    path = InterfacePathLocked(*device);
    DetachLocked(*device);
    TokenEventLocked(*device->token, "unplugged");
  }
  Broadcast(classGuid, DBT_DEVICEREMOVECOMPLETE, path);
}

void SimSystem::Replug(TokenId token) {
  Unplug(token);
  GUID classGuid{};
  std::string path;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    Device* device = TokenDeviceLocked(token);
    if (device == nullptr || device->plugged) return;
    const bool changed = device->token->ApplyPendingMode();
    AttachLocked(*device);
    classGuid = InterfaceClassLocked(*device);
    path = InterfacePathLocked(*device);
    std::string text =
        IsHidLocked(*device) ? "plugged in, HID mode" : "plugged in, USB mode";
    if (changed) text += " (mode change applied)";
    TokenEventLocked(*device->token, text.c_str());
  }
  Broadcast(classGuid, DBT_DEVICEARRIVAL, path);
}

TokenState SimSystem::Token(TokenId token) const {
  std::lock_guard<std::mutex> lock(Mutex());
  TokenState state;
  const Device* device = TokenDeviceLocked(token);
  if (device == nullptr) return state;
  const VirtualToken& t = *device->token;
  state.mode = t.Mode();
  state.pendingMode = t.PendingMode();
  state.plugged = device->plugged;
  state.path = StatePathLocked(*device);
  state.atr = t.Atr();
  state.openHandles = static_cast<int>(std::count_if(
      files_.begin(), files_.end(),
      [device](const auto& f) { return f.second.device == device; }));
  state.controlRequests = t.ControlRequests();
  state.apdus = t.Apdus();
  return state;
}

std::vector<TokenId> SimSystem::Tokens() const {
  std::lock_guard<std::mutex> lock(Mutex());
  std::vector<TokenId> ids;
  for (const Device* device : tokens_) ids.push_back(device->token->Id());
  return ids;
}

void SimSystem::SetAtr(TokenId token, const std::vector<std::uint8_t>& atr) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) device->token->SetAtr(atr);
}

void SimSystem::SetPath(TokenId token, const std::string& path) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) device->customPath = path;
  path_index_stale_ = true;
}

void SimSystem::SetLatency(TokenId token, std::chrono::microseconds latency) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) device->latency = latency;
}

void SimSystem::SetControlAnswer(
    TokenId token, std::uint16_t code,
    std::optional<std::vector<std::uint8_t>> answer) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) {
    device->token->SetControlAnswer(code, std::move(answer));
  }
}

void SimSystem::SetFaults(TokenId token, const TokenFaults& faults) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Device* device = TokenDeviceLocked(token)) device->token->faults = faults;
}

TokenFaults SimSystem::GetFaults(TokenId token) const {
  std::lock_guard<std::mutex> lock(Mutex());
  const Device* device = TokenDeviceLocked(token);
  return device != nullptr ? device->token->faults : TokenFaults{};
}

void SimSystem::SetFaults(const MachineFaults& faults) {
  std::lock_guard<std::mutex> lock(Mutex());
  faults_ = faults;
}

MachineFaults SimSystem::GetFaults() const {
  std::lock_guard<std::mutex> lock(Mutex());
  return faults_;
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

// --- Device setup sets ----------------------------------------------------

HDEVINFO SimSystem::SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND,
                                         DWORD flags) {
  return Logged(
      "SetupDiGetClassDevsA",
      [&] {
        return "class=" + os::GuidText(classGuid) +
               ", flags=" + os::HexText(flags);
      },
      [&] { return MakeDeviceSet(classGuid, flags); });
}

HDEVINFO SimSystem::MakeDeviceSet(const GUID* classGuid, DWORD flags) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (faults_.classDevsFails) {
    SetLastError(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
    // Only sets of device interfaces of one class are simulated.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<os::DeviceRecord> records;
  // Windows NT 4 has no device interfaces.
  if (version_ != OsVersion::WindowsNt4) {
    for (Device* device : plugged_) {
      if (!os::SameGuid(InterfaceClassLocked(*device), *classGuid)) continue;
      os::DeviceRecord record;
      record.path = InterfacePathLocked(*device);
      record.hardwareIds = HardwareIdsLocked(*device);
      record.setupClass =
          IsHidLocked(*device) ? os::kHidSetupClassGuid : kUsbSetupClass;
      record.devInst = static_cast<DWORD>(device->attachment);
      for (int n = 1; n < device->interfaces; ++n) {
        record.morePaths.push_back(InterfacePathLocked(*device, n));
      }
      records.push_back(std::move(record));
    }
  }
  return AddDeviceSetLocked(*classGuid, std::move(records));
}

DWORD SimSystem::InjectedFailureLocked(InjectedFailure failure) {
  int& left = failure == InjectedFailure::ThreadCreation
                  ? faults_.threadCreationFailures
                  : faults_.windowCreationFailures;
  if (left <= 0) return 0;
  --left;
  return ERROR_NOT_ENOUGH_MEMORY;
}

std::optional<DWORD> SimSystem::FailingInterfaceIndexLocked() const {
  if (faults_.enumerationFailsAt < 0) return std::nullopt;
  return static_cast<DWORD>(faults_.enumerationFailsAt);
}

// --- Files -----------------------------------------------------------------

HANDLE SimSystem::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES, DWORD disposition,
                              DWORD flags, HANDLE) {
  return Logged(
      "CreateFileA",
      [&] {
        return "path=" + os::StringText(path) +
               ", access=" + os::HexText(access) +
               ", share=" + os::HexText(shareMode) +
               ", disposition=" + std::to_string(disposition) +
               ", flags=" + os::HexText(flags);
      },
      [&] { return OpenDevice(path, access, shareMode, disposition); });
}

HANDLE SimSystem::OpenDevice(LPCSTR path, DWORD access, DWORD shareMode,
                             DWORD disposition) {
  if (path == nullptr || disposition != OPEN_EXISTING) {
    // Devices are only opened, never created.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_lock<std::mutex> lock(Mutex());
  Device* device = FindPathLocked(path);
  DWORD error = 0;
  if (device == nullptr) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (device->token != nullptr &&
             device->token->faults.openFailures > 0) {
    --device->token->faults.openFailures;
    error = ERROR_ACCESS_DENIED;
  } else {
    // The share rule against every open of this attachment.
    for (const auto& [value, file] : files_) {
      if (file.device == device && file.attachment == device->attachment &&
          !os::SharesWith(access, shareMode, file.access, file.share)) {
        error = ERROR_SHARING_VIOLATION;
        break;
      }
    }
  }
  if (error != 0) {
    lock.unlock();
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = NewHandleLocked();
  OpenFile file;
  file.device = device;
  file.attachment = device->attachment;
  file.access = access;
  file.share = shareMode;
  files_.emplace(reinterpret_cast<std::uintptr_t>(handle), file);
  ++counters_.opens;
  return handle;
}

BOOL SimSystem::CloseOtherHandle(HANDLE handle) {
  std::unique_lock<std::mutex> lock(Mutex());
  if (files_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  ReleaseHandleLocked(handle);
  ++counters_.closes;
  return 1;
}

DWORD SimSystem::QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath,
                                 DWORD max) {
  std::unique_lock<std::mutex> lock(Mutex());
  if (faults_.dosDeviceQueryFails) {
    lock.unlock();
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  // Name and target of every DOS device, the tokens' among the others.
  std::vector<std::pair<std::string, std::string>> names = {
      {"C:", "\\Device\\HarddiskVolume1"},
      {"COM1", "\\Device\\Serial0"},
      {"PhysicalDrive0", "\\Device\\Harddisk0\\DR0"}};
  for (const Device* device : plugged_) {
    if (IsHidLocked(*device)) continue;
    names.emplace_back(
        device->dosName,
        "\\Device\\KelvraUsb" + std::to_string(device->token->Id() - 1));
  }
  names.emplace_back("NUL", "\\Device\\Null");
  lock.unlock();

  std::string text;
  if (deviceName == nullptr) {
    for (const auto& [name, target] : names) {
      text += name;
      text.push_back('\0');
    }
  } else {
    auto it = std::find_if(names.begin(), names.end(), [&](const auto& n) {
      return SameText(n.first, deviceName);
    });
    if (it == names.end()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    text = it->second;
    text.push_back('\0');
  }
  text.push_back('\0');
  if (targetPath == nullptr || text.size() > max) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(targetPath, text.data(), text.size());
  return static_cast<DWORD>(text.size());
}

// --- Transports --------------------------------------------------------------

SimSystem::Target SimSystem::ResolveLocked(HANDLE handle) {
  Target target;
  auto it = files_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == files_.end()) {
    target.error = ERROR_INVALID_HANDLE;
    return target;
  }
  target.device = it->second.device;
  if (!target.device->plugged ||
      it->second.attachment != target.device->attachment) {
    target.error = ERROR_DEVICE_NOT_CONNECTED;
  }
  return target;
}

std::unique_lock<std::mutex> SimSystem::AwaitLatency(
    HANDLE handle, std::unique_lock<std::mutex>& lock) {
  std::unique_lock<std::mutex> exchange;
  const Target target = ResolveLocked(handle);
  if (target.error != 0 || target.device->token == nullptr ||
      target.device->latency.count() <= 0) {
    return exchange;
  }
  Device& device = *target.device;  // devices live as long as the machine
  const std::chrono::microseconds latency = device.latency;
  lock.unlock();
  exchange = std::unique_lock<std::mutex>(device.exchange);
  std::this_thread::sleep_for(latency);
  lock.lock();
  return exchange;
}

void SimSystem::LogLocked(WireRecord::Kind kind, const Device* device,
                          std::uint32_t code, const void* data,
                          std::uint32_t size, std::uint32_t capacity,
                          const void* output, std::uint32_t outputSize, bool ok,
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
  if (out != nullptr) record.output.assign(out, out + outputSize);
  record.ok = ok;
  record.error = ok ? 0 : error;
  wire_.Push(std::move(record));
}

void SimSystem::ControlLocked(Device& device, std::uint16_t code,
                              const std::uint8_t* data, std::size_t length) {
  const ControlEffect effect =
      device.token->Control(code, data, length, device.answer);
  if (const auto* answer = device.token->ControlAnswer(code)) {
    device.answer.Set(true, answer->data(), answer->size());
  }
  // Events allocate: exchanges write them only while the wire log is on.
  if (!wire_enabled_) return;
  switch (effect) {
    case ControlEffect::ModeUsbPending:
      TokenEventLocked(*device.token,
                       "mode change to USB mode, takes effect at re-plug");
      break;
    case ControlEffect::ModeHidPending:
      TokenEventLocked(*device.token,
                       "mode change to HID mode, takes effect at re-plug");
      break;
    case ControlEffect::ModeIgnored:
      TokenEventLocked(*device.token,
                       "mode change request whose first data byte is not "
                       "00 or AA, ignored");
      break;
    case ControlEffect::None:
      break;
  }
}

BOOLEAN SimSystem::HidSetFeature(HANDLE handle, PVOID buffer, ULONG length) {
  std::unique_lock<std::mutex> lock(Mutex());
  ++counters_.transportCalls;
  const std::unique_lock<std::mutex> busy = AwaitLatency(handle, lock);
  const Target target = ResolveLocked(handle);
  auto* report = static_cast<std::uint8_t*>(buffer);
  DWORD error = target.error;
  if (error == 0 && report == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (error == 0 && !IsHidLocked(*target.device)) {
    error = ERROR_INVALID_FUNCTION;
  } else if (error == 0 && (target.device->token == nullptr || length == 0 ||
                            ReportSize(report[0]) != length)) {
    // Not one of the token's reports, or not of its size: the HID stack
    // refuses it and nothing reaches the device.
    error = ERROR_INVALID_PARAMETER;
  }
  if (error == 0) {
    Device& device = *target.device;
    if (device.token->faults.stopsAnswering) {
      // Taken by the stack; the token never answers it.
    } else if (report[0] == 0x80) {
      // Control request: data length + 1, request code, data.
      if (report[1] == 0) {
        error = ERROR_GEN_FAILURE;
      } else {
        ControlLocked(device, report[2], report + 3,
                      static_cast<std::size_t>(report[1]) - 1);
      }
    } else if (report[1] + 2u > length) {
      error = ERROR_GEN_FAILURE;  // the APDU length overruns the report
    } else {
      CommandLocked(device, report + 2, report[1]);
    }
  }
  const bool ok = error == 0;
  LogLocked(WireRecord::Kind::HidSetFeature, target.device, 0, report,
            report != nullptr ? static_cast<std::uint32_t>(length) : 0, 0,
            nullptr, 0, ok, error);
  lock.unlock();
  if (!ok) SetLastError(error);
  return ok ? 1 : 0;
}

BOOLEAN SimSystem::HidGetFeature(HANDLE handle, PVOID buffer, ULONG length) {
  std::unique_lock<std::mutex> lock(Mutex());
  ++counters_.transportCalls;
  const std::unique_lock<std::mutex> busy = AwaitLatency(handle, lock);
  const Target target = ResolveLocked(handle);
  auto* report = static_cast<std::uint8_t*>(buffer);
  DWORD error = target.error;
  if (error == 0 && report == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (error == 0 && !IsHidLocked(*target.device)) {
    error = ERROR_INVALID_FUNCTION;
  } else if (error == 0 && (target.device->token == nullptr || length != 258 ||
                            report[0] != 1)) {
    error = ERROR_INVALID_PARAMETER;  // answers come in report 1 only
  }
  if (error == 0) {
    Device& device = *target.device;
    TokenFaults& faults = device.token->faults;
    if (faults.stopsAnswering) {
      error = ERROR_SEM_TIMEOUT;
    } else if (faults.hidReadTimeouts > 0) {
      --faults.hidReadTimeouts;
      error = ERROR_SEM_TIMEOUT;
    } else if (faults.hidReadError.count > 0) {
      --faults.hidReadError.count;
      error = faults.hidReadError.error != 0 ? faults.hidReadError.error
                                             : ERROR_GEN_FAILURE;
    } else {
      // Report 1: length byte, then the answer (at most 255 bytes fit the
      // length byte), zero filler.
      const std::size_t n =
          device.answer.pending
              ? std::min<std::size_t>(device.answer.length, 255)
              : 0;
      report[1] = static_cast<std::uint8_t>(n);
      if (n != 0) std::memcpy(report + 2, device.answer.bytes.data(), n);
      std::memset(report + 2 + n, 0, 256 - n);
      device.answer.Clear();
    }
  }
  const bool ok = error == 0;
  LogLocked(WireRecord::Kind::HidGetFeature, target.device, 0, report,
            report != nullptr ? static_cast<std::uint32_t>(length) : 0, 0,
            nullptr, 0, ok, error);
  lock.unlock();
  if (!ok) SetLastError(error);
  return ok ? 1 : 0;
}

DWORD SimSystem::DriverLocked(Device& device, DWORD code,
                              const std::uint8_t* in, DWORD inSize,
                              std::uint8_t* out, DWORD outSize,
                              DWORD& returned) {
  VirtualToken& token = *device.token;
  Answer& answer = device.answer;
  if (token.faults.stopsAnswering) return ERROR_GEN_FAILURE;
  auto run = [&](const Header& h, std::size_t dataLength) {
    if (h.request == 1) {
      ControlLocked(device, h.value, in + 8, dataLength);
    } else {
      CommandLocked(device, in + 8, dataLength);
    }
  };
  switch (code) {
    case os::IOCTL_VX_TRANSFER: {  // single call: request in, answer out
      if (token.faults.refuseSingleCall) return ERROR_INVALID_FUNCTION;
      if (inSize < 8 || inSize > kMaxDriverInput)
        return ERROR_INVALID_PARAMETER;
      const Header h = ReadHeader(in);
      if (!IsSentHeader(h)) return ERROR_INVALID_PARAMETER;
      std::size_t dataLength = 0;
      if (inSize == 8u + h.length) {
        dataLength = h.length;
      } else if (!(h.request == 1 && h.length == 8 && inSize == 8)) {
        return ERROR_INVALID_PARAMETER;  // a control request without data
      }
      run(h, dataLength);
      if (answer.length > outSize) {
        answer.Clear();
        return ERROR_INSUFFICIENT_BUFFER;
      }
      if (answer.length != 0) {
        std::memcpy(out, answer.bytes.data(), answer.length);
      }
      returned = static_cast<DWORD>(answer.length);
      answer.Clear();
      return 0;
    }
    case os::IOCTL_VX_WRITE: {  // write: the request, answered later by a read
      if (inSize < 8 || inSize > kMaxDriverInput)
        return ERROR_INVALID_PARAMETER;
      const Header h = ReadHeader(in);
      if (!IsSentHeader(h) || inSize != 8u + h.length) {
        return ERROR_INVALID_PARAMETER;
      }
      run(h, h.length);
      return 0;
    }
    case os::IOCTL_VX_READ: {  // read: the answer of the last write
      if (inSize != 8) return ERROR_INVALID_PARAMETER;
      const Header h = ReadHeader(in);
      if (h.requestType != 0xC0 || (h.request != 0 && h.request != 1) ||
          h.value != 0 || h.index != 0) {
        return ERROR_INVALID_PARAMETER;
      }
      if (token.faults.driverReadFailures > 0) {
        --token.faults.driverReadFailures;
        return ERROR_GEN_FAILURE;
      }
      if (!answer.pending) return 0;
      if (answer.control != (h.request == 1)) return ERROR_INVALID_PARAMETER;
      const std::size_t n = std::min<std::size_t>(
          {answer.length, static_cast<std::size_t>(outSize), h.length});
      if (n != 0) std::memcpy(out, answer.bytes.data(), n);
      returned = static_cast<DWORD>(n);
      answer.Clear();
      return 0;
    }
    case os::IOCTL_VX_GET_ATR: {  // the ATR
      if (token.faults.atrCodeFails) return ERROR_INVALID_FUNCTION;
      const std::vector<std::uint8_t>& atr = token.Atr();
      const std::size_t n = std::min<std::size_t>(atr.size(), outSize);
      if (n != 0) std::memcpy(out, atr.data(), n);
      returned = static_cast<DWORD>(n);
      return 0;
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

BOOL SimSystem::DeviceIoControl(HANDLE handle, DWORD code, LPVOID in,
                                DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped) {
  std::unique_lock<std::mutex> lock(Mutex());
  ++counters_.transportCalls;
  const std::unique_lock<std::mutex> busy = AwaitLatency(handle, lock);
  const Target target = ResolveLocked(handle);
  DWORD error = target.error;
  if (error == 0 && IsHidLocked(*target.device)) {
    error = ERROR_INVALID_FUNCTION;  // a HID device has no driver codes
  } else if (error == 0 && (overlapped != nullptr || returned == nullptr ||
                            (in == nullptr && inSize != 0) ||
                            (out == nullptr && outSize != 0))) {
    error = ERROR_INVALID_PARAMETER;
  }
  DWORD got = 0;
  if (error == 0) {
    error =
        DriverLocked(*target.device, code, static_cast<const std::uint8_t*>(in),
                     inSize, static_cast<std::uint8_t*>(out), outSize, got);
    if (error != 0) got = 0;
  }
  if (returned != nullptr) *returned = got;
  const bool ok = error == 0;
  LogLocked(WireRecord::Kind::DeviceIoControl, target.device, code, in,
            in != nullptr ? inSize : 0, outSize, ok ? out : nullptr, got, ok,
            error);
  lock.unlock();
  if (!ok) SetLastError(error);
  return ok ? 1 : 0;
}

void SimSystem::HidGetHidGuid(LPGUID guid) {
  if (guid != nullptr) *guid = kHidClassGuid;
}

// --- Memory -----------------------------------------------------------------

HLOCAL SimSystem::LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~static_cast<UINT>(LMEM_ZEROINIT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only fixed memory
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(Mutex());
  if (faults_.allocationFailuresAfter == 0) {
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = std::malloc(bytes != 0 ? bytes : 1);
  if (block == nullptr) {
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Memory that is not asked to be zeroed is not: code that relies on
  // zeroes it did not ask for shows.
  std::memset(block, (flags & LMEM_ZEROINIT) != 0 ? 0 : 0xCD,
              bytes != 0 ? bytes : 1);
  if (faults_.allocationFailuresAfter > 0) --faults_.allocationFailuresAfter;
  blocks_.emplace(block, bytes);
  ++counters_.allocations;
  return block;
}

HLOCAL SimSystem::LocalFree(HLOCAL mem) {
  if (mem == nullptr) return nullptr;
  std::unique_lock<std::mutex> lock(Mutex());
  auto it = blocks_.find(mem);
  if (it == blocks_.end()) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return mem;
  }
  blocks_.erase(it);
  lock.unlock();
  std::free(mem);
  return nullptr;
}

}  // namespace vantor::sim::detail
