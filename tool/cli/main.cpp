// vantor: lists Vantor tokens, switches them between USB mode and HID mode,
// checks what this machine needs to reach them, and works with the tokens'
// directories, PINs, files and programs. --sim runs on a
// simulated machine with one virtual token.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <streambuf>
#include <string>
#include <vector>

#include "cli.h"
#include "hosts.h"
#include "os/terminal.h"
#include "sim_file.h"

namespace {

using namespace vantor::tool::cli;

// Keeps a copy of what is read through it.
class CopyingBuffer final : public std::streambuf {
 public:
  CopyingBuffer(std::streambuf* source, std::string* copy)
      : source_(source), copy_(copy) {}

 protected:
  int_type underflow() override {
    const int_type c = source_->sbumpc();
    if (traits_type::eq_int_type(c, traits_type::eof())) return c;
    ch_ = traits_type::to_char_type(c);
    copy_->push_back(ch_);
    setg(&ch_, &ch_, &ch_ + 1);
    return c;
  }

 private:
  std::streambuf* source_;
  std::string* copy_;
  char ch_ = 0;
};

int Failed(const std::string& message, int status) {
  std::fprintf(stderr, "vantor: %s\n", message.c_str());
  return status;
}

// --sim and --sim=FILE: the virtual token's card replayed from FILE, the
// command run, and a card command added to FILE.
int RunOnSim(const Parsed& parsed, const std::vector<std::string>& args,
             Streams io) {
  const Options& o = parsed.options;
  SimFile file;
  bool exists = false;
  std::string error;
  if (o.simFile && !ReadSimFile(*o.simFile, &file, &exists, &error)) {
    return Failed(error, kExitFailed);
  }
  if (exists && ((o.simVersion && *o.simVersion != file.version) ||
                 (o.simDeviceType && *o.simDeviceType != file.deviceType))) {
    return Failed("--sim=" + *o.simFile +
                      " holds a token of its own version and device type: "
                      "leave out --sim-version and --sim-device-type, or "
                      "give another FILE",
                  kExitUsage);
  }
  if (!exists) {
    file.version = o.simVersion.value_or(file.version);
    file.deviceType = o.simDeviceType.value_or(file.deviceType);
  }
  // The machine outlives every library call made on it.
  SimHost host(true, true, SimTokenConfig(file.version, file.deviceType));
  if (!o.simFile) {
    // Its token has a root directory, so that every command can be tried.
    host.MakeRoot();
    return Run(parsed, host, io);
  }
  if (!ReplaySimRuns(file, host, &error)) return Failed(error, kExitFailed);
  SimRun run;
  run.args = args;
  CopyingBuffer copying(io.in->rdbuf(), &run.input);
  std::istream in(&copying);
  io.in = &in;
  run.status = Run(parsed, host, io);
  if (!KeepsRun(parsed, run.status)) return run.status;
  // A file named on the command line is kept as if it came from standard
  // input, after what was read there.
  const std::vector<std::string>& operands = o.operands;
  if ((o.command == "put" || o.command == "write") && operands.size() > 1 &&
      operands[1] != "-") {
    std::ifstream content(operands[1], std::ios::binary);
    run.input.append(std::istreambuf_iterator<char>(content), {});
    run.args[parsed.operandAt[1]] = "-";
  }
  if (!AppendSimRun(*o.simFile, file, !exists, run, &error)) {
    return Failed(error, kExitFailed);
  }
  return run.status;
}

int RunOn(const Parsed& parsed, const std::vector<std::string>& args,
          const Streams& io) {
  if (parsed.options.sim) return RunOnSim(parsed, args, io);
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
  return CheckOutput(RunOn(parsed, args, io));
}
