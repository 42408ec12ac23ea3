// vantor, the command-line program over the public token calls: its
// command line, its subcommands and their output, free of any platform.
//
// The program reaches the tokens through TokenApi and everything else of
// the machine (the tokens' modes, the checks of `doctor`, time) through
// Host, so every subcommand runs the same on the real system, on the
// simulated machine (--sim) and in tests.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "mode_change.h"
#include "os/probe.h"

namespace vantor::tool::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// One check of `doctor`: what was found and, when it stands in the way,
// what to run.
struct Finding {
  enum class Level { kOk, kWarn, kFail };
  Level level = Level::kOk;
  std::string name;    // short name: "hidraw", "udev rule", ...
  std::string detail;  // what was found
  std::string fix;     // what to do, or empty
};

// The machine the program runs on.
class Host {
 public:
  virtual ~Host() = default;
  virtual TokenApi& Api() = 0;
  // "Linux", "Windows" or "simulated machine".
  virtual std::string MachineName() const = 0;
  // The mode of each listed token where the machine can tell it, in the
  // order of `tokens`; nullopt where it cannot.
  virtual std::vector<std::optional<TargetMode>> Modes(
      const std::vector<VXContext>& tokens) = 0;
  // What stands between the user and a token outside the library.
  virtual std::vector<Finding> Checks() = 0;
  // A monotonic clock in milliseconds, and a pause.
  virtual std::int64_t NowMs() = 0;
  virtual void SleepMs(int milliseconds) = 0;
  // Told after a token accepted a mode change.
  virtual void ModeRequested(const VXContext& token) { (void)token; }
};

// The command line.
struct Options {
  std::string command;                // "list", "info", "mode", ... or "help"
  std::vector<std::string> operands;  // the words after the command
  bool json = false;
  bool sim = false;
  // --sim=FILE: the virtual token's card is kept in FILE between runs.
  std::optional<std::string> simFile;
  // --sim-version X.Y.Z and --sim-device-type N: the virtual token's
  // version word (0x0230 for 2.3.0) and device type (0, 1 or 2).
  std::optional<std::uint16_t> simVersion;
  std::optional<std::uint8_t> simDeviceType;
  bool help = false;                    // --help, or `help [COMMAND]`
  bool version = false;                 // --version
  bool bashCompletion = false;          // --bash-completion
  std::optional<std::uint32_t> device;  // -d N: the token's entry
  // -d ID: the token's device id (16 hexadecimal digits, upper case), which
  // stays the same when tokens come and go.
  std::optional<std::string> deviceId;
  std::optional<TargetMode> mode;  // mode usb|hid
  std::optional<int> waitSeconds;  // mode --wait [SECONDS]
  // Card commands.
  std::optional<std::string> path;         // --path P: entered first
  std::optional<std::uint32_t> pin;        // --pin user|dev: presented first
  std::optional<std::uint32_t> size;       // --size N
  std::optional<std::uint32_t> offset;     // --offset N
  std::optional<std::uint32_t> fileType;   // --type NAME
  std::optional<std::string> newDeviceId;  // --device-id: 16 hex digits
  std::optional<std::string> input;        // --input HEX
  bool byId = false;                       // run --by-id
  bool allowFiller = false;                // put --allow-filler
  bool accessFlag = false;                 // put --access-flag
  bool hex = false;                        // secrets as hexadecimal digits
  bool yes = false;                        // clear --yes
};

struct Parsed {
  Options options;
  std::string error;  // a usage error, or empty
  // Where each operand stands in the arguments.
  std::vector<std::size_t> operandAt;
};

// Parses the arguments after the program's name. Options may stand before
// or after the subcommand.
Parsed ParseArgs(const std::vector<std::string>& args);

// Where the output goes. `terminal`: standard error is a terminal (the
// countdown of `mode --wait` is shown there).
// Secrets (PINs, keys) and `-` as a file are read from `in`; where `in` is
// a terminal, a prompt goes to `err` and `echo` (when given) turns the
// terminal's echo off while a secret is typed.
struct Streams {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;
  std::istream* in = nullptr;
  bool inTerminal = false;
  void (*echo)(bool on) = nullptr;
};

// The bash completion of the program's commands and options, from the
// table the help is made of (`vantor --bash-completion`).
std::string BashCompletion();

// Runs a parsed command line and returns the exit status.
int Run(const Parsed& parsed, Host& host, Streams io);

// Seconds `mode --wait` waits when no number follows it.
inline constexpr int kDefaultWaitSeconds = 30;
// How often `mode --wait` lists the tokens.
inline constexpr int kPollMs = 100;

// A result code as "0x00000005 (VX_DEVICE_BUSY: the token cannot be
// opened, or ...)".
std::string DescribeResult(std::uint32_t code);
// The code's name ("VX_DEVICE_BUSY", "card status 6A82", "run status 3").
std::string ResultName(std::uint32_t code);
// What the code means, in words.
std::string ResultWords(std::uint32_t code);

// The version word of a context as "2.3.0".
std::string VersionText(std::uint32_t version);

// What the machine shows of the tokens, as the probes behind the platform
// seam find it (os/probe.h).
using HidrawNode = os::HidrawNode;
using LinuxFacts = os::LinuxFacts;
using WindowsFacts = os::WindowsFacts;

// Checks of `doctor` on Linux, from what the machine shows.
std::vector<Finding> LinuxFindings(const LinuxFacts& facts);

// Checks of `doctor` on Windows.
std::vector<Finding> WindowsFindings(const WindowsFacts& facts);

// The tokens' modes as far as the counts of HID and driver tokens tell
// them: all HID, all USB, or unknown when both kinds are attached.
std::vector<std::optional<TargetMode>> ModesFromCounts(
    const WindowsFacts& facts, std::size_t listed);

}  // namespace vantor::tool::cli
