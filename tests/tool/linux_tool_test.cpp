// The Change action through the whole library on the Linux system, with a
// scripted HID bus standing in for hidraw.
#ifdef VANTOR_HAVE_LINUX_SYSTEM

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "../os/linux_fake_hid.h"
#include "mode_change.h"
#include "os/linux/linux_system.h"
#include "os/system.h"

namespace vantor::tool {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// 3B DF, TA1 TC1 TD1, then 15 historical bytes: version 2.3.0.
const std::vector<std::uint8_t> kAtr = {
    0x3B, 0xDF, 0x00, 0x00, 0x00, 0x56, 0x02, 0x30, 0x00, 0x00,
    0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

class MessageLog final : public MessageSink {
 public:
  void Show(const std::string& utf8) override { messages.push_back(utf8); }
  std::vector<std::string> messages;
};

class LinuxToolTest : public ::testing::Test {
 protected:
  LinuxToolTest() {
    auto bus = std::make_unique<os::hidraw::fake::Bus>();
    bus_ = bus.get();
    system_ = std::make_unique<os::LinuxSystem>(std::move(bus));
  }
  void SetUp() override { os::SetCurrentSystem(system_.get()); }
  void TearDown() override { os::SetCurrentSystem(nullptr); }

  // The mode-change reports a node received.
  static std::vector<std::vector<std::uint8_t>> ModeReports(
      const os::hidraw::fake::Node& node) {
    std::vector<std::vector<std::uint8_t>> found;
    for (const auto& report : node.sent) {
      if (report.size() > 2 && report[0] == 0x80 && report[2] == 7) {
        found.push_back(report);
      }
    }
    return found;
  }

  os::hidraw::fake::Bus* bus_;
  std::unique_ptr<os::LinuxSystem> system_;
  VxTokenApi api_;
  MessageLog log_;
};

TEST_F(LinuxToolTest, NoHidrawNodeMeansNoDevice) {
  bus_->Add("/dev/hidraw0", 0x046D, 0xC077, 0x7200);  // a mouse
  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kNoDevice);
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));
  EXPECT_EQ(bus_->opens, 0);
}

TEST_F(LinuxToolTest, ChangesTheTokenAmongOtherHidDevices) {
  auto mouse = bus_->Add("/dev/hidraw0", 0x046D, 0xC077, 0x7200);
  auto token = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  os::hidraw::fake::ActAsToken(*token, kAtr);

  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kChanged);
  EXPECT_THAT(log_.messages, IsEmpty());

  EXPECT_THAT(mouse->sent, IsEmpty());
  const auto reports = ModeReports(*token);
  ASSERT_THAT(reports, SizeIs(1));
  std::vector<std::uint8_t> expected = {0x80, 17, 7};
  expected.resize(258, 0);
  EXPECT_THAT(reports[0], ElementsAreArray(expected));

  // Closed again, and the removal monitor that the open started has ended.
  EXPECT_EQ(token->openNow, 0);
  EXPECT_EQ(system_->OpenDevices(), 0);
  EXPECT_EQ(system_->Counters().threadsRunning, 0);
  EXPECT_EQ(system_->Counters().windows, 0);
}

TEST_F(LinuxToolTest, ANodeWithoutAccessIsNotFound) {
  // Without the udev rule the node cannot be opened: its ATR is not read
  // and the token is not listed.
  auto token = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  os::hidraw::fake::ActAsToken(*token, kAtr);
  token->openError = EACCES;
  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kNoDevice);
  EXPECT_THAT(log_.messages, ElementsAre("设备没有找到!"));
}

// A token that disappears under the request: its connection is lost.
TEST_F(LinuxToolTest, ATokenThatStopsAnsweringFailsTheChange) {
  auto token = bus_->Add("/dev/hidraw3", 0x0471, 0x485E, 0x0100);
  os::hidraw::fake::ActAsToken(*token, kAtr);
  const auto answer = token->onSend;
  token->onSend = [answer](const std::uint8_t* data, std::size_t length) {
    if (data[2] == 7) return os::hidraw::HidResult{-1, ENODEV};
    return answer(data, length);
  };
  EXPECT_EQ(ModeChange(api_, log_, TargetMode::kUsb), Outcome::kControlFailed);
  EXPECT_THAT(log_.messages, ElementsAre("修改模式失败，错误代码<0x00000002>"));
  EXPECT_EQ(token->openNow, 0);
}

}  // namespace
}  // namespace vantor::tool

#endif  // VANTOR_HAVE_LINUX_SYSTEM
