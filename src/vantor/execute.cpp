// VXExecute and VXExecuteEx: running an executable file of the current
// directory on a token of device type 0, with the basic command (the run
// status split off the answer) or the extended one.
#include <cstring>

#include "commandfile/commandfile.h"
#include "vantor/context.h"
#include "vantor/vantor.h"

namespace vantor::api {
namespace {

namespace cmd = vantor::commandfile;

static_assert(VX_EXECUTE_MAX_INPUT == cmd::kMaxExecuteInput &&
              VX_EXECUTE_BY_ID_MAX_INPUT == cmd::kMaxExecuteByIdInput);

std::uint32_t Execute(const VXContext* context, const char* id,
                      std::uint32_t mode, const std::uint8_t* input,
                      std::uint32_t inputLength, std::uint8_t* output,
                      std::uint32_t outputSize, std::uint32_t* outputLength) {
  if (id == nullptr || !IsContextValid(context)) return VX_INVALID_PARAMETER;
  const bool byId = mode == VX_EXECUTE_BY_ID;
  const std::uint32_t limit =
      byId ? VX_EXECUTE_BY_ID_MAX_INPUT : VX_EXECUTE_MAX_INPUT;
  std::uint8_t fileId[2];
  if ((mode != VX_EXECUTE_BASIC && !byId) || inputLength > limit ||
      (input == nullptr && inputLength != 0) ||
      (output == nullptr && outputSize != 0) || strnlen(id, 5) != 4 ||
      std::strchr(id, '\\') != nullptr ||
      cmd::ParseHexText(fileId, sizeof(fileId), id, 4) != 2) {
    return VX_INVALID_PARAMETER;
  }
  std::uint32_t result = CheckConnected(context);
  if (result != VX_SUCCESS) return result;
  std::uint8_t deviceType = 0;
  if ((result = cmd::GetDeviceType(context, &deviceType)) != VX_SUCCESS) {
    return result;
  }
  if (deviceType != 0) return VX_WRONG_DEVICE_TYPE;
  if ((result = cmd::SelectFile(context, fileId)) != VX_SUCCESS) return result;
  std::uint32_t produced = 0;
  if (!byId) {
    result = cmd::ExecuteFile(context, fileId, input, inputLength, output,
                              outputSize, &produced);
  } else if (context->dwVersion < kVersion230) {
    return VX_INVALID_PARAMETER;  // the extended command came with 2.3.0
  } else {
    result = cmd::ExecuteFileExtended(context, fileId, input, inputLength,
                                      output, outputSize, &produced);
  }
  if (result == VX_SUCCESS && outputLength != nullptr) {
    *outputLength = produced;
  }
  return result;
}

}  // namespace
}  // namespace vantor::api

using vantor::api::GuardedOn;

extern "C" {

VX_EXPORT uint32_t VXAPI VXExecute(VXContext* context, const char* id,
                                   const uint8_t* input, uint32_t inputLength,
                                   uint8_t* output, uint32_t outputSize,
                                   uint32_t* outputLength) {
  return GuardedOn(context, [&] {
    return vantor::api::Execute(context, id, VX_EXECUTE_BASIC, input,
                                inputLength, output, outputSize, outputLength);
  });
}

VX_EXPORT uint32_t VXAPI VXExecuteEx(VXContext* context, const char* id,
                                     uint32_t mode, const uint8_t* input,
                                     uint32_t inputLength, uint8_t* output,
                                     uint32_t outputSize,
                                     uint32_t* outputLength) {
  return GuardedOn(context, [&] {
    return vantor::api::Execute(context, id, mode, input, inputLength, output,
                                outputSize, outputLength);
  });
}

}  // extern "C"
