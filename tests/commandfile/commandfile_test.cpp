// The card command layer against a virtual token: the commands it sends and
// the card's state afterwards (tree, sizes, cursors, application list); and
// the file identifier texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "commandfile/commandfile.h"
#include "common/wipe.h"
#include "hex_bytes.h"
#include "vantor/fixture.h"

namespace vantor::commandfile {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::MachineTest;
using testing::Token;
using testing::TokenMode;

Bytes X(const std::string& text) { return vantor::testing::HexBytes(text); }

class CommandTest : public MachineTest {
 protected:
  VXContext& Open(std::uint16_t version = 0x0230,
                  TokenMode mode = TokenMode::Hid) {
    token_ = machine().Plug(Token(mode, version));
    context_ = OpenFirst();
    return context_;
  }
  void TearDown() override {
    if (context_.hDevice != 0xFFFFFFFFu) {
      EXPECT_EQ(VXCloseDevice(&context_), VX_SUCCESS);
    }
    MachineTest::TearDown();
  }
  // The commands the card answered since the last call, in order.
  std::vector<Bytes> Sent() {
    std::vector<Bytes> out;
    for (const auto& record : machine().Apdus(token_).records) {
      out.push_back(record.command);
    }
    machine().ClearApdus(token_);
    return out;
  }
  sim::CardState Card() { return machine().Card(token_); }
  const sim::CardState::File* Child(const sim::CardState::File& dir,
                                    std::uint16_t id) {
    for (const auto& child : dir.children) {
      if (child.id == id) return &child;
    }
    return nullptr;
  }

  sim::TokenId token_ = 0;
  VXContext context_{};
};

const std::uint8_t kDir[2] = {0x10, 0x01};

// The root and a directory, with the bytes each version sends.
TEST_F(CommandTest, CreatesTheRootAndADirectory) {
  for (const std::uint16_t version :
       {std::uint16_t{0x0200}, std::uint16_t{0x0210}, std::uint16_t{0x0230}}) {
    SCOPED_TRACE(version);
    Start(testing::OsVersion::WindowsXp);
    VXContext& context = Open(version);
    ASSERT_EQ(CreateCardFile(&context, nullptr, 0, kRootDir, 0, 0), VX_SUCCESS);
    ASSERT_EQ(CreateCardFile(&context, kDir, 0x0400, kDirectory, 0, 0),
              VX_SUCCESS);
    ASSERT_EQ(FinishDirectory(&context), VX_SUCCESS);
    const std::string value =
        version >= 0x0230 ? "5138513851385138" : "0000000000000000";
    EXPECT_EQ(Sent(), (std::vector<Bytes>{
                          X("80E0000011" + value + "DFDF001E3F00000000"),
                          X("80E001000D 1001 DFDF801E 0400 1001 000000"),
                          X("80E0000100")}));
    const sim::CardState card = Card();
    ASSERT_TRUE(card.root.has_value());
    EXPECT_TRUE(card.root->finished);
    const auto* dir = Child(*card.root, 0x1001);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->end - dir->start, 0x0400u);
    // A directory costs 14 bytes and its size in its parent.
    EXPECT_EQ(card.root->cursor - card.root->start, 14u + 0x0400u);
    ASSERT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Files of each type: P2 and access bytes, refusals before anything is
// sent.
TEST_F(CommandTest, CreatesFilesOfEachType) {
  VXContext& context = Open();
  ASSERT_EQ(CreateCardFile(&context, nullptr, 0, kRootDir, 0, 0), VX_SUCCESS);
  Sent();
  const struct {
    std::uint8_t type;
    std::uint32_t flag;
    std::uint32_t result;
    const char* sent;  // null: nothing
  } cases[] = {
      {kTypeRsaPublic, 0, 0, "80E0020608 2001 68DF6868 0010"},
      {kTypeRsaPrivate, 0x100, 0, "80E0020708 2002 F0DF6868 0010"},
      {kTypeExe, 0, 0, "80E0020808 2003 00DF6868 0010"},
      {kTypeExe, 0x100, 0, "80E0020808 2004 00DF68F0 0010"},
      {kTypeData, 0, 0, "80E0020908 2005 00DF0068 0010"},
      {kTypeExeEx, 0x100, 0, "80E0020A08 2006 00DF68F0 0010"},
      {kTypeExe, 0x200, 2, nullptr},
      {kTypeExeEx, 1, 2, nullptr},
      {10, 0, 2, nullptr},
      {5, 0, 2, nullptr},
  };
  std::uint8_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    const std::uint8_t fileId[2] = {0x20, id++};
    EXPECT_EQ(CreateCardFile(&context, fileId, 0x10, kFile, c.type, c.flag),
              c.result);
    EXPECT_EQ(Sent(), c.sent != nullptr ? std::vector<Bytes>{X(c.sent)}
                                        : std::vector<Bytes>{});
  }
  EXPECT_EQ(CreateCardFile(&context, kDir, 0x10, 3, 0, 0),
            VX_INVALID_PARAMETER);
  EXPECT_EQ(SelectDirectory(&context, kDir, 2), VX_INVALID_PARAMETER);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Card().root->children.size(), 6u);
}

