// What the library's tests, fuzz targets, stress program and benchmarks use
// of the device layer beyond its interface: the layer's internals, probes of
// its state, a reset of the table, and access to the table's entries. Not
// for the library's own code.
#pragma once

#include <concepts>
#include <cstdint>
#include <mutex>
#include <span>

#include "device/internal.h"

namespace vantor::device {

// Marks every entry free. Handles the layer still holds (open entries,
// retired devices) are closed first; at start-up there are none.
void InitDeviceTable();

// Handles of gone devices still held for their connections.
int RetiredHandles();

// Read-only views of the monitor state.
std::int32_t MonitorUsers();
bool MonitorThreadRunning();

}  // namespace vantor::device

namespace vantor::device::testing {

// The table's entry `index` (below kTableEntries), not locked: for a caller
// that holds DeviceTableLock() or runs while no other thread uses the table.
template <std::integral Index>
SlotEntry& TableEntry(Index index) {
  return g_DeviceTable[index];
}

// Every entry, in table order, not locked.
inline std::span<SlotEntry, kTableEntries> TableEntries() {
  return g_DeviceTable;
}

// A copy of the entry `index`, taken under the table lock.
template <std::integral Index>
SlotEntry CopyOfEntry(Index index) {
  std::lock_guard lock(DeviceTableLock());
  return g_DeviceTable[index];
}

}  // namespace vantor::device::testing
