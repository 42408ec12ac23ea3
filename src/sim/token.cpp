#include "sim/token.h"

#include <algorithm>
#include <cstring>

namespace vantor::sim {

std::vector<std::uint8_t> DefaultAtr(std::uint16_t version,
                                     const std::array<std::uint8_t, 8>& id) {
  // TS, T0 (TA1 TC1 TD1 present, K = 15), TA1, TC1, TD1, then H0..H14.
  std::vector<std::uint8_t> atr(20, 0);
  atr[0] = 0x3B;
  atr[1] = 0xDF;
  atr[5] = 0x56;
  atr[6] = static_cast<std::uint8_t>(version >> 8);
  atr[7] = static_cast<std::uint8_t>(version & 0xFF);
  std::copy(id.begin(), id.end(), atr.begin() + 12);
  return atr;
}

namespace detail {

void Answer::Set(bool isControl, const std::uint8_t* data, std::size_t n) {
  length = std::min(n, kCapacity);
  if (length != 0) std::memcpy(bytes.data(), data, length);
  pending = true;
  control = isControl;
}

VirtualToken::VirtualToken(TokenId id, const TokenConfig& config)
    : id_(id),
      config_(config),
      mode_(config.mode),
      atr_(config.atr ? *config.atr
                      : DefaultAtr(config.version, config.deviceId)) {}

bool VirtualToken::ApplyPendingMode() {
  if (!pending_) return false;
  const bool changed = *pending_ != mode_;
  mode_ = *pending_;
  pending_.reset();
  return changed;
}

ControlEffect VirtualToken::Control(std::uint16_t code,
                                    const std::uint8_t* data,
                                    std::size_t length, Answer& answer) {
  ++control_requests_;
  static constexpr std::uint8_t kOk[] = {0x90, 0x00};
  switch (code) {
    case 2:  // the ATR
      answer.Set(true, atr_.data(), atr_.size());
      return ControlEffect::None;
    case 4:
    case 5:
      answer.Set(true, kOk, sizeof(kOk));
      return ControlEffect::None;
    case 6:  // echo
      answer.Set(true, data, length);
      return ControlEffect::None;
    case 7:  // mode change by the first data byte, applied at the next
             // plug-in; the bytes after it carry nothing
      answer.Set(true, nullptr, 0);
      if (length >= 1 && data[0] == 0x00) {
        pending_ = TokenMode::Usb;
        return ControlEffect::ModeUsbPending;
      }
      if (length >= 1 && data[0] == 0xAA) {
        pending_ = TokenMode::Hid;
        return ControlEffect::ModeHidPending;
      }
      return ControlEffect::ModeIgnored;
    default:
      answer.Set(true, nullptr, 0);
      return ControlEffect::None;
  }
}

void VirtualToken::Command(const std::uint8_t*, std::size_t, Answer& answer) {
  ++apdus_;
  // No instruction is known yet: 6D 00, instruction not supported.
  static constexpr std::uint8_t kNotSupported[] = {0x6D, 0x00};
  answer.Set(false, kNotSupported, sizeof(kNotSupported));
}

}  // namespace detail
}  // namespace vantor::sim