// The application list on versions before 2.3.0: created with a count of
// 0, an entry at 2c + 1 per directory, and refused when full.
TEST_F(CommandTest, KeepsTheApplicationList) {
  VXContext& context = Open(0x0210);
  ASSERT_EQ(CreateCardFile(&context, nullptr, 0, kRootDir, 0, 0), VX_SUCCESS);
  ASSERT_EQ(CreateAppListFile(&context), VX_SUCCESS);
  Sent();
  const std::uint8_t a[2] = {0x10, 0x01};
  const std::uint8_t b[2] = {0x10, 0x02};
  ASSERT_EQ(AddToAppList(&context, a), VX_SUCCESS);
  ASSERT_EQ(AddToAppList(&context, b), VX_SUCCESS);
  EXPECT_EQ(Sent(),
            (std::vector<Bytes>{X("00B09E0001 00"), X("00D69E0102 1001"),
                                X("00D69E0001 01"), X("00B09E0001 00"),
                                X("00D69E0302 1002"), X("00D69E0001 02")}));
  for (int i = 2; i < 128; ++i)
    ASSERT_EQ(AddToAppList(&context, a), VX_SUCCESS);
  const sim::CardState full = Card();
  const auto* list = Child(*full.root, 0x001E);
  ASSERT_NE(list, nullptr);
  const Bytes before = list->content;
  EXPECT_EQ(before[0], 128);
  EXPECT_EQ(Bytes(before.begin() + 1, before.begin() + 5), X("10011002"));
  Sent();
  EXPECT_EQ(AddToAppList(&context, b), kSwNotEnoughMemory);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{X("00B09E0001 00")}));
  const sim::CardState after = Card();
  EXPECT_EQ(Child(*after.root, 0x001E)->content, before);

  // From 2.3.0 there is no list: nothing is sent.
  ASSERT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  Start(testing::OsVersion::WindowsXp);
  VXContext& newer = Open(0x0230);
  EXPECT_EQ(CreateAppListFile(&newer), VX_SUCCESS);
  EXPECT_EQ(AddToAppList(&newer, a), VX_SUCCESS);
  EXPECT_TRUE(Sent().empty());
}

// An entry the card refuses to write leaves the list as it was: the count
// is raised only after the entry is written.
TEST_F(CommandTest, AFailedEntryLeavesTheApplicationListAsItWas) {
  VXContext& context = Open(0x0210);
  ASSERT_EQ(CreateCardFile(&context, nullptr, 0, kRootDir, 0, 0), VX_SUCCESS);
  ASSERT_EQ(CreateAppListFile(&context), VX_SUCCESS);
  const std::uint8_t a[2] = {0x10, 0x01};
  ASSERT_EQ(AddToAppList(&context, a), VX_SUCCESS);
  const Bytes before = Child(*Card().root, 0x001E)->content;
  Sent();
  // The second entry's write (P2 = 2 * 1 + 1) fails.
  machine().InjectAnswer(token_, {0xD6, 0x9E, 0x03, 1, X("6581")});
  const std::uint8_t b[2] = {0x10, 0x02};
  EXPECT_EQ(AddToAppList(&context, b), 0x6581u);
  EXPECT_EQ(Sent(),
            (std::vector<Bytes>{X("00B09E0001 00"), X("00D69E0302 1002")}));
  EXPECT_EQ(Child(*Card().root, 0x001E)->content, before);
  EXPECT_EQ(before[0], 1);
}

