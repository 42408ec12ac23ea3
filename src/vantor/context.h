// Checks and helpers on the caller's records, shared by the public calls.
#pragma once

#include <cstdint>

#include "vantor/vantor.h"

namespace vantor::api {

// Device versions as a context carries them (one hexadecimal digit per
// byte).
inline constexpr std::uint32_t kVersion200 = 0x00020000;
inline constexpr std::uint32_t kVersion230 = 0x00020300;

// Card status word "function not supported", which the public calls also
// give themselves for a request the token's version does not offer.
inline constexpr std::uint32_t kStatusNotSupported = 0x6A81;

inline constexpr std::uint32_t kOpenInfoSize = sizeof(VXOpenInfo);
inline constexpr std::uint32_t kRootInfoSize = sizeof(VXROOTINFO);

// Fields taken from an ATR's historical bytes H0, H1, ... (K of them).
struct AtrInfoRecord {
  std::uint8_t bHist0;
  std::uint8_t bHist3;
  std::uint16_t wVersion;  // H1 * 256 + H2
  std::uint16_t wHist45;   // H4 * 256 + H5
  std::uint8_t bHist6;
  std::uint8_t bDeviceIdLength;  // bytes stored in bDeviceId
  std::uint8_t bDeviceId[8];     // H7 .. H(K-1)
};
static_assert(sizeof(AtrInfoRecord) == 16);

// True for a listed, open context of a token of version 2.0.0 or later that
// has an ATR.
bool IsContextValid(const VXContext* context);

// True for a context that can be opened: listed (index below 127), version
// 2.0.0 or later, with an ATR. The handle is not looked at.
bool IsContextOpenable(const VXContext* context);

bool IsOpenInfoValid(const VXOpenInfo* openInfo);
bool IsRootInfoValid(const VXROOTINFO* rootInfo);

// Fills `record` from the ATR: walks the interface bytes from T0 and takes
// the historical bytes after them. The walk never reads past `atrLength`;
// historical bytes the ATR announces but does not hold count as absent, and
// fields without their bytes stay zero. Fewer than 7 historical bytes give
// no device-id bytes. 0, or VX_INVALID_PARAMETER without a record.
std::uint32_t ParseAtrInfo(const std::uint8_t* atr, std::uint32_t atrLength,
                           AtrInfoRecord* record);

// Refreshes the context's device id from an ATR.
void StoreDeviceId(VXContext& context, const std::uint8_t* atr,
                   std::uint32_t atrLength);

}  // namespace vantor::api
