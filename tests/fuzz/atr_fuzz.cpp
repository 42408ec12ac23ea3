// Fuzz target: a token's ATR, any bytes. Both readings of it run: the
// device layer's while listing (the token is listed or skipped), and the
// public layer's device id, at the listing and at a reset. The listed ATR
// must be a prefix of what the token answered, within the context, and the
// device id must hold only bytes of it.
//
// Input: byte 0 chooses the mode (bit 0); the rest is the ATR.
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/atr.h"
#include "fuzz_rig.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

using vantor::fuzz::Check;

// The USB token starts unplugged: one token is listed at a time.
struct Rig : vantor::fuzz::TwoTokenRig {
  Rig() { machine.Unplug(tokens[1]); }
  int plugged = 0;  // the mode plugged in now
};

// True when `id` is bytes of `atr` (8, or fewer where the ATR lacks the
// rest, followed by zeros), or 8 zero bytes.
bool IdFromAtr(const std::uint8_t* id, const std::vector<std::uint8_t>& atr) {
  const std::uint8_t zeros[8] = {};
  if (std::memcmp(id, zeros, 8) == 0) return true;
  for (std::size_t at = 0; at < atr.size(); ++at) {
    for (std::size_t n = 1; n <= std::min<std::size_t>(8, atr.size() - at);
         ++n) {
      if (std::memcmp(id, atr.data() + at, n) == 0 &&
          std::memcmp(id + n, zeros, 8 - n) == 0) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static Rig* rig = new Rig();
  if (size == 0) return 0;
  const int mode = data[0] & 1;
  const std::vector<std::uint8_t> atr(data + 1,
                                      data + std::min<std::size_t>(size, 80));
  if (mode != rig->plugged) {
    rig->machine.Unplug(rig->tokens[rig->plugged]);
    rig->machine.Replug(rig->tokens[mode]);
    rig->plugged = mode;
  }
  const sim::TokenId token = rig->tokens[mode];
  rig->machine.SetAtr(token, atr);

  // The shared walk reads nothing past the ATR (AddressSanitizer sees a
  // copy of exactly its size) and stores no more id bytes than it holds.
  const std::vector<std::uint8_t> copy(atr);
  vantor::common::AtrInfo info{};
  vantor::common::ParseAtrFields(copy.empty() ? nullptr : copy.data(),
                                 static_cast<std::uint32_t>(copy.size()),
                                 &info);
  Check(info.bDeviceIdLength <= 8, "device id length");

  VXContext context{};
  std::uint32_t length = sizeof(context);
  const std::uint32_t result = VXListDevices(&context, &length);
  Check(result == VX_SUCCESS, "listing");
  Check(length == 0 || length == sizeof(context), "listed length");
  if (length == 0) return 0;  // skipped: not a token's ATR
  Check(context.dwAtrLength != 0 && context.dwAtrLength <= 56 &&
            context.dwAtrLength <= atr.size(),
        "listed ATR length");
  Check(std::memcmp(context.bAtr, atr.data(), context.dwAtrLength) == 0,
        "listed ATR bytes");
  Check(IdFromAtr(context.bDeviceId, atr), "listed device id");

  if (VXOpenDevice(&context) == VX_SUCCESS) {
    const VXContext before = context;
    std::uint8_t out[64];
    std::uint32_t returned = 0;
    const std::uint32_t reset = VXControl(&context, VX_RESET_DEVICE, nullptr, 0,
                                          out, sizeof(out), &returned);
    Check(reset == VX_SUCCESS || reset == VX_ATR_CHANGED ||
              reset == VX_COMM_ERROR || reset == VX_BUFFER_TOO_SMALL,
          "reset result");
    if (reset == VX_SUCCESS) {
      Check(returned == context.dwAtrLength, "reset length");
      Check(IdFromAtr(context.bDeviceId, atr), "reset device id");
    } else {
      Check(std::memcmp(&context, &before, sizeof(context)) == 0,
            "failed reset changed the context");
    }
    Check(VXCloseDevice(&context) == VX_SUCCESS, "close");
  }
  return 0;
}
