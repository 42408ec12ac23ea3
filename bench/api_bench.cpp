// The mode-change sequence of the tool (size query, listing, open, mode
// change, close) on one token of the simulated machine, with the wire log
// off. Counters per sequence: transport calls and round trips (expected: two
// ATR reads and one control request), device opens and closes (the ATR
// reads' temporary handles included) and heap allocations.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "sim/testing.h"
#include "vantor/vantor.h"

namespace {

using Machine = vantor::sim::TestMachine;
using vantor::sim::OsVersion;
using vantor::sim::TokenMode;

bool ModeChange() {
  std::uint32_t length = 0;
  if (VXListDevices(nullptr, &length) != VX_BUFFER_TOO_SMALL ||
      length != sizeof(VXContext)) {
    return false;
  }
  VXContext context;
  if (VXListDevices(&context, &length) != VX_SUCCESS ||
      VXOpenDevice(&context) != VX_SUCCESS) {
    return false;
  }
  std::uint8_t block[251] = {};
  std::uint32_t returned = 0;
  const bool changed = VXControl(&context, VX_SET_DEVICE_MODE, block, 16, block,
                                 sizeof(block), &returned) == VX_SUCCESS;
  return VXCloseDevice(&context) == VX_SUCCESS && changed;
}

// Arguments: token mode (0 USB, 1 HID) and system (0 XP, with the monitor
// thread; 1 Windows 98, without it).
void BM_ModeChangeSequence(benchmark::State& state) {
  const TokenMode mode = state.range(0) == 0 ? TokenMode::Usb : TokenMode::Hid;
  Machine machine(state.range(1) == 0 ? OsVersion::WindowsXp
                                      : OsVersion::Windows98);
  machine.Install();
  machine.SetWireLog(false);
  vantor::sim::TokenConfig config;
  config.mode = mode;
  machine.Plug(config);
  if (!ModeChange()) {  // warm-up: binds the platform functions once
    state.SkipWithError("mode change failed");
    return;
  }

  const vantor::sim::MachineCounters before = machine.Counters();
  const std::uint64_t allocationsBefore = vantor::bench::HeapAllocations();
  for (auto _ : state) {
    if (!ModeChange()) {
      state.SkipWithError("mode change failed");
      break;
    }
  }
  const std::uint64_t allocations =
      vantor::bench::HeapAllocations() - allocationsBefore;
  const vantor::sim::MachineCounters after = machine.Counters();

  // A HID round trip is two calls (set and get feature); a driver one is
  // one single-call exchange.
  const int calls = after.transportCalls - before.transportCalls;
  const int callsPerTrip = mode == TokenMode::Hid ? 2 : 1;
  const auto perSequence = benchmark::Counter::kAvgIterations;
  state.counters["transport_calls"] = benchmark::Counter(calls, perSequence);
  state.counters["round_trips"] =
      benchmark::Counter(calls / callsPerTrip, perSequence);
  state.counters["opens"] =
      benchmark::Counter(after.opens - before.opens, perSequence);
  state.counters["closes"] =
      benchmark::Counter(after.closes - before.closes, perSequence);
  state.counters["heap_allocations"] =
      benchmark::Counter(static_cast<double>(allocations), perSequence);
  state.SetLabel(mode == TokenMode::Hid ? "HID token" : "USB token");
}
BENCHMARK(BM_ModeChangeSequence)
    ->ArgNames({"hid", "win98"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1});

}  // namespace

