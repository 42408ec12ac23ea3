// A virtual token: what it is (mode, ATR, counters) and how it answers the
// requests that reach it, independent of the transport that carried them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "vantor/sim.h"

namespace vantor::sim::detail {

// The answer waiting to be fetched. A fixed buffer: answering allocates
// nothing.
struct Answer {
  static constexpr std::size_t kCapacity = 1024;
  std::array<std::uint8_t, kCapacity> bytes{};
  std::size_t length = 0;
  bool pending = false;  // an answer waits to be fetched
  bool control = false;  // it answers a control request (else an APDU)

  void Clear() {
    length = 0;
    pending = false;
  }
  // Sets the answer to `n` bytes (at most kCapacity are kept).
  void Set(bool isControl, const std::uint8_t* data, std::size_t n);
};

// What a control request did besides answering, for the event log.
enum class ControlEffect {
  None,
  ModeUsbPending,  // mode change to USB mode recorded
  ModeHidPending,  // mode change to HID mode recorded
  ModeIgnored,     // mode change request with unknown data
};

class VirtualToken {
 public:
  VirtualToken(TokenId id, const TokenConfig& config);

  TokenId Id() const { return id_; }
  const TokenConfig& Config() const { return config_; }

  TokenMode Mode() const { return mode_; }
  std::optional<TokenMode> PendingMode() const { return pending_; }
  // Makes the pending mode the mode (at plug-in); returns whether it
  // changed anything.
  bool ApplyPendingMode();

  const std::vector<std::uint8_t>& Atr() const { return atr_; }
  void SetAtr(const std::vector<std::uint8_t>& atr) { atr_ = atr; }

  // Runs control request `code` with its data and leaves the answer in
  // `answer`.
  ControlEffect Control(std::uint16_t code, const std::uint8_t* data,
                        std::size_t length, Answer& answer);
  // Runs one command APDU and leaves the answer (data and status word) in
  // `answer`. The card's command language is interpreted here.
  void Command(const std::uint8_t* apdu, std::size_t length, Answer& answer);

  int ControlRequests() const { return control_requests_; }
  int Apdus() const { return apdus_; }

  // The answer set to replace the token's own to control request `code`,
  // or null.
  const std::vector<std::uint8_t>* ControlAnswer(std::uint16_t code) const {
    auto it = control_answers_.find(code);
    return it == control_answers_.end() ? nullptr : &it->second;
  }
  void SetControlAnswer(std::uint16_t code,
                        std::optional<std::vector<std::uint8_t>> answer) {
    if (answer) {
      control_answers_[code] = std::move(*answer);
    } else {
      control_answers_.erase(code);
    }
  }

  TokenFaults faults;

 private:
  TokenId id_;
  TokenConfig config_;
  TokenMode mode_;
  std::optional<TokenMode> pending_;
  std::vector<std::uint8_t> atr_;
  int control_requests_ = 0;
  int apdus_ = 0;
  std::map<std::uint16_t, std::vector<std::uint8_t>> control_answers_;
};

}  // namespace vantor::sim::detail
