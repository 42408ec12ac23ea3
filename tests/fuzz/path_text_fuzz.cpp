// Fuzz target: the texts that name files and directories. Each input is a
// text for the hexadecimal-text parser (every capacity up to 4 bytes, with
// guard bytes around the output), the file identifier check, and the
// directory path of VXEnterDirectory on a virtual token. The parser must
// agree with a digit count, and a path must be accepted exactly when it has
// one of the path forms, select exactly the directories it names, and send
// nothing when refused.
//
// Built as a libFuzzer target with clang (-fsanitize=fuzzer), and otherwise
// with replay_main.cpp as a program that replays a corpus.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commandfile/commandfile.h"
#include "fuzz_rig.h"
#include "hex_bytes.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

namespace cmd = vantor::commandfile;
namespace sim = vantor::sim;

using vantor::fuzz::Check;
using vantor::testing::Hex;

bool IsHex(char c) {
  return c != '\0' && std::strchr("0123456789abcdefABCDEF", c) != nullptr;
}

// The path rule, written from its description rather than the form list:
// lengths 1, 4, 5, 9 and 10; a leading backslash is skipped; every other
// character is a hexadecimal digit, except a backslash directly after a run
// of exactly four digits; the digits make whole identifiers (four for
// lengths 4 and 5, eight for 9 and 10); the only one-character path is the
// backslash.
bool PathAccepted(const std::string& path, std::string& digits) {
  const std::size_t length = path.size();
  if (length == 1) return path == "\\";
  if (length != 4 && length != 5 && length != 9 && length != 10) return false;
  std::size_t run = 0;
  for (std::size_t i = path[0] == '\\' ? 1 : 0; i < length; ++i) {
    if (IsHex(path[i])) {
      digits += path[i];
      ++run;
    } else if (path[i] == '\\' && run == 4) {
      run = 0;
    } else {
      return false;
    }
  }
  return digits.size() == (length <= 5 ? 4u : 8u);
}

std::string SelectOf(const std::string& id) {
  std::string text = "00A4000002";
  for (char c : id) {
    text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

struct Rig : vantor::fuzz::TokenRig {
  Rig() : TokenRig(true) {
    if (VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY) != VX_SUCCESS ||
        VXMakeDirectory(&context, "1A2B", 1000, VX_SUB_DIRECTORY) != 0 ||
        VXMakeDirectory(&context, "3C4D", 200, VX_SUB_DIRECTORY) != 0) {
      std::abort();
    }
  }
};

void CheckParser(const std::string& text) {
  std::size_t digits = 0;
  bool hex = true;
  for (char c : text) {
    if (c == '\\') continue;
    if (IsHex(c)) {
      ++digits;
    } else {
      hex = false;
    }
  }
  const auto count = static_cast<std::uint32_t>(text.size());
  for (std::uint32_t capacity = 0; capacity <= 4; ++capacity) {
    std::uint8_t out[8];
    std::memset(out, 0xA5, sizeof(out));
    const int bytes = cmd::ParseHexText(out + 2, capacity, text.c_str(), count);
    // A half byte needs its byte too.
    const bool fits = (digits + 1) / 2 <= capacity;
    Check(bytes == (hex && fits ? static_cast<int>(digits / 2) : -1),
          "parser result");
    for (std::size_t i = 2 + capacity; i < sizeof(out); ++i) {
      Check(out[i] == 0xA5, "parser wrote past its capacity");
    }
    Check(out[0] == 0xA5 && out[1] == 0xA5, "parser wrote before its output");
  }
  const int usable = cmd::IsUsableFileId(text.c_str());
  Check(usable == 0 || text.size() == 4 || text.size() == 8, "usable id");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static Rig* rig = new Rig();
  if (size > 16) size = 16;
  const char* chars = reinterpret_cast<const char*>(data);
  const std::string text =
      size == 0 ? std::string() : std::string(chars, strnlen(chars, size));
  CheckParser(text);

  // Every path starts from the root's first directory.
  if (VXEnterDirectory(&rig->context, "\\1A2B") != VX_SUCCESS) std::abort();
  // The logs start empty for every input, so they cost nothing to keep.
  rig->machine.ClearApdus(rig->token);
  rig->machine.ClearWire();
  rig->machine.ClearEvents();
  const std::uint32_t result = VXEnterDirectory(&rig->context, text.c_str());
  std::vector<std::string> sent;
  for (const auto& record : rig->machine.Apdus(rig->token).records) {
    sent.push_back(Hex(record.command));
  }
  std::string digits;
  if (!PathAccepted(text, digits)) {
    Check(result == VX_INVALID_PARAMETER, "refused path result");
    Check(sent.empty(), "refused path sent commands");
    return 0;
  }
  std::vector<std::string> expected;
  if (text.size() != 4) expected.push_back(SelectOf("3F00"));
  for (std::size_t at = 0; at < digits.size(); at += 4) {
    expected.push_back(SelectOf(digits.substr(at, 4)));
  }
  // The selections stop at the first directory the token does not have.
  Check(sent.size() <= expected.size(), "too many selections");
  for (std::size_t i = 0; i < sent.size(); ++i) {
    Check(sent[i] == expected[i], "selection of another directory");
  }
  Check(
      result == VX_SUCCESS ? sent.size() == expected.size() : result == 0x6A82,
      "path result");
  return 0;
}
