// Connections on the table's entries: connect and disconnect, the exchanges
// of a connection, and the devices retired when their token went away.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>

#include "device/device.h"
#include "device/internal.h"
#include "device/testing.h"

namespace vantor::device {
namespace {

// A gone device's handle, kept open while connections still name it.
struct RetiredHandle {
  std::uint32_t index;  // the entry it came from, whose hold guards it
  HANDLE handle;
  std::uint32_t serial;
  std::int32_t connections;
};
// More than the table holds: one per entry, and the handles of earlier
// removals whose stale contexts were not closed yet.
constexpr int kMaxRetired = 2 * kTableEntries;
RetiredHandle g_retired[kMaxRetired];
int g_retiredCount = 0;

// Serial numbers of openings, in steps of two; 0 is never given. An
// opening's serial is this number with its lowest bit set for a HID token,
// so that a connection names its transport itself.
std::uint32_t g_lastSerial = 0;

std::uint32_t NextSerial(std::int32_t kind) {
  g_lastSerial += 2;
  if (g_lastSerial == 0) g_lastSerial = 2;
  return g_lastSerial | (kind == SLOT_HID ? 1u : 0u);
}

std::int32_t KindOfSerial(std::uint32_t serial) {
  return (serial & 1u) != 0 ? SLOT_HID : SLOT_DRIVER;
}

// The openings of the entries (detail::PublishOpening).
std::atomic<std::uint64_t> g_openings[kTableEntries];

// A handle's low 32 bits, and whether they name the handle exactly (the
// handle is those bits sign-extended, as a context carries it).
std::uint32_t LowWord(HANDLE handle) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
bool FitsLowWord(HANDLE handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(
             static_cast<std::int32_t>(LowWord(handle)))) == handle;
}
std::uint64_t OpeningKey(std::uint32_t serial, HANDLE handle) {
  return (std::uint64_t{serial} << 32) | LowWord(handle);
}

RetiredHandle* FindRetired(const Connection& connection) {
  for (int i = 0; i < g_retiredCount; ++i) {
    RetiredHandle& record = g_retired[i];
    if (record.handle == connection.handle &&
        record.serial == connection.serial) {
      return &record;
    }
  }
  return nullptr;
}

void DropRetired(RetiredHandle* record) {
  const HANDLE handle = record->handle;
  *record = g_retired[--g_retiredCount];
  CloseDeviceHandle(handle);
}

// Makes room for one more retired handle: gives up the oldest one whose
// entry nobody holds now (so no exchange runs on it). A context that still
// names it is refused all the same (its serial matches nothing); only the
// handle value may meet it again. False when every one is in use.
bool MakeRetiredRoom() {
  if (g_retiredCount < kMaxRetired) return true;
  for (int i = 0; i < g_retiredCount; ++i) {
    const std::uint32_t index = g_retired[i].index;
    if (TryAcquireHold(index)) {
      DropRetired(&g_retired[i]);
      ReleaseHold(index);
      return true;
    }
  }
  return false;
}

// Keeps the entry's handle open for its connections, or closes it when
// there are none.
void Retire(std::uint32_t index, const SlotEntry& entry) {
  if (entry.dwOpenCount <= 0 || !MakeRetiredRoom()) {
    CloseDeviceHandle(entry.hDevice);
    return;
  }
  g_retired[g_retiredCount++] =
      RetiredHandle{index, entry.hDevice, entry.dwSerial, entry.dwOpenCount};
}

// The entry when the connection names a used entry's open device.
SlotEntry* ConnectedEntry(const Connection& connection) {
  if (connection.index >= static_cast<std::uint32_t>(kUsableEntries)) {
    return nullptr;
  }
  SlotEntry& entry = g_DeviceTable[connection.index];
  if (entry.dwKind == SLOT_FREE || connection.handle == INVALID_HANDLE_VALUE ||
      entry.hDevice != connection.handle || entry.dwOpenCount <= 0 ||
      entry.dwSerial != connection.serial) {
    return nullptr;
  }
  return &entry;
}

// The channel of the connection's device; false when it is not the
// entry's opening now. Needs no table lock: the opening is one word, and its
// serial names the kind. Checked under the entry's hold, which keeps every
// connect and disconnect of the entry out until the exchange ends; a removal
// may still withdraw the opening meanwhile, but it retires the handle
// rather than closing it, so the exchange meets a gone device, never a
// handle the system gave to someone else.
bool ChannelOf(const Connection& connection, Channel* channel) {
  // Serial 0 is never given; with handle 0 it would match "no opening".
  if (connection.serial == 0 || !FitsLowWord(connection.handle) ||
      g_openings[connection.index].load(std::memory_order_acquire) !=
          OpeningKey(connection.serial, connection.handle)) {
    return false;
  }
  *channel = Channel{connection.handle, KindOfSerial(connection.serial)};
  return true;
}

// Runs `transmit` on the connection's channel under the entry's hold, which
// the caller keeps, unless `refuse` turns the request down first (nothing
// is sent then). A device the exchange finds gone is released.
template <typename Refuse, typename Transmit>
ExchangeResult RunExchange(const Connection& connection, Refuse refuse,
                           Transmit transmit) {
  if (connection.index >= static_cast<std::uint32_t>(kUsableEntries)) {
    return ExchangeResult::kInvalid;
  }
  assert(IsHeldByCaller(connection.index));
  Channel channel{};
  if (!ChannelOf(connection, &channel) || refuse(channel)) {
    return ExchangeResult::kInvalid;
  }
  if (transmit(channel)) return ExchangeResult::kDone;
  if (!IsDeviceGoneError(LastTransportError())) return ExchangeResult::kFailed;
  std::lock_guard guard(DeviceTableLock());
  if (SlotEntry* entry = ConnectedEntry(connection)) {
    ReleaseRemovedEntry(*entry);
  }
  return ExchangeResult::kGone;
}

}  // namespace

