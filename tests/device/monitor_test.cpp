// The removal monitor: its thread and window, and the removal handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/testing.h"
#include "device_fixture.h"
#include "probe_system.h"

namespace vantor::device::testing {
namespace {

class MonitorTest : public DeviceTest {
 protected:
  bool MonitorReady() {
    return WaitFor([&] {
      const sim::MachineCounters counters = M().Counters();
      return counters.windows == 1 && counters.notifications == 1;
    });
  }
  bool ThreadsEnded() {
    return WaitFor([&] {
      const sim::MachineCounters counters = M().Counters();
      return counters.threadsRunning == 0 && counters.windows == 0 &&
             counters.notifications == 0;
    });
  }
  // Lists a token, opens its device as a connection would, and counts the
  // monitor up.
  SlotEntry& Connect(sim::TokenId token) {
    RefreshDeviceTable();
    const int index = EntryOfToken(token);
    HoldGuard hold(static_cast<std::uint32_t>(index));
    EXPECT_EQ(ConnectSlot(static_cast<std::uint32_t>(index), 1, &connection),
              ConnectResult::kConnected);
    return TableEntry(index);
  }
  Connection connection{};  // the last one Connect made
  static std::size_t Count(const std::vector<std::string>& calls,
                           const std::string& call) {
    return static_cast<std::size_t>(
        std::count(calls.begin(), calls.end(), call));
  }
};

TEST_F(MonitorTest, ThreadAndHiddenWindowWhileCounted) {
  ProbeSystem probe;
  StartDeviceMonitor();
  EXPECT_EQ(MonitorUsers(), 1);
  EXPECT_TRUE(MonitorThreadRunning());
  ASSERT_TRUE(MonitorReady());
  const std::vector<sim::WindowInfo> windows = M().Windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].className, "Kelvra2MonitorWnd");
  EXPECT_EQ(windows[0].title, "Kelvra USB Device Monitor");
  EXPECT_FALSE(windows[0].visible);

  // A second user only counts.
  StartDeviceMonitor();
  EXPECT_EQ(MonitorUsers(), 2);
  EXPECT_EQ(M().Counters().threadsRunning, 1);
  EXPECT_TRUE(StopDeviceMonitor());
  EXPECT_EQ(MonitorUsers(), 1);
  EXPECT_TRUE(MonitorThreadRunning());

  // The last stop posts WM_QUIT and waits in steps of 300 ms; the thread
  // has cleaned up by the time it returns.
  EXPECT_TRUE(StopDeviceMonitor());
  EXPECT_EQ(MonitorUsers(), 0);
  EXPECT_FALSE(MonitorThreadRunning());
  const sim::MachineCounters counters = M().Counters();
  EXPECT_EQ(counters.windows, 0);
  EXPECT_EQ(counters.notifications, 0);
  EXPECT_TRUE(WaitFor([&] { return M().Counters().threadsRunning == 0; }));
  const std::vector<std::string> calls = probe.Calls();
  EXPECT_EQ(Count(calls, "CreateThread"), 1u);
  EXPECT_EQ(Count(calls, "ShowWindow 0"), 1u);
  EXPECT_EQ(Count(calls, "UpdateWindow"), 1u);
  EXPECT_EQ(Count(calls, "LoadLibraryA USER32.DLL"), 1u);
  EXPECT_GE(Count(calls, "PostThreadMessageA 18"), 1u);
  EXPECT_GE(Count(calls, "WaitForSingleObject 300"), 1u);
  EXPECT_EQ(Count(calls, "RegisterClassExA Kelvra2MonitorWnd"), 1u);
  EXPECT_EQ(Count(calls, "UnregisterClassA Kelvra2MonitorWnd"), 1u);
  // Clean-up order: the window, then its class, then USER32.DLL.
  const auto at = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  EXPECT_LT(at("DestroyWindow"), at("UnregisterClassA Kelvra2MonitorWnd"));
  EXPECT_LT(at("UnregisterClassA Kelvra2MonitorWnd"), at("FreeLibrary"));

  EXPECT_FALSE(StopDeviceMonitor());
  EXPECT_EQ(MonitorUsers(), 0);
}

