// Fuzz target: the developer-PIN change and its rollback over token answers
// chosen by the input. Each input is a list of 3-byte records (command,
// which occurrence of it, answer): the verify or change command of one of
// the three parts is answered with a failure (a status word 6A xx, or a
// one-byte answer the transport cannot take). Whatever fails, the PIN on
// the token is the new one when the change reports success, the old one
// when it reports a failure, and partly changed only when it reports that
// the setting back failed.
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_rig.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

using vantor::fuzz::Check;

const std::string kOld = "246813572468135724681357";
const std::string kNew = "AAAAAAAABBBBBBBBCCCCCCCC";

const std::uint8_t* U(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

struct Rig : vantor::fuzz::TokenRig {
  // A fresh root with the default PINs, current.
  void Reset() {
    machine.ClearInjectedAnswers(token);
    if (machine.Card(token).root.has_value() &&
        (VXEnterDirectory(&context, "\\") != VX_SUCCESS ||
         VXClearDirectory(&context, 0) != VX_SUCCESS)) {
      std::abort();
    }
    if (VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY) != 0) {
      std::abort();
    }
  }
  std::string DevPin() const {
    std::string pin;
    const sim::CardState card = machine.Card(token);
    for (int part : {0xBB, 0xCC, 0xDD}) {
      for (const auto& key : card.root->children.front().keys) {
        if (key.id[0] == part) pin.append(key.value.begin(), key.value.end());
      }
    }
    return pin;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static Rig* rig = new Rig();
  rig->Reset();
  constexpr std::uint8_t kCommands[6][2] = {{0x20, 0xBB}, {0x5E, 0xBB},
                                            {0x20, 0xCC}, {0x5E, 0xCC},
                                            {0x20, 0xDD}, {0x5E, 0xDD}};
  std::vector<std::uint32_t> answers;
  for (std::size_t at = 0; at + 3 <= size && at < 4 * 3; at += 3) {
    sim::InjectedAnswer injected;
    const auto& command = kCommands[data[at] % 6];
    injected.ins = command[0];
    injected.p2 = command[1];
    injected.nth = 1 + data[at + 1] % 3;
    if (data[at + 2] == 0) {
      injected.answer = {0x90};
      answers.push_back(VX_COMM_ERROR);
    } else {
      injected.answer = {0x6A, data[at + 2]};
      answers.push_back(0x6A00u | data[at + 2]);
    }
    rig->machine.InjectAnswer(rig->token, injected);
  }
  const std::uint32_t result =
      VXSetPinOrKey(&rig->context, U(kOld), 24, U(kNew), 24, VX_DEV_PIN);
  const std::string pin = rig->DevPin();
  if (result == VX_SUCCESS) {
    Check(pin == kNew, "success over a PIN not fully changed");
  } else if (result == VX_DEV_PIN_NOT_RESTORED) {
    Check(pin != kNew && pin != kOld, "partly changed, but whole");
  } else {
    Check(pin == kOld, "failure over a changed PIN");
    bool injected = false;
    for (std::uint32_t answer : answers) injected |= answer == result;
    Check(injected, "a result no answer gave");
  }
  return 0;
}
