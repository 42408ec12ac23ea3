// A virtual token whose card lasts from run to run (--sim=FILE). FILE holds
// the token's version and device type and every card command run on it,
// with the bytes it read; a run replays them on a fresh virtual token
// before its own command, which it then adds. PINs typed for the virtual
// token are kept in FILE as they were read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "vantor/sim.h"

namespace vantor::tool::cli {

struct SimRun {
  int status = 0;                 // the exit status it ended with
  std::string input;              // what it read from standard input
  std::vector<std::string> args;  // its arguments
};

struct SimFile {
  std::uint16_t version = 0x0230;  // the token's version word
  std::uint8_t deviceType = 0;     // 0, 1 or 2
  std::vector<SimRun> runs;
};

// Reads `path` into `file`; `exists` says whether it was there. False, with
// `error`, for a file that cannot be read or holds something else.
bool ReadSimFile(const std::string& path, SimFile* file, bool* exists,
                 std::string* error);

// Adds `run` to `path`, writing the token's line first when `create`.
bool AppendSimRun(const std::string& path, const SimFile& file, bool create,
                  const SimRun& run, std::string* error);

// The virtual token of a version word and device type.
sim::TokenConfig SimTokenConfig(std::uint16_t version, std::uint8_t deviceType);

// Runs the recorded commands again on `host`, their output dropped. False,
// with `error`, when one ends otherwise than it did.
bool ReplaySimRuns(const SimFile& file, Host& host, std::string* error);

// Whether a run of this command line changes the card and is kept: a card
// command that got past its usage checks.
bool KeepsRun(const Parsed& parsed, int status);

}  // namespace vantor::tool::cli
