// The exchanges with a token and their driver side: control requests, APDUs
// and the ATR read, over the vendor driver's I/O control codes.
#include <algorithm>
#include <cstring>

#include "common/wipe.h"
#include "device/device.h"
#include "device/internal.h"

namespace vantor::device {
namespace {

constexpr std::uint8_t kToDevice = 0x40;
constexpr std::uint8_t kFromDevice = 0xC0;
constexpr std::uint8_t kControlRequest = 1;
constexpr std::uint8_t kApduRequest = 0;
constexpr std::uint16_t kAnswerLength = 255;
// DriverWrite's buffer: the header and the data.
constexpr std::uint32_t kMaxWriteBytes = 1024;
// DriverRead's own buffer and its number of tries.
constexpr std::uint32_t kReadBufferBytes = 512;
constexpr int kReadTries = 10;

thread_local DWORD t_lastError = 0;

// Records the platform error of the call that just failed; false.
bool Failed() {
  t_lastError = os::Sys().GetLastError();
  return false;
}

// Errors by which a driver says it does not know the single-call code; only
// then is the request sent again through a write and a read. Any other
// failure may come after the token carried the request out.
bool IsUnknownCode(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

// The driver's side of Exchange.
[[gnu::noinline]] bool DriverExchange(
    HANDLE device, const RequestHeader& header, const std::uint8_t* data,
    std::uint32_t dataLength, const std::uint8_t* payload,
    const RequestHeader& fetch, std::uint8_t* response,
    std::uint32_t* responseLength) {
  // Single-call exchange: the header and the data in, the answer out.
  std::uint8_t request[8 + 256];
  // The data may carry a PIN: the bytes written are wiped.
  const common::WipeOnExit wipe(
      request, std::min<std::size_t>(8u + dataLength, sizeof(request)));
  EncodeHeader(header, request);
  if (dataLength != 0) std::memcpy(request + 8, data, dataLength);
  const DWORD capacity = *responseLength;
  DWORD returned = 0;
  os::System& sys = os::Sys();
  if (sys.DeviceIoControl(device, IOCTL_VX_TRANSFER, request, dataLength + 8,
                          response, capacity, &returned, nullptr) != 0) {
    *responseLength = std::min(returned, capacity);
    return true;
  }
  if (!IsUnknownCode(sys.GetLastError())) return Failed();

  // A driver without the single call: a write, then a read of the answer.
  DWORD written = 0;
  if (DriverWrite(device, header, payload, &written) == 0) {
    return Failed();
  }
  returned = 0;
  if (DriverRead(device, fetch, response, &returned) == 0) {
    return Failed();
  }
  *responseLength = std::min<DWORD>(returned, fetch.wLength);
  return true;
}

// Sends a request (header and data) and fetches its answer with `fetch`.
inline bool Exchange(const Channel& channel, const RequestHeader& header,
                     const std::uint8_t* data, std::uint32_t dataLength,
                     const RequestHeader& fetch, std::uint8_t* response,
                     std::uint32_t* responseLength) {
  t_lastError = 0;
  // A request without data sends eight filler bytes where a separate write
  // or a report needs data.
  const std::uint8_t* payload = dataLength != 0 ? data : detail::kFiller;
  if (channel.kind == SLOT_HID) {
    return detail::HidExchange(channel.handle, header, payload, response,
                               responseLength) ||
           Failed();
  }
  if (channel.kind != SLOT_DRIVER) return false;
  return DriverExchange(channel.handle, header, data, dataLength, payload,
                        fetch, response, responseLength);
}

}  // namespace

void EncodeHeader(const RequestHeader& header, std::uint8_t out[8]) {
  out[0] = header.bmRequestType;
  out[1] = header.bRequest;
  out[2] = static_cast<std::uint8_t>(header.wValue & 0xFF);
  out[3] = static_cast<std::uint8_t>(header.wValue >> 8);
  out[4] = static_cast<std::uint8_t>(header.wIndex & 0xFF);
  out[5] = static_cast<std::uint8_t>(header.wIndex >> 8);
  out[6] = static_cast<std::uint8_t>(header.wLength & 0xFF);
  out[7] = static_cast<std::uint8_t>(header.wLength >> 8);
}

DWORD LastTransportError() { return t_lastError; }

bool IsDeviceGoneError(DWORD error) {
  return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE ||
         error == ERROR_NO_SUCH_DEVICE || error == ERROR_DEV_NOT_EXIST;
}

bool TransmitControl(const Channel& channel, std::int32_t type,
                     const std::uint8_t* data, std::uint32_t dataLength,
                     std::uint8_t* response, std::uint32_t* responseLength) {
  t_lastError = 0;
  if (data == nullptr) dataLength = 0;
  const std::uint32_t limit =
      channel.kind == SLOT_HID ? kMaxHidControlData : kMaxRequestData;
  if (dataLength > limit || response == nullptr || responseLength == nullptr) {
    return false;
  }
  const RequestHeader header{
      kToDevice, kControlRequest, ControlRequestCode(type, data, dataLength), 0,
      static_cast<std::uint16_t>(dataLength != 0 ? dataLength & 0xFF : 8)};
  const RequestHeader fetch{kFromDevice, kControlRequest, 0, 0, kAnswerLength};
  return Exchange(channel, header, data, dataLength, fetch, response,
                  responseLength);
}

bool TransmitApdu(const Channel& channel, const std::uint8_t* apdu,
                  std::uint32_t apduLength, std::uint8_t* response,
                  std::uint32_t* responseLength) {
  t_lastError = 0;
  if ((apdu == nullptr && apduLength != 0) || apduLength > kMaxRequestData ||
      response == nullptr || responseLength == nullptr) {
    return false;
  }
  const RequestHeader header{kToDevice, kApduRequest, 0, 0,
                             static_cast<std::uint16_t>(apduLength & 0xFF)};
  const RequestHeader fetch{kFromDevice, kApduRequest, 0, 0, kAnswerLength};
  return Exchange(channel, header, apdu, apduLength, fetch, response,
                  responseLength);
}

bool ReadAtrOn(const Channel& channel, std::uint8_t* response,
               std::uint8_t* capacity) {
  if (channel.kind == SLOT_DRIVER) {
    DWORD returned = 0;
    if (os::Sys().DeviceIoControl(channel.handle, IOCTL_VX_GET_ATR, nullptr, 0,
                                  response, *capacity, &returned,
                                  nullptr) != 0) {
      *capacity =
          static_cast<std::uint8_t>(std::min<DWORD>(returned, *capacity));
      return true;
    }
  }
  // The ATR as the answer to control request 2.
  std::uint32_t length = *capacity;
  const bool read = TransmitControl(channel, 2, nullptr, 0, response, &length);
  *capacity =
      static_cast<std::uint8_t>(std::min<std::uint32_t>(length, *capacity));
  return read;
}

namespace detail {

bool ReadAtrAt(const char* path, std::int32_t kind, std::uint8_t* response,
               std::uint8_t* capacity) {
  HANDLE temporary = INVALID_HANDLE_VALUE;
  if (!OpenDevicePath(path, FILE_SHARE_READ, &temporary)) return false;
  // Closed however the read ends.
  struct Close {
    HANDLE handle;
    ~Close() { CloseDeviceHandle(handle); }
  } close{temporary};
  return ReadAtrOn(Channel{temporary, kind}, response, capacity);
}

}  // namespace detail

BOOL DriverWrite(HANDLE device, const RequestHeader& header,
                 const std::uint8_t* data, DWORD* returned) {
  const std::uint32_t size = header.wLength + 8u;
  if (size > kMaxWriteBytes || (data == nullptr && header.wLength != 0)) {
    return 0;
  }
  std::uint8_t request[kMaxWriteBytes];
  const common::WipeOnExit wipe(request, size);  // may carry a PIN
  EncodeHeader(header, request);
  if (header.wLength != 0) std::memcpy(request + 8, data, header.wLength);
  return os::Sys().DeviceIoControl(device, IOCTL_VX_WRITE, request, size,
                                   nullptr, 0, returned, nullptr);
}

BOOL DriverRead(HANDLE device, const RequestHeader& header,
                std::uint8_t* response, DWORD* returned) {
  std::uint8_t request[8];
  EncodeHeader(header, request);
  std::uint8_t answer[kReadBufferBytes];
  const DWORD wanted = std::min<DWORD>(header.wLength, kReadBufferBytes);
  BOOL ok = 0;
  for (int i = 0; i < kReadTries && ok == 0; ++i) {
    ok = os::Sys().DeviceIoControl(device, IOCTL_VX_READ, request, 8, answer,
                                   wanted, returned, nullptr);
  }
  if (ok != 0) std::memcpy(response, answer, std::min(*returned, wanted));
  return ok;
}

}  // namespace vantor::device
