// The device layer: the device table, discovery of tokens in HID mode and in
// USB (driver) mode, the driver and HID transports, and the removal monitor.
// It reaches the operating system only through os::Sys().
//
// Results, one convention per kind of operation:
// - exchanges and ATR reads (Transmit*, ReadAtr*): 0 success, -1 failure;
// - opening, discovery and releasing lists (OpenSlot, ListDevicePaths,
//   Enum*, FreePathList, OpenDevicePath): 1 done, 0 not done;
// - wrappers of one platform call (CloseSlot, CloseDeviceHandle, Driver*,
//   Hid*Report): that call's BOOL;
// - the connection interface (ConnectSlot, DisconnectSlot, Exchange*): an
//   enum that names each outcome, which the connection layer turns into
//   result codes.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "common/atr.h"
#include "os/driver_codes.h"
#include "os/system.h"

namespace vantor::device {

// Device kinds (SlotEntry::dwKind).
inline constexpr std::int32_t SLOT_FREE = -1;
inline constexpr std::int32_t SLOT_HID = 1;
inline constexpr std::int32_t SLOT_DRIVER = 2;

inline constexpr int kTableEntries = 128;   // entries in the table
inline constexpr int kUsableEntries = 127;  // entries 0..126 are ever used
inline constexpr int kMaxPathChars = 259;   // longest path that fits szPath
inline constexpr int kMaxAtrBytes = 64;

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

// Marks every entry free. Handles the layer still holds (open entries,
// retired devices) are closed first; at start-up there are none.
void InitDeviceTable();
// Merges the tokens attached now into the table (HID tokens first, then
// driver tokens) and reads every listed token's ATR.
void RefreshDeviceTable();
// Opens the entry's device with `shareMode`; 1 with the handle stored in
// hDevice, 0 with the entry unchanged.
int OpenSlot(SlotEntry& entry, DWORD shareMode);
// Closes hDevice (0 for -1 or 0); the caller resets hDevice itself.
BOOL CloseSlot(SlotEntry& entry);

// Discovery. `count` is the capacity on entry and the number of path items
// on return. Result 1: the list (possibly empty) must be released with
// FreePathList. Result 0: no list, count 0; the enumeration could not be
// carried out (NT 4 has no HID class; the enumeration functions do not
// bind; an allocation, the device set or the DOS name query failed), so the
// caller leaves its entries as they are. An interface whose path cannot be
// read is skipped.
int ListDevicePaths(const GUID& classGuid, const char* hardwareIdPrefix,
                    PathList* list, DWORD* count);
int EnumInterfacePaths(const GUID& classGuid, const char* hardwareIdPrefix,
                       PathList* list, DWORD* count);
int EnumLegacyDevicePaths(const GUID& classGuid, PathList* list, DWORD* count);
// "KELVRA2" for DriverInterfaceGuid, null for any other class.
const char* LegacyNamePrefix(const GUID& classGuid);
// The text of a path item.
const char* PathText(const PathItem* item);
int FreePathList(PathList list);
// The HID class (all zero on NT 4 or when the HID library does not bind).
// Binds the feature-report functions that the HID transport uses.
void GetHidClassGuid(GUID* guid);
// 0, or -1 when a new path found no free entry.
int UpdateSlotsOfKind(PathList list, DWORD count, std::int32_t kind);
// 0, or -1 (record untouched) when the ATR does not begin with 0x3B. Reads
// only the `atrLength` bytes given; fields of bytes that are not there are 0.
int ParseAtr(const std::uint8_t* atr, std::uint32_t atrLength, AtrInfo* info);
int OpenDevicePath(const char* path, DWORD shareMode, HANDLE* handle);
BOOL CloseDeviceHandle(HANDLE handle);

// Frees the entry of a token that is gone. When connections held its device
// open, retires the handle (closed with the last of them, or at once when
// none is left and no exchange runs on it), resets hDevice and dwOpenCount
// and counts the monitor down (ending the monitor thread with the last
// count). Used by the monitor's removal handling, the refresh and the
// exchanges. Takes the table lock.
void ReleaseRemovedEntry(SlotEntry& entry);

// --- Exchanges -----------------------------------------------------------
// `response` holds at least 255 bytes (ReadAtr: 256). 0 success, -1 failure.
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

int TransmitControl(const Channel& channel, std::int32_t type,
                    const std::uint8_t* data, std::uint32_t dataLength,
                    std::uint8_t* response, std::uint32_t* responseLength);
int TransmitApdu(const Channel& channel, const std::uint8_t* apdu,
                 std::uint32_t apduLength, std::uint8_t* response,
                 std::uint32_t* responseLength);
// The same on an entry's own handle and kind.
int TransmitControl(SlotEntry& entry, std::int32_t type,
                    const std::uint8_t* data, std::uint32_t dataLength,
                    std::uint8_t* response, std::uint32_t* responseLength);
int TransmitApdu(SlotEntry& entry, const std::uint8_t* apdu,
                 std::uint32_t apduLength, std::uint8_t* response,
                 std::uint32_t* responseLength);
// Reads the entry's ATR over a temporary handle.
int ReadAtr(SlotEntry& entry, std::uint8_t* response, std::uint8_t* capacity);
// Reads the ATR over an open channel (the driver's ATR code, else control
// request 2).
int ReadAtrOn(const Channel& channel, std::uint8_t* response,
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

// --- Connections --------------------------------------------------------
// The connection layer's door to the table: it names entries by index and
// open devices by handle and serial number, and never touches the entries
// itself.
//
// A device whose token is gone while connections hold it (removal, a
// refresh that no longer finds it, an exchange that finds it dead) is
// retired: its entry is freed at once, but its handle stays open, unusable,
// until the last of those connections is closed, so that the system cannot
// give the same handle value to a new connection while an old context still
// carries it.

// The per-token hold: a fair (first come, first served) lock of one entry,
// re-entrant for the thread that holds it. A public call keeps it for its
// whole command sequence; every exchange, connect and disconnect on the
// entry takes it too, and a handle that came from the entry is closed only
// under it, so it is never closed under a running exchange.
void AcquireHold(std::uint32_t index);
// Takes the hold only when nobody holds it or waits for it.
bool TryAcquireHold(std::uint32_t index);
void ReleaseHold(std::uint32_t index);
// True when the calling thread holds it.
bool IsHeldByCaller(std::uint32_t index);

// Keeps the hold of one entry for its lifetime.
class HoldGuard {
 public:
  explicit HoldGuard(std::uint32_t index) : index_(index) {
    AcquireHold(index);
  }
  // Takes over a hold the caller acquired (TryAcquireHold).
  HoldGuard(std::uint32_t index, std::adopt_lock_t) : index_(index) {}
  ~HoldGuard() { ReleaseHold(index_); }
  HoldGuard(const HoldGuard&) = delete;
  HoldGuard& operator=(const HoldGuard&) = delete;

 private:
  std::uint32_t index_;
};

// One opening of an entry's device, as a context carries it: the entry, the
// handle and the serial number that this opening got (never 0). A stale
// context whose handle value the system gave again to a new opening does
// not match it, because the serial differs.
struct Connection {
  std::uint32_t index;
  HANDLE handle;
  std::uint32_t serial;
};

// A used entry as a listing shows it.
struct SlotListing {
  std::uint32_t index;
  std::int32_t kind;
  std::uint16_t wVersion;
  std::uint8_t bAtrLength;
  std::uint8_t bAtr[kMaxAtrBytes];
};
// Refreshes the table and copies every used entry, in table order, into
// `out` (room for kUsableEntries). Returns the number copied.
int ListSlots(SlotListing* out);

// True when the entry is in use.
bool IsSlotInUse(std::uint32_t index);

enum class ConnectResult { kConnected, kInvalid, kBusy };
// Adds one connection to the entry: opens its device with `shareMode`, or
// joins a device open shared when the request is shared. The connection
// goes to `out`. The caller holds the entry's hold.
ConnectResult ConnectSlot(std::uint32_t index, std::uint32_t shareMode,
                          Connection* out);

// Ends `count` connections on a gone device's handle (a stale context
// closed or opened again); the handle is closed with its last connection.
// False when `connection` names no retired handle.
bool ReleaseRetired(const Connection& connection, std::uint32_t count);

enum class DisconnectResult {
  kDone,     // one connection ended; the last one closed the device
  kInvalid,  // not the entry's open device; when it names a retired
             // handle, `count` of its connections were released
};
// Ends one connection on the entry's open device. The caller holds the
// entry's hold.
DisconnectResult DisconnectSlot(const Connection& connection,
                                std::uint32_t count);

enum class ExchangeResult {
  kDone,
  kInvalid,  // not a connection of this entry, or data the transport cannot
             // carry; nothing was sent
  kFailed,   // the transport failed
  kGone,     // the device is gone; its entry was released
};
// One control request or one APDU on the entry's open device. The caller
// holds the entry's hold (a public call takes it once for all its
// exchanges). `responseLength`: capacity in, bytes received out (at most
// 255).
ExchangeResult ExchangeControl(const Connection& connection, std::int32_t type,
                               const std::uint8_t* data,
                               std::uint32_t dataLength, std::uint8_t* response,
                               std::uint32_t* responseLength);
ExchangeResult ExchangeApdu(const Connection& connection,
                            const std::uint8_t* apdu, std::uint32_t apduLength,
                            std::uint8_t* response,
                            std::uint32_t* responseLength);

// True when the connection names its entry's open device: the context that
// carries it is neither stale nor closed.
bool IsConnected(const Connection& connection);

// The entry's state for a connection: false when it is not one.
bool SlotStatusOf(const Connection& connection, SlotListing* out);

// Handles of gone devices still held for their connections.
int RetiredHandles();

// --- Removal monitor -----------------------------------------------------
// While at least one entry's device is open, a thread (NT family from
// version 5 only) owns a hidden window that receives the driver tokens'
// removal broadcasts and frees their entries.

inline constexpr char kMonitorClassName[] = "Kelvra2MonitorWnd";
inline constexpr char kMonitorWindowTitle[] = "Kelvra USB Device Monitor";

// Counts one more open device handle; starts the thread with the first.
// Always 1.
int StartDeviceMonitor();
// Counts one open device handle less; with the last, stops the thread and
// waits for it to end. 0 when the count was already 0, else 1. The caller
// must not hold DeviceTableLock(): the thread takes it while it handles a
// removal, and this call waits for the thread.
int StopDeviceMonitor();
DWORD WINAPI DeviceMonitorThread(LPVOID parameter);
LRESULT CALLBACK DeviceMonitorWndProc(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam);

// Read-only views of the monitor state.
std::int32_t MonitorUsers();
bool MonitorThreadRunning();

}  // namespace vantor::device
