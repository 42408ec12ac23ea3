// The device layer's internals, shared by its own sources: the device
// table, discovery of tokens in HID mode and in USB (driver) mode, the driver
// and HID transports, and the removal monitor. It reaches the operating
// system only through os::Sys().
//
// Results: bool for done or not done; an enum where the caller must tell
// several outcomes apart; a wrapper of one platform call (CloseSlot,
// CloseDeviceHandle, Driver*, Hid*Report) answers that call's BOOL.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "common/atr.h"
#include "device/device.h"
#include "os/driver_codes.h"
#include "os/system.h"

namespace vantor::device {

// Device kinds (SlotEntry::dwKind).
inline constexpr std::int32_t SLOT_FREE = -1;
inline constexpr std::int32_t SLOT_HID = 1;
inline constexpr std::int32_t SLOT_DRIVER = 2;

inline constexpr int kTableEntries = 128;  // entries in the table
inline constexpr int kMaxPathChars = 259;  // longest path that fits szPath

// Fields parsed from a token's historical bytes.
using AtrInfo = common::AtrInfo;

struct SlotEntry {
  std::int32_t dwKind;
  HANDLE hDevice;  // INVALID_HANDLE_VALUE while no connection holds it open
  char szPath[kMaxPathChars + 1];
  ::vantor::device::AtrInfo AtrInfo;
  std::uint8_t bAtr[kMaxAtrBytes];
  std::uint8_t bAtrLength;
  std::uint32_t dwShareMode;
  std::int32_t dwOpenCount;
  // Kept by the layer beside the fields above: the serial number of the
  // opening of hDevice, a number that changes whenever the entry is given
  // to a token, and the case-blind hash of szPath.
  std::uint32_t dwSerial;
  std::uint32_t dwGeneration;
  std::uint32_t dwPathHash;
};

// The process-wide table, owned by this layer. Every access from the
// caller's thread or the monitor thread holds DeviceTableLock(), which also
// guards the monitor state and the retired handles. The lock is never held
// across device I/O: an exchange runs under its entry's hold (below), so
// exchanges on different tokens do not wait for each other and a handle is
// never closed in the middle of an exchange. Order: a hold before the
// table lock, never the other way.
// The table starts with every entry free.
extern SlotEntry (&g_DeviceTable)[kTableEntries];
std::recursive_mutex& DeviceTableLock();

// The vendor driver's device interface class
// {171638F7-1EAD-4873-BA98-C966ABCF0142}.
extern const GUID DriverInterfaceGuid;
// "HID\Vid_0471&Pid_485e"
extern const char kHidHardwareIdPrefix[];

// A path list: capacity + 1 pointers, ended by a null pointer. Each item is
// a separately allocated block: a header word, then the zero-terminated
// device path.
using PathItem = SP_DEVICE_INTERFACE_DETAIL_DATA_A;
using PathList = PathItem**;

// Request header, laid out as a USB setup packet (16-bit fields little-endian
// on the wire).
struct RequestHeader {
  std::uint8_t bmRequestType;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
};
// Writes the 8 wire bytes of `header` to `out`.
void EncodeHeader(const RequestHeader& header, std::uint8_t out[8]);

// Driver I/O control codes.
using os::IOCTL_VX_GET_ATR;
using os::IOCTL_VX_READ;
using os::IOCTL_VX_TRANSFER;
using os::IOCTL_VX_WRITE;

// --- Table and discovery -------------------------------------------------

// Merges the tokens attached now into the table (HID tokens first, then
// driver tokens) and reads every listed token's ATR.
void RefreshDeviceTable();
// Opens the entry's device with `shareMode`; true with the handle stored in
// hDevice, false with the entry unchanged.
bool OpenSlot(SlotEntry& entry, DWORD shareMode);
// Closes hDevice (0 for -1 or 0); the caller resets hDevice itself.
BOOL CloseSlot(SlotEntry& entry);

// Discovery. `count` is the capacity on entry and the number of path items
// on return. True: the list (possibly empty) must be released with
// FreePathList. False: no list, count 0; the enumeration could not be
// carried out (NT 4 has no HID class; the enumeration functions do not
// bind; an allocation, the device set or the DOS name query failed), so the
// caller leaves its entries as they are. An interface whose path cannot be
// read is skipped.
bool ListDevicePaths(const GUID& classGuid, const char* hardwareIdPrefix,
                     PathList* list, DWORD* count);
bool EnumInterfacePaths(const GUID& classGuid, const char* hardwareIdPrefix,
                        PathList* list, DWORD* count);
bool EnumLegacyDevicePaths(const GUID& classGuid, PathList* list, DWORD* count);
// "KELVRA2" for DriverInterfaceGuid, null for any other class.
const char* LegacyNamePrefix(const GUID& classGuid);
// The text of a path item.
const char* PathText(const PathItem* item);
bool FreePathList(PathList list);
// The HID class (all zero on NT 4 or when the HID library does not bind).
// Binds the feature-report functions that the HID transport uses.
void GetHidClassGuid(GUID* guid);
// False when a new path found no free entry.
bool UpdateSlotsOfKind(PathList list, DWORD count, std::int32_t kind);
// False (record untouched) when the ATR does not begin with 0x3B. Reads
// only the `atrLength` bytes given; fields of bytes that are not there are 0.
bool ParseAtr(const std::uint8_t* atr, std::uint32_t atrLength, AtrInfo* info);
bool OpenDevicePath(const char* path, DWORD shareMode, HANDLE* handle);
BOOL CloseDeviceHandle(HANDLE handle);

// Frees the entry of a token that is gone. When connections held its device
// open, retires the handle (closed with the last of them, or at once when
// none is left and no exchange runs on it), resets hDevice and dwOpenCount
// and counts the monitor down (ending the monitor thread with the last
// count). Used by the monitor's removal handling, the refresh and the
// exchanges. Takes the table lock.
void ReleaseRemovedEntry(SlotEntry& entry);

// --- Exchanges -----------------------------------------------------------
// `response` holds at least 255 bytes (ReadAtrOn: 256). False on failure.
// Requests with more data than a report or the driver buffer carries (255
// bytes; 254 for a HID control request) are refused without being sent.

// Largest data of a request (wLength carries 8 bits), and of a control
// request in a HID report, whose length byte counts the request code too.
inline constexpr std::uint32_t kMaxRequestData = 255;
inline constexpr std::uint32_t kMaxHidControlData = 254;

// What an exchange runs on: a device handle and the transport of its kind.
struct Channel {
  HANDLE handle;
  std::int32_t kind;
};
// The platform error of the exchange that failed last on this thread (0
// when it was refused before anything was sent).
DWORD LastTransportError();
// Whether a platform error says the device behind a handle is gone.
bool IsDeviceGoneError(DWORD error);

bool TransmitControl(const Channel& channel, std::int32_t type,
                     const std::uint8_t* data, std::uint32_t dataLength,
                     std::uint8_t* response, std::uint32_t* responseLength);
bool TransmitApdu(const Channel& channel, const std::uint8_t* apdu,
                  std::uint32_t apduLength, std::uint8_t* response,
                  std::uint32_t* responseLength);
// Reads the ATR over an open channel (the driver's ATR code, else control
// request 2).
bool ReadAtrOn(const Channel& channel, std::uint8_t* response,
               std::uint8_t* capacity);

// Control request code on the wire for a control type.
inline std::uint16_t ControlRequestCode(std::int32_t type,
                                        const std::uint8_t* data,
                                        std::uint32_t dataLength) {
  switch (type) {
    case 2:
      return 2;
    case 4:
      return data != nullptr && dataLength != 0 ? 6 : 4;
    case 8:
      return 5;
    default:
      return static_cast<std::uint16_t>(type);
  }
}

BOOL DriverWrite(HANDLE device, const RequestHeader& header,
                 const std::uint8_t* data, DWORD* returned);
BOOL DriverRead(HANDLE device, const RequestHeader& header,
                std::uint8_t* response, DWORD* returned);
BOOLEAN HidSendReport(HANDLE device, const RequestHeader& header,
                      const std::uint8_t* data);
BOOLEAN HidReceiveReport(HANDLE device, std::uint8_t* response,
                         std::uint32_t* answerLength);

// Bound of the answer read's repetition while the token reports a semaphore
// time-out (error 121), whichever comes first. Commands such as on-token key
// generation take long, so the time bound is generous. The public header
// (include/vantor/vantor.h, ABI conventions) states both bounds.
inline constexpr int kHidMaxReads = 30000;
inline constexpr int kHidReadTimeLimitMs = 30000;

// Report id and size of the HID feature report that carries an APDU of
// `length` bytes (0..255); {0, 0} for longer APDUs, which no report holds.
struct ReportShape {
  std::uint8_t id;
  std::uint32_t size;
};
ReportShape ApduReportShape(std::uint32_t length);

// Takes the entry's hold only when nobody holds it or waits for it.
bool TryAcquireHold(std::uint32_t index);
// True when the calling thread holds the entry's hold.
bool IsHeldByCaller(std::uint32_t index);

// --- Removal monitor -----------------------------------------------------
// While at least one entry's device is open, a thread (NT family from
// version 5 only) owns a hidden window that receives the driver tokens'
// removal broadcasts and frees their entries.

inline constexpr char kMonitorClassName[] = "Kelvra2MonitorWnd";
inline constexpr char kMonitorWindowTitle[] = "Kelvra USB Device Monitor";

// Counts one more open device handle; starts the thread with the first.
void StartDeviceMonitor();
// Counts one open device handle less; with the last, stops the thread and
// waits for it to end. False when the count was already 0. The caller
// must not hold DeviceTableLock(): the thread takes it while it handles a
// removal, and this call waits for the thread.
bool StopDeviceMonitor();
DWORD WINAPI DeviceMonitorThread(LPVOID parameter);
LRESULT CALLBACK DeviceMonitorWndProc(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam);

}  // namespace vantor::device

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
bool ReadAtrAt(const char* path, std::int32_t kind, std::uint8_t* response,
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
