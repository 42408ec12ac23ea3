// A small JSON writer for the command-line program's machine-readable
// output: objects, arrays, strings (UTF-8 kept, control characters
// escaped), integers, booleans and null, written compactly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vantor::tool::cli {

class JsonWriter {
 public:
  JsonWriter& BeginObject() { return Open('{'); }
  JsonWriter& EndObject() { return Close('}'); }
  JsonWriter& BeginArray() { return Open('['); }
  JsonWriter& EndArray() { return Close(']'); }

  // The key of the next value in an object.
  JsonWriter& Key(const std::string& key) {
    Separate();
    Quote(key);
    text_ += ':';
    after_key_ = true;
    return *this;
  }
  JsonWriter& String(const std::string& value) {
    Separate();
    Quote(value);
    return *this;
  }
  JsonWriter& Number(std::int64_t value) {
    Separate();
    text_ += std::to_string(value);
    return *this;
  }
  JsonWriter& Bool(bool value) {
    Separate();
    text_ += value ? "true" : "false";
    return *this;
  }
  JsonWriter& Null() {
    Separate();
    text_ += "null";
    return *this;
  }

  const std::string& Text() const { return text_; }

 private:
  JsonWriter& Open(char bracket) {
    Separate();
    text_ += bracket;
    first_.push_back(true);
    return *this;
  }
  JsonWriter& Close(char bracket) {
    text_ += bracket;
    first_.pop_back();
    return *this;
  }
  // A comma before every value or key but the first of its container; none
  // between a key and its value.
  void Separate() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    if (first_.empty()) return;
    if (!first_.back()) text_ += ',';
    first_.back() = false;
  }
  void Quote(const std::string& value) {
    text_ += '"';
    for (const char ch : value) {
      const auto byte = static_cast<unsigned char>(ch);
      if (ch == '"' || ch == '\\') {
        text_ += '\\';
        text_ += ch;
      } else if (ch == '\n') {
        text_ += "\\n";
      } else if (byte < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
        text_ += escaped;
      } else {
        text_ += ch;
      }
    }
    text_ += '"';
  }

  std::string text_;
  std::vector<bool> first_;
  bool after_key_ = false;
};

}  // namespace vantor::tool::cli
