// Every platform call of a flow failing in turn: each public-call flow runs
// once to count its calls of each kind, then once per call index with that
// call failing, once with every call from it on failing, and for transport
// calls once with the token gone from that call on (removal in the middle
// of a multi-command call). Every run
// must give documented results, leave nothing behind (handles, memory,
// threads, windows, notifications, device sets) once its contexts are
// closed, and leave the library able to list, open and talk to a token.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace vantor::testing {
namespace {

using sim::CallFault;
using sim::CallKind;

bool Documented(std::uint32_t result) {
  for (std::uint32_t code :
       {VX_SUCCESS, VX_INVALID_PARAMETER, VX_COMM_ERROR, VX_DEVICE_BUSY,
        VX_BUFFER_TOO_SMALL, VX_ATR_CHANGED, VX_DEV_PIN_NOT_RESTORED,
        VX_ROOT_NOT_REMOVED}) {
    if (result == code) return true;
  }
  return (result >= 0x6100 && result <= 0x6FFF) ||
         (result >= 0x9000 && result <= 0x9FFF);
}

// Public calls on an open token, each result appended.
using Body = void (*)(VXContext&, std::vector<std::uint32_t>&);

// A flow: `body` on each listed token, opened and closed around it, after
// `setup` (if any) did the same without faults.
struct Flow {
  const char* name;
  Body setup;
  Body body;
};

class FaultSweepTest : public MachineTest,
                       public ::testing::WithParamInterface<Flow> {
 public:
  void Prepare(Body setup) {
    Start(OsVersion::WindowsXp);
    machine().Plug(Token(TokenMode::Hid));
    machine().Plug(Token(TokenMode::Usb));
    if (setup == nullptr) return;
    for (std::uint32_t result : OnEachToken(setup)) {
      ASSERT_EQ(result, VX_SUCCESS);
    }
    ExpectNothingLeft("setup");
  }

  // Lists without checking, and returns what was listed.
  std::vector<VXContext> ListAny(std::vector<std::uint32_t>& results) {
    std::uint32_t length = 0;
    // The size query answers 17 with tokens attached.
    const std::uint32_t query = VXListDevices(nullptr, &length);
    results.push_back(query == VX_BUFFER_TOO_SMALL ? VX_SUCCESS : query);
    std::vector<VXContext> contexts(length / sizeof(VXContext));
    results.push_back(VXListDevices(contexts.data(), &length));
    if (results.back() != VX_SUCCESS) return {};
    contexts.resize(length / sizeof(VXContext));
    return contexts;
  }

  // Opens each listed token, runs `body` on it and closes it (as often as
  // it was opened).
  std::vector<std::uint32_t> OnEachToken(
      const std::function<void(VXContext&, std::vector<std::uint32_t>&)>&
          body) {
    std::vector<std::uint32_t> results;
    std::vector<VXContext> contexts = ListAny(results);
    for (VXContext& context : contexts) {
      results.push_back(VXOpenDevice(&context));
      if (results.back() != VX_SUCCESS) continue;
      body(context, results);
      results.push_back(VXCloseDevice(&context));
    }
    return results;
  }

  void ExpectNothingLeft(const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_TRUE(WaitFor([this] {
      return !device::MonitorThreadRunning() &&
             machine().Counters().threadsRunning == 0;
    }));
    const sim::MachineCounters counters = machine().Counters();
    EXPECT_EQ(counters.openFileHandles, 0);
    EXPECT_EQ(counters.liveAllocations, 0);
    EXPECT_EQ(counters.windows, 0);
    EXPECT_EQ(counters.notifications, 0);
    EXPECT_EQ(counters.deviceSets, 0);
    EXPECT_EQ(device::MonitorUsers(), 0);
    EXPECT_EQ(device::RetiredHandles(), 0);
  }

  void Sweep(const Flow& flow) {
    Prepare(flow.setup);
    machine().SetCallFault(std::nullopt);
    for (std::uint32_t result : OnEachToken(flow.body)) {
      ASSERT_EQ(result, VX_SUCCESS);
    }
    int counts[sim::kCallKinds];
    for (int kind = 0; kind < sim::kCallKinds; ++kind) {
      counts[kind] = machine().CallCount(static_cast<CallKind>(kind));
    }
    ExpectNothingLeft("clean run");
    int runs = 0;
    int failedRuns = 0;
    for (int kind = 0; kind < sim::kCallKinds; ++kind) {
      for (int index = 0; index < counts[kind]; ++index) {
        // Once, from then on, and (for the transport) the token pulled out
        // before that call: every call from it on finds the device gone.
        const bool transport = kind == static_cast<int>(CallKind::Transport);
        for (int variant = 0; variant < (transport ? 3 : 2); ++variant) {
          const bool fromThenOn = variant != 0;
          const std::uint32_t error =
              variant == 2 ? 1167u /* ERROR_DEVICE_NOT_CONNECTED */ : 31u;
          const std::string where = "kind " + std::to_string(kind) + " index " +
                                    std::to_string(index) + " variant " +
                                    std::to_string(variant);
          SCOPED_TRACE(where);
          Prepare(flow.setup);
          machine().SetCallFault(
              CallFault{static_cast<CallKind>(kind), index, fromThenOn, error});
          bool failed = false;
          for (std::uint32_t result : OnEachToken(flow.body)) {
            EXPECT_TRUE(Documented(result)) << std::hex << result;
            failed |= result != VX_SUCCESS;
          }
          failedRuns += failed ? 1 : 0;
          machine().SetCallFault(std::nullopt);
          ExpectNothingLeft(where);
          // The library still reaches a token.
          const std::vector<std::uint32_t> after = OnEachToken(
              [](VXContext& context, std::vector<std::uint32_t>& results) {
                results.push_back(VXControl(&context, VX_CONTROL_TYPE_4,
                                            nullptr, 0, nullptr, 8, nullptr));
              });
          for (std::uint32_t result : after) EXPECT_EQ(result, VX_SUCCESS);
          ExpectNothingLeft(where + ", then a clean run");
          ++runs;
        }
      }
    }
    // Every kind was failed at least once. Not every failure shows in a
    // result: a monitor that cannot start, or a listing that could not
    // enumerate, leaves the calls working on what they have.
    for (int kind = 0; kind < sim::kCallKinds; ++kind) {
      EXPECT_GT(counts[kind], 0) << "kind " << kind;
    }
    EXPECT_GT(failedRuns, 0);
    std::printf("%s: %d runs, %d with a failure\n", flow.name, runs,
                failedRuns);
  }
};

TEST_P(FaultSweepTest, EveryCallFailingInTurn) { Sweep(GetParam()); }

const std::uint8_t* Text(const char* text) {
  return reinterpret_cast<const std::uint8_t*>(text);
}

void MakeRoot(VXContext& context, std::vector<std::uint32_t>& results) {
  results.push_back(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY));
}

