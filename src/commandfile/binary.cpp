// Writing file contents in chunks, into the selected file or into a file
// named in the command, and writing the device id into the ATR file.
#include <cstring>

#include "commandfile/commandfile.h"
#include "common/atr.h"
#include "connection/connection.h"

namespace vantor::commandfile {
namespace {

// The file identifier of the by-identifier form; null for the selected file.
using FileId = const std::uint8_t*;

// One write command of `length` bytes at `offset`: E33 (00 D6 o1 o2 n data)
// or, with an identifier, E34 (80 34 00 00 n+5 i1 i2 o1 o2 n data).
std::uint32_t WritePiece(const VXContext* context, FileId id,
                         std::uint32_t offset, const std::uint8_t* data,
                         std::uint32_t length) {
  const auto n = static_cast<std::uint8_t>(length);
  if (id == nullptr) {
    Command command(Row::E33UpdateBinary);
    command.Word(2, offset).Byte(4, n).Bytes(5, data, length);
    return ExchangeApdu(context, command);
  }
  Command command(Row::E34UpdateById);
  command.Byte(4, static_cast<std::uint8_t>(n + 5))
      .Bytes(5, id, 2)
      .Word(7, offset)
      .Byte(9, n)
      .Bytes(10, data, length);
  return ExchangeApdu(context, command);
}

std::uint32_t Write(const VXContext* context, FileId id, std::uint16_t offset,
                    const std::uint8_t* data, std::uint32_t chunks,
                    std::uint32_t remainder, std::uint32_t* written) {
  // Every piece's offset must travel in 16 bits and every remainder fits
  // one command: anything else is refused before a byte is sent.
  const std::uint64_t end =
      std::uint64_t{offset} + std::uint64_t{chunks} * kChunkLength + remainder;
  if (remainder >= kChunkLength || end > 0x10000 ||
      (data == nullptr && end != offset)) {
    return VX_INVALID_PARAMETER;
  }
  std::uint32_t position = offset;
  for (std::uint32_t k = 0; k < chunks; ++k) {
    const std::uint32_t result =
        WritePiece(context, id, position, data + std::size_t{kChunkLength} * k,
                   kChunkLength);
    if (result != VX_SUCCESS) {
      *written = 0;
      return result;
    }
    *written += kChunkLength;
    position += kChunkLength;
  }
  if (remainder == 0) return VX_SUCCESS;
  const std::uint32_t result =
      WritePiece(context, id, position,
                 data + std::size_t{kChunkLength} * chunks, remainder);
  if (result != VX_SUCCESS) {
    *written = 0;
  } else {
    *written += remainder;
  }
  return result;
}

}  // namespace

std::uint32_t UpdateBinary(const VXContext* context, std::uint16_t offset,
                           const std::uint8_t* data, std::uint32_t chunks,
                           std::uint32_t remainder, std::uint32_t* written) {
  if (written == nullptr) return VX_INVALID_PARAMETER;
  return Write(context, nullptr, offset, data, chunks, remainder, written);
}

std::uint32_t UpdateBinaryById(const VXContext* context,
                               const std::uint8_t id[2], std::uint16_t offset,
                               const std::uint8_t* data, std::uint32_t chunks,
                               std::uint32_t remainder,
                               std::uint32_t* written) {
  if (written == nullptr || id == nullptr) return VX_INVALID_PARAMETER;
  return Write(context, id, offset, data, chunks, remainder, written);
}

std::uint32_t SetDeviceId(VXContext* context, const std::uint8_t* id,
                          std::uint32_t count, std::uint32_t* atrLength) {
  if (context == nullptr || id == nullptr || atrLength == nullptr ||
      count != kDeviceIdLength) {
    return VX_INVALID_PARAMETER;
  }
  std::uint32_t result = SelectDirectory(context, kRootId, 0);
  if (result != VX_SUCCESS) return result;
  result = SelectFile(context, kAtrFileId);
  if (result == kSwFileNotFound) {
    if ((result = CreateAtrFile(context)) != VX_SUCCESS) return result;
    result = SelectFile(context, kAtrFileId);
  }
  if (result != VX_SUCCESS) return result;
  std::uint32_t written = 0;
  if ((result = UpdateBinary(context, 0, id, 0, count, &written)) !=
      VX_SUCCESS) {
    return result;
  }
  // The token answers a reset with its new ATR.
  std::uint8_t atr[connection::kContextAtrBytes];
  std::uint32_t length = 0;
  result = connection::SlotControl(context, connection::kControlReset, nullptr,
                                   0, atr, sizeof(atr), &length);
  if (result != VX_SUCCESS) return result;
  *atrLength = length;
  if (length != context->dwAtrLength) return VX_ATR_CHANGED;
  common::AtrInfo info{};
  common::ParseAtrFields(atr, length, &info);
  std::memcpy(context->bDeviceId, info.bDeviceId, sizeof(context->bDeviceId));
  return VX_SUCCESS;
}

}  // namespace vantor::commandfile