namespace {

// Exchanges per second with a device latency of 1 ms: one thread on one
// token, and 4 threads each on a token of its own. Exchanges with different
// tokens must not wait for each other, so 4 threads reach about 4 times the
// rate of one (counter `exchanges_per_s`, to compare across the two runs).
void BM_ParallelExchanges(benchmark::State& state) {
  const int threads = state.threads();
  static vantor::sim::TestMachine* machine = nullptr;
  static std::vector<VXContext> contexts;
  if (state.thread_index() == 0) {
    machine = new vantor::sim::TestMachine();
    machine->Install();
    machine->SetWireLog(false);
    vantor::sim::TokenConfig config;
    config.latency = std::chrono::milliseconds(1);
    for (int i = 0; i < threads; ++i) machine->Plug(config);
    std::uint32_t length = 0;
    VXListDevices(nullptr, &length);
    contexts.assign(length / sizeof(VXContext), VXContext{});
    VXListDevices(contexts.data(), &length);
    for (VXContext& context : contexts) VXOpenDevice(&context);
  }
  // The library's threads start together after the set-up above.
  for (auto _ : state) {
    VXContext& context =
        contexts[static_cast<std::size_t>(state.thread_index())];
    std::uint8_t out[64];
    if (VXControl(&context, VX_CONTROL_TYPE_4, nullptr, 0, out, sizeof(out),
                  nullptr) != VX_SUCCESS) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.counters["exchanges_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (state.thread_index() == 0) {
    for (VXContext& context : contexts) VXCloseDevice(&context);
    delete machine;
    machine = nullptr;
  }
}
BENCHMARK(BM_ParallelExchanges)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

namespace {

// One VXControl call on an open HID token, by code (argument): 38 (the
// serial number, a card command) or 4 (a control exchange). Counters per
// call: round trips (a report sent and one read; expected 1) and heap
// allocations in the library and the machine together (expected 0). The
// runs of one and of four iterations give the steady instruction count per
// call (scripts/count-instructions.sh).
void BM_ControlCall(benchmark::State& state) {
  const auto code = static_cast<std::uint32_t>(state.range(0));
  vantor::sim::TestMachine machine;
  machine.Install();
  machine.SetWireLog(false);
  machine.Plug({});
  std::uint32_t length = sizeof(VXContext);
  VXContext context;
  if (VXListDevices(&context, &length) != VX_SUCCESS ||
      VXOpenDevice(&context) != VX_SUCCESS) {
    state.SkipWithError("open failed");
    return;
  }
  const vantor::sim::MachineCounters before = machine.Counters();
  const std::uint64_t allocationsBefore = vantor::bench::HeapAllocations();
  for (auto _ : state) {
    std::uint8_t out[16];
    std::uint32_t returned = 0;
    if (VXControl(&context, code, nullptr, 0, out, sizeof(out), &returned) !=
        VX_SUCCESS) {
      state.SkipWithError("the call failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  // Read before the counters below, whose map allocates.
  const auto allocations =
      static_cast<double>(vantor::bench::HeapAllocations() - allocationsBefore);
  const auto runs = static_cast<double>(state.iterations());
  state.counters["round_trips"] =
      (machine.Counters().transportCalls - before.transportCalls) / 2.0 / runs;
  state.counters["heap_allocs"] = allocations / runs;
  VXCloseDevice(&context);
}
BENCHMARK(BM_ControlCall)->Name("BM_CardCommand")->Arg(VX_GET_SERIAL_NUMBER);
BENCHMARK(BM_ControlCall)
    ->Name("BM_CardCommandOnce")
    ->Arg(VX_GET_SERIAL_NUMBER)
    ->Iterations(1);
BENCHMARK(BM_ControlCall)
    ->Name("BM_CardCommandFour")
    ->Arg(VX_GET_SERIAL_NUMBER)
    ->Iterations(4);
BENCHMARK(BM_ControlCall)->Name("BM_Control4")->Arg(VX_CONTROL_TYPE_4);
BENCHMARK(BM_ControlCall)
    ->Name("BM_Control4Once")
    ->Arg(VX_CONTROL_TYPE_4)
    ->Iterations(1);
BENCHMARK(BM_ControlCall)
    ->Name("BM_Control4Four")
    ->Arg(VX_CONTROL_TYPE_4)
    ->Iterations(4);

}  // namespace

namespace {

// Rewriting a 4 KiB file through VXStoreFile on an open HID token. Counters
// per update: round trips (expected: the device-type read, the selection
// and ceil(4096 / 203) = 21 writes, 23 in all) and heap allocations in the
// library and the machine together (expected: 0). A Windows 98 machine
// runs no monitor thread, whose polling would count too.
void BM_UpdateFile4K(benchmark::State& state) {
  vantor::sim::TestMachine machine(vantor::sim::OsVersion::Windows98);
  machine.Install();
  machine.SetWireLog(false);
  machine.Plug({});
  std::uint32_t length = sizeof(VXContext);
  VXContext context;
  static std::uint8_t data[4096];
  if (VXListDevices(&context, &length) != VX_SUCCESS ||
      VXOpenDevice(&context) != VX_SUCCESS ||
      VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY) != VX_SUCCESS ||
      VXStoreFile(&context, "1A2B", 0, nullptr, 0, sizeof(data), nullptr,
                  VX_FILE_CREATE, VX_TYPE_DATA) != VX_SUCCESS) {
    state.SkipWithError("set-up failed");
    return;
  }
  const vantor::sim::MachineCounters before = machine.Counters();
  const std::uint64_t allocationsBefore = vantor::bench::HeapAllocations();
  for (auto _ : state) {
    data[0] = static_cast<std::uint8_t>(data[0] + 1);
    std::uint32_t written = 0;
    if (VXStoreFile(&context, "1A2B", 0, data, sizeof(data), 0, &written,
                    VX_FILE_UPDATE, VX_TYPE_DATA) != VX_SUCCESS ||
        written != sizeof(data)) {
      state.SkipWithError("update failed");
      break;
    }
  }
  // Read before the counters below, whose map allocates.
  const auto allocations =
      static_cast<double>(vantor::bench::HeapAllocations() - allocationsBefore);
  const auto runs = static_cast<double>(state.iterations());
  state.counters["round_trips"] =
      (machine.Counters().transportCalls - before.transportCalls) / 2.0 / runs;
  state.counters["heap_allocs"] = allocations / runs;
  VXCloseDevice(&context);
}
BENCHMARK(BM_UpdateFile4K);
BENCHMARK(BM_UpdateFile4K)->Name("BM_UpdateFile4KOnce")->Iterations(1);

}  // namespace

namespace {

// A listing beside busy tokens: 4 HID tokens with a latency of 1 ms, one
// thread per token exchanging back to back (VXControl code 4 on its own
// open context), and the benchmark's thread listing. A listing must not
// wait behind a queue of exchanges: its time (counters `list_p50_ms`,
// `list_p90_ms`, `list_p99_ms`, `list_max_ms`) should stay within a few
// exchange times (`exchange_ms`, the exchangers' mean) plus its own cost.
constexpr int kBusyTokens = 4;

// The threads exchanging on their tokens until stopped.
class Exchangers {
 public:
  explicit Exchangers(std::vector<VXContext>& contexts) {
    for (VXContext& context : contexts) {
      threads_.emplace_back([this, &context] { Run(context); });
    }
  }
  ~Exchangers() { Stop(); }
  Exchangers(const Exchangers&) = delete;
  Exchangers& operator=(const Exchangers&) = delete;

  void Stop() {
    stop_.store(true);
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  // Mean time of one exchange over all threads, in milliseconds.
  double MeanExchangeMs() const {
    const long long count = exchanges_.load();
    return count == 0 ? 0.0
                      : static_cast<double>(busyNs_.load()) / 1e6 /
                            static_cast<double>(count);
  }
  long long Failures() const { return failures_.load(); }

 private:
  void Run(VXContext& context) {
    using Clock = std::chrono::steady_clock;
    while (!stop_.load()) {
      std::uint8_t out[16];
      std::uint32_t returned = 0;
      const Clock::time_point start = Clock::now();
      const std::uint32_t result = VXControl(
          &context, VX_CONTROL_TYPE_4, nullptr, 0, out, sizeof(out), &returned);
      const auto spent = std::chrono::duration_cast<std::chrono::nanoseconds>(
          Clock::now() - start);
      if (result != VX_SUCCESS) failures_.fetch_add(1);
      busyNs_.fetch_add(spent.count());
      exchanges_.fetch_add(1);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<long long> exchanges_{0};
  std::atomic<long long> busyNs_{0};
  std::atomic<long long> failures_{0};
  std::vector<std::thread> threads_;
};

// The value below which `share` of the sorted samples lie.
double Percentile(const std::vector<double>& sorted, double share) {
  const auto index = static_cast<std::size_t>(
      share * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[index];
}

void BM_ListingBesideBusyTokens(benchmark::State& state) {
  vantor::sim::TestMachine machine;
  machine.Install();
  machine.SetWireLog(false);
  vantor::sim::TokenConfig config;
  config.latency = std::chrono::milliseconds(1);
  for (int i = 0; i < kBusyTokens; ++i) machine.Plug(config);
  std::vector<VXContext> contexts(kBusyTokens);
  std::uint32_t length =
      static_cast<std::uint32_t>(contexts.size() * sizeof(VXContext));
  if (VXListDevices(contexts.data(), &length) != VX_SUCCESS ||
      length != contexts.size() * sizeof(VXContext)) {
    state.SkipWithError("listing failed");
    return;
  }
  for (VXContext& context : contexts) {
    if (VXOpenDevice(&context) != VX_SUCCESS) {
      state.SkipWithError("open failed");
      return;
    }
  }

  std::vector<double> listingsMs;
  listingsMs.reserve(static_cast<std::size_t>(state.max_iterations));
  int listingFailures = 0;
  double exchangeMs = 0;
  long long exchangeFailures = 0;
  {
    Exchangers exchangers(contexts);
    std::vector<VXContext> listed(kBusyTokens);
    for (auto _ : state) {
      std::uint32_t size =
          static_cast<std::uint32_t>(listed.size() * sizeof(VXContext));
      const auto start = std::chrono::steady_clock::now();
      const std::uint32_t result = VXListDevices(listed.data(), &size);
      const std::chrono::duration<double, std::milli> spent =
          std::chrono::steady_clock::now() - start;
      listingsMs.push_back(spent.count());
      if (result != VX_SUCCESS) ++listingFailures;
    }
    exchangers.Stop();
    exchangeMs = exchangers.MeanExchangeMs();
    exchangeFailures = exchangers.Failures();
  }
  for (VXContext& context : contexts) VXCloseDevice(&context);

  std::sort(listingsMs.begin(), listingsMs.end());
  if (!listingsMs.empty()) {
    state.counters["list_p50_ms"] = Percentile(listingsMs, 0.50);
    state.counters["list_p90_ms"] = Percentile(listingsMs, 0.90);
    state.counters["list_p99_ms"] = Percentile(listingsMs, 0.99);
    state.counters["list_max_ms"] = listingsMs.back();
  }
  state.counters["exchange_ms"] = exchangeMs;
  state.counters["list_failures"] = listingFailures;
  state.counters["exchange_failures"] = static_cast<double>(exchangeFailures);
}
BENCHMARK(BM_ListingBesideBusyTokens)->Iterations(200)->UseRealTime();

}  // namespace
