// Bytes from hexadecimal text, for tests: "80 CA 02 00 08" -> {0x80, ...};
// spaces are ignored.
#pragma once

#include <cstdint>
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

}  // namespace vantor::testing
