// The removal monitor as the public calls drive it: started by the first
// open, stopped by the last close, and freeing the entries of unplugged
// driver tokens.
#include <vector>

#include "vantor/fixture.h"

namespace vantor::testing {
namespace {

using MonitorTest = MachineTest;

bool IsMonitorWindow(const sim::WindowInfo& window) {
  return window.className == "Kelvra2MonitorWnd" &&
         window.title == "Kelvra USB Device Monitor" && !window.visible;
}

TEST_F(MonitorTest, RunsOnTheNtFamilyFromVersion5Only) {
  const struct {
    OsVersion version;
    bool thread;
  } cases[] = {{OsVersion::WindowsNt4, false},
               {OsVersion::Windows98, false},
               {OsVersion::Windows2000, true},
               {OsVersion::WindowsXp, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.version));
    Start(c.version);
    machine().Plug(Token(TokenMode::Usb));
    VXContext context = OpenFirst();
    EXPECT_EQ(device::MonitorUsers(), 1);
    if (c.thread) {
      EXPECT_TRUE(WaitFor([&] { return machine().Windows().size() == 1; }));
      const std::vector<sim::WindowInfo> windows = machine().Windows();
      ASSERT_EQ(windows.size(), 1u);
      EXPECT_TRUE(IsMonitorWindow(windows[0]));
      EXPECT_EQ(machine().Counters().threadsRunning, 1);
    } else {
      EXPECT_EQ(machine().Counters().threadsRunning, 0);
      EXPECT_TRUE(machine().Windows().empty());
    }
    ASSERT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    EXPECT_EQ(device::MonitorUsers(), 0);
    EXPECT_EQ(machine().Counters().threadsRunning, 0);
    EXPECT_TRUE(machine().Windows().empty());
  }
}

TEST_F(MonitorTest, CountsOpenDevicesNotConnections) {
  machine().Plug(Token(TokenMode::Usb));
  machine().Plug(Token(TokenMode::Hid));
  std::vector<VXContext> contexts = List();
  ASSERT_EQ(contexts.size(), 2u);
  VXContext joined = contexts[0];
  ASSERT_EQ(VXOpenDevice(&contexts[0]), VX_SUCCESS);
  ASSERT_EQ(VXOpenDevice(&contexts[1]), VX_SUCCESS);
  ASSERT_EQ(VXOpenDevice(&joined), VX_SUCCESS);
  EXPECT_EQ(device::MonitorUsers(), 2);
  EXPECT_EQ(machine().Counters().threadsRunning, 1);
  EXPECT_TRUE(WaitFor([&] { return machine().Windows().size() == 1; }));

  EXPECT_EQ(VXCloseDevice(&contexts[0]), VX_SUCCESS);
  EXPECT_EQ(device::MonitorUsers(), 2);  // `joined` keeps the device open
  EXPECT_EQ(VXCloseDevice(&contexts[1]), VX_SUCCESS);
  EXPECT_EQ(device::MonitorUsers(), 1);
  EXPECT_EQ(machine().Counters().threadsRunning, 1);
  EXPECT_EQ(VXCloseDevice(&joined), VX_SUCCESS);
  EXPECT_EQ(machine().Counters().threadsRunning, 0);
}

TEST_F(MonitorTest, UnpluggingAnOpenDriverTokenFreesItsEntry) {
  const sim::TokenId removed = machine().Plug(Token(TokenMode::Usb));
  machine().Plug(Token(TokenMode::Usb));
  std::vector<VXContext> contexts = List();
  ASSERT_EQ(contexts.size(), 2u);
  ASSERT_EQ(VXOpenDevice(&contexts[0]), VX_SUCCESS);
  ASSERT_EQ(VXOpenDevice(&contexts[1]), VX_SUCCESS);
  ASSERT_EQ(device::MonitorUsers(), 2);
  const int closes = machine().Counters().closes;

  WaitForMonitor();
  machine().Unplug(removed);
  const device::SlotEntry entry = Entry(contexts[0]);
  EXPECT_EQ(entry.dwKind, device::SLOT_FREE);
  EXPECT_EQ(entry.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(entry.dwOpenCount, 0);
  // The handle stays open, unusable, until the stale context is closed.
  EXPECT_EQ(machine().Counters().closes, closes);
  EXPECT_EQ(machine().Counters().openFileHandles, 2);
  EXPECT_EQ(device::MonitorUsers(), 1);
  EXPECT_EQ(machine().Counters().threadsRunning, 1);

  // Every later call on the stale context is refused and changes nothing.
  machine().ClearWire();
  std::uint8_t block[16] = {};
  for (std::uint32_t code : {2u, 4u, 7u, 8u, 40u}) {
    EXPECT_EQ(
        VXControl(&contexts[0], code, block, 1, block, sizeof(block), nullptr),
        VX_INVALID_PARAMETER)
        << code;
  }
  EXPECT_EQ(VXCloseDevice(&contexts[0]), VX_INVALID_PARAMETER);
  EXPECT_TRUE(machine().Wire().empty());
  EXPECT_EQ(device::MonitorUsers(), 1);
  EXPECT_EQ(machine().Counters().closes, closes + 1);
  EXPECT_EQ(machine().Counters().openFileHandles, 1);

  // Plugged in again, the token is listed anew; the stale context stays
  // refused.
  machine().Replug(removed);
  EXPECT_EQ(List().size(), 2u);
  EXPECT_EQ(VXControl(&contexts[0], 4, nullptr, 0, nullptr, 0, nullptr),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(VXCloseDevice(&contexts[0]), VX_INVALID_PARAMETER);

  EXPECT_EQ(VXCloseDevice(&contexts[1]), VX_SUCCESS);
}

TEST_F(MonitorTest, UnpluggingTheOnlyOpenTokenEndsTheThread) {
  const sim::TokenId token = machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  ASSERT_EQ(machine().Counters().threadsRunning, 1);

  WaitForMonitor();
  machine().Unplug(token);
  EXPECT_EQ(device::MonitorUsers(), 0);
  EXPECT_TRUE(WaitFor([&] {
    return machine().Counters().threadsRunning == 0 &&
           !device::MonitorThreadRunning();
  }));
  EXPECT_TRUE(machine().Windows().empty());

  const sim::MachineCounters before = machine().Counters();
  EXPECT_EQ(VXCloseDevice(&context), VX_INVALID_PARAMETER);
  EXPECT_EQ(machine().Counters().closes, before.closes + 1);
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
  EXPECT_EQ(device::MonitorUsers(), 0);
}

TEST_F(MonitorTest, UnpluggingAListedTokenThatIsNotOpenOnlyFreesIt) {
  machine().Plug(Token(TokenMode::Usb));
  const sim::TokenId listed = machine().Plug(Token(TokenMode::Usb));
  std::vector<VXContext> contexts = List();
  ASSERT_EQ(contexts.size(), 2u);
  ASSERT_EQ(VXOpenDevice(&contexts[0]), VX_SUCCESS);

  WaitForMonitor();
  machine().Unplug(listed);
  EXPECT_EQ(Entry(contexts[1]).dwKind, device::SLOT_FREE);
  EXPECT_EQ(device::MonitorUsers(), 1);
  EXPECT_EQ(VXOpenDevice(&contexts[1]), VX_INVALID_PARAMETER);
  EXPECT_EQ(VXCloseDevice(&contexts[0]), VX_SUCCESS);
}

TEST_F(MonitorTest, HidTokensAreNotWatched) {
  const sim::TokenId token = machine().Plug(Token(TokenMode::Hid));
  VXContext context = OpenFirst();
  WaitForMonitor();
  machine().Unplug(token);
  // No broadcast for HID tokens: the entry stays until an exchange finds
  // the device gone; from then on the context is stale, and its close
  // releases the handle.
  EXPECT_NE(Entry(context).dwKind, device::SLOT_FREE);
  EXPECT_EQ(device::MonitorUsers(), 1);
  EXPECT_EQ(VXControl(&context, 4, nullptr, 0, nullptr, 8, nullptr),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(Entry(context).dwKind, device::SLOT_FREE);
  EXPECT_EQ(device::MonitorUsers(), 0);
  EXPECT_EQ(machine().Counters().openFileHandles, 1);
  EXPECT_EQ(VXCloseDevice(&context), VX_INVALID_PARAMETER);
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
  EXPECT_TRUE(List().empty());
}

}  // namespace
}  // namespace vantor::testing
