// Devices on the simulated machine: virtual tokens and foreign HID devices,
// their paths and hardware ids, plugging them in and out, and the device
// setup sets that list them.
#include "sim/sim_system.h"

#include <algorithm>
#include <cstdio>

#include "os/driver_codes.h"
#include "sim/text.h"

namespace vantor::sim::detail {

const GUID kHidClassGuid = os::kHidInterfaceClassGuid;
const GUID kDriverClassGuid = os::kDriverInterfaceClassGuid;

namespace {

// The setup class of tokens in USB mode (what SP_DEVINFO_DATA::ClassGuid
// reports for them).
const GUID kUsbSetupClass = {0x36FC9E60,
                             0xC465,
                             0x11CF,
                             {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr char kHidClassText[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
constexpr char kDriverClassText[] = "{171638f7-1ead-4873-ba98-c966abcf0142}";
constexpr char kDriverHardwareId[] = "USB\\VID_0471&PID_485D&REV_0100";
// The start of a token's HID hardware id, in lower case.
constexpr char kTokenHidId[] = "hid\\vid_0471&pid_485e";

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

}  // namespace

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
    if (rev != std::string::npos) id.resize(rev);
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

os::WindowsFacts SimSystem::GatherWindows() {
  // What the device setup sets list: HID devices whose first hardware id is
  // the tokens', and the driver's devices; none on Windows NT 4, which has
  // no device interfaces.
  std::lock_guard<std::mutex> lock(Mutex());
  os::WindowsFacts facts;
  if (version_ == OsVersion::WindowsNt4) return facts;
  for (const Device* device : plugged_) {
    if (!IsHidLocked(*device)) {
      ++facts.driverTokens;
    } else if (Lower(HardwareIdsLocked(*device)).rfind(kTokenHidId, 0) == 0) {
      ++facts.hidTokens;
    }
  }
  return facts;
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

std::optional<DWORD> SimSystem::FailingInterfaceIndexLocked() const {
  if (faults_.enumerationFailsAt < 0) return std::nullopt;
  return static_cast<DWORD>(faults_.enumerationFailsAt);
}

}  // namespace vantor::sim::detail
