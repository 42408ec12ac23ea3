// The connection layer: lists the used entries of the device table as device
// contexts, connects contexts to their tokens (opening the entry's device or
// joining a device that is already open), disconnects, and carries control
// requests and APDUs over a connected context.
//
// The device layer owns the table; this layer names entries by a context's
// index and connections by its handle. A context whose entry was freed, or
// whose handle no longer names the entry's open device, is refused with
// VX_INVALID_PARAMETER.
#pragma once

#include <cstdint>

#include "common/atr.h"
#include "os/win_types.h"
#include "vantor/vantor_types.h"

namespace vantor::connection {

// The only protocol value the layer accepts and reports.
inline constexpr std::uint32_t kProtocol = 4;
// dwReserved1 and dwReserved2 of a listed context.
inline constexpr std::uint32_t kReserved1 = 2;
inline constexpr std::uint32_t kReserved2 = 24000;
// While a context is open, dwReserved1 holds the number of connections it
// holds (each open of it adds one, each close ends one) and dwReserved2 the
// serial number of the device's opening; its last close puts back the
// listing's values. Copies of the context carry both.
// Largest response accepted from one exchange; the buffer is one byte more.
inline constexpr std::uint32_t kResponseCapacity = 255;
inline constexpr std::uint32_t kResponseBufferSize = 256;
// APDU lengths accepted by SlotTransmit.
inline constexpr std::uint32_t kMinApduLength = 5;
inline constexpr std::uint32_t kMaxApduLength = 255;
// The control request that resets the token; the token answers its ATR.
inline constexpr std::int32_t kControlReset = 2;
// The context word of a device that is not open.
inline constexpr std::uint32_t kNoHandle = 0xFFFFFFFFu;
// ATR bytes a context can hold; a longer ATR is listed cut to this length.
inline constexpr std::uint32_t kContextAtrBytes = sizeof(VXContext::bAtr);

// A context stores a handle as one 32-bit word. Kernel handles fit in 32
// bits, so the word is the handle's low half and the handle is the word
// sign-extended (INVALID_HANDLE_VALUE <-> 0xFFFFFFFF).
inline std::uint32_t HandleToContextWord(HANDLE handle) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
inline HANDLE ContextWordToHandle(std::uint32_t word) {
  return reinterpret_cast<HANDLE>(
      static_cast<std::intptr_t>(static_cast<std::int32_t>(word)));
}

using common::SpreadVersion;

// True when the context is present, its index is below 127 and the entry it
// names is in use.
bool IsSlotValid(const VXContext* context);

// True when the context holds a connection to its entry's open device:
// false for a context that is stale (its token was unplugged, or its
// handle names an earlier opening), closed or never opened.
bool IsConnected(const VXContext* context);

// Holds the context's token for the calling thread while it lives: calls
// on other contexts of that token wait for it, in the order they came;
// the same thread may take it again (a call that makes other calls). A
// context whose index names no entry holds nothing.
class SlotHold {
 public:
  explicit SlotHold(const VXContext* context);
  ~SlotHold();
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;

  // True when this is the hold of the context's token.
  bool Holds(const VXContext& context) const {
    return index_ != kNoIndex && index_ == context.dwIndex;
  }

 private:
  static constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
  std::uint32_t index_;
};

// Refreshes the device table and fills one context per used entry.
// `length`: the size of `contexts` in bytes on entry, 92 times the number of
// used entries on return (also on VX_BUFFER_TOO_SMALL). VX_SUCCESS,
// VX_INVALID_PARAMETER or VX_BUFFER_TOO_SMALL.
std::uint32_t SlotList(VXContext* contexts, std::uint32_t* length);

// Connects the context with the share mode (0 exclusive, 1 shared); the
// protocols must include 4, which is reported in `activeProtocol` where
// given. VX_SUCCESS, VX_INVALID_PARAMETER, VX_DEVICE_BUSY or
// VX_PROTOCOL_MISMATCH.
std::uint32_t SlotConnect(VXContext* context, std::uint32_t shareMode,
                          std::uint32_t protocols,
                          std::uint32_t* activeProtocol);

// Ends one connection; the last one closes the device. A context connected
// more than once keeps its handle until its last connection ends. A
// context whose device is gone gives VX_INVALID_PARAMETER: what the
// library held for it is released and the context is marked closed
// (hDevice 0xFFFFFFFF), so it can never match a later connection.
// `disposition` is not used. VX_SUCCESS or VX_INVALID_PARAMETER.
std::uint32_t SlotDisconnect(VXContext* context, std::uint32_t disposition);

// Exchanges one control request of `type` with up to 255 data bytes (254 to
// a HID token; none when `data` is absent and `dataLength` 0); more is
// refused with VX_INVALID_PARAMETER before anything is sent. An empty
// response leaves `output` and `returnedLength` untouched. A response
// longer than `outputCapacity` gives VX_BUFFER_TOO_SMALL with the needed
// length where `returnedLength` is given, and is dropped (VX_SUCCESS) where
// it is not. Otherwise VX_SUCCESS, VX_INVALID_PARAMETER or VX_COMM_ERROR.
std::uint32_t SlotControl(VXContext* context, std::int32_t type,
                          const std::uint8_t* data, std::uint32_t dataLength,
                          std::uint8_t* output, std::uint32_t outputCapacity,
                          std::uint32_t* returnedLength);
// The same under `held`, the caller's hold of the context's token (a public
// call's), which the exchange does not take again.
std::uint32_t SlotControl(const SlotHold& held, VXContext* context,
                          std::int32_t type, const std::uint8_t* data,
                          std::uint32_t dataLength, std::uint8_t* output,
                          std::uint32_t outputCapacity,
                          std::uint32_t* returnedLength);

// Exchanges one APDU of 5 to 255 bytes. `responseLength` is the response
// buffer's size on entry and the response length (data and SW1 SW2) on
// return, also on VX_BUFFER_TOO_SMALL. VX_SUCCESS, VX_INVALID_PARAMETER,
// VX_COMM_ERROR or VX_BUFFER_TOO_SMALL.
std::uint32_t SlotTransmit(const VXContext* context, const std::uint8_t* apdu,
                           std::uint32_t apduLength, std::uint8_t* response,
                           std::uint32_t* responseLength);

}  // namespace vantor::connection
