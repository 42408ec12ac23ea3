// vantor: lists Vantor tokens, switches them between USB mode and HID mode,
// checks what this machine needs to reach them, and works with the tokens'
// directories, PINs, files and programs. --sim runs on a
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
  // A file stored from standard input ('-') arrives byte for byte.
  os::UseBinaryStdin();
  const Streams io{std::cout,         std::cerr,
                   os::IsTerminal(2), &std::cin,
                   os::IsTerminal(0), [](bool on) { os::SetEcho(0, on); }};
  if (parsed.options.sim) {
    // The machine outlives every library call made on it.
    SimHost host;
    // Its token has a root directory, so that every command can be tried.
    host.MakeRoot();
    return Run(parsed, host, io);
  }
  NativeHost host;
  return Run(parsed, host, io);
}
