// The public calls against the simulated machine: results, context and table
// state, and the bytes on the wire.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "vantor/fixture.h"

namespace vantor::testing {
namespace {

using sim::WireRecord;

constexpr std::uint32_t kContextSize = sizeof(VXContext);
constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

using ListingTest = MachineTest;
using OpenTest = MachineTest;
using ControlTest = MachineTest;

// An ATR of `historical` bytes without interface bytes: version 0x0230 in
// H1 H2, then H3.. counting up from 0x10.
std::vector<std::uint8_t> PlainAtr(std::uint8_t historical) {
  std::vector<std::uint8_t> atr{0x3B, historical};
  for (std::uint8_t i = 0; i < historical; ++i) {
    atr.push_back(i == 1   ? 0x02
                  : i == 2 ? 0x30
                           : static_cast<std::uint8_t>(0x10 + i));
  }
  return atr;
}

TEST_F(ListingTest, WithoutTokensListsNothing) {
  std::uint32_t length = 0;
  EXPECT_EQ(VXListDevices(nullptr, &length), VX_SUCCESS);
  EXPECT_EQ(length, 0u);

  VXContext context{};
  length = kContextSize;
  EXPECT_EQ(VXListDevices(&context, &length), VX_SUCCESS);
  EXPECT_EQ(length, 0u);

  EXPECT_EQ(VXListDevices(&context, nullptr), VX_INVALID_PARAMETER);
}

TEST_F(ListingTest, LengthRules) {
  machine().Plug(Token(TokenMode::Hid));
  machine().Plug(Token(TokenMode::Usb));

  const struct {
    bool array;
    std::uint32_t given;
    std::uint32_t result;
  } cases[] = {
      {false, 0, VX_BUFFER_TOO_SMALL},   // size query
      {true, 92, VX_BUFFER_TOO_SMALL},   // room for one of two
      {true, 183, VX_BUFFER_TOO_SMALL},  // one byte short
      {true, 184, VX_SUCCESS},           // exactly two
      {true, 3 * 92, VX_SUCCESS},        // more than enough
      {false, 184, VX_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    std::array<VXContext, 3> contexts;
    std::memset(contexts.data(), 0xA5, sizeof(contexts));
    std::uint32_t length = c.given;
    EXPECT_EQ(VXListDevices(c.array ? contexts.data() : nullptr, &length),
              c.result);
    EXPECT_EQ(length, c.result == VX_INVALID_PARAMETER ? c.given : 184u);
    const std::size_t filled = c.result == VX_SUCCESS ? 2 : 0;
    for (std::size_t i = 0; i < contexts.size(); ++i) {
      EXPECT_EQ(contexts[i].dwIndex == kUntouched, i >= filled) << i;
    }
  }
}

TEST_F(ListingTest, FillsOneContextPerTokenInTableOrder) {
  TokenConfig hid = Token(TokenMode::Hid, 0x0230);
  hid.deviceId = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  TokenConfig usb = Token(TokenMode::Usb, 0x0251);
  machine().Plug(usb);
  machine().Plug(hid);

  const std::vector<VXContext> contexts = List();
  ASSERT_EQ(contexts.size(), 2u);
  const struct {
    const TokenConfig& config;
    std::uint32_t version;
  } expected[] = {{hid, 0x00020300}, {usb, 0x00020501}};  // HID found first
  for (std::uint32_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const VXContext& context = contexts[i];
    const std::vector<std::uint8_t> atr = sim::DefaultAtr(
        expected[i].config.version, expected[i].config.deviceId);
    EXPECT_EQ(context.dwIndex, i);
    EXPECT_EQ(context.dwVersion, expected[i].version);
    EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
    EXPECT_EQ(context.dwReserved1, 2u);
    EXPECT_EQ(context.dwProtocols, 4u);
    EXPECT_EQ(context.dwReserved2, 24000u);
    ASSERT_EQ(context.dwAtrLength, atr.size());
    EXPECT_TRUE(std::equal(atr.begin(), atr.end(), context.bAtr));
    EXPECT_TRUE(std::equal(std::begin(context.bDeviceId),
                           std::end(context.bDeviceId),
                           expected[i].config.deviceId.begin()));
  }
}

TEST_F(ListingTest, DeviceIdAndVersionFromTheAtr) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> atr;
    std::uint32_t version;
    std::array<std::uint8_t, 8> deviceId;
  } cases[] = {
      {"15 historical bytes",
       PlainAtr(15),
       0x00020300,
       {0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E}},
      {"7 historical bytes", PlainAtr(7), 0x00020300, {}},
      {"5 historical bytes", PlainAtr(5), 0x00020300, {}},
      {"10 historical bytes",
       PlainAtr(10),
       0x00020300,
       {0x17, 0x18, 0x19, 0, 0, 0, 0, 0}},
      {"default with interface bytes",
       sim::DefaultAtr(0x0200, {9, 8, 7, 6, 5, 4, 3, 2}),
       0x00020000,
       {9, 8, 7, 6, 5, 4, 3, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    machine().Plug(TokenWithAtr(c.atr));
    const std::vector<VXContext> contexts = List();
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_EQ(contexts[0].dwVersion, c.version);
    EXPECT_EQ(contexts[0].dwAtrLength, c.atr.size());
    EXPECT_TRUE(std::equal(std::begin(contexts[0].bDeviceId),
                           std::end(contexts[0].bDeviceId),
                           c.deviceId.begin()));
  }
}

TEST_F(ListingTest, AtrLongerThanTheContextAreaIsCut) {
  for (std::size_t size : {56u, 60u, 70u}) {
    SCOPED_TRACE(size);
    Start(OsVersion::WindowsXp);
    std::vector<std::uint8_t> atr =
        sim::DefaultAtr(0x0230, {1, 2, 3, 4, 5, 6, 7, 8});
    for (std::size_t i = atr.size(); i < size; ++i) {
      atr.push_back(static_cast<std::uint8_t>(i));
    }
    machine().Plug(TokenWithAtr(atr));
    const std::vector<VXContext> contexts = List();
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_EQ(contexts[0].dwAtrLength, 56u);
    EXPECT_TRUE(std::equal(atr.begin(), atr.begin() + 56, contexts[0].bAtr));
    EXPECT_EQ(contexts[0].dwVersion, 0x00020300u);
  }
}

TEST_F(OpenTest, RefusesContextsThatAreNotOpenable) {
  machine().Plug(Token(TokenMode::Usb, 0x0130));  // version 1.3.0
  machine().Plug(Token(TokenMode::Usb));
  const std::vector<VXContext> contexts = List();
  ASSERT_EQ(contexts.size(), 2u);
  EXPECT_EQ(contexts[0].dwVersion, 0x00010300u);
  const int opens = machine().Counters().opens;  // the ATR reads' opens

  VXContext noIndex = contexts[1];
  noIndex.dwIndex = 127;
  VXContext noAtr = contexts[1];
  noAtr.dwAtrLength = 0;
  VXContext freeEntry = contexts[1];
  freeEntry.dwIndex = 5;
  const struct {
    const char* name;
    VXContext context;
  } cases[] = {{"version 1.x", contexts[0]},
               {"index 127", noIndex},
               {"no ATR", noAtr},
               {"free entry", freeEntry}};
  const VXOpenInfo shared{8, 1};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VXContext context = c.context;
    EXPECT_EQ(VXOpenDevice(&context), VX_INVALID_PARAMETER);
    EXPECT_EQ(VXOpenDeviceEx(&context, &shared), VX_INVALID_PARAMETER);
    EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
  }
  EXPECT_EQ(VXOpenDevice(nullptr), VX_INVALID_PARAMETER);
  EXPECT_EQ(VXOpenDeviceEx(nullptr, &shared), VX_INVALID_PARAMETER);
  EXPECT_EQ(machine().Counters().opens, opens);
}

TEST_F(OpenTest, RefusesMalformedOpenInfo) {
  machine().Plug(Token(TokenMode::Usb));
  VXContext context = List().at(0);
  const int opens = machine().Counters().opens;
  const VXOpenInfo infos[] = {{12, 1}, {0, 0}, {8, 2}, {8, 0xFFFFFFFFu}};
  for (const VXOpenInfo& info : infos) {
    SCOPED_TRACE(::testing::Message()
                 << info.dwSize << "/" << info.dwShareMode);
    EXPECT_EQ(VXOpenDeviceEx(&context, &info), VX_INVALID_PARAMETER);
  }
  EXPECT_EQ(VXOpenDeviceEx(&context, nullptr), VX_INVALID_PARAMETER);
  EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
  EXPECT_EQ(machine().Counters().opens, opens);
}

TEST_F(OpenTest, ProtocolsWithoutFourAreRefused) {
  machine().Plug(Token(TokenMode::Usb));
  VXContext context = List().at(0);
  context.dwProtocols = 3;
  const int opens = machine().Counters().opens;
  EXPECT_EQ(VXOpenDevice(&context), VX_PROTOCOL_MISMATCH);
  EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
  EXPECT_EQ(machine().Counters().opens, opens);
}

TEST_F(OpenTest, ShareModeConflicts) {
  machine().Plug(Token(TokenMode::Usb));
  const struct {
    std::uint32_t first;
    std::uint32_t second;
    std::uint32_t result;
  } cases[] = {{0, 0, VX_DEVICE_BUSY},
               {0, 1, VX_DEVICE_BUSY},
               {1, 0, VX_DEVICE_BUSY},
               {1, 1, VX_SUCCESS}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.first << " then " << c.second);
    VXContext first = List().at(0);
    VXContext second = first;
    const VXOpenInfo firstInfo{8, c.first};
    const VXOpenInfo secondInfo{8, c.second};
    ASSERT_EQ(VXOpenDeviceEx(&first, &firstInfo), VX_SUCCESS);
    EXPECT_EQ(VXOpenDeviceEx(&second, &secondInfo), c.result);
    EXPECT_EQ(Entry(first).dwOpenCount, c.result == VX_SUCCESS ? 2 : 1);
    EXPECT_EQ(machine().Counters().openFileHandles, 1);
    if (c.result == VX_SUCCESS) {
      EXPECT_EQ(second.hDevice, first.hDevice);
      EXPECT_EQ(VXCloseDevice(&second), VX_SUCCESS);
    } else {
      EXPECT_EQ(second.hDevice, 0xFFFFFFFFu);  // a failed open leaves it
    }
    EXPECT_EQ(VXCloseDevice(&first), VX_SUCCESS);
  }
  // VXOpenDevice opens shared.
  VXContext first = List().at(0);
  VXContext second = first;
  const VXOpenInfo exclusive{8, 0};
  ASSERT_EQ(VXOpenDeviceEx(&first, &exclusive), VX_SUCCESS);
  EXPECT_EQ(VXOpenDevice(&second), VX_DEVICE_BUSY);
  EXPECT_EQ(VXCloseDevice(&first), VX_SUCCESS);
}

TEST_F(OpenTest, SharedOpensShareOneHandleUntilTheLastClose) {
  machine().Plug(Token(TokenMode::Usb));
  VXContext first = List().at(0);
  VXContext second = first;
  const sim::MachineCounters listed = machine().Counters();
  ASSERT_EQ(VXOpenDevice(&first), VX_SUCCESS);
  ASSERT_EQ(VXOpenDevice(&second), VX_SUCCESS);
  EXPECT_NE(first.hDevice, 0xFFFFFFFFu);
  EXPECT_EQ(second.hDevice, first.hDevice);
  EXPECT_EQ(machine().Counters().opens, listed.opens + 1);
  EXPECT_EQ(Entry(first).dwOpenCount, 2);
  EXPECT_EQ(device::MonitorUsers(), 1);

  EXPECT_EQ(VXCloseDevice(&first), VX_SUCCESS);
  EXPECT_EQ(first.hDevice, 0xFFFFFFFFu);
  EXPECT_EQ(machine().Counters().openFileHandles, 1);
  EXPECT_EQ(Entry(second).dwOpenCount, 1);
  EXPECT_EQ(device::MonitorUsers(), 1);

  EXPECT_EQ(VXCloseDevice(&second), VX_SUCCESS);
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
  EXPECT_EQ(machine().Counters().closes, listed.closes + 1);
  EXPECT_EQ(Entry(second).hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Entry(second).dwOpenCount, 0);

  // A closed context opens again without a new listing.
  ASSERT_EQ(VXOpenDevice(&first), VX_SUCCESS);
  EXPECT_EQ(VXCloseDevice(&first), VX_SUCCESS);
}

TEST_F(ControlTest, ClosedContextIsRefusedForEveryCode) {
  machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  ASSERT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
  machine().ClearWire();

  std::uint8_t block[64] = {};
  for (std::uint32_t code : {2u, 4u, 7u, 8u, 40u, 3u}) {
    SCOPED_TRACE(code);
    std::uint32_t returned = kUntouched;
    EXPECT_EQ(
        VXControl(&context, code, block, 16, block, sizeof(block), &returned),
        VX_INVALID_PARAMETER);
    EXPECT_EQ(returned, kUntouched);
  }
  EXPECT_EQ(VXCloseDevice(&context), VX_INVALID_PARAMETER);
  // A forged handle word of 0 is never open.
  context.hDevice = 0;
  EXPECT_EQ(VXControl(&context, 4, nullptr, 0, nullptr, 0, nullptr),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(VXControl(nullptr, 4, nullptr, 0, nullptr, 0, nullptr),
            VX_INVALID_PARAMETER);
  EXPECT_TRUE(machine().Wire().empty());
}

TEST_F(ControlTest, UnknownCodesAreRefusedWithoutSending) {
  machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  machine().ClearWire();
  std::uint8_t block[16] = {};
  for (std::uint32_t code : {0u, 1u, 3u, 5u, 6u, 9u, 51u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    std::uint32_t returned = kUntouched;
    EXPECT_EQ(
        VXControl(&context, code, block, 1, block, sizeof(block), &returned),
        VX_INVALID_PARAMETER);
    EXPECT_EQ(returned, kUntouched);
  }
  EXPECT_TRUE(machine().Wire().empty());
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_F(ControlTest, ModeChangeBefore230IsRefusedWithoutSending) {
  machine().Plug(Token(TokenMode::Hid, 0x0229));
  VXContext context = OpenFirst();
  machine().ClearWire();
  std::uint8_t block[251] = {0x00};
  std::uint32_t returned = kUntouched;
  EXPECT_EQ(VXControl(&context, VX_SET_DEVICE_MODE, block, 16, block,
                      sizeof(block), &returned),
            0x6A81u);
  EXPECT_EQ(returned, kUntouched);
  EXPECT_TRUE(machine().Wire().empty());
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_F(ControlTest, ModeChangeWithOneBlockForInputAndOutput) {
  const struct {
    TokenMode mode;
    std::uint8_t modeByte;
    std::uint32_t inputLength;  // the tool sends 16 bytes
    TokenMode pending;
  } cases[] = {{TokenMode::Hid, 0x00, 1, TokenMode::Usb},
               {TokenMode::Usb, 0xAA, 1, TokenMode::Hid},
               {TokenMode::Hid, 0x00, 16, TokenMode::Usb},
               {TokenMode::Usb, 0xAA, 16, TokenMode::Hid}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << int{c.modeByte} << "/" << c.inputLength);
    Start(OsVersion::WindowsXp);
    const sim::TokenId token = machine().Plug(Token(c.mode));
    VXContext context = OpenFirst();
    machine().ClearWire();

    std::uint8_t block[251] = {};
    block[0] = c.modeByte;
    std::uint32_t returned = kUntouched;
    ASSERT_EQ(VXControl(&context, VX_SET_DEVICE_MODE, block, c.inputLength,
                        block, sizeof(block), &returned),
              VX_SUCCESS);
    EXPECT_EQ(returned, 0u);  // the token answers nothing
    EXPECT_EQ(machine().Token(token).pendingMode, c.pending);

    // The request carried the input bytes, mode byte first.
    const std::vector<WireRecord> wire = machine().Wire();
    ASSERT_FALSE(wire.empty());
    const WireRecord& request = wire.front();
    std::vector<std::uint8_t> data(c.inputLength, 0);
    data[0] = c.modeByte;
    const auto length = static_cast<std::uint8_t>(c.inputLength);
    if (c.mode == TokenMode::Hid) {
      ASSERT_EQ(request.kind, WireRecord::Kind::HidSetFeature);
      ASSERT_EQ(request.data.size(), 258u);
      EXPECT_EQ(request.data[0], 0x80);
      EXPECT_EQ(request.data[1], length + 1);  // data and request code
      EXPECT_EQ(request.data[2], 7);
      EXPECT_TRUE(
          std::equal(data.begin(), data.end(), request.data.begin() + 3));
    } else {
      ASSERT_EQ(request.kind, WireRecord::Kind::DeviceIoControl);
      ASSERT_EQ(request.data.size(), c.inputLength + 8);
      const std::vector<std::uint8_t> header{0x40, 1, 7, 0, 0, 0, length, 0};
      EXPECT_TRUE(
          std::equal(header.begin(), header.end(), request.data.begin()));
      EXPECT_TRUE(
          std::equal(data.begin(), data.end(), request.data.begin() + 8));
    }
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

TEST_F(ControlTest, ResetRefreshesTheDeviceId) {
  const sim::TokenId token = machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  const std::array<std::uint8_t, 8> newId{0xA0, 0xA1, 0xA2, 0xA3,
                                          0xA4, 0xA5, 0xA6, 0xA7};
  machine().SetAtr(token, sim::DefaultAtr(0x0230, newId));

  std::uint32_t returned = kUntouched;
  ASSERT_EQ(
      VXControl(&context, VX_RESET_DEVICE, nullptr, 0, nullptr, 0, &returned),
      VX_SUCCESS);
  EXPECT_EQ(returned, context.dwAtrLength);
  EXPECT_TRUE(std::equal(newId.begin(), newId.end(), context.bDeviceId));
  // bAtr itself keeps the listed ATR.
  const std::vector<std::uint8_t> listed =
      sim::DefaultAtr(0x0230, TokenConfig{}.deviceId);
  EXPECT_TRUE(std::equal(listed.begin(), listed.end(), context.bAtr));

  // An ATR of another length fails the reset and keeps the context.
  std::vector<std::uint8_t> longer =
      sim::DefaultAtr(0x0230, {1, 1, 1, 1, 1, 1, 1, 1});
  longer.push_back(0x00);
  machine().SetAtr(token, longer);
  const VXContext before = context;
  returned = kUntouched;
  EXPECT_EQ(
      VXControl(&context, VX_RESET_DEVICE, nullptr, 0, nullptr, 0, &returned),
      VX_ATR_CHANGED);
  EXPECT_EQ(returned, kUntouched);
  EXPECT_EQ(std::memcmp(&before, &context, sizeof(context)), 0);

  // An ATR longer than the library's 56-byte area.
  longer.resize(60, 0x00);
  machine().SetAtr(token, longer);
  EXPECT_EQ(
      VXControl(&context, VX_RESET_DEVICE, nullptr, 0, nullptr, 0, &returned),
      VX_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, kUntouched);
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_F(ControlTest, DeviceExchangesCheckTheCapacityAndDiscardTheResponse) {
  machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  const std::uint8_t data[] = {0x0A, 0x0B, 0x0C};
  const struct {
    std::uint32_t code;
    const std::uint8_t* input;
    std::uint32_t inputLength;
    std::uint8_t requestCode;  // on the wire
    std::uint32_t responseLength;
  } cases[] = {
      {VX_CONTROL_TYPE_4, nullptr, 0, 4, 2},
      {VX_CONTROL_TYPE_8, nullptr, 0, 5, 2},
      {VX_CONTROL_TYPE_4_DATA, data, 3, 6, 3},  // the token echoes the data
      {VX_CONTROL_TYPE_4_DATA, data, 0, 4, 2},  // no data: as code 4
      {VX_CONTROL_TYPE_4_DATA, nullptr, 3, 4, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.code << "/" << c.inputLength);
    for (std::uint32_t capacity : {c.responseLength, c.responseLength - 1}) {
      SCOPED_TRACE(capacity);
      machine().ClearWire();
      std::uint8_t output[8];
      std::memset(output, 0xEE, sizeof(output));
      std::uint32_t returned = kUntouched;
      const std::uint32_t result =
          VXControl(&context, c.code, c.input, c.inputLength, output, capacity,
                    &returned);
      if (capacity >= c.responseLength) {
        EXPECT_EQ(result, VX_SUCCESS);
        EXPECT_EQ(returned, c.responseLength);
      } else {
        EXPECT_EQ(result, VX_BUFFER_TOO_SMALL);
        EXPECT_EQ(returned, kUntouched);  // only code 7 tells the length
      }
      EXPECT_EQ(output[0], 0xEE);  // the response is not handed out

      const std::vector<WireRecord> wire = machine().Wire();
      ASSERT_EQ(wire.size(), 1u);
      ASSERT_GE(wire[0].data.size(), 8u);
      EXPECT_EQ(wire[0].data[2], c.requestCode);
    }
  }
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_F(ControlTest, TransportFailureIsACommError) {
  const sim::TokenId token = machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  sim::TokenFaults faults;
  faults.stopsAnswering = true;
  machine().SetFaults(token, faults);
  for (std::uint32_t code : {2u, 4u, 7u, 8u, 40u}) {
    SCOPED_TRACE(code);
    std::uint8_t block[16] = {};
    std::uint32_t returned = kUntouched;
    EXPECT_EQ(
        VXControl(&context, code, block, 1, block, sizeof(block), &returned),
        VX_COMM_ERROR);
    EXPECT_EQ(returned, kUntouched);
  }
  machine().SetFaults(token, sim::TokenFaults{});
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

}  // namespace
}  // namespace vantor::testing