namespace detail {

void CloseHeldHandles() {
  for (SlotEntry& entry : g_DeviceTable) {
    if (entry.dwKind != SLOT_FREE) CloseDeviceHandle(entry.hDevice);
  }
  while (g_retiredCount > 0) DropRetired(&g_retired[0]);
}

void PublishOpening(std::uint32_t index, const SlotEntry& entry) {
  // A handle that a context cannot carry gets no opening: no connection
  // could name it anyway.
  const bool usable = entry.dwSerial != 0 &&
                      entry.hDevice != INVALID_HANDLE_VALUE &&
                      FitsLowWord(entry.hDevice);
  g_openings[index % kTableEntries].store(
      usable ? OpeningKey(entry.dwSerial, entry.hDevice) : 0,
      std::memory_order_release);
}

void WithdrawOpening(std::uint32_t index) {
  g_openings[index % kTableEntries].store(0, std::memory_order_release);
}

void WithdrawAllOpenings() {
  for (std::uint32_t i = 0; i < kTableEntries; ++i) WithdrawOpening(i);
}

}  // namespace detail

void ReleaseRemovedEntry(SlotEntry& entry) {
  std::lock_guard guard(DeviceTableLock());
  const auto index = static_cast<std::uint32_t>(&entry - g_DeviceTable);
  detail::WithdrawOpening(index);
  entry.dwKind = SLOT_FREE;
  ++entry.dwGeneration;
  if (entry.hDevice != INVALID_HANDLE_VALUE) {
    Retire(index, entry);
    entry.hDevice = INVALID_HANDLE_VALUE;
    entry.dwOpenCount = 0;
    entry.dwSerial = 0;
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
                          Connection* out) {
  std::lock_guard guard(DeviceTableLock());
  if (index >= static_cast<std::uint32_t>(kUsableEntries) ||
      g_DeviceTable[index].dwKind == SLOT_FREE) {
    return ConnectResult::kInvalid;
  }
  SlotEntry& entry = g_DeviceTable[index];
  if (entry.hDevice != INVALID_HANDLE_VALUE) {
    // Only a shared connect joins a device that is open shared.
    if (shareMode == 0 || entry.dwShareMode == 0) return ConnectResult::kBusy;
  } else {
    if (!OpenSlot(entry, shareMode)) return ConnectResult::kBusy;
    // Counted under the lock, so a removal cannot count it down first. A
    // monitor that cannot be started takes the opening back.
    try {
      StartDeviceMonitor();
    } catch (...) {
      const HANDLE handle = entry.hDevice;
      entry.hDevice = INVALID_HANDLE_VALUE;
      CloseDeviceHandle(handle);
      throw;
    }
    entry.dwOpenCount = 0;
    entry.dwSerial = NextSerial(entry.dwKind);
  }
  entry.dwShareMode = shareMode;
  ++entry.dwOpenCount;
  detail::PublishOpening(index, entry);
  *out = Connection{index, entry.hDevice, entry.dwSerial};
  return ConnectResult::kConnected;
}

bool ReleaseRetired(const Connection& connection, std::uint32_t count) {
  std::lock_guard guard(DeviceTableLock());
  RetiredHandle* record = connection.handle != INVALID_HANDLE_VALUE
                              ? FindRetired(connection)
                              : nullptr;
  if (record == nullptr) return false;
  const auto ended = static_cast<std::int32_t>(
      std::min<std::uint32_t>(std::max<std::uint32_t>(count, 1),
                              static_cast<std::uint32_t>(record->connections)));
  record->connections -= ended;
  if (record->connections <= 0) DropRetired(record);
  return true;
}

DisconnectResult DisconnectSlot(const Connection& connection,
                                std::uint32_t count) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  {
    std::lock_guard guard(DeviceTableLock());
    SlotEntry* entry = ConnectedEntry(connection);
    if (entry == nullptr) {
      // A connection to a device that is gone: release what it held.
      ReleaseRetired(connection, count);
      return DisconnectResult::kInvalid;
    }
    if (--entry->dwOpenCount > 0) return DisconnectResult::kDone;
    detail::WithdrawOpening(connection.index);
    handle = entry->hDevice;
    entry->hDevice = INVALID_HANDLE_VALUE;
    entry->dwSerial = 0;
  }
  // Closed under the hold only (no exchange runs on it, and the entry no
  // longer names it). Stopping waits for the monitor thread, which takes
  // the table lock in its removal handling: both run without it. The
  // monitor is counted down even when the close fails by an exception.
  try {
    CloseDeviceHandle(handle);
  } catch (...) {
    StopDeviceMonitor();
    throw;
  }
  StopDeviceMonitor();
  return DisconnectResult::kDone;
}

