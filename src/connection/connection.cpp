#include "connection/connection.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "device/device.h"

namespace vantor::connection {
namespace {

using device::g_DeviceTable;
using device::SlotEntry;
using TableLock = std::lock_guard<std::recursive_mutex>;

// The entry a context names when it is in use; null otherwise. The caller
// holds the table lock.
SlotEntry* UsedEntry(const VXContext* context) {
  if (context == nullptr ||
      context->dwIndex >= static_cast<std::uint32_t>(device::kUsableEntries)) {
    return nullptr;
  }
  SlotEntry& entry = g_DeviceTable[context->dwIndex];
  return entry.dwKind == device::SLOT_FREE ? nullptr : &entry;
}

// The entry of a connected context: in use, open, and holding the handle the
// context holds. Null otherwise. The caller holds the table lock.
SlotEntry* ConnectedEntry(const VXContext* context) {
  SlotEntry* entry = UsedEntry(context);
  if (entry == nullptr || context->hDevice == kNoHandle ||
      !IsSameHandle(entry->hDevice, context->hDevice)) {
    return nullptr;
  }
  return entry;
}

}  // namespace

std::uint32_t HandleToContextWord(HANDLE handle) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}

HANDLE ContextWordToHandle(std::uint32_t word) {
  return reinterpret_cast<HANDLE>(
      static_cast<std::intptr_t>(static_cast<std::int32_t>(word)));
}

bool IsSameHandle(HANDLE handle, std::uint32_t word) {
  return handle == ContextWordToHandle(word);
}

std::uint32_t SpreadVersion(std::uint16_t version) {
  const std::uint32_t v = version;
  return ((v >> 12 & 0xFu) << 24) | ((v >> 8 & 0xFu) << 16) |
         ((v >> 4 & 0xFu) << 8) | (v & 0xFu);
}

bool IsSlotValid(const VXContext* context) {
  TableLock lock(device::DeviceTableLock());
  return UsedEntry(context) != nullptr;
}

