// The device layer: the device table, discovery of tokens in HID mode and in
// USB (driver) mode, the driver and HID transports, and the removal monitor.
// It reaches the operating system only through os::Sys().
#pragma once

#include <cstdint>
#include <mutex>

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
struct AtrInfo {
  std::uint8_t bHist0;
  std::uint8_t bHist3;
  std::uint16_t wVersion;  // H1 * 256 + H2
  std::uint16_t wHist45;   // H4 * 256 + H5
  std::uint8_t bHist6;
  std::uint8_t bDeviceIdLength;  // device-id bytes stored in bDeviceId
  std::uint8_t bDeviceId[8];
};
static_assert(sizeof(AtrInfo) == 16);

struct SlotEntry {
  std::int32_t dwKind;
  HANDLE hDevice;  // INVALID_HANDLE_VALUE while no connection holds it open
  char szPath[kMaxPathChars + 1];
  ::vantor::device::AtrInfo AtrInfo;
  std::uint8_t bAtr[kMaxAtrBytes];
  std::uint8_t bAtrLength;
  std::uint32_t dwShareMode;
  std::int32_t dwOpenCount;
};

// The process-wide table. Every access from the caller's thread or the
// monitor thread holds DeviceTableLock(). The lock also guards the monitor
// state. It is recursive so that compound operations of the layer above can
// hold it across several calls of this layer. The table starts with every
// entry free.
extern SlotEntry g_DeviceTable[kTableEntries];
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
inline constexpr DWORD IOCTL_VX_WRITE = 0x22000C;
inline constexpr DWORD IOCTL_VX_READ = 0x220010;
inline constexpr DWORD IOCTL_VX_GET_ATR = 0x220024;
inline constexpr DWORD IOCTL_VX_TRANSFER = 0x220028;

// --- Table and discovery -------------------------------------------------

// Marks every entry free.
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
// carried out (NT 4 has no HID class; an allocation, the device set or the
// DOS name query failed), so the caller leaves its entries as they are.
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

// Frees the entry of a token that is gone. When a connection held its device
// open, closes the handle, resets hDevice and dwOpenCount and counts the
// monitor down (ending the monitor thread with the last count). Used by the
// monitor's removal handling and by the refresh. Takes the table lock.
void ReleaseRemovedEntry(SlotEntry& entry);

// --- Exchanges -----------------------------------------------------------
// `response` holds at least 255 bytes (ReadAtr: 256). 0 success, -1 failure.
// Requests with more data than a report or the driver buffer carries (255
// bytes; 254 for a HID control request) are refused without being sent.

int TransmitControl(SlotEntry& entry, std::int32_t type,
                    const std::uint8_t* data, std::uint32_t dataLength,
                    std::uint8_t* response, std::uint32_t* responseLength);
int TransmitApdu(SlotEntry& entry, const std::uint8_t* apdu,
                 std::uint32_t apduLength, std::uint8_t* response,
                 std::uint32_t* responseLength);
int ReadAtr(SlotEntry& entry, std::uint8_t* response, std::uint8_t* capacity);

// Control request code on the wire for a control type.
std::uint16_t ControlRequestCode(std::int32_t type, const std::uint8_t* data,
                                 std::uint32_t dataLength);

BOOL DriverWrite(HANDLE device, const RequestHeader& header,
                 const std::uint8_t* data, DWORD* returned);
BOOL DriverRead(HANDLE device, const RequestHeader& header,
                std::uint8_t* response, DWORD* returned);
BOOLEAN HidSendReport(HANDLE device, const RequestHeader& header,
                      const std::uint8_t* data);
BOOLEAN HidReceiveReport(HANDLE device, std::uint8_t* response,
                         std::uint32_t* answerLength);

// Bound of the answer read's repetition while the token reports a semaphore
// time-out (error 121): whichever comes first.
inline constexpr int kHidMaxReads = 1000;
inline constexpr int kHidReadTimeLimitMs = 5000;

// Report id and size of the HID feature report that carries an APDU of
// `length` bytes (0..255); {0, 0} for longer APDUs, which no report holds.
struct ReportShape {
  std::uint8_t id;
  std::uint32_t size;
};
ReportShape ApduReportShape(std::uint32_t length);

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
