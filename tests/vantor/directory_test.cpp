// The directory calls on a virtual token in each mode: the exact commands
// of each device type and version, the checks in their order, the path
// forms, clearing, and root creation with a device id and its clean-up.
#include <gtest/gtest.h>

#include <cstring>

#include "card_fixture.h"

namespace vantor::testing {
namespace {

const char* const kCreateRoot =
    "80E0000011 0000000000000000 DFDF001E3F00000000";
const char* const kCreateRootQ8 =
    "80E0000011 5138513851385138 DFDF001E3F00000000";
const char* const kType200 = "80CA060001 00";
const char* const kType = "80CA070001 00";
const char* const kKeyFile = "80E0020508 3F01 F0000000 0518";
const char* const kUserPin = "80D400000F AA0005 0F6860 0F 3234363831333537";
const char* const kDevPin1 = "80D400000F BB0005 0F7970 0F 3234363831333537";
const char* const kDevPin2 = "80D400000F CC0005 79ACA0 0F 3234363831333537";
const char* const kDevPin3 = "80D400000F DD0005 ACDFD0 FF 3234363831333537";
const char* const kInternalKey = "80D400000F 000001 0FDF00 0F 3234363831333537";
const char* const kExternalKey = "80D400000F 020000 0FDF60 0F 3234363831333537";
const char* const kAppListFile = "80E0020008 001E 0FDF0000 0200";
const char* const kAppListZero = "00D69E0001 00";
const char* const kFinish = "80E0000100";
const char* const kSelectRoot = "00A4000002 3F00";
const char* const kWhere = "80CA040006 00";
const char* const kErase = "800E000000";

constexpr std::uint8_t kType1 = 0x85;  // device type 1, VM type 5
constexpr std::uint8_t kType2 = 0xC3;  // device type 2

using DirectoryTest = CardTest;

TEST_P(DirectoryTest, RootCreationSendsTheSequenceOfItsTypeAndVersion) {
  struct Case {
    std::uint16_t version;
    std::uint8_t deviceByte;
    std::vector<std::string> commands;
  };
  const std::vector<Case> cases = {
      {0x0200,
       0x00,
       {kCreateRoot, kType200, kKeyFile, kUserPin, kDevPin1, kDevPin2, kDevPin3,
        kFinish}},
      {0x0215,
       0x00,
       {kCreateRoot, kType, kKeyFile, kUserPin, kDevPin1, kDevPin2, kDevPin3,
        kFinish}},
      {0x0230,
       0x00,
       {kCreateRootQ8, kType, kKeyFile, kUserPin, kDevPin1, kDevPin2, kDevPin3,
        kFinish}},
      {0x0215,
       kType1,
       {kCreateRoot, kType, kKeyFile, kDevPin1, kDevPin2, kDevPin3, kUserPin,
        kInternalKey, kAppListFile, kAppListZero, kFinish}},
      {0x0230,
       kType1,
       {kCreateRootQ8, kType, kKeyFile, kDevPin1, kDevPin2, kDevPin3, kUserPin,
        kInternalKey, kFinish}},
      {0x0215,
       kType2,
       {kCreateRoot, kType, kKeyFile, kDevPin1, kDevPin2, kDevPin3,
        kExternalKey, kAppListFile, kAppListZero, kFinish}},
      {0x0230,
       kType2,
       {kCreateRootQ8, kType, kKeyFile, kDevPin1, kDevPin2, kDevPin3,
        kExternalKey, kFinish}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << c.version << " device " << int{c.deviceByte});
    Start(OsVersion::WindowsXp);
    VXContext context = Open(c.version, c.deviceByte);
    // The size is not looked at for the root.
    EXPECT_EQ(VXMakeDirectory(&context, "\\", 0xFFFFFFFF, VX_ROOT_DIRECTORY),
              VX_SUCCESS);
    EXPECT_EQ(Sent(), PackedAll(c.commands));
    const sim::CardState card = Card();
    ASSERT_TRUE(card.root.has_value());
    EXPECT_TRUE(card.root->finished);
    EXPECT_EQ(card.root->children.front().keys.size(),
              c.deviceByte == kType1 ? 5u : 4u);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Subdirectories and application directories: each check in its place, so
// that exactly the commands before it were sent.
TEST_P(DirectoryTest, ChildDirectoriesAreCheckedInOrder) {
  struct Case {
    const char* name;
    std::uint8_t deviceByte;
    bool inSubdirectory;  // a subdirectory is current, not the root
    const char* id;
    std::uint32_t size;
    std::uint32_t kind;
    std::uint32_t result;
    std::size_t sent;  // commands sent
  };
  const Case cases[] = {
      {"sub 134", 0x00, false, "1A2B", 134, VX_SUB_DIRECTORY, 0, 9},
      {"sub 133", 0x00, false, "1A2B", 133, VX_SUB_DIRECTORY, 516, 0},
      {"sub 0x10000", 0x00, false, "1A2B", 0x10000, VX_SUB_DIRECTORY, 2, 0},
      {"sub 0xFFFF", 0x00, false, "1A2B", 0xFFFF, VX_SUB_DIRECTORY, 0x6A84, 2},
      {"sub on type 1", kType1, false, "1A2B", 200, VX_SUB_DIRECTORY, 2, 1},
      {"sub 0000", 0x00, false, "0000", 200, VX_SUB_DIRECTORY, 2, 0},
      {"sub 00001", 0x00, false, "00001", 200, VX_SUB_DIRECTORY, 2, 0},
      {"sub 3F01 reaches the token", 0x00, false, "3F01", 200, VX_SUB_DIRECTORY,
       0x6A89, 2},
      {"sub not hex", 0x00, false, "1G2B", 200, VX_SUB_DIRECTORY, 2, 0},
      {"sub three digits", 0x00, false, "1A2", 200, VX_SUB_DIRECTORY, 2, 0},
      {"sub five digits", 0x00, false, "1A2B3", 200, VX_SUB_DIRECTORY, 2, 0},
      {"sub backslash", 0x00, false, "\\1A2", 200, VX_SUB_DIRECTORY, 2, 0},
      {"sub in a subdirectory", 0x00, true, "1A2B", 134, VX_SUB_DIRECTORY, 0,
       9},
      {"app 988", kType1, false, "1A2B", 988, VX_APP_DIRECTORY, 0, 14},
      {"app 988 type 2", kType2, false, "1A2B", 988, VX_APP_DIRECTORY, 0, 14},
      {"app 987", kType1, false, "1A2B", 987, VX_APP_DIRECTORY, 516, 1},
      {"app not at root", kType1, true, "1A2B", 987, VX_APP_DIRECTORY, 513, 1},
      {"app on type 0", 0x00, false, "1A2B", 988, VX_APP_DIRECTORY, 2, 2},
      {"kind 0xAE", 0x00, false, "1A2B", 988, 0xAE, 2, 0},
      {"root text 3F00", 0x00, false, "3F00", 0, VX_ROOT_DIRECTORY, 2, 0},
      {"root text two backslashes", 0x00, false, "\\\\", 0, VX_ROOT_DIRECTORY,
       2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = Open(0x0215, c.deviceByte);
    ASSERT_EQ(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY), 0u);
    if (c.inSubdirectory) {
      const std::uint32_t kind =
          c.deviceByte == 0 ? VX_SUB_DIRECTORY : VX_APP_DIRECTORY;
      ASSERT_EQ(VXMakeDirectory(&context, "0101", 2000, kind), 0u);
    }
    const sim::CardState before = Card();
    Clear();
    // Through the extended call without root information, which only the
    // root needs (the plain call makes the directories of the other tests).
    EXPECT_EQ(VXMakeDirectoryEx(&context, c.id, c.size, c.kind, nullptr),
              c.result);
    EXPECT_EQ(Sent().size(), c.sent);
    const sim::CardState after = Card();
    if (c.result == VX_SUCCESS) {
      // The new directory is current, finished, with its security files.
      ASSERT_EQ(after.currentDirectory.size(),
                before.currentDirectory.size() + 1);
      EXPECT_EQ(after.currentDirectory.back(), 0x1A2B);
    } else {
      EXPECT_EQ(after.currentDirectory, before.currentDirectory);
    }
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Application directories on a token before 2.3.0 are entered in the
// root's application list: a count, then the identifiers.
TEST_P(DirectoryTest, ApplicationDirectoriesFillTheApplicationList) {
  VXContext context = Open(0x0215, kType2);
  ASSERT_EQ(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY), 0u);
  for (const char* id : {"1A2B", "3c4d"}) {
    ASSERT_EQ(VXEnterDirectory(&context, "\\"), 0u);
    ASSERT_EQ(VXMakeDirectory(&context, id, 1000, VX_APP_DIRECTORY), 0u);
  }
  const sim::CardState card = Card();
  const sim::CardState::File* list = nullptr;
  for (const auto& file : card.root->children) {
    if (file.id == 0x001E) list = &file;
  }
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(Hex({list->content.begin(), list->content.begin() + 5}),
            "021A2B3C4D");
  const auto& app = card.root->children.back();
  EXPECT_EQ(app.parameter, 10);
  EXPECT_TRUE(app.finished);
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

// The path forms are swept by the path-text fuzz target against a reference
// of its own; here one path of each reach, and a refused one sends nothing.
TEST_P(DirectoryTest, PathsSelectTheirDirectoriesOrNothing) {
  struct Case {
    const char* path;
    std::vector<std::string> commands;  // empty: refused with 2
    std::vector<std::uint16_t> current;
  };
  const char* const k1A2B = "00A4000002 1A2B";
  const char* const k3C4D = "00A4000002 3C4D";
  const std::vector<Case> cases = {
      {"\\", {kSelectRoot}, {0x3F00}},
      {"1a2b", {k1A2B}, {0x3F00, 0x1A2B}},
      {"1A2B\\3C4D\\", {kSelectRoot, k1A2B, k3C4D}, {0x3F00, 0x1A2B, 0x3C4D}},
      {"1A2B\\\\3C4D", {}, {}},
  };
  VXContext context = Open(0x0230, 0x00);
  ASSERT_EQ(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY), 0u);
  ASSERT_EQ(VXMakeDirectory(&context, "1A2B", 1000, VX_SUB_DIRECTORY), 0u);
  ASSERT_EQ(VXMakeDirectory(&context, "3C4D", 200, VX_SUB_DIRECTORY), 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_EQ(VXEnterDirectory(&context, "\\"), 0u);
    const std::vector<std::uint16_t> before = Card().currentDirectory;
    Clear();
    EXPECT_EQ(VXEnterDirectory(&context, c.path),
              c.commands.empty() ? VX_INVALID_PARAMETER : VX_SUCCESS);
    EXPECT_EQ(Sent(), PackedAll(c.commands));
    EXPECT_EQ(Card().currentDirectory, c.commands.empty() ? before : c.current);
  }
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_P(DirectoryTest, ClearingEmptiesADirectoryAndRemovesTheRoot) {
  VXContext context = Open(0x0230, 0x00);
  ASSERT_EQ(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY), 0u);
  ASSERT_EQ(VXMakeDirectory(&context, "1A2B", 1000, VX_SUB_DIRECTORY), 0u);
  ASSERT_EQ(VXMakeDirectory(&context, "3C4D", 200, VX_SUB_DIRECTORY), 0u);
  ASSERT_EQ(VXEnterDirectory(&context, "\\1A2B"), 0u);
  EXPECT_EQ(VXClearDirectory(&context, 1), VX_INVALID_PARAMETER);
  Clear();
  EXPECT_EQ(VXClearDirectory(&context, 0), VX_SUCCESS);
  EXPECT_EQ(Sent(), PackedAll({kErase, kWhere, kType, kKeyFile, kUserPin,
                               kDevPin1, kDevPin2, kDevPin3, kFinish}));
  const sim::CardState card = Card();
  const auto& dir = card.root->children.back();
  ASSERT_EQ(dir.children.size(), 1u);  // the new key file only
  EXPECT_EQ(dir.children[0].keys.size(), 4u);

  ASSERT_EQ(VXEnterDirectory(&context, "\\"), 0u);
  Clear();
  EXPECT_EQ(VXClearDirectory(&context, 0), VX_SUCCESS);
  EXPECT_EQ(Sent(), PackedAll({kErase, kWhere}));
  EXPECT_FALSE(Card().root.has_value());
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

// Root creation with a device id: the id reaches the ATR and the context;
// a failure to write it erases the root again, and a failure of that is
// reported as such. Root information that is absent or of another size is
// refused before anything is sent.
TEST_P(DirectoryTest, RootWithDeviceIdAndItsCleanUp) {
  // An ATR with 7 historical bytes: the card extends it to 15 when the
  // root holds the id, so its length changes.
  constexpr std::uint32_t kInfo = sizeof(VXROOTINFO);
  const std::vector<std::uint8_t> shortAtr =
      HexBytes("3B 07 00 02 30 00 00 00 00");
  struct Case {
    const char* name;
    std::uint32_t infoSize;  // 0: no root information
    bool shortAtr;
    std::uint8_t injectIns;  // 0: nothing injected
    std::uint8_t injectP2;
    const char* answer;
    std::uint32_t result;
    bool rootLeft;
  };
  const Case cases[] = {
      {"id written", kInfo, false, 0, 0, "", 0, true},
      {"ATR length changes", kInfo, true, 0, 0, "", VX_ATR_CHANGED, false},
      {"developer PIN refused", kInfo, false, 0x20, 0xCC, "63CE", 0x63CE, true},
      {"id write fails", kInfo, false, 0xD6, 0x00, "6581", 0x6581, false},
      {"clean-up fails", kInfo, true, 0x0E, 0x00, "6581", VX_ROOT_NOT_REMOVED,
       true},
      {"information of 8 bytes", 8, false, 0, 0, "", 2, false},
      {"no information", 0, false, 0, 0, "", 2, false},
  };
  VXROOTINFO info{};
  std::memcpy(info.bDeviceId, "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context =
        Open(0x0230, 0x00, c.shortAtr ? std::optional(shortAtr) : std::nullopt);
    const VXContext listed = context;
    if (c.injectIns != 0) Inject(c.injectIns, c.injectP2, c.answer);
    info.dwSize = c.infoSize;
    EXPECT_EQ(VXMakeDirectoryEx(&context, "\\", 0, VX_ROOT_DIRECTORY,
                                c.infoSize != 0 ? &info : nullptr),
              c.result);
    if (c.result == VX_INVALID_PARAMETER) {
      EXPECT_TRUE(Sent().empty());
    }
    EXPECT_EQ(Card().root.has_value(), c.rootLeft);
    EXPECT_EQ(std::memcmp(context.bDeviceId,
                          c.result == 0 ? info.bDeviceId : listed.bDeviceId, 8),
              0);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, DirectoryTest,
                         ::testing::Values(TokenMode::Usb, TokenMode::Hid),
                         [](const ::testing::TestParamInfo<TokenMode>& row) {
                           return std::string(
                               row.param == TokenMode::Hid ? "Hid" : "Usb");
                         });

}  // namespace
}  // namespace vantor::testing
