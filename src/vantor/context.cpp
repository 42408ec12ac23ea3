#include "vantor/context.h"

#include <algorithm>
#include <cstring>

namespace vantor::api {
namespace {

constexpr std::uint32_t kUsableEntries = 127;
constexpr std::uint32_t kNoHandle = 0xFFFFFFFFu;
// Bits of an indicator byte (T0 or TDi) that announce TAi, TBi, TCi and TDi.
constexpr std::uint8_t kInterfaceBits[] = {0x10, 0x20, 0x40};
constexpr std::uint8_t kTdPresent = 0x80;
// Historical bytes before the device id.
constexpr std::uint32_t kDeviceIdStart = 7;

}  // namespace

bool IsContextOpenable(const VXContext* context) {
  return context != nullptr && context->dwIndex < kUsableEntries &&
         context->dwVersion >= kVersion200 && context->dwAtrLength != 0;
}

bool IsContextValid(const VXContext* context) {
  return IsContextOpenable(context) && context->hDevice != kNoHandle &&
         context->hDevice != 0;
}

bool IsOpenInfoValid(const VXOpenInfo* openInfo) {
  return openInfo != nullptr && openInfo->dwSize == kOpenInfoSize &&
         (openInfo->dwShareMode == 0 || openInfo->dwShareMode == 1);
}

bool IsRootInfoValid(const VXROOTINFO* rootInfo) {
  return rootInfo != nullptr && rootInfo->dwSize == kRootInfoSize;
}

std::uint32_t ParseAtrInfo(const std::uint8_t* atr, std::uint32_t atrLength,
                           AtrInfoRecord* record) {
  if (record == nullptr) {
    return VX_INVALID_PARAMETER;
  }
  *record = AtrInfoRecord{};
  if (atr == nullptr || atrLength < 2) {
    return VX_SUCCESS;  // no T0: nothing to take
  }

  // Step over TAi, TBi and TCi of each indicator byte; TDi is the next
  // indicator. `pos` ends on the first historical byte.
  const std::uint8_t t0 = atr[1];
  std::uint32_t pos = 2;
  std::uint8_t indicator = t0;
  for (;;) {
    for (std::uint8_t bit : kInterfaceBits) {
      if ((indicator & bit) != 0) {
        ++pos;
      }
    }
    if ((indicator & kTdPresent) == 0 || pos >= atrLength) {
      break;
    }
    indicator = atr[pos++];
  }

  const std::uint32_t announced = t0 & 0x0Fu;
  const std::uint32_t present =
      pos >= atrLength ? 0 : std::min(announced, atrLength - pos);
  const std::uint8_t* hist = atr + pos;
  auto h = [&](std::uint32_t i) -> std::uint8_t {
    return i < present ? hist[i] : std::uint8_t{0};
  };

  record->bHist0 = h(0);
  record->bHist3 = h(3);
  record->wVersion = static_cast<std::uint16_t>(h(1) << 8 | h(2));
  record->wHist45 = static_cast<std::uint16_t>(h(4) << 8 | h(5));
  record->bHist6 = h(6);
  if (present > kDeviceIdStart) {
    const std::uint32_t idLength = std::min<std::uint32_t>(
        present - kDeviceIdStart, sizeof(record->bDeviceId));
    std::memcpy(record->bDeviceId, hist + kDeviceIdStart, idLength);
    record->bDeviceIdLength = static_cast<std::uint8_t>(idLength);
  }
  return VX_SUCCESS;
}

void StoreDeviceId(VXContext& context, const std::uint8_t* atr,
                   std::uint32_t atrLength) {
  AtrInfoRecord record{};
  ParseAtrInfo(atr, atrLength, &record);
  std::memcpy(context.bDeviceId, record.bDeviceId, sizeof(context.bDeviceId));
}

}  // namespace vantor::api
