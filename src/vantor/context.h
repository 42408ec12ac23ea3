// Checks and helpers on the caller's records, shared by the public calls.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/atr.h"
#include "connection/connection.h"
#include "vantor/vantor.h"

namespace vantor::api {

using common::kVersion200;
using common::kVersion230;

// Card status word "function not supported", which the public calls also
// give themselves for a request the token's version does not offer.
inline constexpr std::uint32_t kStatusNotSupported = 0x6A81;

// Entries a listing can name: contexts carry an index below this.
inline constexpr std::uint32_t kUsableEntries = 127;

inline constexpr std::uint32_t kOpenInfoSize = sizeof(VXOpenInfo);
inline constexpr std::uint32_t kRootInfoSize = sizeof(VXROOTINFO);

// Fields taken from an ATR's historical bytes.
using AtrInfoRecord = common::AtrInfo;

// Runs a public call's body and turns anything it throws into a result code:
// an internal failure is neither the caller's fault nor a token's answer.
template <typename Body>
std::uint32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return VX_COMM_ERROR;
  }
}

// The same for a call on a token: the body runs while the context's token
// is held (a card call is a sequence of commands that depend on the
// token's current directory and file), so other contexts' calls on that
// token wait and never interleave with it. A body that takes the hold gets
// it, to pass to the exchanges, which then do not take it again.
template <typename Body>
std::uint32_t GuardedOn(const VXContext* context, Body body) noexcept {
  try {
    const connection::SlotHold hold(context);
    if constexpr (std::is_invocable_v<Body&, const connection::SlotHold&>) {
      return body(hold);
    } else {
      return body();
    }
  } catch (...) {
    return VX_COMM_ERROR;
  }
}

// True for a context that can be opened: listed (index below 127), version
// 2.0.0 or later, with an ATR. The handle is not looked at.
inline bool IsContextOpenable(const VXContext* context) {
  return context != nullptr && context->dwIndex < kUsableEntries &&
         context->dwVersion >= kVersion200 && context->dwAtrLength != 0;
}

// True for a listed, open context of a token of version 2.0.0 or later that
// has an ATR.
inline bool IsContextValid(const VXContext* context) {
  return IsContextOpenable(context) &&
         context->hDevice != connection::kNoHandle && context->hDevice != 0;
}

// VX_INVALID_PARAMETER unless the context still holds its connection. Each
// call asks this after its arguments and before its first command to the
// token, so a stale context is never reported through a token step's
// answer (not at the root, not supported).
std::uint32_t CheckConnected(const VXContext* context);

bool IsOpenInfoValid(const VXOpenInfo* openInfo);
bool IsRootInfoValid(const VXROOTINFO* rootInfo);

// Fills `record` from the ATR: walks the interface bytes from T0 and takes
// the historical bytes after them. The walk never reads past `atrLength`;
// historical bytes the ATR announces but does not hold count as absent, and
// fields without their bytes stay zero. Fewer than 7 historical bytes give
// no device-id bytes. 0, or VX_INVALID_PARAMETER without a record.
std::uint32_t ParseAtrInfo(const std::uint8_t* atr, std::uint32_t atrLength,
                           AtrInfoRecord* record);

// Refreshes the context's device id from an ATR (zeros without one).
void StoreDeviceId(VXContext& context, const std::uint8_t* atr,
                   std::uint32_t atrLength);

}  // namespace vantor::api
