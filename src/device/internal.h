// Helpers shared by the device layer's sources; not part of its interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "device/device.h"

namespace vantor::device::detail {

// GetVersionExA with the platform's record size; false when it fails.
bool QueryVersion(OSVERSIONINFOA* info);
// Windows NT 4: platform id 2 with major version 4.
bool IsNt4();

// ASCII case-insensitive comparisons, as _stricmp and _memicmp.
int CompareNoCase(const char* a, const char* b);
bool EqualNoCase(const char* a, const char* b, std::size_t length);

// The feature-report functions bound from "hid.dll" by GetHidClassGuid;
// null while they are unbound for the current system.
struct HidFunctions {
  os::PFN_HidD_GetHidGuid getHidGuid;
  os::PFN_HidD_GetFeature getFeature;
  os::PFN_HidD_SetFeature setFeature;
  os::PFN_HidD_GetAttributes getAttributes;  // null where it does not bind
};
const HidFunctions* BoundHidFunctions();
// Binds them when they are unbound; null when "hid.dll" or one of the three
// functions cannot be bound.
const HidFunctions* BindHidFunctions();

// HidSendReport then HidReceiveReport, over one report and one look-up of
// the bound functions. False when either fails.
bool HidExchange(HANDLE device, const RequestHeader& header,
                 const std::uint8_t* data, std::uint8_t* response,
                 std::uint32_t* answerLength);

// A function bound by name, as the type it has.
template <typename Fn>
Fn BindAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Reads the ATR of the device at `path` over a temporary handle.
int ReadAtrAt(const char* path, std::int32_t kind, std::uint8_t* response,
              std::uint8_t* capacity);
// Closes every handle the layer holds (open entries, retired devices) and
// forgets the retired devices. The caller holds the table lock.
void CloseHeldHandles();
// Counts the monitor down for a device handle closed or retired because its
// token is gone; with the last count the thread ends by itself. The caller
// holds the table lock.
void LowerMonitorUsersForRemoval();

// The opening of each entry's device, kept beside the table so that an
// exchange can check its connection without the table lock: the serial
// number (whose lowest bit names the kind, 1 for HID) in the high word and
// the handle's low 32 bits in the low word, or 0 while the entry has no
// opening. Set and withdrawn under the table lock, wherever the entry's
// opening begins or ends.
void PublishOpening(std::uint32_t index, const SlotEntry& entry);
void WithdrawOpening(std::uint32_t index);
void WithdrawAllOpenings();

// Eight zero bytes that stand in for the data of a request without data.
inline constexpr std::uint8_t kFiller[8] = {};

}  // namespace vantor::device::detail
