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
      base_atr_(config.atr ? *config.atr
                           : DefaultAtr(config.version, config.deviceId)),
      card_(config) {
  RefreshAtr();
}

void VirtualToken::SetAtr(const std::vector<std::uint8_t>& atr) {
  base_atr_ = atr;
  RefreshAtr();
}

void VirtualToken::RefreshAtr() {
  // Room for the extension to 15 historical bytes and a TCK, so that later
  // refreshes reuse the storage.
  if (atr_.capacity() < base_atr_.size() + 16) {
    atr_.reserve(base_atr_.size() + 16);
  }
  atr_.assign(base_atr_.begin(), base_atr_.end());
  std::array<std::uint8_t, 8> id{};
  if (!card_.AtrFile(id) || base_atr_.size() < 2) return;
  // Walk the interface bytes from T0 to find the historical bytes.
  const std::vector<std::uint8_t>& b = base_atr_;
  std::size_t at = 2;
  std::uint8_t y = b[1];
  bool tck = false;
  for (;;) {
    for (int bit : {0x10, 0x20, 0x40}) {
      if ((y & bit) != 0) ++at;
    }
    if ((y & 0x80) == 0) break;
    if (at >= b.size()) return;  // does not parse: answered unchanged
    y = b[at++];
    if ((y & 0x0F) != 0) tck = true;  // a protocol other than T=0
  }
  const std::size_t k = b[1] & 0x0Fu;
  if (at + k + (tck ? 1u : 0u) > b.size()) return;
  // Interface bytes, 15 historical bytes, the TCK, what followed.
  atr_.resize(at);
  atr_[1] = static_cast<std::uint8_t>(b[1] | 0x0F);
  for (std::size_t i = 0; i < 15; ++i) {
    if (i >= 7) {
      atr_.push_back(id[i - 7]);
    } else {
      atr_.push_back(i < k ? b[at + i] : 0x00);
    }
  }
  std::size_t rest = at + k;
  if (tck) {
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr_.size(); ++i) check ^= atr_[i];
    atr_.push_back(check);
    ++rest;
  }
  atr_.insert(atr_.end(), b.begin() + static_cast<std::ptrdiff_t>(rest),
              b.end());
}

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
    case 2:  // the reset: the card back at its root with nothing verified;
             // the answer is the ATR, with the card's device id
      card_.Reset();
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

CardEffect VirtualToken::Command(const std::uint8_t* apdu, std::size_t length,
                                 Answer& answer, bool log) {
  ++apdus_;
  CardEffect effect;
  const bool injected = Injected(apdu, length, answer);
  if (injected) {
    effect.kind = CardEffect::Kind::Injected;
    effect.byte = apdu[1];
  } else {
    static_assert(Card::kMaxAnswer <= Answer::kCapacity);
    std::size_t n = 0;
    effect = card_.Run(apdu, length, answer.bytes.data(), n);
    answer.length = n;
    answer.pending = true;
    answer.control = false;
    if (effect.kind != CardEffect::Kind::None) RefreshAtr();
  }
  if (log) Log(apdu, length, answer, injected);
  return effect;
}

bool VirtualToken::Injected(const std::uint8_t* apdu, std::size_t length,
                            Answer& answer) {
  if (injections_.empty() || length < 2) return false;
  auto due = injections_.end();
  for (auto it = injections_.begin(); it != injections_.end(); ++it) {
    const InjectedAnswer& w = it->what;
    if (w.ins != apdu[1] || (w.p1 && (length < 3 || *w.p1 != apdu[2])) ||
        (w.p2 && (length < 4 || *w.p2 != apdu[3]))) {
      continue;
    }
    if (it->remaining > 1) {
      --it->remaining;
    } else if (due == injections_.end()) {
      due = it;  // the earliest due; a later one waits for the next
    }
  }
  if (due == injections_.end()) return false;
  answer.Set(false, due->what.answer.data(), due->what.answer.size());
  injections_.erase(due);
  return true;
}

void VirtualToken::Log(const std::uint8_t* apdu, std::size_t length,
                       const Answer& answer, bool injected) {
  const std::size_t capacity = config_.apduLogSize;
  if (capacity == 0) {
    ++dropped_;
    return;
  }
  ApduLog::Record* record = nullptr;
  if (ring_.size() < capacity) {
    record = &ring_.emplace_back();
  } else {
    record = &ring_[ring_head_];
    ring_head_ = (ring_head_ + 1) % capacity;
    ++dropped_;
  }
  record->command.assign(apdu, apdu + length);
  record->answer.assign(
      answer.bytes.begin(),
      answer.bytes.begin() + static_cast<std::ptrdiff_t>(answer.length));
  record->injected = injected;
}

ApduLog VirtualToken::ApduRecords() const {
  ApduLog log;
  log.dropped = dropped_;
  log.records.reserve(ring_.size());
  for (std::size_t i = 0; i < ring_.size(); ++i) {
    log.records.push_back(ring_[(ring_head_ + i) % ring_.size()]);
  }
  return log;
}

void VirtualToken::ClearApdus() {
  ring_.clear();
  ring_head_ = 0;
  dropped_ = 0;
}

void VirtualToken::Inject(const InjectedAnswer& injected) {
  injections_.push_back({injected, std::max(injected.nth, 1)});
}

}  // namespace detail
}  // namespace vantor::sim
