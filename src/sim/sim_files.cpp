// Opening and closing devices on the simulated machine (the share-mode
// rule), DOS device names, and the handles the transport calls go through.
#include "sim/sim_system.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "sim/text.h"

namespace vantor::sim::detail {

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
  DWORD error = CallFaultLocked(CallKind::Open);
  if (error == 0 && device == nullptr) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (error == 0 && device->token != nullptr &&
             device->token->faults.openFailures > 0) {
    --device->token->faults.openFailures;
    error = ERROR_ACCESS_DENIED;
  } else if (error == 0 && !os::SharesWithAll(access, shareMode, files_,
                                              [device](const OpenFile& file) {
                                                // The opens of this attachment.
                                                return file.device == device &&
                                                       file.attachment ==
                                                           device->attachment;
                                              })) {
    error = ERROR_SHARING_VIOLATION;
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
  // The names end in '\0' each, the list in one more: all are copied.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): terminators copied
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

}  // namespace vantor::sim::detail
