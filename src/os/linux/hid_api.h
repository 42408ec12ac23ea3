// The few hidapi calls the Linux system makes, behind an interface of their
// own so that the system can be run against a scripted HID bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace os::hidraw {

// One HID device node as enumeration reports it.
struct HidDeviceInfo {
  std::string path;  // the hidraw node, e.g. /dev/hidraw3
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t releaseNumber = 0;  // bcdDevice
};

// A result of hidapi: the count it returned, and errno where it failed.
struct HidResult {
  int value = -1;  // bytes transferred, or -1
  int error = 0;   // errno of a failure, 0 on success
};

// An open device node. Closed when destroyed.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // `data[0]` is the report id; `length` counts it.
  virtual HidResult SendFeatureReport(const std::uint8_t* data,
                                      std::size_t length) = 0;
  // `data[0]` holds the report id on entry; on success the report, id first,
  // fills `value` bytes.
  virtual HidResult GetFeatureReport(std::uint8_t* data,
                                     std::size_t length) = 0;
};

class HidApi {
 public:
  virtual ~HidApi() = default;
  // Every HID device node present now, each path once.
  virtual std::vector<HidDeviceInfo> Enumerate() = 0;
  // Opens a node for reading and writing; null with `*error` set to errno
  // when it cannot be opened.
  virtual std::unique_ptr<HidDevice> Open(const std::string& path,
                                          int* error) = 0;
};

// hidapi's hidraw backend.
std::unique_ptr<HidApi> MakeHidrawApi();

}  // namespace os::hidraw