const Flow kFlows[] = {
    {"ListOpenControlClose", nullptr,
     [](VXContext& context, std::vector<std::uint32_t>& results) {
       std::uint8_t out[64];
       std::uint32_t returned = 0;
       results.push_back(VXControl(&context, VX_RESET_DEVICE, nullptr, 0, out,
                                   sizeof(out), &returned));
       results.push_back(VXControl(&context, VX_GET_SERIAL_NUMBER, nullptr, 0,
                                   out, sizeof(out), &returned));
     }},
    {"RootWithDeviceIdAndPinChange", nullptr,
     [](VXContext& context, std::vector<std::uint32_t>& results) {
       const VXROOTINFO info{sizeof(VXROOTINFO), {9, 8, 7, 6, 5, 4, 3, 2}};
       results.push_back(
           VXMakeDirectoryEx(&context, "\\", 0, VX_ROOT_DIRECTORY, &info));
       results.push_back(
           VXSetPinOrKey(&context, Text("246813572468135724681357"), 24,
                         Text("AAAAAAAABBBBBBBBCCCCCCCC"), 24, VX_DEV_PIN));
     }},
    // A create whose data goes in three writes, then an update in two.
    {"StoreFile", MakeRoot,
     [](VXContext& context, std::vector<std::uint32_t>& results) {
       std::uint8_t data[450];
       for (std::size_t i = 0; i < sizeof(data); ++i) {
         data[i] = static_cast<std::uint8_t>(i * 7);
       }
       std::uint32_t count = 0;
       results.push_back(VXStoreFile(&context, "1A2B", 0, data, 450, 450,
                                     &count, VX_FILE_CREATE, VX_TYPE_DATA));
       results.push_back(VXStoreFile(&context, "1A2B", 100, data, 250, 0,
                                     &count, VX_FILE_UPDATE, VX_TYPE_DATA));
     }},
    // The largest inputs of both modes, on the echoing program.
    {"Execute",
     [](VXContext& context, std::vector<std::uint32_t>& results) {
       MakeRoot(context, results);
       std::uint32_t count = 0;
       results.push_back(VXStoreFile(&context, "1A2B", 0, nullptr, 0, 0x40,
                                     &count, VX_FILE_CREATE, VX_TYPE_EXE));
     },
     [](VXContext& context, std::vector<std::uint32_t>& results) {
       std::uint8_t input[VX_EXECUTE_MAX_INPUT] = {1, 2, 3};
       std::uint8_t output[256];
       std::uint32_t produced = 0;
       results.push_back(VXExecute(&context, "1A2B", input, sizeof(input),
                                   output, sizeof(output), &produced));
       results.push_back(VXExecuteEx(&context, "1A2B", VX_EXECUTE_BY_ID, input,
                                     VX_EXECUTE_BY_ID_MAX_INPUT, output,
                                     sizeof(output), &produced));
     }},
};

INSTANTIATE_TEST_SUITE_P(Flows, FaultSweepTest, ::testing::ValuesIn(kFlows),
                         [](const ::testing::TestParamInfo<Flow>& row) {
                           return row.param.name;
                         });

}  // namespace
}  // namespace vantor::testing
