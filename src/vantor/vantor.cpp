// The public calls: listing, open, close and the device control requests.
// Each call checks its arguments, hands the work to the connection layer and
// answers with a result code; nothing escapes the C boundary as an
// exception.
#include "vantor/vantor.h"

#include <cstring>

#include "commandfile/commandfile.h"
#include "connection/connection.h"
#include "vantor/context.h"

namespace vantor::api {
namespace {

namespace conn = vantor::connection;
namespace cmd = vantor::commandfile;

std::uint32_t ListDevices(VXContext* contexts, std::uint32_t* length) {
  if (length == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  const std::uint32_t result = conn::SlotList(contexts, length);
  if (result != VX_SUCCESS) {
    return result;
  }
  const std::uint32_t listed =
      *length / static_cast<std::uint32_t>(sizeof(VXContext));
  for (std::uint32_t i = 0; i < listed; ++i) {
    // Every listed context gets the device id of this listing, so none
    // keeps bytes the library did not write.
    VXContext& context = contexts[i];
    StoreDeviceId(context, context.bAtr, context.dwAtrLength);
  }
  return VX_SUCCESS;
}

// Code 2: the token answers a reset with its ATR. The context's device id
// follows the new ATR unless its length changed.
std::uint32_t ResetDevice(const conn::SlotHold& held, VXContext& context,
                          std::uint32_t* produced) {
  std::uint8_t atr[sizeof(VXContext::bAtr)];
  std::uint32_t atrLength = 0;
  const std::uint32_t result =
      conn::SlotControl(held, &context, VX_RESET_DEVICE, nullptr, 0, atr,
                        sizeof(atr), &atrLength);
  if (result != VX_SUCCESS) {
    return result;
  }
  if (atrLength != context.dwAtrLength) {
    return VX_ATR_CHANGED;
  }
  StoreDeviceId(context, atr, atrLength);
  *produced = atrLength;
  return VX_SUCCESS;
}

// Codes 4, 8 and 40: the response is not handed out, but the caller's
// capacity must still hold it.
std::uint32_t DeviceExchange(const conn::SlotHold& held, VXContext& context,
                             std::int32_t type, const std::uint8_t* data,
                             std::uint32_t dataLength,
                             std::uint32_t outputCapacity,
                             std::uint32_t* produced) {
  std::uint8_t discarded[conn::kResponseBufferSize];
  return conn::SlotControl(held, &context, type, data, dataLength, discarded,
                           outputCapacity, produced);
}

// Code 7: the mode change, offered from version 2.3.0. The response goes to
// the caller's output; when it does not fit, the needed length goes to
// returnedLength.
std::uint32_t SetDeviceMode(const conn::SlotHold& held, VXContext& context,
                            const std::uint8_t* input,
                            std::uint32_t inputLength, std::uint8_t* output,
                            std::uint32_t outputCapacity,
                            std::uint32_t* returnedLength,
                            std::uint32_t* produced) {
  if (context.dwVersion < kVersion230) {
    return kStatusNotSupported;
  }
  const std::uint32_t result = conn::SlotControl(
      held, &context, VX_SET_DEVICE_MODE, input, inputLength, output,
      outputCapacity, returnedLength != nullptr ? produced : nullptr);
  if (result == VX_BUFFER_TOO_SMALL && returnedLength != nullptr) {
    *returnedLength = *produced;
  }
  return result;
}

// A token of version 2.0.0 needs its root selected before its device type
// or serial number is read; a failed selection is reported as 6A 81.
std::uint32_t SelectRootOn200(const VXContext& context) {
  if (context.dwVersion != kVersion200) return VX_SUCCESS;
  const std::uint8_t none[2] = {};
  return cmd::SelectDirectory(&context, none, 0) == VX_SUCCESS
             ? VX_SUCCESS
             : kStatusNotSupported;
}

// Codes 37, 38, 39, 41, 49 and 50: reads of device data. The caller's
// arguments are checked first (outputs that cannot hold the fixed-size
// answer give VX_BUFFER_TOO_SMALL), then the connection: a refused call
// sends nothing.
std::uint32_t CheckCardControl(const VXContext& context, std::uint32_t code,
                               const std::uint8_t* input,
                               std::uint32_t inputLength,
                               const std::uint8_t* output,
                               std::uint32_t outputCapacity,
                               std::uint8_t* fileId) {
  if (output == nullptr) return VX_INVALID_PARAMETER;
  switch (code) {
    case VX_GET_DEVICE_TYPE:
      if (outputCapacity < 1) return VX_BUFFER_TOO_SMALL;
      break;
    case VX_GET_SERIAL_NUMBER:
      break;
    case VX_GET_VM_TYPE:
    case VX_GET_FREE_SPACE:
      // Code 41 reads the device type into the first byte, so one byte is
      // enough to learn that the token has no free space to tell.
      if (context.dwVersion == kVersion200) return VX_INVALID_PARAMETER;
      if (outputCapacity < 1) return VX_BUFFER_TOO_SMALL;
      break;
    case VX_GET_DIRECTORY_FREE_SPACE:
      if (outputCapacity < 2) return VX_BUFFER_TOO_SMALL;
      break;
    case VX_GET_FILE_INFO:
      // Exactly four characters, judged on the bytes given: no terminator
      // and no backslash among them.
      if (input == nullptr || inputLength != 4 ||
          std::memchr(input, '\\', 4) != nullptr ||
          std::memchr(input, '\0', 4) != nullptr ||
          cmd::ParseHexText(fileId, 2, reinterpret_cast<const char*>(input),
                            4) != 2) {
        return VX_INVALID_PARAMETER;
      }
      if (outputCapacity < 6) return VX_BUFFER_TOO_SMALL;
      break;
    default:
      return VX_INVALID_PARAMETER;
  }
  return CheckConnected(&context);
}

// Code 41 with one byte of output reads the device type into it first:
// VX_WRONG_DEVICE_TYPE on device types 1 and 2, VX_BUFFER_TOO_SMALL on
// device type 0.
std::uint32_t CardControl(const VXContext& context, std::uint32_t code,
                          const std::uint8_t* input, std::uint32_t inputLength,
                          std::uint8_t* output, std::uint32_t outputCapacity,
                          std::uint32_t* produced) {
  std::uint8_t id[2] = {};
  std::uint32_t result = CheckCardControl(context, code, input, inputLength,
                                          output, outputCapacity, id);
  if (result != VX_SUCCESS) return result;
  switch (code) {
    case VX_GET_DEVICE_TYPE:
      if ((result = SelectRootOn200(context)) != VX_SUCCESS) return result;
      result = cmd::GetDeviceType(&context, output);
      *produced = 1;
      return result;
    case VX_GET_SERIAL_NUMBER:
      if ((result = SelectRootOn200(context)) != VX_SUCCESS) return result;
      return cmd::GetSerialNumber(&context, output, outputCapacity, produced);
    case VX_GET_VM_TYPE:
      return cmd::GetVmType(&context, output, outputCapacity, produced);
    case VX_GET_FREE_SPACE:
      if ((result = cmd::GetDeviceType(&context, output)) != VX_SUCCESS) {
        return result;
      }
      if (output[0] != 0) return VX_WRONG_DEVICE_TYPE;
      if (outputCapacity < 2) return VX_BUFFER_TOO_SMALL;
      return cmd::GetTokenFreeSpace(&context, output, outputCapacity, produced);
    case VX_GET_DIRECTORY_FREE_SPACE:
      return cmd::GetDirFreeSpace(&context, output, outputCapacity, produced);
    default:  // VX_GET_FILE_INFO
      return cmd::GetFileInfo(&context, id, output, outputCapacity, produced);
  }
}

std::uint32_t Control(const conn::SlotHold& held, VXContext* context,
                      std::uint32_t code, const std::uint8_t* input,
                      std::uint32_t inputLength, std::uint8_t* output,
                      std::uint32_t outputCapacity,
                      std::uint32_t* returnedLength) {
  if (!IsContextValid(context)) {
    return VX_INVALID_PARAMETER;
  }
  std::uint32_t produced = 0;
  std::uint32_t result = VX_INVALID_PARAMETER;
  switch (code) {
    case VX_RESET_DEVICE:
      result = ResetDevice(held, *context, &produced);
      break;
    case VX_CONTROL_TYPE_4:
    case VX_CONTROL_TYPE_8:
      result = DeviceExchange(held, *context, static_cast<std::int32_t>(code),
                              nullptr, 0, outputCapacity, &produced);
      break;
    case VX_CONTROL_TYPE_4_DATA: {
      const bool hasData = input != nullptr && inputLength != 0;
      result = DeviceExchange(
          held, *context, VX_CONTROL_TYPE_4, hasData ? input : nullptr,
          hasData ? inputLength : 0, outputCapacity, &produced);
      break;
    }
    case VX_SET_DEVICE_MODE:
      // Its response goes to `output`: none with a capacity is refused
      // before anything is sent (the card codes' CardControl refuses none).
      if (output == nullptr && outputCapacity != 0) return VX_INVALID_PARAMETER;
      if (CheckConnected(context) != VX_SUCCESS) return VX_INVALID_PARAMETER;
      result = SetDeviceMode(held, *context, input, inputLength, output,
                             outputCapacity, returnedLength, &produced);
      break;
    case VX_GET_DEVICE_TYPE:
    case VX_GET_SERIAL_NUMBER:
    case VX_GET_VM_TYPE:
    case VX_GET_FREE_SPACE:
    case VX_GET_DIRECTORY_FREE_SPACE:
    case VX_GET_FILE_INFO:
      result = CardControl(*context, code, input, inputLength, output,
                           outputCapacity, &produced);
      break;
    case VX_SET_DEVICE_ID:
      if (input == nullptr || inputLength != cmd::kDeviceIdLength ||
          CheckConnected(context) != VX_SUCCESS) {
        return VX_INVALID_PARAMETER;
      }
      result = cmd::SetDeviceId(context, input, inputLength, &produced);
      break;
    default:
      return VX_INVALID_PARAMETER;
  }
  if (result == VX_SUCCESS && returnedLength != nullptr) {
    *returnedLength = produced;
  }
  return result;
}

}  // namespace
}  // namespace vantor::api

using vantor::api::Guarded;

extern "C" {

VX_EXPORT uint32_t VXAPI VXListDevices(VXContext* contexts, uint32_t* length) {
  return Guarded([&] { return vantor::api::ListDevices(contexts, length); });
}

VX_EXPORT uint32_t VXAPI VXOpenDevice(VXContext* context) {
  return Guarded([&]() -> std::uint32_t {
    if (!vantor::api::IsContextOpenable(context)) {
      return VX_INVALID_PARAMETER;
    }
    return vantor::connection::SlotConnect(context, 1, context->dwProtocols,
                                           nullptr);
  });
}

VX_EXPORT uint32_t VXAPI VXOpenDeviceEx(VXContext* context,
                                        const VXOpenInfo* openInfo) {
  return Guarded([&]() -> std::uint32_t {
    if (!vantor::api::IsContextOpenable(context) ||
        !vantor::api::IsOpenInfoValid(openInfo)) {
      return VX_INVALID_PARAMETER;
    }
    return vantor::connection::SlotConnect(context, openInfo->dwShareMode,
                                           context->dwProtocols, nullptr);
  });
}

VX_EXPORT uint32_t VXAPI VXCloseDevice(VXContext* context) {
  return Guarded([&]() -> std::uint32_t {
    if (!vantor::api::IsContextValid(context)) {
      return VX_INVALID_PARAMETER;
    }
    return vantor::connection::SlotDisconnect(context, 0);
  });
}

VX_EXPORT uint32_t VXAPI VXControl(VXContext* context, uint32_t code,
                                   const uint8_t* input, uint32_t inputLength,
                                   uint8_t* output, uint32_t outputCapacity,
                                   uint32_t* returnedLength) {
  return vantor::api::GuardedOn(
      context, [&](const vantor::connection::SlotHold& hold) {
        return vantor::api::Control(hold, context, code, input, inputLength,
                                    output, outputCapacity, returnedLength);
      });
}

}  // extern "C"