// A command that carries a PIN, and a buffer guarded by WipeOnExit, are
// zero when they go.
TEST(Secrets, AreWipedWhenTheyGo) {
  const Bytes pin = X("3234363831333537");
  alignas(SecretCommand) std::uint8_t storage[sizeof(SecretCommand)];
  auto* command = new (storage) SecretCommand(Row::E13VerifyPin);
  command->Bytes(5, pin.data(), 8);
  const auto holdsPin = [&] {
    return std::search(storage, storage + sizeof(storage), pin.begin(),
                       pin.end()) != storage + sizeof(storage);
  };
  EXPECT_TRUE(holdsPin());
  command->~SecretCommand();
  EXPECT_FALSE(holdsPin());

  std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  { const common::WipeOnExit wipe(buffer, 6); }
  EXPECT_EQ(Bytes(buffer, buffer + 8), X("0000000000000708"));
}

// The filler file brings the next file to 0x8000; the directory parameter,
// the root checks and erasing a directory.
TEST_F(CommandTest, FillsMemoryAndShapesDirectories) {
  VXContext& context = Open();
  std::uint32_t exists = 7;
  ASSERT_EQ(QueryRootExists(&context, &exists), VX_SUCCESS);
  EXPECT_EQ(exists, 0u);
  ASSERT_EQ(CreateCardFile(&context, nullptr, 0, kRootDir, 0, 0), VX_SUCCESS);
  ASSERT_EQ(QueryRootExists(&context, &exists), VX_SUCCESS);
  EXPECT_EQ(exists, 1u);
  EXPECT_EQ(CheckAtRoot(&context), VX_SUCCESS);

  machine().SetCardCursor(token_, 0x7000);
  std::uint16_t address = 0;
  ASSERT_EQ(GetE2Address(&context, &address), VX_SUCCESS);
  EXPECT_EQ(address, 0x7000);
  Sent();
  std::uint32_t total = 5;
  ASSERT_EQ(CreateFillerFile(&context, address, &total), VX_SUCCESS);
  EXPECT_EQ(total, 5u + 0x1000u);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{X("80E0020008 3F03 0F0F0000 0FF2")}));
  ASSERT_EQ(GetE2Address(&context, &address), VX_SUCCESS);
  EXPECT_EQ(address, 0x8000);

  ASSERT_EQ(CreateCardFile(&context, kDir, 0x0200, kDirectory, 0, 0),
            VX_SUCCESS);
  ASSERT_EQ(SelectDirectory(&context, kDir, 1), VX_SUCCESS);
  EXPECT_EQ(CheckAtRoot(&context), VX_INVALID_PARAMETER);
  std::uint32_t done = 7;
  ASSERT_EQ(SetDirParameter(&context, 0x5A, &done), VX_SUCCESS);
  EXPECT_EQ(done, 1u);
  const std::uint8_t file[2] = {0x20, 0x01};
  ASSERT_EQ(CreateCardFile(&context, file, 0x20, kFile, kTypeData, 0),
            VX_SUCCESS);
  ASSERT_EQ(EraseCurrentDir(&context), VX_SUCCESS);
  const sim::CardState erased = Card();
  const auto* dir = Child(*erased.root, 0x1001);
  ASSERT_NE(dir, nullptr);
  EXPECT_TRUE(dir->children.empty());
  EXPECT_EQ(dir->cursor, dir->start);
  EXPECT_EQ(dir->parameter, 0);
  ASSERT_EQ(SelectDirectory(&context, nullptr, 0), VX_SUCCESS);
  EXPECT_EQ(CheckAtRoot(&context), VX_SUCCESS);
  // A failed command leaves the flag at 0.
  machine().InjectAnswer(token_, {0x3A, {}, {}, 1, X("6A86")});
  EXPECT_EQ(SetDirParameter(&context, 1, &done), 0x6A86u);
  EXPECT_EQ(done, 0u);
}

TEST(FileIdText, ParsesAndChecks) {
  const struct {
    const char* text;
    std::uint32_t count;
    std::uint32_t capacity;
    int result;
    const char* bytes;
  } parses[] = {
      {"3f00", 4, 4, 2, "3F00"},
      {"\\3f00\\0001", 10, 4, 4, "3F000001"},
      {"3g00", 4, 4, -1, ""},
      {"3f00", 5, 4, -1, ""},
      {"3F0", 3, 4, 1, "3F00"},
      {"3f0000", 6, 2, -1, ""},  // more than the output holds
      {"\\", 1, 0, 0, ""},
  };
  for (const auto& p : parses) {
    SCOPED_TRACE(p.text);
    std::uint8_t out[4] = {};
    EXPECT_EQ(ParseHexText(out, p.capacity, p.text, p.count), p.result);
    const Bytes want = X(p.bytes);
    EXPECT_EQ(Bytes(out, out + want.size()), want);
  }
  const struct {
    const char* text;
    int usable;
  } ids[] = {{"3F00", 0},     {"3f00", 0},     {"001E", 0},     {"1234", 1},
             {"12343f00", 0}, {"00013f04", 0}, {"12345678", 1}, {"123", 0},
             {"123456", 0},   {"3F01", 0},     {"", 0}};
  for (const auto& id : ids) {
    EXPECT_EQ(IsUsableFileId(id.text), id.usable) << id.text;
  }
  EXPECT_EQ(HexDigitValue('g'), -1);
  EXPECT_EQ(HexDigitValue('F'), 15);
}

