#include "mode_change.h"

#include <array>
#include <cstdio>
#include <exception>
#include <vector>

namespace vantor::tool {
namespace {

// Shown as the listing failure when no buffer of the announced size can be
// had: the library's own "buffer too small" code.
constexpr std::uint32_t kNoBufferCode = 17;

}  // namespace

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

Outcome ModeChange(TokenApi& api, MessageSink& sink, TargetMode mode) {
  // Size query: only the length written back counts, not the result.
  std::uint32_t length = 0;
  api.ListDevices(nullptr, &length);
  if (length == 0) {
    sink.Show(kNoDeviceMessage);
    return Outcome::kNoDevice;
  }

  // Whole contexts covering exactly `length` bytes; the library only ever
  // announces multiples of the context size.
  std::vector<VXContext> contexts;
  try {
    contexts.resize((std::size_t{length} + kContextBytes - 1) / kContextBytes);
  } catch (const std::exception&) {  // bad_alloc, length_error
    sink.Show(FailureMessage(kListFailedPrefix, kNoBufferCode));
    return Outcome::kListFailed;
  }

  std::uint32_t result = api.ListDevices(contexts.data(), &length);
  if (result != 0) {
    sink.Show(FailureMessage(kListFailedPrefix, result));
    return Outcome::kListFailed;
  }

  VXContext& first = contexts.front();
  result = api.OpenDevice(&first);
  if (result != 0) {
    sink.Show(FailureMessage(kOpenFailedPrefix, result));
    return Outcome::kOpenFailed;
  }

  // One block carries the request and receives the answer, which is not used.
  std::array<std::uint8_t, kResponseCapacity> block{};
  block[0] = mode == TargetMode::kUsb ? kUsbModeByte : kHidModeByte;
  std::uint32_t returned = 0;
  result = api.Control(&first, VX_SET_DEVICE_MODE, block.data(), kRequestBytes,
                       block.data(), kResponseCapacity, &returned);
  if (result != 0) {
    sink.Show(FailureMessage(kControlFailedPrefix, result));
    api.CloseDevice(&first);
    return Outcome::kControlFailed;
  }
  api.CloseDevice(&first);
  return Outcome::kChanged;
}

}  // namespace vantor::tool