ExchangeResult ExchangeControl(const Connection& connection, std::int32_t type,
                               const std::uint8_t* data,
                               std::uint32_t dataLength, std::uint8_t* response,
                               std::uint32_t* responseLength) {
  auto refuse = [&](const Channel& channel) {
    const std::uint32_t limit =
        channel.kind == SLOT_HID ? kMaxHidControlData : kMaxRequestData;
    return (data == nullptr && dataLength != 0) || dataLength > limit;
  };
  return RunExchange(connection, refuse, [&](const Channel& channel) {
    return TransmitControl(channel, type, data, dataLength, response,
                           responseLength);
  });
}

ExchangeResult ExchangeApdu(const Connection& connection,
                            const std::uint8_t* apdu, std::uint32_t apduLength,
                            std::uint8_t* response,
                            std::uint32_t* responseLength) {
  auto refuse = [&](const Channel&) {
    return apdu == nullptr || apduLength == 0 || apduLength > kMaxRequestData;
  };
  return RunExchange(connection, refuse, [&](const Channel& channel) {
    return TransmitApdu(channel, apdu, apduLength, response, responseLength);
  });
}

bool IsConnected(const Connection& connection) {
  std::lock_guard guard(DeviceTableLock());
  return ConnectedEntry(connection) != nullptr;
}

}  // namespace vantor::device
