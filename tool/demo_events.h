// What the demo programs say on standard error: the virtual token's events
// since the last call, one line each.
#pragma once

#include <cstdio>
#include <string>

#include "vantor/sim.h"

namespace vantor::tool {

inline void PrintDemoEvents(vantor::sim::Machine& machine) {
  for (const std::string& line : machine.Events()) {
    std::fprintf(stderr, "vantor-mode-demo: %s\n", line.c_str());
  }
  std::fflush(stderr);
  machine.ClearEvents();
}

}  // namespace vantor::tool
