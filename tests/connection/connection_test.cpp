// The connection layer over the simulated machine.
#include "connection/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/testing.h"
#include "sim/testing.h"

namespace vantor::connection {
namespace {

using Machine = sim::TestMachine;
using sim::TokenMode;
using sim::WireRecord;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.Install();
    device::InitDeviceTable();
  }
  void TearDown() override {
    EXPECT_EQ(machine_.Counters().openFileHandles, 0);
    EXPECT_EQ(device::MonitorUsers(), 0);
    // A monitor thread that ended by itself may still be cleaning up.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (machine_.Counters().threadsRunning != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(machine_.Counters().threadsRunning, 0);
  }

  // Plugs one token, lists it and connects it shared.
  VXContext Connected(TokenMode mode = TokenMode::Usb) {
    sim::TokenConfig config;
    config.mode = mode;
    token_ = machine_.Plug(config);
    std::uint32_t length = sizeof(VXContext);
    VXContext context{};
    EXPECT_EQ(SlotList(&context, &length), VX_SUCCESS);
    EXPECT_EQ(length, sizeof(VXContext));
    EXPECT_EQ(SlotConnect(&context, 1, kProtocol, nullptr), VX_SUCCESS);
    machine_.ClearWire();
    return context;
  }

  static device::SlotEntry Entry(const VXContext& context) {
    return device::testing::CopyOfEntry(context.dwIndex);
  }

  Machine machine_;
  sim::TokenId token_ = -1;
};

TEST(HandleWords, RoundTrip) {
  const struct {
    HANDLE handle;
    std::uint32_t word;
  } cases[] = {
      {INVALID_HANDLE_VALUE, 0xFFFFFFFFu},
      {reinterpret_cast<HANDLE>(std::uintptr_t{0x1234}), 0x1234u},
      {reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFFFFFC}), 0x7FFFFFFCu},
      {reinterpret_cast<HANDLE>(std::intptr_t{-8}), 0xFFFFFFF8u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HandleToContextWord(c.handle), c.word);
    EXPECT_EQ(ContextWordToHandle(c.word), c.handle);
  }
}

TEST_F(ConnectionTest, ConnectRules) {
  VXContext context = Connected();
  EXPECT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);

  std::uint32_t active = kUntouched;
  EXPECT_EQ(SlotConnect(&context, 1, 3, &active), VX_PROTOCOL_MISMATCH);
  EXPECT_EQ(active, kProtocol);
  EXPECT_EQ(context.hDevice, kNoHandle);

  active = kUntouched;
  EXPECT_EQ(SlotConnect(&context, 0, 0x7, &active), VX_SUCCESS);
  EXPECT_EQ(active, kProtocol);
  EXPECT_EQ(Entry(context).hDevice, ContextWordToHandle(context.hDevice));
  EXPECT_EQ(Entry(context).dwShareMode, 0u);

  // A failed disconnect leaves everything as it was.
  VXContext other = context;
  other.hDevice = context.hDevice + 4;
  EXPECT_EQ(SlotDisconnect(&other, 0), VX_INVALID_PARAMETER);
  other.hDevice = kNoHandle;
  EXPECT_EQ(SlotDisconnect(&other, 0), VX_INVALID_PARAMETER);
  EXPECT_EQ(Entry(context).dwOpenCount, 1);
  EXPECT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
  EXPECT_EQ(SlotDisconnect(&context, 0), VX_INVALID_PARAMETER);
}

TEST_F(ConnectionTest, FailedOpenLeavesTheEntryClosed) {
  VXContext context = Connected();
  ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
  sim::TokenFaults faults;
  faults.openFailures = 1;
  machine_.SetFaults(token_, faults);
  EXPECT_EQ(SlotConnect(&context, 1, kProtocol, nullptr), VX_DEVICE_BUSY);
  EXPECT_EQ(context.hDevice, kNoHandle);
  EXPECT_EQ(Entry(context).hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Entry(context).dwOpenCount, 0);
  EXPECT_EQ(device::MonitorUsers(), 0);
}

TEST_F(ConnectionTest, TransmitLengths) {
  VXContext context = Connected();
  const struct {
    std::uint32_t length;
    std::uint32_t result;
  } cases[] = {{0, VX_INVALID_PARAMETER},
               {4, VX_INVALID_PARAMETER},
               {5, VX_SUCCESS},
               {255, VX_SUCCESS},
               {256, VX_INVALID_PARAMETER}};
  std::vector<std::uint8_t> apdu(256);
  for (std::size_t i = 0; i < apdu.size(); ++i) {
    apdu[i] = static_cast<std::uint8_t>(i);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    machine_.ClearWire();
    std::uint8_t response[256];
    std::uint32_t responseLength = sizeof(response);
    EXPECT_EQ(SlotTransmit(&context, apdu.data(), c.length, response,
                           &responseLength),
              c.result);
    const std::vector<WireRecord> wire = machine_.Wire();
    if (c.result != VX_SUCCESS) {
      EXPECT_TRUE(wire.empty());
      EXPECT_EQ(responseLength, sizeof(response));
      continue;
    }
    // The single-call exchange carries the header and the APDU.
    ASSERT_EQ(wire.size(), 1u);
    ASSERT_EQ(wire[0].data.size(), c.length + 8);
    EXPECT_TRUE(std::equal(apdu.begin(), apdu.begin() + c.length,
                           wire[0].data.begin() + 8));
    EXPECT_EQ(responseLength, wire[0].output.size());
    EXPECT_TRUE(
        std::equal(wire[0].output.begin(), wire[0].output.end(), response));
  }
  ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
}

