// What the subcommands of the command-line program share: failure output,
// the choice of a token, hexadecimal text, and the card subcommands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli.h"

namespace vantor::tool::cli::internal {

// `format` with one unsigned value.
std::string Format(const char* format, unsigned value);
// Bytes as upper-case hexadecimal digits.
std::string HexBytes(const std::uint8_t* bytes, std::size_t count);

// A failure: a line on standard error with the code in hexadecimal and in
// words and, with --json, an error object on standard output. Returns
// `status`.
int Fail(const Options& options, Streams& io, const std::string& message,
         std::optional<std::uint32_t> code = std::nullopt,
         int status = kExitFailed);

// A 32-bit number, decimal or with 0x hexadecimal.
std::optional<std::uint32_t> ParseWord(const std::string& text);

// The token that -d names, or the only one attached.
struct Chosen {
  Listing listing;
  std::size_t index = 0;  // in listing.contexts
  int status = kExitOk;   // not kExitOk: the failure was reported
};
Chosen ChooseToken(const Options& options, Host& host, Streams& io);

// The card subcommands; `command` is one of them.
bool IsCardCommand(const std::string& command);
int RunCardCommand(const Options& options, Host& host, Streams& io);

}  // namespace vantor::tool::cli::internal
