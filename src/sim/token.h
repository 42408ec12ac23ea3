// A virtual token: what it is (mode, ATR, counters) and how it answers the
// requests that reach it, independent of the transport that carried them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/card.h"
#include "sim/sim_types.h"
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

  // The ATR it answers: the base ATR, with the device id of the card's
  // file 3F04 when the root holds it.
  const std::vector<std::uint8_t>& Atr() const { return atr_; }
  // Replaces the base ATR.
  void SetAtr(const std::vector<std::uint8_t>& atr);

  // Plug-in: the card's volatile state starts afresh.
  void PowerOn() { card_.Reset(); }

  // Runs control request `code` with its data and leaves the answer in
  // `answer`.
  ControlEffect Control(std::uint16_t code, const std::uint8_t* data,
                        std::size_t length, Answer& answer);
  // Runs one command APDU on the card (or answers it with an injected
  // answer) and leaves the answer (data and status word) in `answer`;
  // returns what the card did. With `log` the APDU log records it (the
  // log allocates; without it, answering allocates nothing).
  CardEffect Command(const std::uint8_t* apdu, std::size_t length,
                     Answer& answer, bool log);

  Card& GetCard() { return card_; }
  const Card& GetCard() const { return card_; }
  ApduLog ApduRecords() const;
  void ClearApdus();
  void Inject(const InjectedAnswer& injected);
  void ClearInjections() { injections_.clear(); }

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
  // Recomputes atr_ from base_atr_ and the card's file 3F04.
  void RefreshAtr();
  // Answers with the injected answer due for this command, if any.
  bool Injected(const std::uint8_t* apdu, std::size_t length, Answer& answer);
  void Log(const std::uint8_t* apdu, std::size_t length, const Answer& answer,
           bool injected);

  std::vector<std::uint8_t> base_atr_;
  std::vector<std::uint8_t> atr_;
  int control_requests_ = 0;
  int apdus_ = 0;
  Card card_;
  struct Injection {
    InjectedAnswer what;
    int remaining = 1;
  };
  std::vector<Injection> injections_;
  // The APDU log: a ring of at most config_.apduLogSize records; when it
  // is full, ring_head_ is the oldest.
  std::vector<ApduLog::Record> ring_;
  std::size_t ring_head_ = 0;
  std::uint64_t dropped_ = 0;
  std::map<std::uint16_t, std::vector<std::uint8_t>> control_answers_;
};

}  // namespace vantor::sim::detail
