// Running an executable file of the current directory on the token: the
// basic command, whose answer starts with the run's status byte, and the
// extended one, which names the file in its data.
#include <cstring>

#include "commandfile/commandfile.h"

namespace vantor::commandfile {
namespace {

bool ArgumentsValid(const std::uint8_t id[2], const std::uint8_t* input,
                    std::uint32_t length, std::uint32_t limit,
                    const std::uint8_t* output, std::uint32_t size,
                    const std::uint32_t* outLength) {
  return id != nullptr && outLength != nullptr && length <= limit &&
         (input != nullptr || length == 0) && (output != nullptr || size == 0);
}

// Hands the answer's data from byte `from` on to the caller: the length
// first, then VX_BUFFER_TOO_SMALL when it does not fit; a run status
// other than 0 delivers
// nothing and gives status * 0x10000.
std::uint32_t Deliver(const Response& response, std::uint32_t from,
                      std::uint8_t status, std::uint8_t* output,
                      std::uint32_t size, std::uint32_t* outLength) {
  const std::uint32_t count = response.DataLength() - from;
  *outLength = count;
  if (count > size) return VX_BUFFER_TOO_SMALL;
  if (status != 0) {
    *outLength = 0;
    return std::uint32_t{status} << 16;
  }
  if (count != 0) std::memcpy(output, response.bytes + from, count);
  return VX_SUCCESS;
}

}  // namespace

std::uint32_t ExecuteFile(const VXContext* context, const std::uint8_t id[2],
                          const std::uint8_t* input, std::uint32_t length,
                          std::uint8_t* output, std::uint32_t size,
                          std::uint32_t* outLength) {
  if (!ArgumentsValid(id, input, length, kMaxExecuteInput, output, size,
                      outLength)) {
    return VX_INVALID_PARAMETER;
  }
  Command command(Row::R10Execute);
  command.Bytes(2, id, 2)
      .Byte(4, static_cast<std::uint8_t>(length))
      .Bytes(5, input, length);
  Response response;
  // An answer without the status byte is no answer to this command.
  const std::uint32_t result =
      ReadCommand(context, command, command.ExchangeLength(), 1, &response);
  if (result != VX_SUCCESS) return result;
  return Deliver(response, 1, response.bytes[0], output, size, outLength);
}

std::uint32_t ExecuteFileExtended(const VXContext* context,
                                  const std::uint8_t id[2],
                                  const std::uint8_t* input,
                                  std::uint32_t length, std::uint8_t* output,
                                  std::uint32_t size,
                                  std::uint32_t* outLength) {
  if (!ArgumentsValid(id, input, length, kMaxExecuteByIdInput, output, size,
                      outLength)) {
    return VX_INVALID_PARAMETER;
  }
  Command command(Row::R11ExecuteById);
  command.Byte(4, static_cast<std::uint8_t>(length + 2))
      .Bytes(5, id, 2)
      .Bytes(7, input, length);
  Response response;
  const std::uint32_t result =
      ReadCommand(context, command, command.ExchangeLength(), 0, &response);
  if (result != VX_SUCCESS) return result;
  return Deliver(response, 0, 0, output, size, outLength);
}

}  // namespace vantor::commandfile
