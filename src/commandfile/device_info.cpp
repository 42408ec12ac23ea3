// Commands that read facts about the token: device and VM type, serial
// number, free space, E2 address and file information.
#include <cstring>

#include "commandfile/commandfile.h"
#include "common/atr.h"

namespace vantor::commandfile {
namespace {

// Reads a fixed row (sent as its 6 bytes) whose answer holds at least
// `minData` bytes.
std::uint32_t ReadRow(const VXContext* context, Row row, std::uint32_t minData,
                      Response* response) {
  const Command command(row);
  return ReadCommand(context, command, command.RowLength(), minData, response);
}

// Delivers a 16-bit value read high byte first, low byte first.
std::uint32_t ReadWord(const VXContext* context, Row row, std::uint8_t* out,
                       std::uint32_t size, std::uint32_t* outLength) {
  Response response;
  const std::uint32_t result = ReadRow(context, row, 2, &response);
  if (result != VX_SUCCESS) return result;
  *outLength = 2;
  if (size < 2 || out == nullptr) return VX_BUFFER_TOO_SMALL;
  out[0] = response.bytes[1];
  out[1] = response.bytes[0];
  return VX_SUCCESS;
}

}  // namespace

std::uint32_t GetDeviceType(const VXContext* context, std::uint8_t* out) {
  if (context == nullptr || context->dwVersion < common::kVersion200) {
    return VX_INVALID_PARAMETER;
  }
  if (out == nullptr) return VX_BUFFER_TOO_SMALL;
  const bool first = context->dwVersion == common::kVersion200;
  Response response;
  const std::uint32_t result = ReadRow(
      context, first ? Row::R1DeviceType200 : Row::R2DeviceType, 1, &response);
  if (result != VX_SUCCESS) return result;
  std::uint8_t type = response.bytes[0];
  if (!first) {
    type &= 0xF0;
    if (type == 0x80) type = 1;
    if (type == 0xC0) type = 2;
  }
  *out = type;
  return VX_SUCCESS;
}

std::uint32_t GetSerialNumber(const VXContext* context, std::uint8_t* out,
                              std::uint32_t size, std::uint32_t* outLength) {
  Response response;
  const std::uint32_t result =
      ReadRow(context, Row::R3SerialNumber, 0, &response);
  if (result != VX_SUCCESS) return result;
  *outLength = response.DataLength();
  if (size < response.DataLength() ||
      (out == nullptr && response.DataLength() != 0)) {
    return VX_BUFFER_TOO_SMALL;
  }
  if (response.DataLength() != 0) {
    std::memcpy(out, response.bytes, response.DataLength());
  }
  return VX_SUCCESS;
}

std::uint32_t GetVmType(const VXContext* context, std::uint8_t* out,
                        std::uint32_t size, std::uint32_t* outLength) {
  Response response;
  const std::uint32_t result =
      ReadRow(context, Row::R2DeviceType, 1, &response);
  if (result != VX_SUCCESS) return result;
  *outLength = 1;
  if (size < 1 || out == nullptr) return VX_BUFFER_TOO_SMALL;
  out[0] = response.bytes[0] & 0x0F;
  return VX_SUCCESS;
}

std::uint32_t GetTokenFreeSpace(const VXContext* context, std::uint8_t* out,
                                std::uint32_t size, std::uint32_t* outLength) {
  return ReadWord(context, Row::R4FreeSpace, out, size, outLength);
}

std::uint32_t GetDirFreeSpace(const VXContext* context, std::uint8_t* out,
                              std::uint32_t size, std::uint32_t* outLength) {
  return ReadWord(context, Row::R5DirFreeSpace, out, size, outLength);
}

std::uint32_t GetE2Address(const VXContext* context, std::uint16_t* address) {
  Response response;
  const std::uint32_t result = ReadRow(context, Row::R7E2Address, 2, &response);
  if (result != VX_SUCCESS) return result;
  *address =
      static_cast<std::uint16_t>(response.bytes[0] << 8 | response.bytes[1]);
  return VX_SUCCESS;
}

std::uint32_t GetFileInfo(const VXContext* context, const std::uint8_t id[2],
                          std::uint8_t* out, std::uint32_t size,
                          std::uint32_t* outLength) {
  Command command(Row::R9FileInfo);
  command.Bytes(5, id, 2);
  Response response;
  // The answer's bytes 9 to 11 hold the type and the size.
  const std::uint32_t result =
      ReadCommand(context, command, command.RowLength(), 12, &response);
  if (result != VX_SUCCESS) return result;
  *outLength = 6;
  if (size < 6 || out == nullptr) return VX_BUFFER_TOO_SMALL;
  out[0] = id[1];
  out[1] = id[0];
  out[2] = response.bytes[9];
  out[4] = response.bytes[11];
  out[5] = response.bytes[10];
  return VX_SUCCESS;
}

}  // namespace vantor::commandfile
