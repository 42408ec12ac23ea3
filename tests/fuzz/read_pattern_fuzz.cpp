// Fuzz target: every reading command and the exchange over arbitrary token
// answers (any length, any bytes). Each answer must give a documented
// result (0, 3 or the status word it carries), and a failing read must
// leave the caller's outputs as they were.
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "commandfile/commandfile.h"
#include "device/testing.h"
#include "fuzz_rig.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace cmd = vantor::commandfile;
namespace sim = vantor::sim;

using Rig = vantor::fuzz::TokenRig;

using vantor::fuzz::Check;

// The result an answer must give: 0 with 90 00 at its end and the `needs`
// data bytes the operation reads, 3 for an answer too short for that or
// not ending in a status word (SW1 61-6F or 90-9F), or exactly the status
// word it ends with.
void CheckResult(std::uint32_t result, const std::uint8_t* data,
                 std::size_t size, std::size_t needs, bool noRootIsAnswer,
                 const char* what) {
  if (size < 2) {
    Check(result == VX_COMM_ERROR, what);
    return;
  }
  const std::uint32_t sw =
      static_cast<std::uint32_t>(data[size - 2]) << 8 | data[size - 1];
  const std::uint8_t sw1 = data[size - 2];
  if (!((sw1 >= 0x61 && sw1 <= 0x6F) || (sw1 >= 0x90 && sw1 <= 0x9F))) {
    Check(result == VX_COMM_ERROR, what);  // no status word at its end
  } else if (sw == 0x9000) {
    // Success only with every data byte the operation reads.
    Check(result == (size - 2 < needs ? VX_COMM_ERROR : VX_SUCCESS), what);
  } else if (noRootIsAnswer && sw == 0x6A81) {
    Check(result == VX_SUCCESS, what);  // "no root" is the answer itself
  } else {
    Check(result == sw, what);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static Rig* rig = new Rig();
  const std::vector<std::uint8_t> answer = vantor::fuzz::AnswerOf(data, size);
  const std::uint8_t id[2] = {0x3F, 0x04};
  const VXContext* c = &rig->context;

  // Each operation meets the same answer in place of its command's.
  for (int op = 0; op < 9; ++op) {
    sim::InjectedAnswer injected;
    injected.ins = op == 7 ? 0xA4 : op == 8 ? 0xE0 : 0xCA;
    injected.answer = answer;
    rig->machine.InjectAnswer(rig->token, injected);
    std::uint8_t out[256];
    std::memset(out, 0xA5, sizeof(out));
    std::uint32_t length = 0xA5A5A5A5u;
    std::uint32_t result = 0;
    switch (op) {
      case 0:
        result = cmd::GetDeviceType(c, out);
        break;
      case 1:
        result = cmd::GetSerialNumber(c, out, sizeof(out), &length);
        break;
      case 2:
        result = cmd::GetVmType(c, out, sizeof(out), &length);
        break;
      case 3:
        result = cmd::GetTokenFreeSpace(c, out, sizeof(out), &length);
        break;
      case 4:
        result = cmd::GetDirFreeSpace(c, out, sizeof(out), &length);
        break;
      case 5: {
        std::uint16_t address = 0xA5A5;
        result = cmd::GetE2Address(c, &address);
        if (result != VX_SUCCESS) Check(address == 0xA5A5, "E2 address");
        break;
      }
      case 6: {
        std::uint32_t exists = 0xA5A5A5A5u;
        result = cmd::QueryRootExists(c, &exists);
        if (result != VX_SUCCESS) Check(exists == 0xA5A5A5A5u, "root flag");
        break;
      }
      case 7:
        result = cmd::GetFileInfo(c, id, out, sizeof(out), &length);
        break;
      default:
        result = cmd::FinishDirectory(c);
        break;
    }
    // Data bytes each operation reads from a 90 00 answer.
    constexpr std::size_t kNeeds[] = {1, 0, 1, 2, 2, 2, 0, 12, 0};
    CheckResult(result, answer.data(), answer.size(),
                kNeeds[static_cast<std::size_t>(op)], op == 6, "result");
    if (result != VX_SUCCESS) {
      for (std::uint8_t b : out) Check(b == 0xA5, "output untouched");
      Check(length == 0xA5A5A5A5u, "length untouched");
    }
  }
  return 0;
}
