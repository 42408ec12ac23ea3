// The Change action through the real token library against the simulated
// machine: what reaches the token's wire, and what the user is shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mode_change.h"
#include "sim/testing.h"

namespace vantor::tool {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;

class MessageLog final : public MessageSink {
 public:
  void Show(const std::string& utf8) override { messages.push_back(utf8); }
  std::vector<std::string> messages;
};

// The real calls, with a hook that runs before each one so a test can
// change the machine between the steps of one action.
class HookedApi final : public TokenApi {
 public:
  std::function<void(const char* call)> before = [](const char*) {};

  std::uint32_t ListDevices(VXContext* contexts,
                            std::uint32_t* length) override {
    before(contexts == nullptr ? "size query" : "list");
    return real_.ListDevices(contexts, length);
  }
  std::uint32_t OpenDevice(VXContext* context) override {
    before("open");
    return real_.OpenDevice(context);
  }
  std::uint32_t CloseDevice(VXContext* context) override {
    before("close");
    return real_.CloseDevice(context);
  }
  std::uint32_t Control(VXContext* context, std::uint32_t code,
                        const std::uint8_t* input, std::uint32_t inputLength,
                        std::uint8_t* output, std::uint32_t outputCapacity,
                        std::uint32_t* returnedLength) override {
    before("control");
    return real_.Control(context, code, input, inputLength, output,
                         outputCapacity, returnedLength);
  }

 private:
  VxTokenApi real_;
};

// The mode-change requests (request code 7) that crossed the wire.
std::vector<sim::WireRecord> ModeRequests(const sim::TestMachine& machine) {
  std::vector<sim::WireRecord> found;
  for (const sim::WireRecord& r : machine.Wire()) {
    const bool hid = r.kind == sim::WireRecord::Kind::HidSetFeature &&
                     r.data.size() > 2 && r.data[0] == 0x80 && r.data[2] == 7;
    const bool driver = r.kind == sim::WireRecord::Kind::DeviceIoControl &&
                        (r.code == 0x220028 || r.code == 0x22000C) &&
                        r.data.size() >= 8 && r.data[1] == 1 && r.data[2] == 7;
    if (hid || driver) found.push_back(r);
  }
  return found;
}

class ModeChangeSimTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Install(); }

  sim::TestMachine machine_;
  VxTokenApi api_;
  MessageLog log_;
};

TEST_F(ModeChangeSimTest, NoTokenShowsNotFoundAndOpensNothing) {
  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kNoDevice);
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));
  EXPECT_EQ(machine_.Counters().opens, 0);
}

struct WireCase {
  sim::TokenMode tokenMode;
  TargetMode target;
  std::uint8_t modeByte;
};

class ModeChangeWireTest : public ModeChangeSimTest,
                           public ::testing::WithParamInterface<WireCase> {};

TEST_P(ModeChangeWireTest, SendsSixteenBytesWithTheModeByte) {
  const WireCase& c = GetParam();
  sim::TokenConfig config;
  config.mode = c.tokenMode;
  const sim::TokenId token = machine_.Plug(config);

  EXPECT_EQ(ModeChange(api_, log_, c.target), Outcome::kChanged);
  EXPECT_THAT(log_.messages, IsEmpty());

  const std::vector<sim::WireRecord> requests = ModeRequests(machine_);
  ASSERT_THAT(requests, SizeIs(1));
  const sim::WireRecord& r = requests[0];
  EXPECT_EQ(r.token, token);
  std::vector<std::uint8_t> data(16, 0);
  data[0] = c.modeByte;
  std::vector<std::uint8_t> expected;
  if (c.tokenMode == sim::TokenMode::Hid) {
    // Report 0x80 of 258 bytes: id, data length + 1, request code, data.
    expected = {0x80, 17, 7};
    expected.insert(expected.end(), data.begin(), data.end());
    expected.resize(258, 0);
    EXPECT_EQ(r.size, 258u);
  } else {
    // Header for control request 7 with 16 data bytes, then the data.
    expected = {0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x10, 0x00};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(r.size, 24u);
  }
  EXPECT_THAT(r.data, ElementsAreArray(expected));

  // The token was closed again.
  EXPECT_EQ(machine_.Counters().openFileHandles, 0);
  EXPECT_EQ(machine_.Token(token).openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    BothTokenModes, ModeChangeWireTest,
    ::testing::Values(WireCase{sim::TokenMode::Hid, TargetMode::kUsb, 0x00},
                      WireCase{sim::TokenMode::Hid, TargetMode::kHid, 0xAA},
                      WireCase{sim::TokenMode::Usb, TargetMode::kUsb, 0x00},
                      WireCase{sim::TokenMode::Usb, TargetMode::kHid, 0xAA}),
    [](const ::testing::TestParamInfo<WireCase>& param) {
      return std::string(param.param.tokenMode == sim::TokenMode::Hid
                             ? "HidToken"
                             : "UsbToken") +
             (param.param.target == TargetMode::kUsb ? "ToUsb" : "ToHid");
    });

TEST_F(ModeChangeSimTest, OnlyTheFirstOfTwoTokensIsChanged) {
  const sim::TokenId first = machine_.Plug({});
  const sim::TokenId second = machine_.Plug({});

  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kChanged);

  const std::vector<sim::WireRecord> requests = ModeRequests(machine_);
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].token, first);
  EXPECT_EQ(machine_.Token(first).pendingMode, sim::TokenMode::Usb);
  EXPECT_EQ(machine_.Token(second).pendingMode, std::nullopt);
}

