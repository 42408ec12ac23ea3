// The vendor driver of the simulated machine: the I/O control codes that
// virtual tokens in USB mode answer.
#include "sim/sim_system.h"

#include <algorithm>
#include <cstring>

#include "os/driver_codes.h"

namespace vantor::sim::detail {

namespace {

constexpr DWORD kMaxDriverInput = 1024;  // header and data of one request

// A request header as sent to the driver (little-endian 16-bit fields).
struct Header {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

Header ReadHeader(const std::uint8_t* in) {
  Header h;
  h.requestType = in[0];
  h.request = in[1];
  h.value = static_cast<std::uint16_t>(in[2] | in[3] << 8);
  h.index = static_cast<std::uint16_t>(in[4] | in[5] << 8);
  h.length = static_cast<std::uint16_t>(in[6] | in[7] << 8);
  return h;
}

// A request sent to the token: vendor request to the device, a control
// request (1) or an APDU (0, no request code), index 0.
bool IsSentHeader(const Header& h) {
  return h.requestType == 0x40 && (h.request == 1 || h.request == 0) &&
         h.index == 0 && (h.request == 1 || h.value == 0);
}

}  // namespace

DWORD SimSystem::DriverLocked(Device& device, DWORD code,
                              const std::uint8_t* in, DWORD inSize,
                              std::uint8_t* out, DWORD outSize,
                              DWORD& returned) {
  VirtualToken& token = *device.token;
  Answer& answer = device.answer;
  if (token.faults.stopsAnswering) return ERROR_GEN_FAILURE;
  auto run = [&](const Header& h, std::size_t dataLength) {
    if (h.request == 1) {
      ControlLocked(device, h.value, in + 8, dataLength);
    } else {
      CommandLocked(device, in + 8, dataLength);
    }
  };
  switch (code) {
    case os::IOCTL_VX_TRANSFER: {  // single call: request in, answer out
      if (token.faults.refuseSingleCall) return ERROR_INVALID_FUNCTION;
      if (inSize < 8 || inSize > kMaxDriverInput)
        return ERROR_INVALID_PARAMETER;
      const Header h = ReadHeader(in);
      if (!IsSentHeader(h)) return ERROR_INVALID_PARAMETER;
      std::size_t dataLength = 0;
      if (inSize == 8u + h.length) {
        dataLength = h.length;
      } else if (!(h.request == 1 && h.length == 8 && inSize == 8)) {
        return ERROR_INVALID_PARAMETER;  // a control request without data
      }
      run(h, dataLength);
      if (answer.length > outSize) {
        answer.Clear();
        return ERROR_INSUFFICIENT_BUFFER;
      }
      if (answer.length != 0) {
        std::memcpy(out, answer.bytes.data(), answer.length);
      }
      returned = static_cast<DWORD>(answer.length);
      answer.Clear();
      return 0;
    }
    case os::IOCTL_VX_WRITE: {  // write: the request, answered later by a read
      if (inSize < 8 || inSize > kMaxDriverInput)
        return ERROR_INVALID_PARAMETER;
      const Header h = ReadHeader(in);
      if (!IsSentHeader(h) || inSize != 8u + h.length) {
        return ERROR_INVALID_PARAMETER;
      }
      run(h, h.length);
      return 0;
    }
    case os::IOCTL_VX_READ: {  // read: the answer of the last write
      if (inSize != 8) return ERROR_INVALID_PARAMETER;
      const Header h = ReadHeader(in);
      if (h.requestType != 0xC0 || (h.request != 0 && h.request != 1) ||
          h.value != 0 || h.index != 0) {
        return ERROR_INVALID_PARAMETER;
      }
      if (token.faults.driverReadFailures > 0) {
        --token.faults.driverReadFailures;
        return ERROR_GEN_FAILURE;
      }
      if (!answer.pending) return 0;
      if (answer.control != (h.request == 1)) return ERROR_INVALID_PARAMETER;
      const std::size_t n = std::min<std::size_t>(
          {answer.length, static_cast<std::size_t>(outSize), h.length});
      if (n != 0) std::memcpy(out, answer.bytes.data(), n);
      returned = static_cast<DWORD>(n);
      answer.Clear();
      return 0;
    }
    case os::IOCTL_VX_GET_ATR: {  // the ATR
      if (token.faults.atrCodeFails) return ERROR_INVALID_FUNCTION;
      const std::vector<std::uint8_t>& atr = token.Atr();
      const std::size_t n = std::min<std::size_t>(atr.size(), outSize);
      if (n != 0) std::memcpy(out, atr.data(), n);
      returned = static_cast<DWORD>(n);
      return 0;
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

BOOL SimSystem::DeviceIoControl(HANDLE handle, DWORD code, LPVOID in,
                                DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped) {
  std::unique_lock<std::mutex> lock(Mutex());
  ++counters_.transportCalls;
  const std::unique_lock<std::mutex> busy = AwaitLatency(handle, lock);
  const Target target = ResolveLocked(handle);
  DWORD error = CallFaultLocked(CallKind::Transport);
  if (error == 0) error = target.error;
  if (error == 0 && IsHidLocked(*target.device)) {
    error = ERROR_INVALID_FUNCTION;  // a HID device has no driver codes
  } else if (error == 0 && (overlapped != nullptr || returned == nullptr ||
                            (in == nullptr && inSize != 0) ||
                            (out == nullptr && outSize != 0))) {
    error = ERROR_INVALID_PARAMETER;
  }
  DWORD got = 0;
  if (error == 0) {
    error =
        DriverLocked(*target.device, code, static_cast<const std::uint8_t*>(in),
                     inSize, static_cast<std::uint8_t*>(out), outSize, got);
    if (error != 0) got = 0;
    TokenFaults& faults = target.device->token->faults;
    if (error == 0 && faults.rawAnswer &&
        (code == os::IOCTL_VX_TRANSFER || code == os::IOCTL_VX_READ)) {
      const std::vector<std::uint8_t>& raw = *faults.rawAnswer;
      const std::size_t n = std::min<std::size_t>(raw.size(), outSize);
      if (n != 0) std::memcpy(out, raw.data(), n);
      got = faults.rawReturned.value_or(static_cast<DWORD>(n));
      faults.rawAnswer.reset();
      faults.rawReturned.reset();
    }
  }
  if (returned != nullptr) *returned = got;
  const bool ok = error == 0;
  // An injected count may claim more than the buffer holds: log only what
  // the buffer has.
  LogLocked(WireRecord::Kind::DeviceIoControl, target.device, code, in,
            in != nullptr ? inSize : 0, outSize, ok ? out : nullptr,
            std::min(got, outSize), ok, error);
  lock.unlock();
  if (!ok) SetLastError(error);
  return ok ? 1 : 0;
}

}  // namespace vantor::sim::detail