std::uint32_t SlotList(VXContext* contexts, std::uint32_t* length) {
  if (length == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  TableLock lock(device::DeviceTableLock());
  device::RefreshDeviceTable();

  std::uint32_t used = 0;
  for (int i = 0; i < device::kUsableEntries; ++i) {
    if (g_DeviceTable[i].dwKind != device::SLOT_FREE) {
      ++used;
    }
  }
  const std::uint32_t needed =
      used * static_cast<std::uint32_t>(sizeof(VXContext));
  if (needed > *length) {
    *length = needed;
    return VX_BUFFER_TOO_SMALL;
  }
  if (needed == 0) {
    *length = 0;
    return VX_SUCCESS;
  }
  if (contexts == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  *length = needed;

  VXContext* next = contexts;
  for (int i = 0; i < device::kUsableEntries; ++i) {
    const SlotEntry& entry = g_DeviceTable[i];
    if (entry.dwKind == device::SLOT_FREE) {
      continue;
    }
    // A table ATR can be longer than the context's area: list what fits and
    // say so in dwAtrLength, so the context never claims bytes it lacks.
    const std::uint32_t atrLength =
        std::min<std::uint32_t>(entry.bAtrLength, kContextAtrBytes);
    next->dwIndex = static_cast<std::uint32_t>(i);
    next->dwVersion = SpreadVersion(entry.AtrInfo.wVersion);
    next->hDevice = kNoHandle;
    next->dwReserved1 = kReserved1;
    next->dwProtocols = kProtocol;
    next->dwReserved2 = kReserved2;
    std::memcpy(next->bAtr, entry.bAtr, atrLength);
    std::memset(next->bAtr + atrLength, 0, kContextAtrBytes - atrLength);
    next->dwAtrLength = atrLength;
    ++next;
  }
  return VX_SUCCESS;
}

std::uint32_t SlotConnect(VXContext* context, std::uint32_t shareMode,
                          std::uint32_t protocols,
                          std::uint32_t* activeProtocol) {
  TableLock lock(device::DeviceTableLock());
  SlotEntry* entry = UsedEntry(context);
  if (entry == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  if ((protocols & kProtocol) == 0) {
    if (activeProtocol != nullptr) {
      *activeProtocol = kProtocol;
    }
    return VX_PROTOCOL_MISMATCH;
  }
  if (entry->hDevice != INVALID_HANDLE_VALUE) {
    // Only a shared connect joins a device that is open shared.
    if (shareMode == 0 || entry->dwShareMode == 0) {
      return VX_DEVICE_BUSY;
    }
  } else {
    if (device::OpenSlot(*entry, shareMode) == 0) {
      return VX_DEVICE_BUSY;
    }
    device::StartDeviceMonitor();
  }
  entry->dwShareMode = shareMode;
  if (activeProtocol != nullptr) {
    *activeProtocol = kProtocol;
  }
  context->hDevice = HandleToContextWord(entry->hDevice);
  ++entry->dwOpenCount;
  return VX_SUCCESS;
}

std::uint32_t SlotDisconnect(VXContext* context,
                             std::uint32_t /*disposition*/) {
  bool closedLast = false;
  {
    TableLock lock(device::DeviceTableLock());
    SlotEntry* entry = ConnectedEntry(context);
    if (entry == nullptr || entry->dwOpenCount <= 0) {
      return VX_INVALID_PARAMETER;
    }
    if (--entry->dwOpenCount == 0) {
      device::CloseSlot(*entry);
      entry->hDevice = INVALID_HANDLE_VALUE;
      closedLast = true;
    }
    context->hDevice = kNoHandle;
  }
  // Stopping waits for the monitor thread, which takes the table lock in its
  // removal handling: call it only once the lock is released.
  if (closedLast) {
    device::StopDeviceMonitor();
  }
  return VX_SUCCESS;
}

std::uint32_t SlotControl(VXContext* context, std::int32_t type,
                          const std::uint8_t* data, std::uint32_t dataLength,
                          std::uint8_t* output, std::uint32_t outputCapacity,
                          std::uint32_t* returnedLength) {
  std::uint8_t response[kResponseBufferSize];
  std::uint32_t responseLength = kResponseCapacity;
  {
    TableLock lock(device::DeviceTableLock());
    SlotEntry* entry = ConnectedEntry(context);
    if (entry == nullptr) {
      return VX_INVALID_PARAMETER;
    }
    // Refuse what the entry's transport cannot frame before anything is
    // sent.
    const std::uint32_t maxData =
        entry->dwKind == device::SLOT_HID ? kMaxHidDataLength : kMaxDataLength;
    if ((data == nullptr && dataLength != 0) || dataLength > maxData) {
      return VX_INVALID_PARAMETER;
    }
    if (device::TransmitControl(*entry, type, data, dataLength, response,
                                &responseLength) != 0 ||
        responseLength > kResponseCapacity) {
      return VX_COMM_ERROR;
    }
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

std::uint32_t SlotStatus(const VXContext* context, std::uint32_t* state,
                         std::uint32_t* protocol, std::uint8_t* atr,
                         std::uint32_t* atrLength) {
  TableLock lock(device::DeviceTableLock());
  const SlotEntry* entry = ConnectedEntry(context);
  if (entry == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  if (state != nullptr) {
    *state = entry->hDevice != nullptr ? kStateOpen : kStateNoHandle;
  }
  if (protocol != nullptr) {
    *protocol = kProtocol;
  }
  if (atrLength != nullptr && entry->bAtrLength > *atrLength) {
    *atrLength = entry->bAtrLength;
    return VX_BUFFER_TOO_SMALL;
  }
  if (atr != nullptr && atrLength != nullptr) {
    *atrLength = entry->bAtrLength;
    std::memcpy(atr, entry->bAtr, entry->bAtrLength);
  }
  return VX_SUCCESS;
}

std::uint32_t SlotTransmit(const VXContext* context, const std::uint8_t* apdu,
                           std::uint32_t apduLength, std::uint8_t* response,
                           std::uint32_t* responseLength) {
  std::uint8_t answer[kResponseBufferSize];
  std::uint32_t answerLength = kResponseCapacity;
  {
    TableLock lock(device::DeviceTableLock());
    SlotEntry* entry = ConnectedEntry(context);
    if (entry == nullptr) {
      return VX_INVALID_PARAMETER;
    }
    if (apdu == nullptr || apduLength < kMinApduLength ||
        apduLength > kMaxApduLength || response == nullptr ||
        responseLength == nullptr) {
      return VX_INVALID_PARAMETER;
    }
    if (device::TransmitApdu(*entry, apdu, apduLength, answer, &answerLength) !=
            0 ||
        answerLength > kResponseCapacity) {
      return VX_COMM_ERROR;
    }
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
