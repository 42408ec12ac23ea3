// The device layer over the simulated machine with the wire log off.
//
// Per exchange (TransmitControl, TransmitApdu on an open entry): transport
// calls (HID: one report sent and one read; driver: the single call, or the
// refused single call, the write and the read when the driver lacks it),
// heap allocations through operator new and the machine's LocalAlloc
// allocations (expected: 0 and 0).
//
// Per refresh of 1 and of 127 listed tokens: transport calls and opens per
// token (one ATR read over one temporary handle each: HID 2 calls, driver 1),
// LocalAlloc allocations (the path list and its items, the hardware-id
// buffers) and heap allocations (the machine's own enumeration included).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "alloc_counter.h"
#include "device/testing.h"
#include "sim/testing.h"

namespace {

namespace device = vantor::device;
namespace sim = vantor::sim;

// What the machine and the heap counted between two points.
struct Tally {
  static Tally Now(const sim::TestMachine& machine) {
    const sim::MachineCounters counters = machine.Counters();
    return {counters.transportCalls, counters.opens, counters.allocations,
            vantor::bench::HeapAllocations()};
  }
  int transportCalls;
  int opens;
  int localAllocations;
  std::uint64_t heapAllocations;
};

void Report(benchmark::State& state, const Tally& before, const Tally& after,
            double per) {
  using benchmark::Counter;
  const double runs = static_cast<double>(state.iterations()) * per;
  state.counters["transport_calls"] =
      Counter((after.transportCalls - before.transportCalls) / runs);
  state.counters["opens"] = Counter((after.opens - before.opens) / runs);
  state.counters["local_allocs"] =
      Counter((after.localAllocations - before.localAllocations) / runs);
  state.counters["heap_allocs"] = Counter(
      static_cast<double>(after.heapAllocations - before.heapAllocations) /
      runs);
}

enum Transport : std::int64_t { kHid = 0, kDriver = 1, kDriverWriteRead = 2 };

// A machine with one listed token whose device is open.
struct OpenToken {
  explicit OpenToken(std::int64_t transport) {
    machine.Install();
    machine.SetWireLog(false);
    device::InitDeviceTable();
    sim::TokenConfig config;
    config.mode = transport == kHid ? sim::TokenMode::Hid : sim::TokenMode::Usb;
    const sim::TokenId token = machine.Plug(config);
    if (transport == kDriverWriteRead) {
      sim::TokenFaults faults;
      faults.refuseSingleCall = true;
      machine.SetFaults(token, faults);
    }
    device::RefreshDeviceTable();
    entry = &device::testing::TableEntry(0);
    opened = device::OpenSlot(*entry, 1);
  }
  ~OpenToken() {
    if (opened) device::CloseSlot(*entry);
    device::InitDeviceTable();
  }
  // The open device and the transport of its kind.
  device::Channel OpenChannel() const {
    return device::Channel{entry->hDevice, entry->dwKind};
  }
  sim::TestMachine machine;
  device::SlotEntry* entry = nullptr;
  bool opened = false;
};

const char* TransportName(std::int64_t transport) {
  switch (transport) {
    case kHid:
      return "hid";
    case kDriver:
      return "driver";
    default:
      return "driver_write_read";
  }
}

void BM_TransmitControl(benchmark::State& state) {
  OpenToken token(state.range(0));
  state.SetLabel(TransportName(state.range(0)));
  if (!token.opened) {
    state.SkipWithError("open failed");
    return;
  }
  std::uint8_t response[256];
  const Tally before = Tally::Now(token.machine);
  for (auto _ : state) {
    std::uint32_t length = 255;
    // Control request 2: the token answers its ATR.
    if (!device::TransmitControl(token.OpenChannel(), 2, nullptr, 0, response,
                                 &length)) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  Report(state, before, Tally::Now(token.machine), 1);
}
BENCHMARK(BM_TransmitControl)->Arg(kHid)->Arg(kDriver)->Arg(kDriverWriteRead);

void BM_TransmitApdu(benchmark::State& state) {
  OpenToken token(state.range(0));
  state.SetLabel(TransportName(state.range(0)));
  if (!token.opened) {
    state.SkipWithError("open failed");
    return;
  }
  const std::uint8_t apdu[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  std::uint8_t response[256];
  const Tally before = Tally::Now(token.machine);
  for (auto _ : state) {
    std::uint32_t length = 255;
    if (!device::TransmitApdu(token.OpenChannel(), apdu, sizeof(apdu), response,
                              &length)) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  Report(state, before, Tally::Now(token.machine), 1);
}
BENCHMARK(BM_TransmitApdu)->Arg(kHid)->Arg(kDriver)->Arg(kDriverWriteRead);

// Arguments: number of tokens, transport (HID or driver). Counters per
// refresh, and transport calls and opens per token as well.
void BM_Refresh(benchmark::State& state) {
  const auto tokens = static_cast<int>(state.range(0));
  const bool hid = state.range(1) == kHid;
  state.SetLabel(hid ? "hid" : "driver");
  sim::TestMachine machine;
  machine.Install();
  machine.SetWireLog(false);
  device::InitDeviceTable();
  sim::TokenConfig config;
  config.mode = hid ? sim::TokenMode::Hid : sim::TokenMode::Usb;
  for (int i = 0; i < tokens; ++i) machine.Plug(config);
  device::RefreshDeviceTable();  // lists them and binds the functions

  const Tally before = Tally::Now(machine);
  for (auto _ : state) device::RefreshDeviceTable();
  const Tally after = Tally::Now(machine);
  Report(state, before, after, 1);
  const double perToken = static_cast<double>(state.iterations()) * tokens;
  state.counters["transport_calls_per_token"] =
      (after.transportCalls - before.transportCalls) / perToken;
  state.counters["opens_per_token"] = (after.opens - before.opens) / perToken;

  int listed = 0;
  for (const device::SlotEntry& entry : device::testing::TableEntries()) {
    listed += entry.dwKind != device::SLOT_FREE;
  }
  if (listed != tokens) state.SkipWithError("not every token was listed");
  device::InitDeviceTable();
}
// Fixed iteration counts, for counting instructions with callgrind: the
// difference between the two runs is three steady refreshes.
BENCHMARK(BM_Refresh)->Name("BM_RefreshOnce")->Args({127, kHid})->Iterations(1);
BENCHMARK(BM_Refresh)->Name("BM_RefreshFour")->Args({127, kHid})->Iterations(4);
BENCHMARK(BM_Refresh)->Name("BM_RefreshOnce")->Args({1, kHid})->Iterations(1);
BENCHMARK(BM_Refresh)->Name("BM_RefreshFour")->Args({1, kHid})->Iterations(4);
BENCHMARK(BM_Refresh)
    ->Args({1, kHid})
    ->Args({127, kHid})
    ->Args({1, kDriver})
    ->Args({127, kDriver})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
