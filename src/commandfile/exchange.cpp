// What every command shares: building from a row, the exchange with its
// status word, the reading pattern, and the file identifier texts.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "commandfile/commandfile.h"
#include "common/wipe.h"
#include "connection/connection.h"

namespace vantor::commandfile {
namespace {

// Reserved identifiers: the system files this layer makes (root, key file,
// control file, filler, ATR file, application list) and identifiers kept
// free.
constexpr const char* kReservedIds[] = {"3f00", "3f01", "3f02", "3f03", "3f04",
                                        "001e", "0015", "0016", "0018", "0000"};

bool IsReserved(const char* lowered) {
  for (const char* id : kReservedIds) {
    if (std::memcmp(lowered, id, 4) == 0) return true;
  }
  return false;
}

std::uint32_t StatusWord(const Response& response) {
  return static_cast<std::uint32_t>(response.bytes[response.length - 2]) << 8 |
         response.bytes[response.length - 1];
}

// SW1 of a status word: 61 to 6F (warnings and errors) or 90 to 9F.
bool IsStatusByte(std::uint8_t sw1) {
  return (sw1 >= 0x61 && sw1 <= 0x6F) || (sw1 >= 0x90 && sw1 <= 0x9F);
}

// Sends `length` bytes and receives the answer; 0, or SlotTransmit's code,
// or 3 for an answer that does not end in a status word (too short, or
// bytes no status word has: passed up, 00 00 would read as success).
std::uint32_t Transmit(const VXContext* context, const Command& command,
                       std::uint32_t length, Response* response) {
  response->length = Response::kCapacity;
  const std::uint32_t result = connection::SlotTransmit(
      context, command.Data(), length, response->bytes, &response->length);
  if (result != VX_SUCCESS) return result;
  return response->length < 2 ||
                 !IsStatusByte(response->bytes[response->length - 2])
             ? VX_COMM_ERROR
             : VX_SUCCESS;
}

}  // namespace

Command::Command(Row row) {
  const Template& entry = TemplateOf(row);
  std::memcpy(bytes_, entry.bytes, sizeof(entry.bytes));
  std::memset(bytes_ + sizeof(entry.bytes), 0,
              sizeof(bytes_) - sizeof(entry.bytes));
  row_size_ = entry.size;
}

Command& Command::Byte(std::uint32_t position, std::uint8_t value) {
  bytes_[position] = value;
  return *this;
}

Command& Command::Word(std::uint32_t position, std::uint32_t value) {
  bytes_[position] = static_cast<std::uint8_t>(value >> 8);
  bytes_[position + 1] = static_cast<std::uint8_t>(value);
  return *this;
}

void Command::Wipe() { common::SecureWipe(bytes_, sizeof(bytes_)); }

Command& Command::Bytes(std::uint32_t position, const std::uint8_t* data,
                        std::uint32_t length) {
  if (length != 0) std::memcpy(bytes_ + position, data, length);
  return *this;
}

std::uint32_t ExchangeApdu(const VXContext* context, const Command& command) {
  Response response;
  const std::uint32_t result =
      Transmit(context, command, command.ExchangeLength(), &response);
  if (result != VX_SUCCESS) return result;
  const std::uint32_t sw = StatusWord(response);
  return sw == kSwSuccess ? VX_SUCCESS : sw;
}

std::uint32_t ReadCommand(const VXContext* context, const Command& command,
                          std::uint32_t length, std::uint32_t minData,
                          Response* response) {
  const std::uint32_t result = Transmit(context, command, length, response);
  if (result != VX_SUCCESS) return result;
  const std::uint32_t sw = StatusWord(*response);
  if (sw != kSwSuccess) return sw;
  // A 90 00 without the bytes the operation reads is no answer to it.
  return response->DataLength() < minData ? VX_COMM_ERROR : VX_SUCCESS;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int ParseHexText(std::uint8_t* out, std::uint32_t capacity, const char* text,
                 std::uint32_t count) {
  if (text == nullptr || (out == nullptr && capacity != 0) ||
      strnlen(text, count) < count) {
    return -1;
  }
  int bytes = 0;
  bool high = true;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (text[i] == '\\') continue;
    const int value = HexDigitValue(text[i]);
    if (value < 0) return -1;
    if (static_cast<std::uint32_t>(bytes) >= capacity) return -1;
    if (high) {
      out[bytes] = static_cast<std::uint8_t>(value << 4);
    } else {
      out[bytes] = static_cast<std::uint8_t>(out[bytes] | value);
      ++bytes;
    }
    high = !high;
  }
  return bytes;
}

int IsUsableFileId(const char* text) {
  if (text == nullptr) return 0;
  const std::size_t length = strnlen(text, 9);
  if (length != 4 && length != 8) return 0;
  char lowered[8] = {};
  for (std::size_t i = 0; i < length; ++i) {
    lowered[i] =
        static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
  }
  if (IsReserved(lowered)) return 0;
  return length == 4 || !IsReserved(lowered + 4) ? 1 : 0;
}

}  // namespace vantor::commandfile
