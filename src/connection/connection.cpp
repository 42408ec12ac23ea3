#include "connection/connection.h"

#include <algorithm>
#include <cstring>

#include "device/device.h"

namespace vantor::connection {
namespace {

using device::ExchangeResult;

std::uint32_t FromExchange(ExchangeResult result) {
  switch (result) {
    case ExchangeResult::kDone:
      return VX_SUCCESS;
    case ExchangeResult::kFailed:
      return VX_COMM_ERROR;
    case ExchangeResult::kInvalid:
    case ExchangeResult::kGone:  // the context went stale
    default:
      return VX_INVALID_PARAMETER;
  }
}

bool HasHandle(const VXContext* context) {
  return context != nullptr && context->hDevice != kNoHandle;
}

bool IsIndexInRange(const VXContext& context) {
  return context.dwIndex < static_cast<std::uint32_t>(device::kUsableEntries);
}

// The connection that an open context carries.
device::Connection ConnectionOf(const VXContext& context) {
  return device::Connection{context.dwIndex,
                            ContextWordToHandle(context.hDevice),
                            context.dwReserved2};
}

// The number of connections the context holds (at least 1 while open).
std::uint32_t DepthOf(const VXContext& context) {
  return context.dwReserved1 != 0 ? context.dwReserved1 : 1;
}

// A context that holds no connection: handle and reserved words as a
// listing leaves them.
void MarkClosed(VXContext& context) {
  context.hDevice = kNoHandle;
  context.dwReserved1 = kReserved1;
  context.dwReserved2 = kReserved2;
}

}  // namespace

SlotHold::SlotHold(const VXContext* context)
    : index_(context != nullptr && IsIndexInRange(*context) ? context->dwIndex
                                                            : kNoIndex) {
  if (index_ != kNoIndex) device::AcquireHold(index_);
}

SlotHold::~SlotHold() {
  if (index_ != kNoIndex) device::ReleaseHold(index_);
}

bool IsSlotValid(const VXContext* context) {
  return context != nullptr && device::IsSlotInUse(context->dwIndex);
}

bool IsConnected(const VXContext* context) {
  return HasHandle(context) && IsIndexInRange(*context) &&
         device::IsConnected(ConnectionOf(*context));
}

std::uint32_t SlotList(VXContext* contexts, std::uint32_t* length) {
  if (length == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  device::SlotListing listed[device::kUsableEntries];
  const int count = device::ListSlots(listed);
  const std::uint32_t needed =
      static_cast<std::uint32_t>(count) * sizeof(VXContext);
  if (needed > *length) {
    *length = needed;
    return VX_BUFFER_TOO_SMALL;
  }
  *length = needed;
  if (needed == 0) {
    return VX_SUCCESS;
  }
  if (contexts == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  for (int i = 0; i < count; ++i) {
    const device::SlotListing& entry = listed[i];
    VXContext& next = contexts[i];
    // A table ATR can be longer than the context's area: list what fits and
    // say so in dwAtrLength, so the context never claims bytes it lacks.
    const std::uint32_t atrLength =
        std::min<std::uint32_t>(entry.bAtrLength, kContextAtrBytes);
    next.dwIndex = entry.index;
    next.dwVersion = SpreadVersion(entry.wVersion);
    next.hDevice = kNoHandle;
    next.dwReserved1 = kReserved1;
    next.dwProtocols = kProtocol;
    next.dwReserved2 = kReserved2;
    std::memcpy(next.bAtr, entry.bAtr, atrLength);
    std::memset(next.bAtr + atrLength, 0, kContextAtrBytes - atrLength);
    next.dwAtrLength = atrLength;
  }
  return VX_SUCCESS;
}

std::uint32_t SlotConnect(VXContext* context, std::uint32_t shareMode,
                          std::uint32_t protocols,
                          std::uint32_t* activeProtocol) {
  if (!IsSlotValid(context)) {
    return VX_INVALID_PARAMETER;
  }
  if ((protocols & kProtocol) == 0) {
    if (activeProtocol != nullptr) {
      *activeProtocol = kProtocol;
    }
    return VX_PROTOCOL_MISMATCH;
  }
  device::HoldGuard hold(context->dwIndex);
  device::Connection connection{};
  switch (device::ConnectSlot(context->dwIndex, shareMode, &connection)) {
    case device::ConnectResult::kConnected:
      break;
    case device::ConnectResult::kBusy:
      return VX_DEVICE_BUSY;
    case device::ConnectResult::kInvalid:
    default:
      return VX_INVALID_PARAMETER;
  }
  if (activeProtocol != nullptr) {
    *activeProtocol = kProtocol;
  }
  std::uint32_t depth = 1;
  if (HasHandle(context)) {
    const device::Connection held = ConnectionOf(*context);
    if (held.handle == connection.handle && held.serial == connection.serial) {
      // The same context opened again: one more connection of its own.
      depth = DepthOf(*context) + 1;
    } else {
      // A stale context opened again gives up its old connections, as its
      // close would; the gone device's handle is not kept for it any longer.
      device::ReleaseRetired(held, DepthOf(*context));
    }
  }
  context->hDevice = HandleToContextWord(connection.handle);
  context->dwReserved1 = depth;
  context->dwReserved2 = connection.serial;
  return VX_SUCCESS;
}

std::uint32_t SlotDisconnect(VXContext* context,
                             std::uint32_t /*disposition*/) {
  if (!HasHandle(context) || !IsIndexInRange(*context)) {
    return VX_INVALID_PARAMETER;
  }
  device::HoldGuard hold(context->dwIndex);
  const std::uint32_t depth = DepthOf(*context);
  if (device::DisconnectSlot(ConnectionOf(*context), depth) !=
      device::DisconnectResult::kDone) {
    // Stale: what it held is released, and the context can never match a
    // connection again.
    MarkClosed(*context);
    return VX_INVALID_PARAMETER;
  }
  if (depth > 1) {
    context->dwReserved1 = depth - 1;
  } else {
    MarkClosed(*context);
  }
  return VX_SUCCESS;
}

std::uint32_t SlotControl(VXContext* context, std::int32_t type,
                          const std::uint8_t* data, std::uint32_t dataLength,
                          std::uint8_t* output, std::uint32_t outputCapacity,
                          std::uint32_t* returnedLength) {
  const SlotHold hold(context);
  return SlotControl(hold, context, type, data, dataLength, output,
                     outputCapacity, returnedLength);
}

std::uint32_t SlotControl(const SlotHold& held, VXContext* context,
                          std::int32_t type, const std::uint8_t* data,
                          std::uint32_t dataLength, std::uint8_t* output,
                          std::uint32_t outputCapacity,
                          std::uint32_t* returnedLength) {
  if (!HasHandle(context) || !IsIndexInRange(*context)) {
    return VX_INVALID_PARAMETER;
  }
  if (!held.Holds(*context)) {
    // Not this token's hold: the exchange takes its own.
    return SlotControl(context, type, data, dataLength, output, outputCapacity,
                       returnedLength);
  }
  std::uint8_t response[kResponseBufferSize];
  std::uint32_t responseLength = kResponseCapacity;
  const std::uint32_t result = FromExchange(
      device::ExchangeControl(ConnectionOf(*context), type, data, dataLength,
                              response, &responseLength));
  if (result != VX_SUCCESS) {
    return result;
  }
  if (responseLength > kResponseCapacity) {
    return VX_COMM_ERROR;
  }
  if (responseLength == 0) {
    return VX_SUCCESS;
  }
  if (outputCapacity < responseLength) {
    if (returnedLength == nullptr) {
      return VX_SUCCESS;  // the caller asked for no length: the response is
                          // dropped
    }
    *returnedLength = responseLength;
    return VX_BUFFER_TOO_SMALL;
  }
  if (output == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  std::memcpy(output, response, responseLength);
  if (returnedLength != nullptr) {
    *returnedLength = responseLength;
  }
  return VX_SUCCESS;
}

std::uint32_t SlotTransmit(const VXContext* context, const std::uint8_t* apdu,
                           std::uint32_t apduLength, std::uint8_t* response,
                           std::uint32_t* responseLength) {
  if (!HasHandle(context)) {
    return VX_INVALID_PARAMETER;
  }
  if (apdu == nullptr || apduLength < kMinApduLength ||
      apduLength > kMaxApduLength || response == nullptr ||
      responseLength == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  if (!IsIndexInRange(*context)) {
    return VX_INVALID_PARAMETER;
  }
  const device::HoldGuard hold(context->dwIndex);
  std::uint8_t answer[kResponseBufferSize];
  std::uint32_t answerLength = kResponseCapacity;
  const std::uint32_t result = FromExchange(device::ExchangeApdu(
      ConnectionOf(*context), apdu, apduLength, answer, &answerLength));
  if (result != VX_SUCCESS) {
    return result;
  }
  if (answerLength > kResponseCapacity) {
    return VX_COMM_ERROR;
  }
  if (*responseLength < answerLength) {
    *responseLength = answerLength;
    return VX_BUFFER_TOO_SMALL;
  }
  *responseLength = answerLength;
  std::memcpy(response, answer, answerLength);
  return VX_SUCCESS;
}

}  // namespace vantor::connection
