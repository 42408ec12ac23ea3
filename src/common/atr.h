// What every layer knows of a token's ATR and version: the fields of the
// historical bytes and the version checks. Pure functions on bytes; no layer
// state and no system calls, so any layer may use them.
#pragma once

#include <cstdint>

namespace vantor::common {

// Fields taken from an ATR's historical bytes H0, H1, ... (K of them).
struct AtrInfo {
  std::uint8_t bHist0;
  std::uint8_t bHist3;
  std::uint16_t wVersion;  // H1 * 256 + H2
  std::uint16_t wHist45;   // H4 * 256 + H5
  std::uint8_t bHist6;
  std::uint8_t bDeviceIdLength;  // device-id bytes stored in bDeviceId
  std::uint8_t bDeviceId[8];     // H7 .. H(K-1)
};
static_assert(sizeof(AtrInfo) == 16);

// Fills `info` from the ATR: walks the interface bytes from T0 and takes the
// historical bytes after them. The walk never reads past `atrLength`;
// historical bytes the ATR announces but does not hold count as absent, and
// fields without their bytes are zero. Fewer than 7 historical bytes give no
// device-id bytes. The first byte (TS) is not looked at.
void ParseAtrFields(const std::uint8_t* atr, std::uint32_t atrLength,
                    AtrInfo* info);

// Device versions with one hexadecimal digit per byte, as contexts carry
// them.
inline constexpr std::uint32_t kVersion200 = 0x00020000;
inline constexpr std::uint32_t kVersion230 = 0x00020300;

// The version word of an ATR (0x0230) with one hexadecimal digit per byte
// (0x00020300).
constexpr std::uint32_t SpreadVersion(std::uint16_t version) {
  const std::uint32_t v = version;
  return ((v >> 12 & 0xFu) << 24) | ((v >> 8 & 0xFu) << 16) |
         ((v >> 4 & 0xFu) << 8) | (v & 0xFu);
}

}  // namespace vantor::common
