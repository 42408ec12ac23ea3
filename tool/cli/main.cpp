// vantor: lists Vantor tokens, switches them between USB mode and HID mode,
// and checks what this machine needs to reach them. --sim runs on a
// simulated machine with one virtual token.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "hosts.h"
#include "os/terminal.h"

int main(int argc, char** argv) {
  using namespace vantor::tool::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Parsed parsed = ParseArgs(args);
  const Streams io{std::cout, std::cerr, os::IsTerminal(2)};
  if (parsed.options.sim) {
    // The machine outlives every library call made on it.
    SimHost host;
    return Run(parsed, host, io);
  }
  NativeHost host;
  return Run(parsed, host, io);
}
