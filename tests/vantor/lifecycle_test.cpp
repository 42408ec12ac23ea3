// Connections over the life of a token: stale contexts after removal and
// re-plug (with handle values reused by the system), contexts opened twice,
// dead handles found by an exchange, and what a listing writes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fixture.h"

namespace vantor::testing {
namespace {

class LifecycleTest : public MachineTest {
 protected:
  std::size_t WireSize() { return machine().Wire().size(); }
};

// A context whose token was unplugged and plugged in again never reaches
// the new connection, even where the system could hand out its handle value
// again: its calls give 2 and send nothing, and its close releases what the
// library kept for it. Found by the monitor (driver token on XP), by the
// listing's ATR read over the dead handle, or by the context's own exchange.
TEST_F(LifecycleTest, StaleContextNeverReachesTheNewConnection) {
  const struct {
    const char* name;
    OsVersion os;
    TokenMode mode;
    bool listFirst;  // list before the stale context is used again
  } cases[] = {
      {"driver token, monitor", OsVersion::WindowsXp, TokenMode::Usb, true},
      {"HID token, listing", OsVersion::WindowsXp, TokenMode::Hid, true},
      {"HID token, exchange", OsVersion::WindowsXp, TokenMode::Hid, false},
      {"driver token, Windows 98", OsVersion::Windows98, TokenMode::Usb, true},
      {"driver token, NT 4", OsVersion::WindowsNt4, TokenMode::Usb, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.os);
    const sim::TokenId token = machine().Plug(Token(c.mode));
    VXContext stale = OpenFirst();
    if (c.os == OsVersion::WindowsXp && c.mode == TokenMode::Usb) {
      WaitForMonitor();
    }
    machine().Unplug(token);
    machine().Replug(token);
    const VXContext before = stale;

    if (!c.listFirst) {
      const std::size_t sent = WireSize();
      EXPECT_EQ(VXControl(&stale, 4, nullptr, 0, nullptr, 8, nullptr),
                VX_INVALID_PARAMETER);
      // The exchange found the device gone: that is all that was tried.
      EXPECT_LE(WireSize(), sent + 1);
    }
    VXContext fresh = OpenFirst();
    EXPECT_NE(fresh.hDevice, stale.hDevice);
    EXPECT_EQ(device::MonitorUsers(), 1);

    const std::size_t sent = WireSize();
    std::uint8_t out[64];
    for (std::uint32_t code : {2u, 4u, 7u, 8u}) {
      EXPECT_EQ(VXControl(&stale, code, out, 1, out, sizeof(out), nullptr),
                VX_INVALID_PARAMETER)
          << code;
    }
    EXPECT_EQ(WireSize(), sent);
    // The stale close releases what the library kept and marks the context
    // closed, so that it can never match a connection again.
    EXPECT_EQ(VXCloseDevice(&stale), VX_INVALID_PARAMETER);
    const VXContext closed = Closed(before);
    EXPECT_EQ(std::memcmp(&stale, &closed, sizeof(stale)), 0);
    EXPECT_EQ(machine().Counters().openFileHandles, 1);

    // The new connection is untouched by all of it.
    EXPECT_EQ(VXControl(&fresh, 4, nullptr, 0, out, sizeof(out), nullptr),
              VX_SUCCESS);
    EXPECT_EQ(VXCloseDevice(&fresh), VX_SUCCESS);
    EXPECT_EQ(machine().Counters().openFileHandles, 0);
    EXPECT_EQ(device::RetiredHandles(), 0);
  }
}

// A stale context opened again (without its close) gives up the gone
// device's handle the library kept for it, instead of leaking it.
// However often it was opened: one close, or one open, of the context
// releases every connection it held there.
TEST_F(LifecycleTest, StaleContextOpenedAgainGivesUpItsOldConnections) {
  for (const bool reopen : {true, false}) {
    SCOPED_TRACE(reopen ? "opened again" : "closed");
    Start(OsVersion::WindowsXp);
    const sim::TokenId token = machine().Plug(Token(TokenMode::Hid));
    std::vector<VXContext> contexts = List();
    ASSERT_EQ(contexts.size(), 1u);
    VXContext& context = contexts[0];
    VXContext other = context;
    ASSERT_EQ(VXOpenDevice(&context), VX_SUCCESS);
    ASSERT_EQ(VXOpenDevice(&context), VX_SUCCESS);
    ASSERT_EQ(VXOpenDevice(&other), VX_SUCCESS);
    const std::uint32_t old = context.hDevice;
    machine().Unplug(token);
    machine().Replug(token);
    List();
    EXPECT_EQ(device::RetiredHandles(), 1);
    if (reopen) {
      ASSERT_EQ(VXOpenDevice(&context), VX_SUCCESS);
      EXPECT_NE(context.hDevice, old);
      EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    } else {
      EXPECT_EQ(VXCloseDevice(&context), VX_INVALID_PARAMETER);
    }
    // The other context still holds the gone device's handle.
    EXPECT_EQ(device::RetiredHandles(), 1);
    EXPECT_EQ(VXCloseDevice(&other), VX_INVALID_PARAMETER);
    EXPECT_EQ(device::RetiredHandles(), 0);
    EXPECT_EQ(machine().Counters().openFileHandles, 0);
  }
}

// One context opened twice holds two connections: the first close keeps it
// open, the second closes the device and stops the monitor.
TEST_F(LifecycleTest, ContextOpenedTwiceNeedsTwoCloses) {
  machine().Plug(Token(TokenMode::Usb));
  std::vector<VXContext> contexts = List();
  ASSERT_EQ(contexts.size(), 1u);
  VXContext& context = contexts[0];
  ASSERT_EQ(VXOpenDevice(&context), VX_SUCCESS);
  const std::uint32_t handle = context.hDevice;
  ASSERT_EQ(VXOpenDevice(&context), VX_SUCCESS);
  EXPECT_EQ(Entry(context).dwOpenCount, 2);
  EXPECT_EQ(machine().Counters().openFileHandles, 1);

  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  EXPECT_EQ(context.hDevice, handle);
  EXPECT_EQ(machine().Counters().openFileHandles, 1);
  EXPECT_EQ(VXControl(&context, 4, nullptr, 0, nullptr, 8, nullptr),
            VX_SUCCESS);

  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
  EXPECT_EQ(device::MonitorUsers(), 0);
  EXPECT_EQ(VXCloseDevice(&context), VX_INVALID_PARAMETER);
}

// A single-call exchange that fails after the token carried the request
// out (here: an answer too large for the buffer) is not sent again.
TEST_F(LifecycleTest, FailedSingleCallIsNotRepeated) {
  std::vector<std::uint8_t> longAtr = sim::DefaultAtr(0x0230, {});
  longAtr.resize(300, 0x55);
  const sim::TokenId token = machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  machine().SetAtr(token, longAtr);
  machine().ClearWire();
  EXPECT_EQ(
      VXControl(&context, VX_RESET_DEVICE, nullptr, 0, nullptr, 0, nullptr),
      VX_COMM_ERROR);
  const std::vector<sim::WireRecord> wire = machine().Wire();
  ASSERT_EQ(wire.size(), 1u);
  EXPECT_EQ(wire[0].code, 0x220028u);
  EXPECT_EQ(wire[0].error, 122u);
  EXPECT_EQ(machine().Token(token).controlRequests, 1);  // the reset, once
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

// Enumeration trouble: an interface whose path cannot be read hides only
// itself, and a listing query without an array still learns the length.
TEST_F(LifecycleTest, ListingSkipsUnreadableInterfacesAndReportsLength) {
  for (const char* path : {"", "a", "ab"}) {
    SCOPED_TRACE(path);
    Start(OsVersion::WindowsXp);
    TokenConfig odd = Token(TokenMode::Usb);
    odd.path = path;
    machine().Plug(odd);
    machine().Plug(Token(TokenMode::Usb));
    machine().Plug(Token(TokenMode::Hid));
    EXPECT_EQ(List().size(), 2u);
  }
  std::uint32_t length = 1000;
  EXPECT_EQ(VXListDevices(nullptr, &length), VX_INVALID_PARAMETER);
  EXPECT_EQ(length, 2 * sizeof(VXContext));
}

// A listing writes every byte of the device id, whatever the ATR holds; a
// token that answers an empty ATR is not listed.
TEST_F(LifecycleTest, ListingWritesTheWholeDeviceId) {
  machine().Plug(TokenWithAtr({0x3B, 0x02, 0x56, 0x02}));
  machine().Plug(TokenWithAtr({}, TokenMode::Hid));
  std::uint32_t length = 2 * sizeof(VXContext);
  std::vector<VXContext> contexts(2);
  std::memset(contexts.data(), 0xEE, length);
  ASSERT_EQ(VXListDevices(contexts.data(), &length), VX_SUCCESS);
  ASSERT_EQ(length, sizeof(VXContext));
  EXPECT_EQ(contexts[0].dwAtrLength, 4u);
  for (std::uint8_t b : contexts[0].bDeviceId) EXPECT_EQ(b, 0);
}

// The monitor registers for removals only when it can also unregister.
TEST_F(LifecycleTest, NoRegistrationOutlivesTheMonitor) {
  sim::MachineFaults faults;
  faults.unboundFunction = "UnregisterDeviceNotification";
  machine().SetFaults(faults);
  machine().Plug(Token(TokenMode::Usb));
  for (int cycle = 0; cycle < 3; ++cycle) {
    VXContext context = OpenFirst();
    EXPECT_TRUE(WaitFor([&] { return machine().Windows().size() == 1; }));
    EXPECT_EQ(machine().Counters().notifications, 0);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
  EXPECT_EQ(machine().Counters().notifications, 0);
}

}  // namespace
}  // namespace vantor::testing
