#include "os/portable/call_log.h"

#include <cstdio>

namespace os {

std::string HexText(std::uintptr_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx",
                static_cast<unsigned long long>(value));
  return text;
}

std::string HandleText(const void* handle) {
  if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return HexText(reinterpret_cast<std::uintptr_t>(handle));
}

std::string GuidText(const GUID* guid) {
  if (guid == nullptr) return "null";
  char text[40];
  std::snprintf(
      text, sizeof(text), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
      static_cast<unsigned long>(guid->Data1),
      static_cast<unsigned>(guid->Data2), static_cast<unsigned>(guid->Data3),
      static_cast<unsigned>(guid->Data4[0]),
      static_cast<unsigned>(guid->Data4[1]),
      static_cast<unsigned>(guid->Data4[2]),
      static_cast<unsigned>(guid->Data4[3]),
      static_cast<unsigned>(guid->Data4[4]),
      static_cast<unsigned>(guid->Data4[5]),
      static_cast<unsigned>(guid->Data4[6]),
      static_cast<unsigned>(guid->Data4[7]));
  return text;
}

std::string StringText(const char* text) {
  return text != nullptr ? std::string(text) : std::string("null");
}

std::string ClassNameText(const char* className) {
  const auto value = reinterpret_cast<std::uintptr_t>(className);
  if (className != nullptr && value < 0x10000) {
    // Appended, not "#" + a temporary: the optimiser warns wrongly about
    // overlapping copies in that form.
    std::string text = "#";
    text += std::to_string(value);
    return text;
  }
  return StringText(className);
}

}  // namespace os
