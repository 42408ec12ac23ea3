// The device layer's interface to the connection layer: the listing of the
// device table, connections to its entries' devices, the per-token hold and
// the exchanges. The table itself, discovery, the transports and the removal
// monitor are the layer's own (device/internal.h).
//
// The connection layer names entries by index and open devices by handle and
// serial number, and never touches the entries itself. Results are enums that
// name each outcome, which the connection layer turns into result codes, or
// bool where there is only done and not done.
//
// A device whose token is gone while connections hold it (removal, a refresh
// that no longer finds it, an exchange that finds it dead) is retired: its
// entry is freed at once, but its handle stays open, unusable, until the last
// of those connections is closed, so that the system cannot give the same
// handle value to a new connection while an old context still carries it.
#pragma once

#include <cstdint>
#include <mutex>

#include "os/win_types.h"

namespace vantor::device {

inline constexpr int kUsableEntries = 127;  // entries 0..126 are ever used
inline constexpr int kMaxAtrBytes = 64;

// A used entry as a listing shows it.
struct SlotListing {
  std::uint32_t index;
  std::uint16_t wVersion;
  std::uint8_t bAtrLength;
  std::uint8_t bAtr[kMaxAtrBytes];
};
// Refreshes the table and copies every used entry, in table order, into
// `out` (room for kUsableEntries). Returns the number copied.
int ListSlots(SlotListing* out);

// True when the entry is in use.
bool IsSlotInUse(std::uint32_t index);

// The per-token hold: a fair (first come, first served) lock of one entry,
// re-entrant for the thread that holds it. A public call keeps it for its
// whole command sequence; every exchange, connect and disconnect on the
// entry takes it too, and a handle that came from the entry is closed only
// under it, so it is never closed under a running exchange.
void AcquireHold(std::uint32_t index);
void ReleaseHold(std::uint32_t index);

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
// 255). Requests with more data than a report or the driver buffer carries
// (255 bytes; 254 for a HID control request) are refused without being
// sent.
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

}  // namespace vantor::device