TEST_F(ModeChangeSimTest, ChangesApplyAfterReplugBothWays) {
  const sim::TokenId token = machine_.Plug({});

  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kChanged);
  EXPECT_EQ(machine_.Token(token).mode, sim::TokenMode::Hid);
  machine_.Replug(token);
  EXPECT_EQ(machine_.Token(token).mode, sim::TokenMode::Usb);

  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kHid), Outcome::kChanged);
  machine_.Replug(token);
  EXPECT_EQ(machine_.Token(token).mode, sim::TokenMode::Hid);
  EXPECT_THAT(log_.messages, IsEmpty());
}

TEST_F(ModeChangeSimTest, OldTokenIsRefusedWithoutSendingAndClosed) {
  sim::TokenConfig config;
  config.version = 0x0220;
  const sim::TokenId token = machine_.Plug(config);

  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kControlFailed);
  EXPECT_THAT(log_.messages, ElementsAre("修改模式失败，错误代码<0x00006A81>"));
  EXPECT_THAT(ModeRequests(machine_), IsEmpty());
  EXPECT_EQ(machine_.Token(token).openHandles, 0);
}

TEST_F(ModeChangeSimTest, AfterAFailedChangeTheNextClickSucceeds) {
  sim::TokenConfig config;
  config.mode = sim::TokenMode::Usb;
  const sim::TokenId token = machine_.Plug(config);
  sim::TokenFaults faults;
  faults.refuseSingleCall = true;
  faults.driverReadFailures = 10;
  machine_.SetFaults(token, faults);

  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kHid), Outcome::kControlFailed);
  EXPECT_THAT(log_.messages, ElementsAre("修改模式失败，错误代码<0x00000003>"));
  EXPECT_EQ(machine_.Counters().openFileHandles, 0);

  machine_.SetFaults(token, sim::TokenFaults{});
  log_.messages.clear();
  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kHid), Outcome::kChanged);
  EXPECT_THAT(log_.messages, IsEmpty());
  EXPECT_EQ(machine_.Token(token).pendingMode, sim::TokenMode::Hid);
  EXPECT_EQ(machine_.Counters().openFileHandles, 0);
}

TEST_F(ModeChangeSimTest, TokenPluggedBetweenTheListingsFailsTheListing) {
  machine_.Plug({});
  HookedApi api;
  api.before = [this](const char* call) {
    if (std::string(call) == "list") machine_.Plug({});
  };
  EXPECT_EQ(ModeChange(api, log_, TargetMode::kUsb), Outcome::kListFailed);
  EXPECT_THAT(log_.messages, ElementsAre("列举设备失败，错误代码<0x00000011>"));
  EXPECT_EQ(machine_.Counters().openFileHandles, 0);
}

TEST_F(ModeChangeSimTest, TokenUnpluggedBetweenTheListingsIsNotFound) {
  const sim::TokenId token = machine_.Plug({});
  HookedApi api;
  std::vector<std::string> calls;
  api.before = [this, token, &calls](const char* call) {
    calls.emplace_back(call);
    if (calls.back() == "list") machine_.Unplug(token);
  };
  EXPECT_EQ(ModeChange(api, log_, TargetMode::kUsb), Outcome::kNoDevice);
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));
  EXPECT_THAT(calls, ElementsAre("size query", "list"));
}

TEST_F(ModeChangeSimTest, TokenUnpluggedBeforeTheOpenFailsTheOpen) {
  const sim::TokenId token = machine_.Plug({});
  HookedApi api;
  api.before = [this, token](const char* call) {
    if (std::string(call) == "open") machine_.Unplug(token);
  };
  EXPECT_EQ(ModeChange(api, log_, TargetMode::kUsb), Outcome::kOpenFailed);
  EXPECT_THAT(log_.messages, ElementsAre("连接设备失败，错误代码<0x00000005>"));
  EXPECT_EQ(machine_.Counters().openFileHandles, 0);
}

}  // namespace
}  // namespace vantor::tool
