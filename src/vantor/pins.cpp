// The PIN and key calls: presenting a PIN, changing a PIN and replacing the
// authentication key of the current directory.
#include "commandfile/commandfile.h"
#include "vantor/context.h"
#include "vantor/vantor.h"

namespace vantor::api {
namespace {

namespace cmd = vantor::commandfile;

std::uint32_t PresentPin(const VXContext* context, const std::uint8_t* pin,
                         std::uint32_t length, std::uint32_t kind) {
  if (pin == nullptr || !IsContextValid(context)) return VX_INVALID_PARAMETER;
  const bool shaped = (kind == VX_USER_PIN && length == cmd::kUserPinLength) ||
                      (kind == VX_DEV_PIN && length == cmd::kDevPinLength);
  if (!shaped) return VX_INVALID_PARAMETER;
  const std::uint32_t result = CheckConnected(context);
  if (result != VX_SUCCESS) return result;
  return cmd::VerifyPin(context, pin, kind);
}

std::uint32_t SetAuthKey(const VXContext& context, const std::uint8_t* key,
                         std::uint32_t length) {
  std::uint8_t deviceType = 0;
  const std::uint32_t result = cmd::GetDeviceType(&context, &deviceType);
  if (result != VX_SUCCESS) return result;
  if (deviceType == 0) return VX_WRONG_DEVICE_TYPE;
  return cmd::UpdateAuthKey(&context, key, length, deviceType);
}

std::uint32_t SetPinOrKey(const VXContext* context,
                          const std::uint8_t* oldValue, std::uint32_t oldLength,
                          const std::uint8_t* newValue, std::uint32_t newLength,
                          std::uint32_t kind) {
  if (newValue == nullptr || !IsContextValid(context)) {
    return VX_INVALID_PARAMETER;
  }
  switch (kind) {
    case VX_USER_PIN:
      if (oldValue == nullptr || oldLength != cmd::kUserPinLength ||
          newLength != cmd::kUserPinLength) {
        return VX_INVALID_PARAMETER;
      }
      if (CheckConnected(context) != VX_SUCCESS) return VX_INVALID_PARAMETER;
      return cmd::ChangeUserPin(context, oldValue, newValue);
    case VX_DEV_PIN:
      if (oldValue == nullptr || oldLength != cmd::kDevPinLength ||
          newLength != cmd::kDevPinLength) {
        return VX_INVALID_PARAMETER;
      }
      if (CheckConnected(context) != VX_SUCCESS) return VX_INVALID_PARAMETER;
      return cmd::ChangeDevPin(context, oldValue, newValue);
    case VX_AUTH_KEY:
      if (oldValue != nullptr || oldLength != 0 ||
          (newLength != 8 && newLength != 16)) {
        return VX_INVALID_PARAMETER;
      }
      if (CheckConnected(context) != VX_SUCCESS) return VX_INVALID_PARAMETER;
      return SetAuthKey(*context, newValue, newLength);
    default:
      return VX_INVALID_PARAMETER;
  }
}

}  // namespace
}  // namespace vantor::api

using vantor::api::GuardedOn;

extern "C" {

VX_EXPORT uint32_t VXAPI VXPresentPin(VXContext* context, const uint8_t* pin,
                                      uint32_t length, uint32_t kind) {
  return GuardedOn(context, [&] {
    return vantor::api::PresentPin(context, pin, length, kind);
  });
}

VX_EXPORT uint32_t VXAPI VXSetPinOrKey(VXContext* context,
                                       const uint8_t* oldValue,
                                       uint32_t oldLength,
                                       const uint8_t* newValue,
                                       uint32_t newLength, uint32_t kind) {
  return GuardedOn(context, [&] {
    return vantor::api::SetPinOrKey(context, oldValue, oldLength, newValue,
                                    newLength, kind);
  });
}

}  // extern "C"