// Writes in chunks of 203 bytes, into the selected file or by identifier:
// each command's header, the written counter, the file's content, and the
// refusals that send nothing.
TEST_F(CommandTest, WritesInChunks) {
  struct Case {
    const char* name;
    bool byId;
    std::uint16_t offset;
    std::uint32_t length;
    int failingChunk;  // answered 6A 82; -1: none
    std::uint32_t result;
    std::vector<const char*> headers;  // what each command starts with
    std::uint32_t counter;             // starts at 7
  };
  const Case cases[] = {
      {"500 at 0100",
       false,
       0x0100,
       500,
       -1,
       0,
       {"00D60100CB", "00D601CBCB", "00D602965E"},
       7 + 500},
      {"203", false, 0, 203, -1, 0, {"00D60000CB"}, 7 + 203},
      {"nothing", false, 0x0010, 0, -1, 0, {}, 7},
      {"second chunk fails",
       false,
       0,
       500,
       1,
       0x6A82,
       {"00D60000CB", "00D600CBCB"},
       0},
      {"by id",
       true,
       0x0010,
       300,
       -1,
       0,
       {"80340000D0 2002 0010 CB", "8034000066 2002 00DB 61"},
       7 + 300},
      {"end past 0xFFFF", false, 0xFF00, 300, -1, 2, {}, 7},
  };
  const std::uint8_t file[2] = {0x20, 0x02};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(testing::OsVersion::WindowsXp);
    VXContext& context = Open();
    ASSERT_EQ(CreateCardFile(&context, nullptr, 0, kRootDir, 0, 0), 0u);
    ASSERT_EQ(CreateCardFile(&context, file, 0x0400, kFile, kTypeData, 0), 0u);
    ASSERT_EQ(SelectFile(&context, file), 0u);
    Sent();
    if (c.failingChunk >= 0) {
      sim::InjectedAnswer injected;
      injected.ins = 0xD6;
      injected.nth = c.failingChunk + 1;
      injected.answer = X("6A82");
      machine().InjectAnswer(token_, injected);
    }
    Bytes data(c.length);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    std::uint32_t counter = 7;
    const std::uint32_t chunks = c.length / kChunkLength;
    const std::uint32_t rest = c.length % kChunkLength;
    EXPECT_EQ(c.byId ? UpdateBinaryById(&context, file, c.offset, data.data(),
                                        chunks, rest, &counter)
                     : UpdateBinary(&context, c.offset, data.data(), chunks,
                                    rest, &counter),
              c.result);
    EXPECT_EQ(counter, c.counter);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), c.headers.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const Bytes header = X(c.headers[i]);
      EXPECT_EQ(Bytes(sent[i].begin(),
                      sent[i].begin() + static_cast<long>(header.size())),
                header);
    }
    if (c.result == VX_SUCCESS && c.length != 0) {
      const sim::CardState card = Card();
      const auto* written = Child(*card.root, 0x2002);
      ASSERT_NE(written, nullptr);
      EXPECT_EQ(Bytes(written->content.begin() + c.offset,
                      written->content.begin() + c.offset + c.length),
                data);
    }
    // Missing data or counter, and a remainder of a whole chunk.
    EXPECT_EQ(UpdateBinaryById(&context, file, 0, nullptr, 0, 1, &counter),
              VX_INVALID_PARAMETER);
    EXPECT_EQ(UpdateBinaryById(&context, file, 0, data.data(), 0, 0, nullptr),
              VX_INVALID_PARAMETER);
    EXPECT_EQ(UpdateBinary(&context, 0, data.data(), 0, 203, &counter),
              VX_INVALID_PARAMETER);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

}  // namespace
}  // namespace vantor::commandfile
