// vantor: lists Vantor tokens, switches them between USB mode and HID mode,
// checks what this machine needs to reach them, and works with the tokens'
// directories, PINs, files and programs. --sim runs on a
// simulated machine with one virtual token.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "hosts.h"
#include "os/terminal.h"

namespace {

using namespace vantor::tool::cli;

int RunOn(const Parsed& parsed, const Streams& io) {
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

// Output that did not reach standard output (a full disk, a closed pipe)
// is a failure, said on standard error.
int CheckOutput(int status) {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0 && std::cout) {
    return status;
  }
  const int error = errno;
  std::fprintf(stderr, "vantor: cannot write standard output%s%s\n",
               error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Parsed parsed = ParseArgs(args);
  // A file stored from standard input ('-') arrives byte for byte.
  os::UseBinaryStdin();
  const Streams io{std::cout,         std::cerr,
                   os::IsTerminal(2), &std::cin,
                   os::IsTerminal(0), [](bool on) { os::SetEcho(0, on); }};
  return CheckOutput(RunOn(parsed, io));
}
