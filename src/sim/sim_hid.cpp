// The HID class library of the simulated machine: feature reports to and
// from virtual tokens in HID mode, and the control requests they carry.
#include "sim/sim_system.h"

#include <algorithm>
#include <cstring>

namespace vantor::sim::detail {

namespace {

// The size of each feature report of the token, 0 for an unknown id.
ULONG ReportSize(std::uint8_t id) {
  if (id == 0x80 || id == 1) return 258;
  if (id >= 13 && id <= 20) return 8u * (21u - id);
  if (id >= 2 && id <= 12) return 80u + 16u * (12u - id);
  return 0;
}

}  // namespace

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

BOOLEAN SimSystem::FeatureReport(HANDLE handle, PVOID buffer, ULONG length,
                                 bool set) {
  std::unique_lock<std::mutex> lock(Mutex());
  ++counters_.transportCalls;
  const std::unique_lock<std::mutex> busy = AwaitLatency(handle, lock);
  const Target target = ResolveLocked(handle);
  auto* report = static_cast<std::uint8_t*>(buffer);
  DWORD error = CallFaultLocked(CallKind::Transport);
  if (error == 0) error = target.error;
  // The checks run in the stack's order; two of them give the same error.
  // A report that is not one of the token's, or not of its size, is refused
  // and nothing reaches the device; answers come in report 1 only.
  // NOLINTNEXTLINE(bugprone-branch-clone): the order decides the error
  if (error == 0 && report == nullptr) {
    error = ERROR_INVALID_PARAMETER;
  } else if (error == 0 && !IsHidLocked(*target.device)) {
    error = ERROR_INVALID_FUNCTION;
  } else if (error == 0 &&
             (target.device->token == nullptr || length == 0 ||
              ReportSize(report[0]) != length || (!set && report[0] != 1))) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (error == 0) {
    error = set ? SetFeatureLocked(*target.device, report, length)
                : GetFeatureLocked(*target.device, report, length);
  }
  const bool ok = error == 0;
  LogLocked(
      set ? WireRecord::Kind::HidSetFeature : WireRecord::Kind::HidGetFeature,
      target.device, 0, report,
      report != nullptr ? static_cast<std::uint32_t>(length) : 0, 0, nullptr, 0,
      ok, error);
  lock.unlock();
  if (!ok) SetLastError(error);
  return ok ? 1 : 0;
}

DWORD SimSystem::SetFeatureLocked(Device& device, const std::uint8_t* report,
                                  ULONG length) {
  if (device.token->faults.stopsAnswering) {
    return 0;  // taken by the stack; the token never answers it
  }
  if (report[0] == 0x80) {
    // Control request: data length + 1, request code, data.
    if (report[1] == 0) return ERROR_GEN_FAILURE;
    ControlLocked(device, report[2], report + 3,
                  static_cast<std::size_t>(report[1]) - 1);
    return 0;
  }
  if (report[1] + 2u > length) {
    return ERROR_GEN_FAILURE;  // the APDU length overruns the report
  }
  CommandLocked(device, report + 2, report[1]);
  return 0;
}

DWORD SimSystem::GetFeatureLocked(Device& device, std::uint8_t* report,
                                  ULONG length) {
  TokenFaults& faults = device.token->faults;
  if (faults.stopsAnswering) return ERROR_SEM_TIMEOUT;
  if (faults.hidReadTimeouts > 0) {
    --faults.hidReadTimeouts;
    return ERROR_SEM_TIMEOUT;
  }
  if (faults.hidReadError.count > 0) {
    --faults.hidReadError.count;
    return faults.hidReadError.error != 0 ? faults.hidReadError.error
                                          : ERROR_GEN_FAILURE;
  }
  if (faults.rawAnswer) {
    const std::vector<std::uint8_t>& raw = *faults.rawAnswer;
    const std::size_t n = std::min<std::size_t>(raw.size(), length - 1);
    if (n != 0) std::memcpy(report + 1, raw.data(), n);
    std::memset(report + 1 + n, 0, length - 1 - n);
    faults.rawAnswer.reset();
  } else {
    // Report 1: length byte, then the answer (at most 255 bytes fit the
    // length byte), zero filler.
    const std::size_t n = device.answer.pending
                              ? std::min<std::size_t>(device.answer.length, 255)
                              : 0;
    report[1] = static_cast<std::uint8_t>(n);
    if (n != 0) std::memcpy(report + 2, device.answer.bytes.data(), n);
    std::memset(report + 2 + n, 0, 256 - n);
  }
  device.answer.Clear();
  return 0;
}

BOOLEAN SimSystem::HidD_SetFeature(HANDLE handle, PVOID buffer, ULONG length) {
  return FeatureReport(handle, buffer, length, true);
}

BOOLEAN SimSystem::HidD_GetFeature(HANDLE handle, PVOID buffer, ULONG length) {
  return FeatureReport(handle, buffer, length, false);
}

// Answered by the HID stack from what it knows of the device: the token
// sees nothing of it, and it is not in the wire log.
BOOLEAN SimSystem::HidD_GetAttributes(HANDLE handle,
                                      os::HidAttributes* attributes) {
  std::unique_lock<std::mutex> lock(Mutex());
  const Target target = ResolveLocked(handle);
  DWORD error = target.error;
  if (error == 0 && !IsHidLocked(*target.device))
    error = ERROR_INVALID_FUNCTION;
  if (error == 0 &&
      (attributes == nullptr || attributes->Size < sizeof(os::HidAttributes))) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (error != 0) {
    lock.unlock();
    SetLastError(error);
    return 0;
  }
  // A foreign HID device answers ids that are not the token's.
  const bool token = target.device->token != nullptr;
  attributes->VendorID = token ? 0x0471 : 0xFFFF;
  attributes->ProductID = token ? 0x485e : 0xFFFF;
  attributes->VersionNumber = 0x0100;
  return 1;
}

}  // namespace vantor::sim::detail
