// Fuzz target: what a token (or its driver) hands back over the transport,
// byte for byte: HID answer reports (the length byte and what follows) and
// the driver's output with the count it claims to have written, read by a
// control request, a card command and a raw APDU exchange. Every answer
// must give a documented result, no length past the caller's capacity, and
// no write past the caller's buffer.
//
// Input: byte 0 chooses the mode (bit 0), the operation (bits 1-2) and
// whether the driver claims a count of its own (bit 3, the count in bytes
// 2-3); byte 1 is the caller's capacity; the rest is the answer.
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connection/connection.h"
#include "fuzz_rig.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

using vantor::fuzz::Check;

struct Rig : vantor::fuzz::TwoTokenRig {
  Rig() {
    std::uint32_t length = sizeof(contexts);
    if (VXListDevices(contexts, &length) != VX_SUCCESS ||
        length != sizeof(contexts)) {
      std::abort();
    }
    for (VXContext& context : contexts) {
      if (VXOpenDevice(&context) != VX_SUCCESS) std::abort();
      // A reset may rewrite the device id: remember the modes now.
      byMode[context.bDeviceId[0] == 'U' ? 1 : 0] = &context;
    }
    if (byMode[0] == nullptr || byMode[1] == nullptr) std::abort();
  }
  VXContext* byMode[2] = {};
  VXContext contexts[2] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static Rig* rig = new Rig();
  if (size < 4) return 0;
  const bool usb = (data[0] & 1) != 0;
  const int op = (data[0] >> 1) & 3;
  const sim::TokenId token = rig->tokens[usb ? 1 : 0];
  sim::TokenFaults faults;
  faults.rawAnswer.emplace(data + 4, data + size);
  if ((data[0] & 8) != 0) {
    faults.rawReturned = static_cast<std::uint32_t>(data[2] | data[3] << 8);
  }
  rig->machine.SetFaults(token, faults);
  VXContext* context = rig->byMode[usb ? 1 : 0];

  const std::uint32_t capacity = data[1];
  std::uint8_t buffer[300];
  std::memset(buffer, 0xA5, sizeof(buffer));
  std::uint32_t returned = 0xA5A5A5A5u;
  std::uint32_t result = 0;
  switch (op) {
    case 0:
      result = VXControl(context, VX_CONTROL_TYPE_4, nullptr, 0, buffer,
                         capacity, &returned);
      Check(result == 0 || result == 3 || result == 17, "control result");
      if (result == 0) Check(returned <= capacity, "control length");
      break;
    case 1:
      result = VXControl(context, VX_GET_SERIAL_NUMBER, nullptr, 0, buffer,
                         capacity, &returned);
      Check(result == 0 || result == 3 || result == 17 ||
                (result >= 0x6100 && result <= 0x6FFF) ||
                (result >= 0x9000 && result <= 0x9FFF),
            "card result");
      if (result == 0) Check(returned <= capacity, "card length");
      break;
    case 2: {
      const std::uint8_t apdu[] = {0x80, 0xCA, 0x02, 0x00, 0x08};
      returned = capacity;
      result = vantor::connection::SlotTransmit(context, apdu, sizeof(apdu),
                                                buffer, &returned);
      Check(result == 0 || result == 3 || result == 17, "transmit result");
      if (result == 0) Check(returned <= capacity, "transmit length");
      break;
    }
    default:
      result = VXControl(context, VX_RESET_DEVICE, nullptr, 0, buffer, capacity,
                         &returned);
      Check(result == 0 || result == 3 || result == 17 ||
                result == VX_ATR_CHANGED,
            "reset result");
      break;
  }
  for (std::size_t i = capacity; i < sizeof(buffer); ++i) {
    Check(buffer[i] == 0xA5, "write past the capacity");
  }
  rig->machine.SetFaults(token, {});
  return 0;
}
