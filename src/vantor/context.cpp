#include "vantor/context.h"

#include <cstring>

namespace vantor::api {

std::uint32_t CheckConnected(const VXContext* context) {
  return connection::IsConnected(context) ? VX_SUCCESS : VX_INVALID_PARAMETER;
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
  common::ParseAtrFields(atr, atrLength, record);
  return VX_SUCCESS;
}

void StoreDeviceId(VXContext& context, const std::uint8_t* atr,
                   std::uint32_t atrLength) {
  AtrInfoRecord record{};
  ParseAtrInfo(atr, atrLength, &record);
  std::memcpy(context.bDeviceId, record.bDeviceId, sizeof(context.bDeviceId));
}

}  // namespace vantor::api
