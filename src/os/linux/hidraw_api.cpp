// HidApi over hidapi's hidraw backend (libhidapi-hidraw).
#include <hidapi.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "os/linux/hid_api.h"

namespace os::hidraw {
namespace {

// errno of the call just made; hidapi keeps only a text. An unset errno is
// reported as a generic I/O error rather than as success.
int CapturedErrno() { return errno != 0 ? errno : EIO; }

class HidrawDevice final : public HidDevice {
 public:
  explicit HidrawDevice(hid_device* device) : device_(device) {}
  ~HidrawDevice() override { hid_close(device_); }
  HidrawDevice(const HidrawDevice&) = delete;
  HidrawDevice& operator=(const HidrawDevice&) = delete;

  HidResult SendFeatureReport(const std::uint8_t* data,
                              std::size_t length) override {
    errno = 0;
    const int value = hid_send_feature_report(device_, data, length);
    return {value, value < 0 ? CapturedErrno() : 0};
  }

  HidResult GetFeatureReport(std::uint8_t* data, std::size_t length) override {
    errno = 0;
    const int value = hid_get_feature_report(device_, data, length);
    return {value, value < 0 ? CapturedErrno() : 0};
  }

 private:
  hid_device* device_;
};

class HidrawApi final : public HidApi {
 public:
  HidrawApi() { initialised_ = hid_init() == 0; }
  ~HidrawApi() override {
    if (initialised_) hid_exit();
  }
  HidrawApi(const HidrawApi&) = delete;
  HidrawApi& operator=(const HidrawApi&) = delete;

  std::vector<HidDeviceInfo> Enumerate() override {
    std::vector<HidDeviceInfo> found;
    if (!initialised_) return found;
    hid_device_info* list = nullptr;
    {
      // hid_enumerate and hid_open_path keep their error text in one
      // process-wide variable.
      std::lock_guard<std::mutex> lock(mu_);
      list = hid_enumerate(0, 0);
    }
    // A node with several top-level collections is listed once for each.
    std::set<std::string> seen;
    for (const hid_device_info* info = list; info != nullptr;
         info = info->next) {
      if (info->path == nullptr || !seen.insert(info->path).second) continue;
      found.push_back(HidDeviceInfo{info->path, info->vendor_id,
                                    info->product_id, info->release_number});
    }
    hid_free_enumeration(list);
    return found;
  }

  std::unique_ptr<HidDevice> Open(const std::string& path,
                                  int* error) override {
    if (!initialised_) {
      *error = ENODEV;
      return nullptr;
    }
    hid_device* device = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      errno = 0;
      device = hid_open_path(path.c_str());
      if (device == nullptr) {
        *error = CapturedErrno();
        return nullptr;
      }
    }
    *error = 0;
    return std::make_unique<HidrawDevice>(device);
  }

 private:
  bool initialised_ = false;
  std::mutex mu_;
};

}  // namespace

std::unique_ptr<HidApi> MakeHidrawApi() {
  return std::make_unique<HidrawApi>();
}

}  // namespace os::hidraw