TEST_F(ConnectionTest, TransmitBuffersAndFailures) {
  VXContext context = Connected(TokenMode::Hid);
  const std::uint8_t apdu[5] = {0x00, 0xA4, 0x00, 0x00, 0x00};
  std::uint8_t response[4];
  std::uint32_t responseLength = sizeof(response);
  EXPECT_EQ(SlotTransmit(&context, nullptr, 5, response, &responseLength),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(SlotTransmit(&context, apdu, 5, nullptr, &responseLength),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(SlotTransmit(&context, apdu, 5, response, nullptr),
            VX_INVALID_PARAMETER);
  EXPECT_TRUE(machine_.Wire().empty());

  // The answer is the status word 67 00 (a select needs P3 = 02): one byte
  // of room is too little.
  responseLength = 1;
  EXPECT_EQ(SlotTransmit(&context, apdu, 5, response, &responseLength),
            VX_BUFFER_TOO_SMALL);
  EXPECT_EQ(responseLength, 2u);
  EXPECT_EQ(SlotTransmit(&context, apdu, 5, response, &responseLength),
            VX_SUCCESS);
  EXPECT_EQ(responseLength, 2u);
  EXPECT_EQ(response[0], 0x67);
  EXPECT_EQ(response[1], 0x00);

  sim::TokenFaults faults;
  faults.stopsAnswering = true;
  machine_.SetFaults(token_, faults);
  response[0] = 0;
  responseLength = sizeof(response);
  EXPECT_EQ(SlotTransmit(&context, apdu, 5, response, &responseLength),
            VX_COMM_ERROR);
  EXPECT_EQ(responseLength, sizeof(response));
  EXPECT_EQ(response[0], 0);
  machine_.SetFaults(token_, sim::TokenFaults{});

  VXContext closed = context;
  ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
  EXPECT_EQ(SlotTransmit(&closed, apdu, 5, response, &responseLength),
            VX_INVALID_PARAMETER);
}

TEST_F(ConnectionTest, ControlResponseRules) {
  VXContext context = Connected();
  const std::uint32_t atrLength = context.dwAtrLength;
  std::uint8_t output[64];
  const struct {
    const char* name;
    std::int32_t type;  // 7: empty response; 2: the ATR
    std::uint8_t* output;
    std::uint32_t capacity;
    bool withLength;
    std::uint32_t result;
    std::uint32_t returned;  // kUntouched: left as it was
    bool copied;
  } cases[] = {
      {"empty response", 7, output, 64, true, VX_SUCCESS, kUntouched, false},
      {"response fits", 2, output, 64, true, VX_SUCCESS, atrLength, true},
      {"exact fit", 2, output, atrLength, true, VX_SUCCESS, atrLength, true},
      {"one byte short", 2, output, atrLength - 1, true, VX_BUFFER_TOO_SMALL,
       atrLength, false},
      {"capacity 0 without length", 2, output, 0, false, VX_SUCCESS, kUntouched,
       false},
      {"no output", 2, nullptr, 64, true, VX_INVALID_PARAMETER, kUntouched,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::memset(output, 0xEE, sizeof(output));
    std::uint32_t returned = kUntouched;
    const std::uint8_t data[1] = {0x55};
    EXPECT_EQ(SlotControl(&context, c.type, c.type == 7 ? data : nullptr,
                          c.type == 7 ? 1 : 0, c.output, c.capacity,
                          c.withLength ? &returned : nullptr),
              c.result);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(output[0] == 0x3B, c.copied);
  }

  // Data the transports cannot carry is refused before anything is sent.
  machine_.ClearWire();
  std::vector<std::uint8_t> tooLong(256, 0);
  EXPECT_EQ(SlotControl(&context, 4, tooLong.data(), 256, output,
                        sizeof(output), nullptr),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(
      SlotControl(&context, 4, nullptr, 3, output, sizeof(output), nullptr),
      VX_INVALID_PARAMETER);
  EXPECT_TRUE(machine_.Wire().empty());
  ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
}

TEST_F(ConnectionTest, ControlDataLimitsOfEachTransport) {
  const struct {
    TokenMode mode;
    std::uint32_t length;
    std::uint32_t result;
  } cases[] = {{TokenMode::Usb, 255, VX_SUCCESS},
               {TokenMode::Usb, 256, VX_INVALID_PARAMETER},
               {TokenMode::Hid, 254, VX_SUCCESS},
               {TokenMode::Hid, 255, VX_INVALID_PARAMETER}};
  std::vector<std::uint8_t> data(256, 0x42);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << static_cast<int>(c.mode) << "/" << c.length);
    VXContext context = Connected(c.mode);
    std::uint8_t output[256] = {};
    std::uint32_t returned = kUntouched;
    // Type 4 with data: the token echoes the data.
    EXPECT_EQ(SlotControl(&context, 4, data.data(), c.length, output,
                          sizeof(output), &returned),
              c.result);
    if (c.result == VX_SUCCESS) {
      EXPECT_EQ(returned, c.length);
      EXPECT_EQ(output[c.length - 1], 0x42);
    } else {
      EXPECT_EQ(returned, kUntouched);
      EXPECT_TRUE(machine_.Wire().empty());
    }
    ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
    machine_.Unplug(token_);
  }
}

TEST_F(ConnectionTest, FreedEntryRefusesItsConnections) {
  VXContext context = Connected();
  ASSERT_EQ(device::MonitorUsers(), 1);
  // The monitor hears of removals once its window is registered.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (machine_.Counters().notifications == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  machine_.Unplug(token_);  // the monitor frees the entry
  EXPECT_EQ(device::MonitorUsers(), 0);
  std::uint8_t output[8];
  const std::uint8_t apdu[5] = {};
  std::uint32_t responseLength = sizeof(output);
  EXPECT_EQ(
      SlotControl(&context, 4, nullptr, 0, output, sizeof(output), nullptr),
      VX_INVALID_PARAMETER);
  EXPECT_EQ(SlotTransmit(&context, apdu, 5, output, &responseLength),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(SlotDisconnect(&context, 0), VX_INVALID_PARAMETER);
  EXPECT_EQ(SlotConnect(&context, 1, kProtocol, nullptr), VX_INVALID_PARAMETER);
  EXPECT_EQ(device::MonitorUsers(), 0);
}

// A context reaches a device only with the entry's present opening: its
// handle and serial number as the connect gave them. Altered copies, copies
// kept from an earlier opening (whose handle value a new opening may get
// again) and words that name no opening are refused unsent, on both
// transports.
TEST_F(ConnectionTest, OnlyThePresentOpeningReachesTheDevice) {
  struct Alteration {
    const char* name;
    void (*apply)(VXContext&);
  };
  const Alteration alterations[] = {
      {"other handle", [](VXContext& c) { c.hDevice += 4; }},
      {"kind bit of the serial", [](VXContext& c) { c.dwReserved2 ^= 1u; }},
      {"next serial", [](VXContext& c) { c.dwReserved2 += 2; }},
      {"serial 0", [](VXContext& c) { c.dwReserved2 = 0; }},
      {"handle 0, serial 0",
       [](VXContext& c) {
         c.hDevice = 0;
         c.dwReserved2 = 0;
       }},
      {"listing's words", [](VXContext& c) { c.dwReserved2 = kReserved2; }},
  };
  for (const TokenMode mode : {TokenMode::Hid, TokenMode::Usb}) {
    SCOPED_TRACE(mode == TokenMode::Hid ? "HID" : "USB");
    VXContext context = Connected(mode);
    std::uint8_t output[256];
    const std::uint8_t apdu[5] = {0x00, 0xA4, 0x00, 0x00, 0x00};
    // True when the context's control request and APDU were both refused
    // with nothing sent.
    auto refused = [&](VXContext& c) {
      machine_.ClearWire();
      std::uint32_t length = sizeof(output);
      return SlotControl(&c, 4, nullptr, 0, output, sizeof(output), nullptr) ==
                 VX_INVALID_PARAMETER &&
             SlotTransmit(&c, apdu, sizeof(apdu), output, &length) ==
                 VX_INVALID_PARAMETER &&
             machine_.Wire().empty();
    };
    for (const Alteration& alteration : alterations) {
      SCOPED_TRACE(alteration.name);
      VXContext altered = context;
      alteration.apply(altered);
      EXPECT_TRUE(refused(altered));
    }
    EXPECT_EQ(
        SlotControl(&context, 4, nullptr, 0, output, sizeof(output), nullptr),
        VX_SUCCESS);

    // Closed and opened again: the copy of the first opening stays out,
    // whatever handle value the second one got.
    VXContext stale = context;
    ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
    EXPECT_TRUE(refused(stale));
    ASSERT_EQ(SlotConnect(&context, 1, kProtocol, nullptr), VX_SUCCESS);
    EXPECT_TRUE(refused(stale));
    // A listed entry with no opening: handle 0 and serial 0 name nothing.
    ASSERT_EQ(SlotDisconnect(&context, 0), VX_SUCCESS);
    VXContext zero = context;
    zero.hDevice = 0;
    zero.dwReserved2 = 0;
    EXPECT_TRUE(refused(zero));
    machine_.Unplug(token_);
  }
}

}  // namespace
}  // namespace vantor::connection
