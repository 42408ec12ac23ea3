// What the fuzz targets share: a check that stops the run, and a simulated
// machine with one virtual token, listed and opened.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vantor/sim.h"
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
  sim::Machine machine;
  sim::TokenId token = 0;
  VXContext context{};
};

}  // namespace vantor::fuzz
