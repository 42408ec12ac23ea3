// Bytes from hexadecimal text, for tests: "80 CA 02 00 08" -> {0x80, ...};
// spaces are ignored.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vantor::testing {

inline std::vector<std::uint8_t> HexBytes(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(
        std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Hexadecimal text of bytes: upper-case, no spaces.
inline std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof(digits), "%02X", byte);
    text += digits;
  }
  return text;
}

}  // namespace vantor::testing
