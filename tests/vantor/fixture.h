// A simulated machine per test, with the checks every test ends with: no
// device handle left open and the monitor idle.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/testing.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace vantor::testing {

using Machine = sim::TestMachine;
using sim::OsVersion;
using sim::TokenConfig;
using sim::TokenMode;

inline TokenConfig Token(TokenMode mode, std::uint16_t version = 0x0230) {
  TokenConfig config;
  config.mode = mode;
  config.version = version;
  return config;
}

inline TokenConfig TokenWithAtr(std::vector<std::uint8_t> atr,
                                TokenMode mode = TokenMode::Usb) {
  TokenConfig config;
  config.mode = mode;
  config.atr = std::move(atr);
  return config;
}

// A context as a close that ends its last connection leaves it: not open,
// its reserved words as a listing writes them.
inline VXContext Closed(VXContext context) {
  context.hDevice = 0xFFFFFFFFu;
  context.dwReserved1 = 2;
  context.dwReserved2 = 24000;
  return context;
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(OsVersion::WindowsXp); }

  void TearDown() override {
    if (machine_ == nullptr) return;
    EXPECT_EQ(machine_->Counters().openFileHandles, 0);
    EXPECT_EQ(device::MonitorUsers(), 0);
    // A monitor thread that ended by itself may still be cleaning up.
    EXPECT_TRUE(WaitFor([this] {
      return !device::MonitorThreadRunning() &&
             machine_->Counters().threadsRunning == 0;
    }));
    machine_.reset();
  }

  // Replaces the machine with a fresh one of `version`; the table starts
  // empty as after start-up.
  void Start(OsVersion version) {
    machine_.reset();
    machine_ = std::make_unique<Machine>(version);
    machine_->Install();
    device::InitDeviceTable();
  }

  Machine& machine() { return *machine_; }

  // Lists with a size query first; fails the test on any other result.
  std::vector<VXContext> List() {
    std::uint32_t length = 0;
    const std::uint32_t query = VXListDevices(nullptr, &length);
    EXPECT_TRUE(query == VX_SUCCESS || query == VX_BUFFER_TOO_SMALL) << query;
    std::vector<VXContext> contexts(length / sizeof(VXContext));
    EXPECT_EQ(VXListDevices(contexts.data(), &length), VX_SUCCESS);
    contexts.resize(length / sizeof(VXContext));
    return contexts;
  }

  // Lists and opens the first token shared.
  VXContext OpenFirst() {
    std::vector<VXContext> contexts = List();
    EXPECT_FALSE(contexts.empty());
    if (contexts.empty()) return VXContext{};
    EXPECT_EQ(VXOpenDevice(&contexts[0]), VX_SUCCESS);
    return contexts[0];
  }

  // Waits until the monitor thread listens for removals: a removal before
  // its window is registered goes unheard, as on Windows.
  void WaitForMonitor() {
    EXPECT_TRUE(
        WaitFor([this] { return machine_->Counters().notifications == 1; }));
  }

  // A copy of the table entry a context names, taken under the table lock.
  static device::SlotEntry Entry(const VXContext& context) {
    return device::testing::CopyOfEntry(context.dwIndex);
  }

  template <typename Condition>
  static bool WaitFor(Condition condition) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

 private:
  std::unique_ptr<Machine> machine_;
};

}  // namespace vantor::testing
