#include <chrono>
#include <thread>

#include "hosts.h"

namespace vantor::tool::cli {

std::string NativeHost::MachineName() const {
#ifdef _WIN32
  return "Windows";
#else
  return "Linux";
#endif
}

std::vector<std::optional<TargetMode>> NativeHost::Modes(
    const std::vector<VXContext>& tokens) {
#ifdef _WIN32
  return ModesFromCounts(probe_.GatherWindows(), tokens.size());
#else
  // Linux reaches tokens in HID mode only (there is no driver for USB mode).
  return std::vector<std::optional<TargetMode>>(tokens.size(),
                                                TargetMode::kHid);
#endif
}

std::vector<Finding> NativeHost::Checks() {
#ifdef _WIN32
  return WindowsFindings(probe_.GatherWindows());
#else
  return LinuxFindings(probe_.GatherLinux());
#endif
}

std::int64_t NativeHost::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void NativeHost::SleepMs(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace vantor::tool::cli
