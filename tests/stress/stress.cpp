// Stress program: several threads, each with a token of its own, list,
// open, exchange and close in a loop while another thread unplugs and
// re-plugs random tokens; a card call (serial number) runs on every cycle.
// Every result must be one its call documents; at the end nothing may be
// left open. Meant for ThreadSanitizer (preset tsan).
//
//   stress [CYCLES [THREADS]]   (default 2000 cycles per thread, 4 threads)
//
// Prints the calls per result and the re-plugs; exit status 1 on a finding.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "vantor/sim.h"
#include "vantor/vantor.h"

namespace {

namespace sim = vantor::sim;

std::atomic<int> g_findings{0};
std::mutex g_resultsMutex;
std::map<std::string, int> g_results;

void Expect(const char* call, std::uint32_t result,
            std::initializer_list<std::uint32_t> codes) {
  bool documented = false;
  for (std::uint32_t code : codes) documented |= code == result;
  {
    std::lock_guard<std::mutex> lock(g_resultsMutex);
    ++g_results[std::string(call) + " " + std::to_string(result)];
  }
  if (!documented && g_findings.fetch_add(1) < 10) {
    std::fprintf(stderr, "stress: %s returned %u (0x%X)\n", call, result,
                 result);
  }
}

// One caller: finds its token by device id in each listing.
void Caller(int id, int cycles) {
  std::vector<VXContext> contexts(8);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    std::uint32_t length =
        static_cast<std::uint32_t>(contexts.size() * sizeof(VXContext));
    const std::uint32_t listed = VXListDevices(contexts.data(), &length);
    Expect("list", listed, {VX_SUCCESS});
    if (listed != VX_SUCCESS) continue;
    VXContext* mine = nullptr;
    for (std::size_t i = 0; i < length / sizeof(VXContext); ++i) {
      if (contexts[i].bDeviceId[0] == static_cast<std::uint8_t>(id + 1)) {
        mine = &contexts[i];
      }
    }
    if (mine == nullptr) continue;  // unplugged right now
    const std::uint32_t opened = VXOpenDevice(mine);
    Expect("open", opened, {VX_SUCCESS, VX_INVALID_PARAMETER, VX_DEVICE_BUSY});
    if (opened != VX_SUCCESS) continue;
    std::uint8_t out[16];
    std::uint32_t returned = 0;
    Expect("control",
           VXControl(mine, VX_CONTROL_TYPE_4, nullptr, 0, out, sizeof(out),
                     &returned),
           {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR});
    Expect("serial",
           VXControl(mine, VX_GET_SERIAL_NUMBER, nullptr, 0, out, sizeof(out),
                     &returned),
           {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR});
    Expect("close", VXCloseDevice(mine), {VX_SUCCESS, VX_INVALID_PARAMETER});
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 4;
  if (cycles <= 0 || threads <= 0 || threads > 8) {
    std::fprintf(stderr, "usage: stress [CYCLES [THREADS (1-8)]]\n");
    return 2;
  }
  sim::Machine machine;
  machine.Install();
  machine.SetLogLimit(256);
  machine.SetWireLog(false);
  std::vector<sim::TokenId> tokens;
  for (int i = 0; i < threads; ++i) {
    sim::TokenConfig config;
    config.mode = i % 2 == 0 ? sim::TokenMode::Usb : sim::TokenMode::Hid;
    config.deviceId[0] = static_cast<std::uint8_t>(i + 1);
    tokens.push_back(machine.Plug(config));
  }

  std::atomic<bool> done{false};
  std::atomic<int> replugs{0};
  std::thread plugger([&] {
    std::mt19937 random(12345);
    while (!done.load()) {
      const sim::TokenId token = tokens[random() % tokens.size()];
      machine.Unplug(token);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
      machine.Replug(token);
      replugs.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
  });
  std::vector<std::thread> callers;
  for (int i = 0; i < threads; ++i) callers.emplace_back(Caller, i, cycles);
  for (std::thread& caller : callers) caller.join();
  done.store(true);
  plugger.join();

  // Nothing left: the monitor stops once the last device is closed.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (vantor::device::MonitorThreadRunning() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const sim::MachineCounters counters = machine.Counters();
  if (counters.openFileHandles != 0 || vantor::device::MonitorUsers() != 0 ||
      vantor::device::RetiredHandles() != 0 ||
      vantor::device::MonitorThreadRunning()) {
    std::fprintf(stderr, "stress: left open: %d handles, %d monitor users\n",
                 counters.openFileHandles, vantor::device::MonitorUsers());
    g_findings.fetch_add(1);
  }
  for (const auto& [what, calls] : g_results) {
    std::printf("%-24s %d\n", what.c_str(), calls);
  }
  std::printf("cycles %d x %d threads, re-plugs %d, findings %d\n", cycles,
              threads, replugs.load(), g_findings.load());
  return g_findings.load() == 0 ? 0 : 1;
}
