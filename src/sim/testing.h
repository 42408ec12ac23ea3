// The simulated machine's inner doors, for the library's own tests, fuzz
// targets, benchmarks and stress program: faults at the level of Windows
// calls, the wire and call logs, the machine's counters and windows, and
// the answers of control requests. Applications use include/vantor/sim.h
// alone; this header is installed nowhere. The machine's behaviour at the
// Windows level is described in docs/virtual-token.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_system.h"
#include "sim/sim_types.h"
#include "vantor/sim.h"

namespace vantor::sim {

// A Machine with the inner doors. Each member forwards to the simulated
// system, where it is declared once and defined.
class TestMachine : public Machine {
 public:
  using Machine::Machine;

  OsVersion Version() const { return detail::SystemOf(*this).Version(); }
  // Changes a token's device path in both modes, at once when it is
  // plugged in (handles already open stay valid).
  void SetPath(TokenId token, const std::string& path) {
    detail::SystemOf(*this).SetPath(token, path);
  }
  // Makes a token answer control request `code` with exactly `answer` (at
  // most 1024 bytes; a HID read carries at most 255); Clear: its own again.
  void SetControlAnswer(TokenId token, std::uint16_t code,
                        const std::vector<std::uint8_t>& answer) {
    detail::SystemOf(*this).SetControlAnswer(token, code, answer);
  }
  void ClearControlAnswer(TokenId token, std::uint16_t code) {
    detail::SystemOf(*this).SetControlAnswer(token, code, std::nullopt);
  }

  // Faults. Set replaces the whole set; counters in it count down as the
  // machine uses them, and Get shows what is left.
  void SetFaults(TokenId token, const TokenFaults& faults) {
    detail::SystemOf(*this).SetFaults(token, faults);
  }
  TokenFaults GetFaults(TokenId token) const {
    return detail::SystemOf(*this).GetFaults(token);
  }
  void SetFaults(const MachineFaults& faults) {
    detail::SystemOf(*this).SetFaults(faults);
  }
  MachineFaults GetFaults() const {
    return detail::SystemOf(*this).GetFaults();
  }
  // Sets (or with nullopt clears) the call fault and starts counting the
  // calls of every kind from 0; CallCount tells how many calls of a kind
  // were made since (failed ones included), so a test can run a flow once
  // to count its calls and then once per index with that call failing.
  void SetCallFault(const std::optional<CallFault>& fault) {
    detail::SystemOf(*this).SetCallFault(fault);
  }
  int CallCount(CallKind kind) const {
    return detail::SystemOf(*this).CallCount(kind);
  }

  // The wire log. Logging is on by default; with it off an exchange
  // allocates no memory inside the machine (and the card keeps no APDU
  // log), so benchmarks can count the library's own allocations. ClearWire
  // also zeroes wireDropped.
  std::vector<WireRecord> Wire() const {
    return detail::SystemOf(*this).Wire();
  }
  void ClearWire() { detail::SystemOf(*this).ClearWire(); }
  void SetWireLog(bool enabled) { detail::SystemOf(*this).SetWireLog(enabled); }
  // The call log, off by default. ClearCalls also zeroes callsDropped.
  std::vector<CallRecord> Calls() const;
  void ClearCalls();
  void SetCallLog(bool enabled);
  // The wire log and the call log each keep their latest `records` records
  // (65536 by default) and count the older ones they drop (Counters).
  void SetLogLimit(std::size_t records) {
    detail::SystemOf(*this).SetLogLimit(records);
  }

  MachineCounters Counters() const {
    return detail::SystemOf(*this).Counters();
  }
  std::vector<WindowInfo> Windows() const;

  // Moves the current DF's allocation cursor (kept within its region), to
  // reach memory boundaries quickly. Nothing happens without a root.
  void SetCardCursor(TokenId token, std::uint32_t address) {
    detail::SystemOf(*this).SetCardCursor(token, address);
  }
};

}  // namespace vantor::sim
