// What the fuzz targets share: a check that stops the run, a simulated
// machine with one virtual token, listed and opened, and one with a token
// in each mode.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "sim/testing.h"
#include "vantor/vantor.h"

namespace vantor::fuzz {

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

// A token answer made of a fuzz input: a HID answer report carries at most
// 255 bytes.
inline std::vector<std::uint8_t> AnswerOf(const std::uint8_t* data,
                                          std::size_t size) {
  return std::vector<std::uint8_t>(data,
                                   data + std::min<std::size_t>(size, 255));
}

struct TokenRig {
  // The wire log (and with it the card's APDU log) stays on when asked for;
  // off, the exchanges allocate nothing in the machine.
  explicit TokenRig(bool wireLog = false) {
    machine.Install();
    machine.SetWireLog(wireLog);
    token = machine.Plug({});
    std::uint32_t length = sizeof(VXContext);
    Check(VXListDevices(&context, &length) == VX_SUCCESS &&
              VXOpenDevice(&context) == VX_SUCCESS,
          "opening the token");
  }
  sim::TestMachine machine;
  sim::TokenId token = 0;
  VXContext context{};
};

// A machine with a token in each mode, both plugged: tokens[0] in HID mode,
// tokens[1] in USB mode, told apart by the first byte of their device ids
// ('H' and 'U'). The wire log is off.
struct TwoTokenRig {
  TwoTokenRig() {
    machine.Install();
    machine.SetWireLog(false);
    for (int usb = 0; usb < 2; ++usb) {
      sim::TokenConfig config;
      config.mode = usb != 0 ? sim::TokenMode::Usb : sim::TokenMode::Hid;
      config.deviceId[0] = usb != 0 ? 'U' : 'H';
      tokens[usb] = machine.Plug(config);
    }
  }
  sim::TestMachine machine;
  sim::TokenId tokens[2] = {};
};

}  // namespace vantor::fuzz
