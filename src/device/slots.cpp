// Connections on the table's entries: connect and disconnect, the exchanges
// of a connection, and the devices retired when their token went away.
#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "device/internal.h"

namespace vantor::device {
namespace {

// A gone device's handle, kept open while connections still name it, with
// the contexts that hold them.
struct RetiredHandle {
  HANDLE handle;
  std::int32_t connections;
  std::int32_t busy;
  SlotEntry::Owner owners[std::size(SlotEntry{}.owners)];
};
// More than the table holds: one per entry and the exchanges still running
// on handles retired before.
constexpr int kMaxRetired = 2 * kTableEntries;
RetiredHandle g_retired[kMaxRetired];
int g_retiredCount = 0;

std::mutex g_exchangeLocks[kTableEntries];

RetiredHandle* FindRetired(HANDLE handle) {
  for (int i = 0; i < g_retiredCount; ++i) {
    if (g_retired[i].handle == handle) return &g_retired[i];
  }
  return nullptr;
}

void DropRetired(RetiredHandle* record) {
  CloseDeviceHandle(record->handle);
  *record = g_retired[--g_retiredCount];
}

// Keeps the entry's handle open for its connections and exchanges, or
// closes it when there are none.
void Retire(const SlotEntry& entry, std::int32_t connections,
            std::int32_t busy) {
  const HANDLE handle = entry.hDevice;
  if (connections <= 0 && busy <= 0) {
    CloseDeviceHandle(handle);
    return;
  }
  if (g_retiredCount == kMaxRetired) {
    // Full: give up the oldest handle that no exchange uses. A context that
    // still names it may then meet its value again, which only a caller
    // that never closes its stale contexts can bring about.
    for (int i = 0; i < g_retiredCount; ++i) {
      if (g_retired[i].busy == 0) {
        DropRetired(&g_retired[i]);
        break;
      }
    }
    if (g_retiredCount == kMaxRetired) return;  // every one in use
  }
  RetiredHandle& record = g_retired[g_retiredCount++];
  record = RetiredHandle{handle, connections, busy, {}};
  std::copy(std::begin(entry.owners), std::end(entry.owners), record.owners);
}

// Ends the connections `owner` holds on a retired handle (all of them: its
// context can do nothing more with any), or one where the owner was not
// recorded; the handle is closed with its last connection and exchange.
// False when `handle` is not retired.
bool ReleaseRetiredConnection(HANDLE handle, const void* owner) {
  RetiredHandle* record =
      handle != INVALID_HANDLE_VALUE ? FindRetired(handle) : nullptr;
  if (record == nullptr || record->connections <= 0) return false;
  std::int32_t ended = 1;
  for (SlotEntry::Owner& o : record->owners) {
    if (o.connections > 0 && o.context == owner) {
      ended = o.connections;
      o.connections = 0;
      break;
    }
  }
  record->connections -= std::min(ended, record->connections);
  if (record->connections == 0 && record->busy <= 0) DropRetired(record);
  return true;
}

// The entry when `index` names a used entry whose open device is `handle`.
SlotEntry* ConnectedEntry(std::uint32_t index, HANDLE handle) {
  if (index >= static_cast<std::uint32_t>(kUsableEntries)) return nullptr;
  SlotEntry& entry = g_DeviceTable[index];
  if (entry.dwKind == SLOT_FREE || handle == INVALID_HANDLE_VALUE ||
      entry.hDevice != handle || entry.dwOpenCount <= 0) {
    return nullptr;
  }
  return &entry;
}

void AddOwner(SlotEntry& entry, const void* owner) {
  SlotEntry::Owner* empty = nullptr;
  for (SlotEntry::Owner& o : entry.owners) {
    if (o.connections > 0 && o.context == owner) {
      ++o.connections;
      return;
    }
    if (o.connections == 0 && empty == nullptr) empty = &o;
  }
  // Without room the connection is counted for the entry only; its context
  // is then closed by its first close, as one connection.
  if (empty != nullptr) *empty = SlotEntry::Owner{owner, 1};
}

// Ends one connection of `owner`; true when it holds another.
bool DropOwner(SlotEntry& entry, const void* owner) {
  for (SlotEntry::Owner& o : entry.owners) {
    if (o.connections > 0 && o.context == owner) {
      return --o.connections > 0;
    }
  }
  return false;
}

// Pins the entry's device for one exchange and returns its channel; the
// entry is not pinned when the result is false.
bool Pin(std::uint32_t index, HANDLE handle, Channel* channel) {
  std::lock_guard guard(DeviceTableLock());
  SlotEntry* entry = ConnectedEntry(index, handle);
  if (entry == nullptr) return false;
  ++entry->dwBusy;
  *channel = Channel{entry->hDevice, entry->dwKind};
  return true;
}

// Ends the exchange's pin; a device the exchange found gone is released.
ExchangeResult Finish(std::uint32_t index, HANDLE handle, int result) {
  const DWORD error = result == 0 ? 0 : LastTransportError();
  std::lock_guard guard(DeviceTableLock());
  if (result != 0 && IsDeviceGoneError(error)) {
    if (SlotEntry* entry = ConnectedEntry(index, handle)) {
      ReleaseRemovedEntry(*entry);
    }
  }
  detail::Unpin(static_cast<int>(index), handle);
  if (result == 0) return ExchangeResult::kDone;
  return IsDeviceGoneError(error) ? ExchangeResult::kGone
                                  : ExchangeResult::kFailed;
}

// Runs `transmit` on the connection's channel unless `refuse` turns the
// request down first (nothing is sent then).
template <typename Refuse, typename Transmit>
ExchangeResult RunExchange(std::uint32_t index, HANDLE handle, Refuse refuse,
                           Transmit transmit) {
  Channel channel{};
  if (!Pin(index, handle, &channel)) return ExchangeResult::kInvalid;
  if (refuse(channel)) {
    std::lock_guard guard(DeviceTableLock());
    detail::Unpin(static_cast<int>(index), handle);
    return ExchangeResult::kInvalid;
  }
  int result = -1;
  {
    std::lock_guard exchange(g_exchangeLocks[index]);
    result = transmit(channel);
  }
  return Finish(index, handle, result);
}

}  // namespace

namespace detail {

std::mutex& ExchangeLock(int index) { return g_exchangeLocks[index]; }

void Unpin(int index, HANDLE handle) {
  SlotEntry& entry = g_DeviceTable[index];
  if (entry.dwKind != SLOT_FREE && entry.hDevice == handle &&
      entry.dwBusy > 0) {
    --entry.dwBusy;
    return;
  }
  if (RetiredHandle* record = FindRetired(handle)) {
    if (--record->busy <= 0 && record->connections <= 0) DropRetired(record);
  }
}

void CloseHeldHandles() {
  for (SlotEntry& entry : g_DeviceTable) {
    if (entry.dwKind != SLOT_FREE) CloseDeviceHandle(entry.hDevice);
  }
  while (g_retiredCount > 0) DropRetired(&g_retired[0]);
}

}  // namespace detail

void ReleaseRemovedEntry(SlotEntry& entry) {
  std::lock_guard guard(DeviceTableLock());
  entry.dwKind = SLOT_FREE;
  ++entry.dwGeneration;
  if (entry.hDevice != INVALID_HANDLE_VALUE) {
    Retire(entry, entry.dwOpenCount, entry.dwBusy);
    entry.hDevice = INVALID_HANDLE_VALUE;
    entry.dwOpenCount = 0;
    entry.dwBusy = 0;
    detail::LowerMonitorUsersForRemoval();
  }
}

int RetiredHandles() {
  std::lock_guard guard(DeviceTableLock());
  return g_retiredCount;
}

int ListSlots(SlotListing* out) {
  RefreshDeviceTable();
  std::lock_guard guard(DeviceTableLock());
  int count = 0;
  for (int i = 0; i < kUsableEntries; ++i) {
    const SlotEntry& entry = g_DeviceTable[i];
    if (entry.dwKind == SLOT_FREE) continue;
    SlotListing& listing = out[count++];
    listing.index = static_cast<std::uint32_t>(i);
    listing.kind = entry.dwKind;
    listing.wVersion = entry.AtrInfo.wVersion;
    listing.bAtrLength = entry.bAtrLength;
    std::memcpy(listing.bAtr, entry.bAtr, entry.bAtrLength);
  }
  return count;
}

bool IsSlotInUse(std::uint32_t index) {
  std::lock_guard guard(DeviceTableLock());
  return index < static_cast<std::uint32_t>(kUsableEntries) &&
         g_DeviceTable[index].dwKind != SLOT_FREE;
}

ConnectResult ConnectSlot(std::uint32_t index, std::uint32_t shareMode,
                          const void* owner, HANDLE* handle) {
  bool opened = false;
  {
    std::lock_guard guard(DeviceTableLock());
    if (index >= static_cast<std::uint32_t>(kUsableEntries) ||
        g_DeviceTable[index].dwKind == SLOT_FREE) {
      return ConnectResult::kInvalid;
    }
    SlotEntry& entry = g_DeviceTable[index];
    if (entry.hDevice != INVALID_HANDLE_VALUE) {
      // Only a shared connect joins a device that is open shared.
      if (shareMode == 0 || entry.dwShareMode == 0) {
        return ConnectResult::kBusy;
      }
    } else {
      if (OpenSlot(entry, shareMode) == 0) return ConnectResult::kBusy;
      entry.dwOpenCount = 0;
      entry.dwBusy = 0;
      std::memset(entry.owners, 0, sizeof(entry.owners));
      opened = true;
    }
    entry.dwShareMode = shareMode;
    ++entry.dwOpenCount;
    AddOwner(entry, owner);
    *handle = entry.hDevice;
    // Counted under the lock, so a removal cannot count it down first.
    if (opened) StartDeviceMonitor();
  }
  return ConnectResult::kConnected;
}

bool ReleaseStaleConnection(std::uint32_t index, HANDLE handle,
                            const void* owner) {
  std::lock_guard guard(DeviceTableLock());
  return ConnectedEntry(index, handle) == nullptr &&
         ReleaseRetiredConnection(handle, owner);
}

DisconnectResult DisconnectSlot(std::uint32_t index, HANDLE handle,
                                const void* owner) {
  bool closedLast = false;
  bool ownerConnected = false;
  {
    std::lock_guard guard(DeviceTableLock());
    SlotEntry* entry = ConnectedEntry(index, handle);
    if (entry == nullptr) {
      // A connection to a device that is gone: release what it held.
      ReleaseRetiredConnection(handle, owner);
      return DisconnectResult::kInvalid;
    }
    ownerConnected = DropOwner(*entry, owner);
    if (--entry->dwOpenCount == 0) {
      Retire(*entry, 0, entry->dwBusy);
      entry->hDevice = INVALID_HANDLE_VALUE;
      entry->dwBusy = 0;
      std::memset(entry->owners, 0, sizeof(entry->owners));
      closedLast = true;
      ownerConnected = false;
    }
  }
  // Stopping waits for the monitor thread, which takes the table lock in its
  // removal handling: call it only once the lock is released.
  if (closedLast) StopDeviceMonitor();
  return ownerConnected ? DisconnectResult::kOwnerConnected
                        : DisconnectResult::kOwnerDone;
}

ExchangeResult ExchangeControl(std::uint32_t index, HANDLE handle,
                               std::int32_t type, const std::uint8_t* data,
                               std::uint32_t dataLength, std::uint8_t* response,
                               std::uint32_t* responseLength) {
  auto refuse = [&](const Channel& channel) {
    const std::uint32_t limit =
        channel.kind == SLOT_HID ? kMaxHidControlData : kMaxRequestData;
    return (data == nullptr && dataLength != 0) || dataLength > limit;
  };
  return RunExchange(index, handle, refuse, [&](const Channel& channel) {
    return TransmitControl(channel, type, data, dataLength, response,
                           responseLength);
  });
}

ExchangeResult ExchangeApdu(std::uint32_t index, HANDLE handle,
                            const std::uint8_t* apdu, std::uint32_t apduLength,
                            std::uint8_t* response,
                            std::uint32_t* responseLength) {
  auto refuse = [&](const Channel&) {
    return apdu == nullptr || apduLength == 0 || apduLength > kMaxRequestData;
  };
  return RunExchange(index, handle, refuse, [&](const Channel& channel) {
    return TransmitApdu(channel, apdu, apduLength, response, responseLength);
  });
}

bool SlotStatusOf(std::uint32_t index, HANDLE handle, SlotListing* out) {
  std::lock_guard guard(DeviceTableLock());
  const SlotEntry* entry = ConnectedEntry(index, handle);
  if (entry == nullptr) return false;
  out->index = index;
  out->kind = entry->dwKind;
  out->wVersion = entry->AtrInfo.wVersion;
  out->bAtrLength = entry->bAtrLength;
  std::memcpy(out->bAtr, entry->bAtr, entry->bAtrLength);
  return true;
}

}  // namespace vantor::device
