// One thread lists, opens, sends control requests and closes while another
// unplugs and re-plugs driver tokens, so the monitor's removal handling
// meets every public call. Meant for ThreadSanitizer; runs in every build.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <thread>
#include <vector>

#include "vantor/fixture.h"

namespace vantor::testing {
namespace {

constexpr int kCycles = 10000;
// The HID token that keeps the monitor running is closed and opened again
// this often, so the thread also starts and stops under removals.
constexpr int kKeeperPeriod = 64;
constexpr std::chrono::microseconds kPlugPause{200};

bool IsOneOf(std::uint32_t result, std::initializer_list<std::uint32_t> codes) {
  for (std::uint32_t code : codes) {
    if (result == code) return true;
  }
  return false;
}

using StressTest = MachineTest;

TEST_F(StressTest, CallsMeetRemovals) {
  // A long run keeps only the newest records of the machine's logs.
  machine().SetLogLimit(1024);
  // The HID token is listed first and is never unplugged.
  machine().Plug(Token(TokenMode::Hid));
  const std::vector<sim::TokenId> driverTokens = {
      machine().Plug(Token(TokenMode::Usb)),
      machine().Plug(Token(TokenMode::Usb))};

  std::atomic<bool> done{false};
  std::atomic<int> replugs{0};
  std::thread plugger([&] {
    for (std::size_t i = 0; !done.load(); ++i) {
      const sim::TokenId token = driverTokens[i % driverTokens.size()];
      // Short pauses leave the caller's thread most of the two cores.
      machine().Unplug(token);
      std::this_thread::sleep_for(kPlugPause);
      machine().Replug(token);
      replugs.fetch_add(1);
      std::this_thread::sleep_for(kPlugPause);
    }
  });

  std::map<std::uint32_t, int> results;  // result code -> calls
  auto expect = [&](const char* call, std::uint32_t result,
                    std::initializer_list<std::uint32_t> codes) {
    ++results[result];
    EXPECT_TRUE(IsOneOf(result, codes)) << call << " returned " << result;
  };

  VXContext keeper{};
  bool keeperOpen = false;
  std::vector<VXContext> contexts(4);
  for (int cycle = 0; cycle < kCycles && !HasFailure(); ++cycle) {
    std::uint32_t length =
        static_cast<std::uint32_t>(contexts.size() * sizeof(VXContext));
    const std::uint32_t listed = VXListDevices(contexts.data(), &length);
    expect("listing", listed, {VX_SUCCESS});
    if (listed != VX_SUCCESS) continue;
    const std::size_t count = length / sizeof(VXContext);
    if (count == 0) continue;

    if (cycle % kKeeperPeriod == 0) {
      if (keeperOpen) {
        expect("keeper close", VXCloseDevice(&keeper), {VX_SUCCESS});
        keeperOpen = false;
      } else {
        keeper = contexts[0];
        keeperOpen = VXOpenDevice(&keeper) == VX_SUCCESS;
        EXPECT_TRUE(keeperOpen);
      }
    }

    for (std::size_t i = 1; i < count; ++i) {
      VXContext& context = contexts[i];
      const std::uint32_t opened = VXOpenDevice(&context);
      expect("open", opened,
             {VX_SUCCESS, VX_INVALID_PARAMETER, VX_DEVICE_BUSY});
      if (opened != VX_SUCCESS) continue;
      std::uint8_t block[16] = {};
      std::uint32_t returned = 0;
      for (std::uint32_t code : {VX_CONTROL_TYPE_4, VX_RESET_DEVICE}) {
        expect("control",
               VXControl(&context, code, nullptr, 0, block, sizeof(block),
                         &returned),
               {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR});
      }
      expect("close", VXCloseDevice(&context),
             {VX_SUCCESS, VX_INVALID_PARAMETER});
    }
  }
  if (keeperOpen) {
    EXPECT_EQ(VXCloseDevice(&keeper), VX_SUCCESS);
  }
  done.store(true);
  plugger.join();

  // Some calls succeeded and the machine really changed under them.
  EXPECT_GT(results[VX_SUCCESS], kCycles);
  EXPECT_GT(replugs.load(), 0);
  for (const auto& [result, calls] : results) {
    std::printf("result %u: %d calls\n", result, calls);
  }
  std::printf("re-plugs: %d\n", replugs.load());
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
  EXPECT_EQ(device::MonitorUsers(), 0);
  EXPECT_LE(machine().Wire().size(), 1024u);
}

}  // namespace
}  // namespace vantor::testing