TEST_F(MonitorTest, OnlyNtFamilyFromVersion5RunsAThread) {
  const struct {
    sim::OsVersion version;
    bool thread;
  } cases[] = {{sim::OsVersion::WindowsNt4, false},
               {sim::OsVersion::Windows98, false},
               {sim::OsVersion::Windows2000, true},
               {sim::OsVersion::WindowsXp, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.version));
    UseMachine(c.version);
    StartDeviceMonitor();
    StartDeviceMonitor();
    EXPECT_EQ(MonitorUsers(), 2);
    EXPECT_EQ(MonitorThreadRunning(), c.thread);
    if (c.thread) {
      EXPECT_TRUE(MonitorReady());
    } else {
      EXPECT_EQ(M().Counters().threadsRunning, 0);
    }
    EXPECT_TRUE(StopDeviceMonitor());
    EXPECT_TRUE(StopDeviceMonitor());
    EXPECT_FALSE(StopDeviceMonitor());
    EXPECT_EQ(MonitorUsers(), 0);
    EXPECT_TRUE(ThreadsEnded());
  }
}

TEST_F(MonitorTest, UnplugOfTheOnlyOpenDriverTokenEndsTheThread) {
  const sim::TokenId token = M().Plug(Usb());
  SlotEntry& entry = Connect(token);
  ASSERT_TRUE(MonitorReady());
  ASSERT_EQ(M().Counters().openFileHandles, 1);

  const HANDLE handle = entry.hDevice;
  M().Unplug(token);
  EXPECT_EQ(entry.dwKind, SLOT_FREE);
  EXPECT_EQ(entry.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(entry.dwOpenCount, 0);
  EXPECT_EQ(MonitorUsers(), 0);
  EXPECT_FALSE(MonitorThreadRunning());
  EXPECT_TRUE(ThreadsEnded());
  EXPECT_FALSE(StopDeviceMonitor());
  // The handle stays open, unusable, until its connection is closed, so
  // its value cannot name a new connection meanwhile.
  EXPECT_EQ(M().Counters().openFileHandles, 1);
  EXPECT_EQ(RetiredHandles(), 1);
  EXPECT_EQ(DisconnectSlot(Connection{0, handle, connection.serial}, 1),
            DisconnectResult::kInvalid);
  EXPECT_EQ(M().Counters().openFileHandles, 0);
  EXPECT_EQ(RetiredHandles(), 0);
}

TEST_F(MonitorTest, UnplugOfOneOfTwoOpenTokensKeepsTheThread) {
  const sim::TokenId first = M().Plug(Usb());
  const sim::TokenId second = M().Plug(Usb());
  SlotEntry& gone = Connect(first);
  SlotEntry& stays = Connect(second);
  ASSERT_TRUE(MonitorReady());
  ASSERT_EQ(MonitorUsers(), 2);

  M().Unplug(first);
  EXPECT_EQ(gone.dwKind, SLOT_FREE);
  EXPECT_EQ(MonitorUsers(), 1);
  EXPECT_TRUE(MonitorThreadRunning());
  EXPECT_EQ(stays.dwKind, SLOT_DRIVER);
  EXPECT_NE(stays.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(M().Counters().openFileHandles, 2);  // one of them retired
  EXPECT_EQ(RetiredHandles(), 1);
}

TEST_F(MonitorTest, UnplugOfAListedButClosedTokenOnlyFreesIt) {
  const sim::TokenId open = M().Plug(Usb());
  const sim::TokenId listed = M().Plug(Usb());
  SlotEntry& openEntry = Connect(open);
  SlotEntry& listedEntry = TableEntry(EntryOfToken(listed));
  ASSERT_TRUE(MonitorReady());

  M().Unplug(listed);
  EXPECT_EQ(listedEntry.dwKind, SLOT_FREE);
  EXPECT_EQ(MonitorUsers(), 1);
  EXPECT_NE(openEntry.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(openEntry.dwOpenCount, 1);
}

TEST_F(MonitorTest, HidTokensAreNotWatched) {
  const sim::TokenId token = M().Plug();
  SlotEntry& entry = Connect(token);
  ASSERT_TRUE(MonitorReady());
  const HANDLE handle = entry.hDevice;

  M().Unplug(token);
  EXPECT_EQ(entry.dwKind, SLOT_HID);
  EXPECT_EQ(entry.hDevice, handle);
  EXPECT_EQ(MonitorUsers(), 1);
  // The next refresh drops it.
  RefreshDeviceTable();
  EXPECT_EQ(entry.dwKind, SLOT_FREE);
  EXPECT_EQ(MonitorUsers(), 0);
  EXPECT_TRUE(ThreadsEnded());
}

TEST_F(MonitorTest, ArrivalChangesNothing) {
  const sim::TokenId token = M().Plug(Usb());
  SlotEntry& entry = Connect(token);
  ASSERT_TRUE(MonitorReady());
  M().Plug(Usb());
  EXPECT_EQ(UsedEntries(), 1);
  EXPECT_EQ(MonitorUsers(), 1);
  EXPECT_EQ(entry.dwKind, SLOT_DRIVER);
}

// A removal broadcast record as the platform lays it out.
struct Broadcast {
  explicit Broadcast(const std::string& path, DWORD type = 5) {
    bytes.resize(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) +
                 path.size() + 1);
    auto* record =
        reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = type;
    record->dbcc_classguid = DriverInterfaceGuid;
    std::memcpy(bytes.data() + 28, path.c_str(), path.size() + 1);
  }
  LPARAM Param() { return reinterpret_cast<LPARAM>(bytes.data()); }
  std::vector<char> bytes;
};

TEST_F(MonitorTest, WindowProcedureHandlesOnlyRemovalsOfDeviceInterfaces) {
  UseMachine(sim::OsVersion::Windows98);  // no thread: the test dispatches
  const sim::TokenId first = M().Plug(Usb());
  const sim::TokenId second = M().Plug(Usb());
  RefreshDeviceTable();
  SlotEntry& firstEntry = TableEntry(EntryOfToken(first));
  SlotEntry& secondEntry = TableEntry(EntryOfToken(second));
  std::string upper = M().Token(first).path;
  for (char& ch : upper) {
    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }

  // Arrival, another event and another record type change nothing.
  Broadcast same(upper);
  EXPECT_EQ(DeviceMonitorWndProc(nullptr, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                                 same.Param()),
            0);
  EXPECT_EQ(DeviceMonitorWndProc(nullptr, WM_DEVICECHANGE, 0x0007, 0), 0);
  Broadcast volume(upper, 2);
  EXPECT_EQ(DeviceMonitorWndProc(nullptr, WM_DEVICECHANGE,
                                 DBT_DEVICEREMOVECOMPLETE, volume.Param()),
            0);
  EXPECT_EQ(firstEntry.dwKind, SLOT_DRIVER);

  // A removal of the same path in another letter case frees the entry.
  EXPECT_EQ(DeviceMonitorWndProc(nullptr, WM_DEVICECHANGE,
                                 DBT_DEVICEREMOVECOMPLETE, same.Param()),
            0);
  EXPECT_EQ(firstEntry.dwKind, SLOT_FREE);
  EXPECT_EQ(secondEntry.dwKind, SLOT_DRIVER);

  // The path is read no further than the record's size.
  const std::string path = M().Token(second).path;
  Broadcast longer(path + "tail");
  reinterpret_cast<DEV_BROADCAST_HDR*>(longer.bytes.data())->dbch_size =
      static_cast<DWORD>(28 + path.size());
  DeviceMonitorWndProc(nullptr, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                       longer.Param());
  EXPECT_EQ(secondEntry.dwKind, SLOT_FREE);
  EXPECT_EQ(MonitorUsers(), 0);
}

// Connections come and go on one thread while tokens are unplugged and
// plugged on another; the counts and handles settle at zero.
TEST_F(MonitorTest, ConcurrentRemovalsSettle) {
  std::vector<sim::TokenId> tokens;
  for (int i = 0; i < 3; ++i) tokens.push_back(M().Plug(Usb()));
  std::atomic<bool> stop{false};
  std::thread plugger([&] {
    for (int round = 0; round < 30; ++round) {
      const sim::TokenId token = tokens[static_cast<std::size_t>(round) % 3];
      M().Unplug(token);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      M().Replug(token);
    }
    stop = true;
  });
  std::uint8_t response[256];
  // The handle each entry's connection got, or -1.
  std::vector<Connection> held(kUsableEntries,
                               Connection{0, INVALID_HANDLE_VALUE, 0});
  auto close = [&](std::uint32_t i) {
    HoldGuard hold(i);
    DisconnectSlot(held[i], 1);
    held[i].handle = INVALID_HANDLE_VALUE;
  };
  while (!stop) {
    RefreshDeviceTable();
    for (std::uint32_t i = 0; i < kUsableEntries; ++i) {
      if (held[i].handle == INVALID_HANDLE_VALUE) {
        HoldGuard hold(i);
        if (IsSlotInUse(i)) ConnectSlot(i, 1, &held[i]);
      } else {
        std::uint32_t length = 255;
        {
          HoldGuard hold(i);
          ExchangeControl(held[i], 2, nullptr, 0, response, &length);
        }
        close(i);
      }
    }
  }
  plugger.join();
  for (std::uint32_t i = 0; i < kUsableEntries; ++i) {
    if (held[i].handle != INVALID_HANDLE_VALUE) close(i);
  }
  EXPECT_EQ(RetiredHandles(), 0);
  EXPECT_EQ(MonitorUsers(), 0);
  EXPECT_FALSE(MonitorThreadRunning());
  EXPECT_TRUE(ThreadsEnded());
  EXPECT_EQ(M().Counters().openFileHandles, 0);
}

}  // namespace
}  // namespace vantor::device::testing
