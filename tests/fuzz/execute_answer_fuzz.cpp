// Fuzz target: the token's answer to the execute commands and to a file
// write, any length and any bytes. Each input answers, in turn, the basic
// and the extended execute command (card layer), VXExecute, and the first
// write of a VXStoreFile update. Every answer must give its documented
// result, and outputs, lengths and counts change only on success (the card
// layer's lengths also where it says so: 17 and a run status).
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commandfile/commandfile.h"
#include "fuzz_rig.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace cmd = vantor::commandfile;
namespace sim = vantor::sim;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
constexpr std::uint32_t kOutputSize = 128;
constexpr std::uint32_t kWrite = 300;

using vantor::fuzz::Check;

// A token whose root holds the executable file 1A2B and the data file 5A5A.
struct Rig : vantor::fuzz::TokenRig {
  Rig() {
    if (VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY) != VX_SUCCESS ||
        VXStoreFile(&context, "1A2B", 0, nullptr, 0, 16, nullptr,
                    VX_FILE_CREATE, VX_TYPE_EXE) != VX_SUCCESS ||
        VXStoreFile(&context, "5A5A", 0, nullptr, 0, kWrite, nullptr,
                    VX_FILE_CREATE, VX_TYPE_DATA) != VX_SUCCESS) {
      std::abort();
    }
  }
  void Inject(std::uint8_t ins, const std::vector<std::uint8_t>& answer) {
    sim::InjectedAnswer injected;
    injected.ins = ins;
    injected.answer = answer;
    machine.InjectAnswer(token, injected);
  }
};

// What an answer must give: 3 when it does not end in a status word (too
// short, or SW1 outside 61-6F and 90-9F), the status word unless it is
// 90 00, else 0 with `needs` data bytes at least and 3 with fewer.
std::uint32_t Expected(const std::vector<std::uint8_t>& answer,
                       std::size_t needs) {
  const std::size_t size = answer.size();
  if (size < 2) return VX_COMM_ERROR;
  const std::uint8_t sw1 = answer[size - 2];
  if ((sw1 < 0x61 || sw1 > 0x6F) && (sw1 < 0x90 || sw1 > 0x9F)) {
    return VX_COMM_ERROR;
  }
  const std::uint32_t sw =
      static_cast<std::uint32_t>(answer[size - 2]) << 8 | answer[size - 1];
  if (sw != 0x9000) return sw;
  return size - 2 < needs ? VX_COMM_ERROR : VX_SUCCESS;
}

// The outcome of a run the card answered with 90 00: what the output
// buffer and the length hold afterwards.
struct Run {
  std::uint32_t result;
  std::uint32_t length;  // kUntouched when not written
  std::vector<std::uint8_t> output;
};

Run ExpectedRun(const std::vector<std::uint8_t>& answer, bool withStatus,
                bool publicCall) {
  Run run{Expected(answer, withStatus ? 1 : 0), kUntouched,
          std::vector<std::uint8_t>(kOutputSize, 0xA5)};
  if (run.result != VX_SUCCESS) return run;
  const std::size_t from = withStatus ? 1 : 0;
  const auto count = static_cast<std::uint32_t>(answer.size() - 2 - from);
  const std::uint8_t status = withStatus ? answer[0] : 0;
  if (count > kOutputSize) {
    run.result = VX_BUFFER_TOO_SMALL;
    if (!publicCall) run.length = count;
  } else if (status != 0) {
    run.result = std::uint32_t{status} << 16;
    if (!publicCall) run.length = 0;
  } else {
    run.length = count;
    std::memcpy(run.output.data(), answer.data() + from, count);
  }
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static Rig* rig = new Rig();
  const std::vector<std::uint8_t> answer = vantor::fuzz::AnswerOf(data, size);
  const std::uint8_t id[2] = {0x1A, 0x2B};
  const std::uint8_t input[3] = {1, 2, 3};
  VXContext* c = &rig->context;

  for (int op = 0; op < 3; ++op) {
    rig->Inject(op == 1 ? 0x34 : 0x32, answer);
    Run got{0, kUntouched, std::vector<std::uint8_t>(kOutputSize, 0xA5)};
    switch (op) {
      case 0:
        got.result = cmd::ExecuteFile(c, id, input, 3, got.output.data(),
                                      kOutputSize, &got.length);
        break;
      case 1:
        got.result = cmd::ExecuteFileExtended(
            c, id, input, 3, got.output.data(), kOutputSize, &got.length);
        break;
      default:
        got.result = VXExecute(c, "1A2B", input, 3, got.output.data(),
                               kOutputSize, &got.length);
        break;
    }
    const Run want = ExpectedRun(answer, op != 1, op == 2);
    Check(got.result == want.result, "run result");
    Check(got.length == want.length, "output length");
    Check(got.output == want.output, "output bytes");
  }

  // The first of two writes of an update meets the answer.
  static const std::vector<std::uint8_t> bytes(kWrite, 0x3C);
  rig->Inject(0xD6, answer);
  std::uint32_t count = kUntouched;
  const std::uint32_t result =
      VXStoreFile(c, "5A5A", 0, bytes.data(), kWrite, 0, &count, VX_FILE_UPDATE,
                  VX_TYPE_DATA);
  Check(result == Expected(answer, 0), "write result");
  Check(count == (result == VX_SUCCESS ? kWrite : kUntouched), "count");
  return 0;
}
