// VXStoreFile end to end on a virtual token: the commands each operation
// sends, the files and contents the card holds afterwards, the limits and
// refusals (with nothing sent), the device-type rules and the filler file
// in front of an executable file at the 0x8000 boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "card_fixture.h"
#include "hex_bytes.h"

namespace vantor::testing {
namespace {

namespace cmd = commandfile;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
constexpr std::uint8_t kFileId[2] = {0x1A, 0x2B};

Bytes X(const std::string& text) { return HexBytes(text); }

Bytes Pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
  }
  return bytes;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

using FileTest = CardTest;

// A file of L bytes is created with its data in 3 + ceil(L / 203) commands
// (device type, create, select, writes) and rewritten in 2 + ceil(L / 203);
// each write carries its chunk at its offset and the card holds the data.
TEST_F(FileTest, DataGoesInChunksOf203) {
  for (std::uint32_t length : {0u, 1u, 203u, 204u, 0x7FFFu}) {
    SCOPED_TRACE(length);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenCard();
    const std::uint32_t size = std::max(length, 1u);
    for (const bool create : {true, false}) {
      const Bytes data = Pattern(size, create ? 1 : 2);
      std::uint32_t count = kUntouched;
      const std::uint32_t result = VXStoreFile(
          &context, "1a2b", 0, data.data(), length, create ? size : 0, &count,
          create ? VX_FILE_CREATE : VX_FILE_UPDATE, VX_TYPE_DATA);
      if (!create && length == 0) {  // an update needs data
        EXPECT_EQ(result, VX_INVALID_PARAMETER);
        EXPECT_TRUE(Commands().empty());
        break;
      }
      ASSERT_EQ(result, VX_SUCCESS);
      EXPECT_EQ(count, length);
      const std::vector<Bytes> commands = Commands();
      const std::size_t fixed = create ? 3 : 2;
      ASSERT_EQ(commands.size(), fixed + (length + 202) / 203);
      EXPECT_EQ(commands[0], X("80CA070001 00"));
      if (create) {
        Bytes created = X("80E0020908 1A2B 00DF0068");
        created.push_back(static_cast<std::uint8_t>(size >> 8));
        created.push_back(static_cast<std::uint8_t>(size));
        EXPECT_EQ(commands[1], created);
      }
      EXPECT_EQ(commands[fixed - 1], X("00A4020002 1A2B"));
      Bytes sent;
      for (std::size_t k = fixed; k < commands.size(); ++k) {
        const std::size_t at = (k - fixed) * 203;
        const Bytes header = {
            0x00, 0xD6, static_cast<std::uint8_t>(at >> 8),
            static_cast<std::uint8_t>(at),
            static_cast<std::uint8_t>(std::min<std::size_t>(203, length - at))};
        EXPECT_EQ(Slice(commands[k], 0, 5), header);
        sent.insert(sent.end(), commands[k].begin() + 5, commands[k].end());
      }
      EXPECT_EQ(sent, Slice(data, 0, length));
      const auto* file = Find(0x1A2B);
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(Slice(file->content, 0, length), Slice(data, 0, length));
      machine().ClearApdus(token_);
    }
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Created files of each type: where the data lands, by which command, with
// which type byte and access bytes, and the count.
TEST_F(FileTest, CreatedFilesHoldTheirData) {
  const struct {
    const char* name;
    std::uint32_t flags;
    std::uint32_t type;
    std::uint32_t offset, length, size;
    const char* write;  // the first write command's header
    std::uint8_t p2;
    const char* access;
  } cases[] = {
      {"data at an offset", VX_FILE_CREATE, VX_TYPE_DATA, 10, 20, 30,
       "00D6000A14", 0x09, "00DF0068"},
      {"executable", VX_FILE_CREATE, VX_TYPE_EXE, 0, 20, 20, "00D6000014", 0x08,
       "00DF6868"},
      {"executable, other access", VX_FILE_CREATE | VX_EXE_ACCESS_FLAG,
       VX_TYPE_EXE | 0x100, 0, 20, 20, "00D6000014", 0x08, "00DF68F0"},
      {"extended executable by id", VX_FILE_CREATE | 0xFFFF0000u,
       VX_TYPE_EXE_EX, 0, 20, 146, "8034000019 1A2B 0000 14", 0x0A, "00DF6868"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenCard();
    const Bytes data = Pattern(c.length, 7);
    std::uint32_t count = kUntouched;
    ASSERT_EQ(VXStoreFile(&context, "1A2B", c.offset, data.data(), c.length,
                          c.size, &count, c.flags, c.type),
              VX_SUCCESS);
    EXPECT_EQ(count, c.length);
    const std::vector<Bytes> commands = Commands();
    ASSERT_EQ(commands.size(), 4u);
    const Bytes header = X(c.write);
    EXPECT_EQ(Slice(commands[3], 0, header.size()), header);
    const auto* file = Find(0x1A2B);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->type, c.p2);
    EXPECT_EQ(Bytes(file->access.begin(), file->access.end()), X(c.access));
    EXPECT_EQ(file->size, c.size);
    EXPECT_EQ(Slice(file->content, c.offset, c.length), data);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Refused requests change nothing and send nothing: sizes and sums past
// 0x7FFF (also where a 32-bit sum would wrap), the rules of each type and
// operation, identifier texts, and a public exponent longer than 4 bytes.
TEST_F(FileTest, RefusalsSendNothing) {
  const struct {
    const char* name;
    std::uint16_t version;
    std::uint32_t flags, type;
    const char* id;
    std::uint32_t offset;
    bool data;
    std::uint32_t length, size, result;
  } cases[] = {
      {"size 0x8000", 0x0230, VX_FILE_CREATE, 9, "1A2C", 0, false, 0, 0x8000,
       515},
      {"end past 0x7FFF", 0x0230, VX_FILE_UPDATE, 9, "1A2B", 0x7F00, true,
       0x100, 0, 515},
      {"offset + length wraps", 0x0230, VX_FILE_UPDATE, 9, "1A2B", 0xFFFFFF00u,
       true, 0x100, 0, 515},
      {"length + offset wraps", 0x0230, VX_FILE_UPDATE, 9, "1A2B", 0x10, true,
       0xFFFFFFF8u, 0, 515},
      {"create wraps", 0x0230, VX_FILE_CREATE, 9, "1A2C", 0xFFFFFFFFu, true, 1,
       0x100, 515},
      {"past the file", 0x0230, VX_FILE_CREATE, 9, "1A2C", 11, true, 20, 30, 2},
      {"public key source 255", 0x0230, VX_FILE_CREATE, 6, "1A2C", 0, true, 255,
       136, 2},
      {"public key file 135", 0x0230, VX_FILE_CREATE, 6, "1A2C", 0, false, 0,
       135, 2},
      {"private key at an offset", 0x0230, VX_FILE_CREATE, 7, "1A2C", 1, false,
       0, 330, 2},
      {"exponent of 125 bytes", 0x0230, VX_FILE_CREATE, 6, "1A2C", 0, true, 256,
       136, 2},
      {"exponent of 125 bytes, update", 0x0230, VX_FILE_UPDATE, 6, "1A2B", 0,
       true, 256, 0, 2},
      {"executable access 0x0200", 0x0230, VX_FILE_CREATE | 0x0200, 8, "1A2C",
       0, false, 0, 16, 2},
      {"extended executable, 125 spare", 0x0230, VX_FILE_CREATE, 11, "1A2C", 0,
       true, 10, 135, 2},
      {"extended executable on 2.2.0", 0x0220, VX_FILE_CREATE, 11, "1A2C", 0,
       true, 10, 136, 2},
      {"extended executable update on 2.2.0", 0x0220, VX_FILE_UPDATE, 11,
       "1A2B", 0, true, 10, 0, 2},
      {"filler flag on 2.0.0", 0x0200, VX_FILE_CREATE | VX_EXE_ALLOW_FILLER, 8,
       "1A2C", 0, false, 0, 16, 2},
      {"executable update at an offset", 0x0230, VX_FILE_UPDATE, 8, "1A2B", 100,
       true, 10, 0, 2},
      {"update with a size", 0x0230, VX_FILE_UPDATE, 9, "1A2B", 0, true, 10, 10,
       2},
      {"update without data", 0x0230, VX_FILE_UPDATE, 9, "1A2B", 0, false, 0, 0,
       2},
      {"length without data", 0x0230, VX_FILE_CREATE, 9, "1A2C", 0, false, 10,
       16, 2},
      {"reserved id", 0x0230, VX_FILE_CREATE, 9, "3f01", 0, false, 0, 16, 2},
      {"not hexadecimal", 0x0230, VX_FILE_CREATE, 9, "1A2G", 0, false, 0, 16,
       2},
      {"backslash", 0x0230, VX_FILE_CREATE, 9, "\\1A2", 0, false, 0, 16, 2},
      {"five digits", 0x0230, VX_FILE_CREATE, 9, "1A2B3", 0, false, 0, 16, 2},
      {"no id", 0x0230, VX_FILE_CREATE, 9, nullptr, 0, false, 0, 16, 2},
      {"type 0", 0x0230, VX_FILE_CREATE, 0, "1A2C", 0, false, 0, 16, 2},
      {"type 10", 0x0230, VX_FILE_CREATE, 10, "1A2C", 0, false, 0, 16, 2},
      {"operation 0xA9", 0x0230, 0xA9, 9, "1A2C", 0, false, 0, 16, 2},
      {"key pair with data", 0x0230, VX_FILE_RSA_PAIR, 0, "1A2C3C4D", 0, true,
       10, 0, 2},
      {"key pair, reserved half", 0x0230, VX_FILE_RSA_PAIR, 0, "1A2C3F01", 0,
       false, 0, 0, 2},
      {"key pair, one id", 0x0230, VX_FILE_RSA_PAIR, 0, "1A2C", 0, false, 0, 0,
       2},
      {"parameter 65", 0x0230, VX_FILE_SET_PARAM, 0, nullptr, 0, false, 0, 65,
       2},
      {"parameter 0", 0x0230, VX_FILE_SET_PARAM, 0, nullptr, 0, false, 0, 0, 2},
      {"parameter with an id", 0x0230, VX_FILE_SET_PARAM, 0, "1A2B", 0, false,
       0, 10, 2},
  };
  // Any key source here has a public exponent longer than 4 bytes.
  Bytes data(1024, 0);
  data[130] = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenCard(c.version);
    ASSERT_EQ(cmd::CreateCardFile(&context, kFileId, 0x7FFF, cmd::kFile,
                                  cmd::kTypeData, 0),
              VX_SUCCESS);
    machine().ClearApdus(token_);
    std::uint32_t count = kUntouched;
    EXPECT_EQ(
        VXStoreFile(&context, c.id, c.offset, c.data ? data.data() : nullptr,
                    c.length, c.size, &count, c.flags, c.type),
        c.result);
    EXPECT_EQ(count, kUntouched);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(Find(0x1A2C), nullptr);
    const auto* file = Find(0x1A2B);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->content, Bytes(0x7FFF, 0));
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Device types 1 and 2 keep no files in the root (514, for every
// operation); the parameter is theirs only; extended executable files are
// device type 0's.
TEST_F(FileTest, DeviceTypeRules) {
  const struct {
    const char* name;
    std::uint8_t deviceByte;
    bool inDirectory;
    std::uint32_t flags, type;
    const char* id;
    std::uint32_t length, size, result, count;
  } cases[] = {
      {"create at the root", 0x80, false, VX_FILE_CREATE, 9, "1A2C", 0, 16, 514,
       kUntouched},
      {"update at the root", 0xC0, false, VX_FILE_UPDATE, 9, "1A2C", 4, 0, 514,
       kUntouched},
      {"key pair at the root", 0xC0, false, VX_FILE_RSA_PAIR, 0, "1A2C3C4D", 0,
       0, 514, kUntouched},
      {"parameter at the root", 0x80, false, VX_FILE_SET_PARAM, 0, nullptr, 0,
       10, 514, kUntouched},
      {"parameter in a directory", 0x80, true, VX_FILE_SET_PARAM, 0, nullptr, 0,
       10, 0, 1},
      {"parameter on device type 0", 0x00, false, VX_FILE_SET_PARAM, 0, nullptr,
       0, 10, 32, kUntouched},
      {"extended executable on type 1", 0x80, true, VX_FILE_CREATE, 11, "1A2C",
       0, 200, 2, kUntouched},
      {"create in a directory", 0x80, true, VX_FILE_CREATE, 9, "1A2C", 0, 16, 0,
       0},
  };
  const Bytes data(16, 0x5A);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenCard(0x0230, c.deviceByte, c.inDirectory);
    std::uint32_t count = kUntouched;
    EXPECT_EQ(
        VXStoreFile(&context, c.id, 0, c.length != 0 ? data.data() : nullptr,
                    c.length, c.size, &count, c.flags, c.type),
        c.result);
    EXPECT_EQ(count, c.count);
    const std::vector<Bytes> commands = Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0], X("80CA070001 00"));
    const sim::CardState state = machine().Card(token_);
    const std::uint8_t parameter = c.inDirectory
                                       ? state.root->children.back().parameter
                                       : state.root->parameter;
    EXPECT_EQ(parameter, c.result == 0 && c.count == 1 ? c.size : 0u);
    EXPECT_EQ(Find(0x1A2C) != nullptr, c.result == 0 && c.count == 0);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// An executable file that would cross 0x8000 on versions after 2.0.0 and
// before 2.3.0: refused with 33, or placed at 0x8000 behind a filler file
// 3F03 when the flags allow one. Refused arguments never leave a filler.
TEST_F(FileTest, FillerFileAtTheBoundary) {
  const struct {
    const char* name;
    std::uint16_t version;
    std::uint32_t cursor, flags, size;
    const char* id;
    std::uint32_t access, result, count;
    std::uint32_t filler;  // its size; 0 for none
  } cases[] = {
      {"crossing, no flag", 0x0210, 0x7F00, 0, 0x100, "1A2B", 0, 33, kUntouched,
       0},
      {"crossing, filler", 0x0210, 0x7F00, VX_EXE_ALLOW_FILLER, 0x100, "1A2B",
       0, 0, 0x200, 242},
      {"ends at 0x7FFF", 0x0220, 0x7F00, 0, 0xF1, "1A2B", 0, 0, 0xF1, 0},
      {"ends at 0x8000", 0x0220, 0x7F00, 0, 0xF2, "1A2B", 0, 33, kUntouched, 0},
      {"starts past 0x7FF1", 0x0210, 0x7FF2, 0, 0x100, "1A2B", 0, 0, 0x100, 0},
      {"smallest filler", 0x0210, 0x7FF1, VX_EXE_ALLOW_FILLER, 0x10, "1A2B", 0,
       0, 0x1F, 1},
      {"no rule on 2.3.0", 0x0230, 0x7F00, 0, 0x100, "1A2B", 0, 0, 0x100, 0},
      {"no rule on 2.0.0", 0x0200, 0x7F00, 0, 0x100, "1A2B", 0, 0, 0x100, 0},
      {"filler, id not hexadecimal", 0x0210, 0x7F00, VX_EXE_ALLOW_FILLER, 0x100,
       "1A2G", 0, 2, kUntouched, 0},
      {"filler, access 0x0200", 0x0210, 0x7F00, VX_EXE_ALLOW_FILLER, 0x100,
       "1A2B", 0x0200, 2, kUntouched, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenCard(c.version);
    machine().SetCardCursor(token_, c.cursor);
    const Bytes data = Pattern(c.size, 3);
    std::uint32_t count = kUntouched;
    EXPECT_EQ(
        VXStoreFile(&context, c.id, 0, data.data(), c.size, c.size, &count,
                    VX_FILE_CREATE | c.flags | c.access, VX_TYPE_EXE),
        c.result);
    EXPECT_EQ(count, c.count);
    const auto* filler = Find(0x3F03);
    EXPECT_EQ(filler != nullptr ? filler->size : 0u, c.filler);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    const auto* file = Find(0x1A2B);
    ASSERT_EQ(file != nullptr, c.result == 0);
    if (file == nullptr) continue;
    if (c.filler != 0) {
      EXPECT_EQ(file->address, 0x8000u);
    }
    EXPECT_EQ(file->content, data);
  }
}

// A key pair: both key files made and filled by the card in the record
// layouts; key files written from their key sources.
TEST_F(FileTest, RsaKeyFiles) {
  VXContext context = OpenCard();
  std::uint32_t count = kUntouched;
  ASSERT_EQ(VXStoreFile(&context, "1A2B3C4D", 0, nullptr, 0, 0, &count,
                        VX_FILE_RSA_PAIR, 0),
            VX_SUCCESS);
  EXPECT_EQ(count, 466u);
  const std::vector<Bytes> pairCommands = {
      X("80CA070001 00"), X("80E0020608 1A2B 68DF6868 0088"),
      X("80E0020708 3C4D F0DF6868 014A"), X("80CE000104 1A2B 3C4D")};
  EXPECT_EQ(Commands(), pairCommands);
  const auto checkTags = [](const Bytes& content,
                            const std::vector<std::size_t>& at,
                            const Bytes& tags, const Bytes& lengths) {
    for (std::size_t k = 0; k < at.size(); ++k) {
      EXPECT_EQ(content[at[k]], tags[k]) << at[k];
      EXPECT_EQ(content[at[k] + 1], lengths[k]) << at[k];
    }
  };
  const std::vector<std::size_t> privateAt = {0, 66, 132, 198, 264};
  const Bytes privateTags = X("70 71 50 51 49");
  const Bytes privateLengths = X("40 40 40 40 40");
  ASSERT_NE(Find(0x1A2B), nullptr);
  ASSERT_EQ(Find(0x1A2B)->content.size(), 136u);
  checkTags(Find(0x1A2B)->content, {0, 130}, X("6E 65"), X("80 04"));
  ASSERT_EQ(Find(0x3C4D)->content.size(), 330u);
  checkTags(Find(0x3C4D)->content, privateAt, privateTags, privateLengths);

  // Key files written from key sources: the records the files keep.
  const Bytes publicSource = [] {
    Bytes source = Pattern(256, 9);
    std::fill(source.begin() + 128, source.begin() + 252, 0);
    return source;
  }();
  const Bytes privateSource = Pattern(704, 11);
  const struct {
    std::uint32_t type;
    const char* id;
    const Bytes* source;
    std::uint32_t size;
    std::vector<std::size_t> writes;
  } files[] = {
      {VX_TYPE_RSA_PUBLIC, "5A01", &publicSource, 136, {136}},
      {VX_TYPE_RSA_PRIVATE, "5A02", &privateSource, 330, {203, 127}},
  };
  for (const auto& f : files) {
    for (const bool create : {true, false}) {
      machine().ClearApdus(token_);
      count = kUntouched;
      ASSERT_EQ(VXStoreFile(&context, f.id, 0, f.source->data(),
                            static_cast<std::uint32_t>(f.source->size()),
                            create ? f.size : 0, &count,
                            create ? VX_FILE_CREATE : VX_FILE_UPDATE, f.type),
                VX_SUCCESS);
      EXPECT_EQ(count, f.size);
      const std::vector<Bytes> commands = Commands();
      ASSERT_EQ(commands.size(), (create ? 3 : 2) + f.writes.size());
      for (std::size_t k = 0; k < f.writes.size(); ++k) {
        EXPECT_EQ(commands[commands.size() - f.writes.size() + k].size(),
                  5 + f.writes[k]);
      }
    }
  }
  const Bytes publicRecord = Find(0x5A01)->content;
  checkTags(publicRecord, {0, 130}, X("6E 65"), X("80 04"));
  EXPECT_EQ(Slice(publicRecord, 2, 128), Slice(publicSource, 0, 128));
  EXPECT_EQ(Slice(publicRecord, 132, 4), Slice(publicSource, 252, 4));
  const Bytes privateRecord = Find(0x5A02)->content;
  checkTags(privateRecord, privateAt, privateTags, privateLengths);
  for (std::size_t k = 0; k < privateAt.size(); ++k) {
    EXPECT_EQ(Slice(privateRecord, privateAt[k] + 2, 64),
              Slice(privateSource, 384 + 64 * k, 64));
  }
  // A key file without a source is created only.
  count = kUntouched;
  EXPECT_EQ(VXStoreFile(&context, "5A03", 0, nullptr, 0, 136, &count,
                        VX_FILE_CREATE, VX_TYPE_RSA_PUBLIC),
            VX_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_NE(Find(0x5A03), nullptr);
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

// A write that fails part-way passes the card's status word through and
// reports no count.
TEST_F(FileTest, FailedChunkReportsNoCount) {
  VXContext context = OpenCard();
  sim::InjectedAnswer injected;
  injected.ins = 0xD6;
  injected.nth = 2;
  injected.answer = X("6581");
  machine().InjectAnswer(token_, injected);
  const Bytes data = Pattern(500, 5);
  std::uint32_t count = kUntouched;
  EXPECT_EQ(VXStoreFile(&context, "1A2B", 0, data.data(), 500, 500, &count,
                        VX_FILE_CREATE, VX_TYPE_DATA),
            0x6581u);
  EXPECT_EQ(count, kUntouched);
  EXPECT_EQ(Commands().size(), 5u);  // the third chunk is not sent
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

}  // namespace
}  // namespace vantor::testing
