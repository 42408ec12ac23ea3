// The Change action of the mode-change tool, free of any window toolkit.
//
// ModeChange lists the attached tokens, opens the first one, sends it the
// mode-change control request and closes it again. It reaches the token
// library through TokenApi and reports failures through MessageSink, so a
// view only has to supply the checked mode and a way to show a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vantor/vantor.h"

namespace vantor::tool {

// The public token calls the action makes.
class TokenApi {
 public:
  virtual ~TokenApi() = default;
  virtual std::uint32_t ListDevices(VXContext* contexts,
                                    std::uint32_t* length) = 0;
  virtual std::uint32_t OpenDevice(VXContext* context) = 0;
  virtual std::uint32_t CloseDevice(VXContext* context) = 0;
  virtual std::uint32_t Control(VXContext* context, std::uint32_t code,
                                const std::uint8_t* input,
                                std::uint32_t inputLength, std::uint8_t* output,
                                std::uint32_t outputCapacity,
                                std::uint32_t* returnedLength) = 0;
};

// TokenApi over the library's own VX calls.
class VxTokenApi final : public TokenApi {
 public:
  std::uint32_t ListDevices(VXContext* contexts,
                            std::uint32_t* length) override;
  std::uint32_t OpenDevice(VXContext* context) override;
  std::uint32_t CloseDevice(VXContext* context) override;
  std::uint32_t Control(VXContext* context, std::uint32_t code,
                        const std::uint8_t* input, std::uint32_t inputLength,
                        std::uint8_t* output, std::uint32_t outputCapacity,
                        std::uint32_t* returnedLength) override;
};

// Shows one message to the user and returns once it has been dismissed.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void Show(const std::string& utf8) = 0;
};

// The mode the token is switched to.
enum class TargetMode { kUsb, kHid };

// How an action ended.
enum class Outcome {
  kNoDevice,       // nothing attached
  kListFailed,     // the listing failed
  kOpenFailed,     // the first token could not be opened
  kControlFailed,  // the token refused the mode change (and was closed)
  kChanged,        // the request was accepted; it applies after a re-plug
};

inline constexpr std::uint32_t kContextBytes = 92;
inline constexpr std::uint32_t kRequestBytes = 16;
inline constexpr std::uint32_t kResponseCapacity = 251;
inline constexpr std::uint8_t kUsbModeByte = 0x00;
inline constexpr std::uint8_t kHidModeByte = 0xAA;

inline constexpr char kNoDeviceMessage[] = "设备没有找到!";
inline constexpr char kListFailedPrefix[] = "列举设备失败，错误代码<0x";
inline constexpr char kOpenFailedPrefix[] = "连接设备失败，错误代码<0x";
inline constexpr char kControlFailedPrefix[] = "修改模式失败，错误代码<0x";

// `prefix` followed by `code` as 8 upper-case hexadecimal digits and ">".
std::string FailureMessage(const char* prefix, std::uint32_t code);

// The attached tokens as one listing gives them.
struct Listing {
  // The second listing's result; VX_BUFFER_TOO_SMALL when no buffer of the
  // announced length could be had. The contexts are valid only when it is 0.
  std::uint32_t result = VX_SUCCESS;
  // One context per listed token, in the library's order; empty when no
  // token is attached, also when the last one left between the size query
  // and the listing.
  std::vector<VXContext> contexts;
};

// Lists the attached tokens: a size query (only the length it writes back
// counts, not its result), then a listing into a buffer of that length.
Listing ListTokens(TokenApi& api);

// Sends the mode-change request for `mode` to an open token: 16 bytes, the
// mode byte first, in one block that also receives the (unused) answer of up
// to 251 bytes. Returns the result of the control call.
std::uint32_t RequestMode(TokenApi& api, VXContext& context, TargetMode mode);

// Runs the Change action once. Every failure is shown through `sink`;
// success shows nothing.
Outcome ModeChange(TokenApi& api, MessageSink& sink, TargetMode mode);

}  // namespace vantor::tool
