// Text helpers shared by the simulated machine's files: Windows compares
// paths and device names without regard to case.
#pragma once

#include <cctype>
#include <string>

namespace vantor::sim::detail {

inline std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

inline bool SameText(const std::string& a, const char* b) {
  return Lower(a) == Lower(b);
}

}  // namespace vantor::sim::detail
