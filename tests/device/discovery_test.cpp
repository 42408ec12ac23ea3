// Discovery and the refresh of the device table, over the simulated machine.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "device/testing.h"
#include "device_fixture.h"

namespace vantor::device::testing {
namespace {

class DiscoveryTest : public DeviceTest {};

TEST_F(DiscoveryTest, EmptyMachineListsNothing) {
  for (const SlotEntry& entry : TableEntries())
    EXPECT_EQ(entry.dwKind, SLOT_FREE);
  RefreshDeviceTable();
  EXPECT_EQ(UsedEntries(), 0);
  EXPECT_EQ(M().Counters().liveAllocations, 0);
}

TEST_F(DiscoveryTest, HidTokensMatchTheHardwareIdPrefixInAnyCase) {
  const struct {
    const char* hardwareId;
    bool found;
  } cases[] = {
      {"HID\\VID_0471&PID_485E&REV_0100", true},
      {"hid\\vid_0471&pid_485e", true},
      {"HID\\Vid_0471&Pid_485e&Rev_0200&MI_00", true},
      {"HID\\VID_0471&PID_485F&REV_0100", false},
      {"HID\\VID_0472&PID_485E", false},
      {"HID\\VID_0471&PID_485", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hardwareId);
    UseMachine(sim::OsVersion::WindowsXp);
    sim::TokenConfig config;
    config.hardwareId = c.hardwareId;
    const sim::TokenId token = M().Plug(config);
    RefreshDeviceTable();
    const int index = EntryOfToken(token);
    if (!c.found) {
      EXPECT_EQ(UsedEntries(), 0);
      continue;
    }
    ASSERT_EQ(index, 0);
    const SlotEntry& entry = TableEntry(0);
    EXPECT_EQ(entry.dwKind, SLOT_HID);
    EXPECT_EQ(entry.hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(entry.dwOpenCount, 0);
    EXPECT_EQ(entry.AtrInfo.wVersion, 0x0230);
    EXPECT_EQ(Bytes(entry.bAtr, entry.bAtr + entry.bAtrLength),
              M().Token(token).atr);
  }
}

TEST_F(DiscoveryTest, ForeignHidDevicesCountTowardTheInterfacesExamined) {
  // 126 foreign devices: the token is the 127th interface and is found.
  for (int i = 0; i < 126; ++i) M().PlugForeignHid("HID\\VID_1234&PID_0001");
  const sim::TokenId seen = M().Plug();
  RefreshDeviceTable();
  EXPECT_EQ(EntryOfToken(seen), 0);
  EXPECT_EQ(UsedEntries(), 1);

  // One more foreign device first: the token is the 128th and is not.
  UseMachine(sim::OsVersion::WindowsXp);
  for (int i = 0; i < 127; ++i) M().PlugForeignHid("HID\\VID_1234&PID_0001");
  M().Plug();
  RefreshDeviceTable();
  EXPECT_EQ(UsedEntries(), 0);
  EXPECT_EQ(M().Counters().liveAllocations, 0);
}

TEST_F(DiscoveryTest, DriverTokensAreFoundByInterfaceClass) {
  const sim::TokenId hid = M().Plug();
  const sim::TokenId usb = M().Plug(Usb());
  RefreshDeviceTable();
  ASSERT_EQ(UsedEntries(), 2);
  EXPECT_EQ(TableEntry(EntryOfToken(hid)).dwKind, SLOT_HID);
  const SlotEntry& entry = TableEntry(EntryOfToken(usb));
  EXPECT_EQ(entry.dwKind, SLOT_DRIVER);
  EXPECT_EQ(entry.AtrInfo.wVersion, 0x0230);
  EXPECT_EQ(entry.AtrInfo.bDeviceIdLength, 8);
  EXPECT_EQ(Bytes(entry.AtrInfo.bDeviceId, entry.AtrInfo.bDeviceId + 8),
            Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  // One ATR read per driver token, through the ATR code.
  EXPECT_EQ(Ioctls(IOCTL_VX_GET_ATR).size(), 1u);
  EXPECT_EQ(M().Counters().openFileHandles, 0);
  EXPECT_EQ(M().Counters().liveAllocations, 0);
}

TEST_F(DiscoveryTest, Nt4FindsOnlyDriverTokensByDosName) {
  UseMachine(sim::OsVersion::WindowsNt4);
  M().Plug();
  std::vector<sim::TokenId> found;
  for (const char* name : {"", "kelvra2_lower", "KeLvRa2Mixed"}) {
    sim::TokenConfig config = Usb();
    config.dosName = name;
    found.push_back(M().Plug(config));
  }
  for (const char* name : {"KELVRA", "XKELVRA2"}) {
    sim::TokenConfig config = Usb();
    config.dosName = name;
    M().Plug(config);
  }
  RefreshDeviceTable();
  ASSERT_EQ(UsedEntries(), 3);
  for (std::size_t i = 0; i < found.size(); ++i) {
    const SlotEntry& entry = TableEntry(i);
    EXPECT_EQ(entry.dwKind, SLOT_DRIVER);
    EXPECT_EQ(std::string(entry.szPath), M().Token(found[i]).path);
    EXPECT_EQ(std::string(entry.szPath, 4), "\\\\.\\");
    EXPECT_TRUE(StartsWithNoCase(entry.szPath + 4, "KELVRA2")) << entry.szPath;
    EXPECT_EQ(entry.AtrInfo.wVersion, 0x0230);
  }

  // Legacy path items carry the path length in their header word.
  PathList list = nullptr;
  DWORD count = kUsableEntries;
  ASSERT_TRUE(ListDevicePaths(DriverInterfaceGuid, kHidHardwareIdPrefix, &list,
                              &count));
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(list[1]->cbSize, std::strlen("\\\\.\\kelvra2_lower"));
  EXPECT_TRUE(FreePathList(list));

  // No HID class on NT 4: no list at all, and hid.dll is not loaded.
  GUID hidClass{};
  GetHidClassGuid(&hidClass);
  EXPECT_EQ(hidClass.Data1, 0u);
  list = nullptr;
  count = kUsableEntries;
  EXPECT_FALSE(ListDevicePaths(hidClass, kHidHardwareIdPrefix, &list, &count));
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(M().Counters().loadedLibraries, 0);
  EXPECT_EQ(M().Counters().liveAllocations, 0);
}

TEST_F(DiscoveryTest, AtMost127EntriesHidFirst) {
  std::vector<sim::TokenId> hid, usb;
  for (int i = 0; i < 64; ++i) hid.push_back(M().Plug());
  for (int i = 0; i < 64; ++i) usb.push_back(M().Plug(Usb()));
  RefreshDeviceTable();
  EXPECT_EQ(UsedEntries(), kUsableEntries);
  for (std::size_t i = 0; i < 64; ++i) {
    EXPECT_EQ(EntryOfToken(hid[i]), static_cast<int>(i));
  }
  for (std::size_t i = 0; i < 63; ++i) {
    EXPECT_EQ(EntryOfToken(usb[i]), static_cast<int>(64 + i));
  }
  EXPECT_EQ(EntryOfToken(usb[63]), -1);
  EXPECT_EQ(TableEntry(kUsableEntries).dwKind, SLOT_FREE);

  // A second refresh keeps every entry where it is and adds none.
  RefreshDeviceTable();
  EXPECT_EQ(UsedEntries(), kUsableEntries);
  EXPECT_EQ(EntryOfToken(usb[62]), 126);
  EXPECT_EQ(M().Counters().openFileHandles, 0);
  EXPECT_EQ(M().Counters().liveAllocations, 0);
}

TEST_F(DiscoveryTest, LongAtrKeepsItsFirst64Bytes) {
  Bytes atr = {0x3B, 0x0F, 0x56, 0x02, 0x40};
  while (atr.size() < 80) atr.push_back(static_cast<std::uint8_t>(atr.size()));
  sim::TokenConfig config = Usb();
  config.atr = atr;
  const SlotEntry& entry = PlugAndList(config);
  EXPECT_EQ(entry.bAtrLength, 64);
  EXPECT_EQ(Bytes(entry.bAtr, entry.bAtr + 64),
            Bytes(atr.begin(), atr.begin() + 64));
  EXPECT_EQ(entry.AtrInfo.wVersion, 0x0240);
}

TEST_F(DiscoveryTest, AtrNotBeginningWith3BKeepsTheParsedRecord) {
  const sim::TokenId token = M().Plug(Usb());
  RefreshDeviceTable();
  SlotEntry& entry = TableEntry(EntryOfToken(token));
  const AtrInfo before = entry.AtrInfo;
  ASSERT_EQ(before.wVersion, 0x0230);

  const Bytes inverse = {0x3F, 0xDF, 0x00, 0x00, 0x00, 0x56, 0x09, 0x99};
  M().SetAtr(token, inverse);
  RefreshDeviceTable();
  ASSERT_EQ(EntryOfToken(token), 0);
  EXPECT_EQ(Bytes(entry.bAtr, entry.bAtr + entry.bAtrLength), inverse);
  EXPECT_EQ(std::memcmp(&entry.AtrInfo, &before, sizeof(AtrInfo)), 0);
}

TEST_F(DiscoveryTest, UnreadableAtrDropsAClosedEntryButNotAnOpenOne) {
  const sim::TokenId closed = M().Plug(Usb());
  const sim::TokenId open = M().Plug();
  RefreshDeviceTable();
  SlotEntry& openEntry = TableEntry(EntryOfToken(open));
  ASSERT_TRUE(OpenSlot(openEntry, 1));
  const HANDLE handle = openEntry.hDevice;
  const Bytes oldAtr(openEntry.bAtr, openEntry.bAtr + openEntry.bAtrLength);

  sim::TokenFaults faults;
  faults.openFailures = 1;
  M().SetFaults(closed, faults);
  // The open entry is read over its own handle: a token that does not
  // answer keeps its entry and its old ATR.
  sim::TokenFaults silent;
  silent.stopsAnswering = true;
  M().SetFaults(open, silent);
  M().SetAtr(open, sim::DefaultAtr(0x0300, {9, 9, 9, 9, 9, 9, 9, 9}));
  RefreshDeviceTable();

  EXPECT_EQ(EntryOfToken(closed), -1);
  ASSERT_EQ(EntryOfToken(open), 0);
  EXPECT_EQ(openEntry.hDevice, handle);
  EXPECT_EQ(Bytes(openEntry.bAtr, openEntry.bAtr + openEntry.bAtrLength),
            oldAtr);
  EXPECT_EQ(openEntry.AtrInfo.wVersion, 0x0230);
  EXPECT_EQ(M().Counters().openFileHandles, 1);
}

TEST_F(DiscoveryTest, ReFoundTokenTakesTheLowestFreeEntry) {
  const sim::TokenId a = M().Plug(Usb());
  const sim::TokenId b = M().Plug(Usb());
  const sim::TokenId c = M().Plug(Usb());
  RefreshDeviceTable();
  ASSERT_EQ(EntryOfToken(a), 0);
  ASSERT_EQ(EntryOfToken(b), 1);
  ASSERT_EQ(EntryOfToken(c), 2);

  M().Unplug(a);
  M().Unplug(b);
  RefreshDeviceTable();
  EXPECT_EQ(UsedEntries(), 1);
  EXPECT_EQ(TableEntry(0).dwKind, SLOT_FREE);
  EXPECT_EQ(TableEntry(1).dwKind, SLOT_FREE);

  M().Replug(b);
  RefreshDeviceTable();
  EXPECT_EQ(EntryOfToken(b), 0);
  EXPECT_EQ(EntryOfToken(c), 2);
}

TEST_F(DiscoveryTest, PathDifferingOnlyInCaseIsTheSameEntry) {
  const sim::TokenId token = M().Plug(Usb());
  RefreshDeviceTable();
  ASSERT_EQ(EntryOfToken(token), 0);
  const std::string original = TableEntry(0).szPath;

  std::string upper = original;
  for (char& ch : upper) {
    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  ASSERT_NE(upper, original);
  M().SetPath(token, upper);
  RefreshDeviceTable();
  EXPECT_EQ(UsedEntries(), 1);
  EXPECT_EQ(TableEntry(0).dwKind, SLOT_DRIVER);
  EXPECT_EQ(std::string(TableEntry(0).szPath), original);
}

TEST_F(DiscoveryTest, PathsLongerThan259CharactersAreSkipped) {
  const std::string base = "\\\\?\\usb#vid_0471&pid_485d#";
  for (const sim::OsVersion version :
       {sim::OsVersion::WindowsXp, sim::OsVersion::WindowsNt4}) {
    SCOPED_TRACE(static_cast<int>(version));
    UseMachine(version);
    std::vector<sim::TokenId> tokens;
    for (const std::size_t length : {259u, 260u, 400u}) {
      sim::TokenConfig config = Usb();
      if (version == sim::OsVersion::WindowsNt4) {
        config.dosName = "KELVRA2" + std::string(length - 11, 'n');
      } else {
        config.path = base + std::string(length - base.size(), 'p');
      }
      tokens.push_back(M().Plug(config));
    }
    tokens.push_back(M().Plug(Usb()));
    RefreshDeviceTable();
    EXPECT_EQ(UsedEntries(), 2);
    ASSERT_EQ(EntryOfToken(tokens[0]), 0);
    EXPECT_EQ(std::strlen(TableEntry(0).szPath), 259u);
    EXPECT_EQ(EntryOfToken(tokens[3]), 1);
    EXPECT_EQ(M().Counters().liveAllocations, 0);
  }
}

TEST_F(DiscoveryTest, UnboundHidLibraryFindsNoHidTokens) {
  const char* const unbound[] = {"HidD_GetHidGuid", "HidD_GetFeature",
                                 "HidD_SetFeature", ""};
  for (const char* function : unbound) {
    SCOPED_TRACE(function);
    UseMachine(sim::OsVersion::WindowsXp);
    sim::MachineFaults faults;
    faults.unboundFunction = function;
    faults.hidLibraryMissing = *function == '\0';
    M().SetFaults(faults);
    M().Plug();
    const sim::TokenId usb = M().Plug(Usb());
    RefreshDeviceTable();
    EXPECT_EQ(UsedEntries(), 1);
    EXPECT_EQ(TableEntry(EntryOfToken(usb)).dwKind, SLOT_DRIVER);
    EXPECT_TRUE(WireOf(WireRecord::Kind::HidSetFeature).empty());
  }
}

TEST_F(DiscoveryTest, UnboundSetupFunctionFindsNothing) {
  for (const char* function :
       {"SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"}) {
    SCOPED_TRACE(function);
    UseMachine(sim::OsVersion::WindowsXp);
    sim::MachineFaults faults;
    faults.unboundFunction = function;
    M().SetFaults(faults);
    M().Plug();
    M().Plug(Usb());
    RefreshDeviceTable();
    EXPECT_EQ(UsedEntries(), 0);
    EXPECT_EQ(M().Counters().liveAllocations, 0);
  }
}

// An enumeration that cannot be carried out (memory, the device set, the DOS
// name query) leaves the table as it was instead of dropping every token.
TEST_F(DiscoveryTest, FailedEnumerationLeavesTheTableAndLeaksNothing) {
  for (const sim::OsVersion version :
       {sim::OsVersion::WindowsXp, sim::OsVersion::WindowsNt4}) {
    for (int allowed = 0; allowed < 12; ++allowed) {
      SCOPED_TRACE(::testing::Message()
                   << static_cast<int>(version) << " after " << allowed);
      UseMachine(version);
      const sim::TokenId hid = M().Plug();
      const sim::TokenId usb1 = M().Plug(Usb());
      RefreshDeviceTable();
      const int before = UsedEntries();
      const sim::TokenId usb2 = M().Plug(Usb());

      sim::MachineFaults faults;
      faults.allocationFailuresAfter = allowed;
      M().SetFaults(faults);
      RefreshDeviceTable();
      EXPECT_EQ(M().Counters().liveAllocations, 0);
      // Tokens already listed stay listed; the new one may or may not be.
      if (version == sim::OsVersion::WindowsXp) {
        EXPECT_GE(EntryOfToken(hid), 0);
      }
      EXPECT_GE(EntryOfToken(usb1), 0);
      EXPECT_GE(UsedEntries(), before);
      (void)usb2;
    }
  }

  const sim::MachineFaults others[] = {
      [] {
        sim::MachineFaults f;
        f.classDevsFails = true;
        return f;
      }(),
      [] {
        sim::MachineFaults f;
        f.dosDeviceQueryFails = true;
        return f;
      }(),
  };
  for (const sim::OsVersion version :
       {sim::OsVersion::WindowsXp, sim::OsVersion::WindowsNt4}) {
    for (const sim::MachineFaults& fault : others) {
      UseMachine(version);
      const sim::TokenId usb = M().Plug(Usb());
      RefreshDeviceTable();
      ASSERT_EQ(EntryOfToken(usb), 0);
      M().SetFaults(fault);
      RefreshDeviceTable();
      EXPECT_EQ(EntryOfToken(usb), 0);
      EXPECT_EQ(M().Counters().liveAllocations, 0);
    }
  }
}

// A failing interface enumeration ends the walk: the interfaces before it
// are listed, the ones after are not.
TEST_F(DiscoveryTest, EnumerationFailureEndsTheWalk) {
  std::vector<sim::TokenId> tokens;
  for (int i = 0; i < 4; ++i) tokens.push_back(M().Plug(Usb()));
  sim::MachineFaults faults;
  faults.enumerationFailsAt = 2;
  M().SetFaults(faults);
  RefreshDeviceTable();
  EXPECT_EQ(EntryOfToken(tokens[0]), 0);
  EXPECT_EQ(EntryOfToken(tokens[1]), 1);
  EXPECT_EQ(EntryOfToken(tokens[2]), -1);
  EXPECT_EQ(EntryOfToken(tokens[3]), -1);
  EXPECT_EQ(M().Counters().liveAllocations, 0);
}

// A vanished token whose device a connection holds open: the refresh frees
// the entry, closes the handle and counts the monitor down.
TEST_F(DiscoveryTest, RefreshClosesTheHandleOfAVanishedOpenEntry) {
  const struct {
    sim::OsVersion version;
    sim::TokenMode mode;
  } cases[] = {{sim::OsVersion::Windows98, sim::TokenMode::Usb},
               {sim::OsVersion::WindowsNt4, sim::TokenMode::Usb},
               {sim::OsVersion::WindowsXp, sim::TokenMode::Hid}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.version));
    UseMachine(c.version);
    sim::TokenConfig config;
    config.mode = c.mode;
    const sim::TokenId gone = M().Plug(config);
    const sim::TokenId stays = M().Plug(config);
    RefreshDeviceTable();
    for (const sim::TokenId token : {gone, stays}) {
      SlotEntry& entry = TableEntry(EntryOfToken(token));
      ASSERT_TRUE(OpenSlot(entry, 1));
      entry.dwOpenCount = 1;
      StartDeviceMonitor();
    }
    SlotEntry& goneEntry = TableEntry(EntryOfToken(gone));
    ASSERT_EQ(MonitorUsers(), 2);

    const HANDLE goneHandle = goneEntry.hDevice;
    const HANDLE staysHandle = TableEntry(EntryOfToken(stays)).hDevice;
    const int staysIndex = EntryOfToken(stays);
    M().Unplug(gone);
    RefreshDeviceTable();
    EXPECT_EQ(goneEntry.dwKind, SLOT_FREE);
    EXPECT_EQ(goneEntry.hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(goneEntry.dwOpenCount, 0);
    EXPECT_EQ(MonitorUsers(), 1);
    // Retired: open until its connection is closed.
    EXPECT_EQ(M().Counters().openFileHandles, 2);
    EXPECT_EQ(DisconnectSlot(Connection{0, goneHandle, 0}, 1),
              DisconnectResult::kInvalid);
    EXPECT_EQ(M().Counters().openFileHandles, 1);

    // The last one: the count reaches 0 and a running thread ends.
    M().Unplug(stays);
    RefreshDeviceTable();
    EXPECT_EQ(MonitorUsers(), 0);
    EXPECT_FALSE(MonitorThreadRunning());
    EXPECT_EQ(DisconnectSlot(Connection{static_cast<std::uint32_t>(staysIndex),
                                        staysHandle, 0},
                             1),
              DisconnectResult::kInvalid);
    EXPECT_EQ(M().Counters().openFileHandles, 0);
    EXPECT_TRUE(WaitFor([&] { return M().Counters().threadsRunning == 0; }));
    EXPECT_FALSE(StopDeviceMonitor());
  }
}

}  // namespace
}  // namespace vantor::device::testing

namespace vantor::device::testing {
namespace {

// Without the enumeration functions nothing can be told about the devices:
// the enumeration fails and the entries already in the table stay.
TEST_F(DeviceTest, UnboundEnumerationLeavesTheTableAlone) {
  for (const char* function :
       {"SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"}) {
    SCOPED_TRACE(function);
    UseMachine(sim::OsVersion::WindowsXp);
    const sim::TokenId token = M().Plug(Usb());
    RefreshDeviceTable();
    ASSERT_EQ(UsedEntries(), 1);
    // A machine on which the function does not bind, the table kept.
    sim::TestMachine other(sim::OsVersion::WindowsXp);
    sim::MachineFaults faults;
    faults.unboundFunction = function;
    other.SetFaults(faults);
    other.Install();
    RefreshDeviceTable();
    EXPECT_EQ(UsedEntries(), 1);
    EXPECT_EQ(EntryOfToken(token), 0);
    EXPECT_EQ(other.Counters().liveAllocations, 0);
    M().Install();
  }
}

}  // namespace
}  // namespace vantor::device::testing
