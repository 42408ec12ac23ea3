#include "common/atr.h"

#include <algorithm>
#include <cstring>

namespace vantor::common {
namespace {

// Bits of an indicator byte (T0 or TDi) that announce TAi, TBi and TCi, and
// the bit that announces TDi.
constexpr std::uint8_t kInterfaceBits[] = {0x10, 0x20, 0x40};
constexpr std::uint8_t kTdPresent = 0x80;
// Historical bytes before the device id.
constexpr std::uint32_t kDeviceIdStart = 7;

}  // namespace

void ParseAtrFields(const std::uint8_t* atr, std::uint32_t atrLength,
                    AtrInfo* info) {
  *info = AtrInfo{};
  if (atr == nullptr || atrLength < 2) return;  // no T0: nothing to take

  // `pos` ends on the first historical byte.
  const std::uint8_t t0 = atr[1];
  std::uint32_t pos = 2;
  std::uint8_t indicator = t0;
  for (;;) {
    for (const std::uint8_t bit : kInterfaceBits) {
      if ((indicator & bit) != 0) ++pos;
    }
    if ((indicator & kTdPresent) == 0 || pos >= atrLength) break;
    indicator = atr[pos++];
  }

  const std::uint32_t announced = t0 & 0x0Fu;
  const std::uint32_t present =
      pos >= atrLength ? 0 : std::min(announced, atrLength - pos);
  const std::uint8_t* hist = atr + std::min(pos, atrLength);
  auto h = [&](std::uint32_t i) -> std::uint8_t {
    return i < present ? hist[i] : std::uint8_t{0};
  };
  info->bHist0 = h(0);
  info->bHist3 = h(3);
  info->wVersion = static_cast<std::uint16_t>(h(1) << 8 | h(2));
  info->wHist45 = static_cast<std::uint16_t>(h(4) << 8 | h(5));
  info->bHist6 = h(6);
  if (present > kDeviceIdStart) {
    const std::uint32_t idLength = std::min<std::uint32_t>(
        present - kDeviceIdStart, sizeof(info->bDeviceId));
    std::memcpy(info->bDeviceId, hist + kDeviceIdStart, idLength);
    info->bDeviceIdLength = static_cast<std::uint8_t>(idLength);
  }
}

}  // namespace vantor::common
