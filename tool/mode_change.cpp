#include "mode_change.h"

#include <array>
#include <cstdio>
#include <exception>
#include <vector>

namespace vantor::tool {
std::uint32_t VxTokenApi::ListDevices(VXContext* contexts,
                                      std::uint32_t* length) {
  return VXListDevices(contexts, length);
}

std::uint32_t VxTokenApi::OpenDevice(VXContext* context) {
  return VXOpenDevice(context);
}

std::uint32_t VxTokenApi::CloseDevice(VXContext* context) {
  return VXCloseDevice(context);
}

std::uint32_t VxTokenApi::Control(VXContext* context, std::uint32_t code,
                                  const std::uint8_t* input,
                                  std::uint32_t inputLength,
                                  std::uint8_t* output,
                                  std::uint32_t outputCapacity,
                                  std::uint32_t* returnedLength) {
  return VXControl(context, code, input, inputLength, output, outputCapacity,
                   returnedLength);
}

std::string FailureMessage(const char* prefix, std::uint32_t code) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(code));
  std::string text(prefix);
  text += digits;
  text += '>';
  return text;
}

Listing ListTokens(TokenApi& api) {
  Listing listing;
  std::uint32_t length = 0;
  api.ListDevices(nullptr, &length);
  if (length == 0) return listing;

  // Whole contexts covering exactly `length` bytes; the library only ever
  // announces multiples of the context size.
  try {
    listing.contexts.resize((std::size_t{length} + kContextBytes - 1) /
                            kContextBytes);
  } catch (const std::exception&) {  // bad_alloc, length_error
    // Shown as the library's own "buffer too small".
    listing.result = VX_BUFFER_TOO_SMALL;
    return listing;
  }
  listing.result = api.ListDevices(listing.contexts.data(), &length);
  // The length written back counts: the tokens may have left since the size
  // query (length 0), and a failed listing fills nothing.
  listing.contexts.resize(listing.result == VX_SUCCESS ? length / kContextBytes
                                                       : 0);
  return listing;
}

std::uint32_t RequestMode(TokenApi& api, VXContext& context, TargetMode mode) {
  std::array<std::uint8_t, kResponseCapacity> block{};
  block[0] = mode == TargetMode::kUsb ? kUsbModeByte : kHidModeByte;
  std::uint32_t returned = 0;
  return api.Control(&context, VX_SET_DEVICE_MODE, block.data(), kRequestBytes,
                     block.data(), kResponseCapacity, &returned);
}

Outcome ModeChange(TokenApi& api, MessageSink& sink, TargetMode mode) {
  Listing listing = ListTokens(api);
  if (listing.result != VX_SUCCESS) {
    sink.Show(FailureMessage(kListFailedPrefix, listing.result));
    return Outcome::kListFailed;
  }
  if (listing.contexts.empty()) {
    sink.Show(kNoDeviceMessage);
    return Outcome::kNoDevice;
  }

  // Only the first listed token is changed.
  VXContext& first = listing.contexts.front();
  std::uint32_t result = api.OpenDevice(&first);
  if (result != VX_SUCCESS) {
    sink.Show(FailureMessage(kOpenFailedPrefix, result));
    return Outcome::kOpenFailed;
  }
  result = RequestMode(api, first, mode);
  if (result != VX_SUCCESS) {
    sink.Show(FailureMessage(kControlFailedPrefix, result));
    api.CloseDevice(&first);
    return Outcome::kControlFailed;
  }
  api.CloseDevice(&first);
  return Outcome::kChanged;
}

}  // namespace vantor::tool
