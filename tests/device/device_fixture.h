// Shared set-up of the device layer's tests: a fresh simulated machine per
// test, an empty table, and clean-up of whatever a test left open.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/testing.h"
#include "sim/testing.h"

namespace vantor::device::testing {

using Bytes = std::vector<std::uint8_t>;
using sim::WireRecord;

// Polls `done` for up to five seconds.
inline bool WaitFor(const std::function<bool()>& done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (std::tolower(static_cast<unsigned char>(*text)) !=
        std::tolower(static_cast<unsigned char>(*prefix))) {
      return false;
    }
  }
  return true;
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { UseMachine(sim::OsVersion::WindowsXp); }
  void TearDown() override { Release(); }

  // Replaces the machine with a fresh one of `version`.
  sim::TestMachine& UseMachine(sim::OsVersion version) {
    Release();
    machine_ = std::make_unique<sim::TestMachine>(version);
    machine_->Install();
    InitDeviceTable();
    return *machine_;
  }

  sim::TestMachine& M() { return *machine_; }

  // The entry holding `path`, or -1.
  static int EntryOf(const std::string& path) {
    for (int i = 0; i < kUsableEntries; ++i) {
      if (TableEntry(i).dwKind != SLOT_FREE && path == TableEntry(i).szPath)
        return i;
    }
    return -1;
  }
  int EntryOfToken(sim::TokenId token) {
    return EntryOf(M().Token(token).path);
  }

  static int UsedEntries() {
    int used = 0;
    for (const SlotEntry& entry : TableEntries())
      used += entry.dwKind != SLOT_FREE;
    return used;
  }

  // Plugs a token, refreshes and returns its entry.
  SlotEntry& PlugAndList(const sim::TokenConfig& config = {}) {
    const sim::TokenId token = M().Plug(config);
    RefreshDeviceTable();
    const int index = EntryOfToken(token);
    EXPECT_GE(index, 0);
    return TableEntry(index < 0 ? 0 : index);
  }

  static sim::TokenConfig Usb() {
    sim::TokenConfig config;
    config.mode = sim::TokenMode::Usb;
    return config;
  }

  // Wire records of one kind, optionally of one I/O control code.
  std::vector<WireRecord> WireOf(WireRecord::Kind kind,
                                 std::uint32_t code = 0) {
    std::vector<WireRecord> out;
    for (const WireRecord& record : M().Wire()) {
      if (record.kind == kind && (code == 0 || record.code == code)) {
        out.push_back(record);
      }
    }
    return out;
  }
  std::vector<WireRecord> Ioctls(std::uint32_t code = 0) {
    return WireOf(WireRecord::Kind::DeviceIoControl, code);
  }

 private:
  // Closes what a test left open, stops the monitor and drops the machine.
  void Release() {
    if (!machine_) return;
    for (int i = 0; i < kUsableEntries; ++i) {
      SlotEntry& entry = TableEntry(i);
      if (entry.dwKind != SLOT_FREE && entry.hDevice != INVALID_HANDLE_VALUE) {
        CloseSlot(entry);
        entry.hDevice = INVALID_HANDLE_VALUE;
      }
    }
    while (StopDeviceMonitor()) {
    }
    EXPECT_TRUE(WaitFor([&] { return M().Counters().threadsRunning == 0; }));
    InitDeviceTable();
    machine_.reset();
  }

  std::unique_ptr<sim::TestMachine> machine_;
};

}  // namespace vantor::device::testing
