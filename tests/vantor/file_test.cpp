// VXStoreFile on a virtual token: the commands each operation sends, what
// the card holds afterwards, refusals with nothing sent, the device-type
// rules and the filler file in front of an executable file at 0x8000.
#include <gtest/gtest.h>

#include <algorithm>

#include "card_fixture.h"

namespace vantor::testing {
namespace {

namespace cmd = commandfile;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
const char* const kType = "80CA070001 00";

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

using FileTest = RootCardTest;

// L bytes go in ceil(L / 203) writes at rising offsets: after the device
// type, create and select for a new file, after the select for an update.
TEST_P(FileTest, DataGoesInChunksOf203) {
  for (std::uint32_t length : {0u, 1u, 203u, 204u, 0x7FFFu}) {
    SCOPED_TRACE(length);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenRoot();
    const std::uint32_t size = std::max(length, 1u);
    for (const bool create : {true, false}) {
      const Bytes data = Pattern(size, create ? 1 : 2);
      std::uint32_t count = kUntouched;
      const std::uint32_t result = VXStoreFile(
          &context, "1a2b", 0, data.data(), length, create ? size : 0, &count,
          create ? VX_FILE_CREATE : VX_FILE_UPDATE, VX_TYPE_DATA);
      std::vector<std::string> sent = {Packed(kType)};
      if (create) {
        sent.push_back(Packed("80E0020908 1A2B 00DF0068") +
                       Hex({static_cast<std::uint8_t>(size >> 8),
                            static_cast<std::uint8_t>(size)}));
      }
      sent.push_back(Packed("00A4020002 1A2B"));
      for (std::uint32_t at = 0; at < length; at += 203) {
        const std::uint32_t n = std::min(203u, length - at);
        Bytes write = {0x00, 0xD6, static_cast<std::uint8_t>(at >> 8),
                       static_cast<std::uint8_t>(at),
                       static_cast<std::uint8_t>(n)};
        write.insert(write.end(), data.begin() + at, data.begin() + at + n);
        sent.push_back(Hex(write));
      }
      if (!create && length == 0) {  // an update needs data
        EXPECT_EQ(result, VX_INVALID_PARAMETER);
        sent.clear();
      } else {
        EXPECT_EQ(result, VX_SUCCESS);
        EXPECT_EQ(count, length);
        EXPECT_EQ(Slice(Find(0x1A2B)->content, 0, length),
                  Slice(data, 0, length));
      }
      EXPECT_EQ(Sent(), sent);
      Clear();
    }
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// New files of each type: the card's type byte and access bytes, the
// first write command and where the data lands.
TEST_P(FileTest, CreatedFilesHoldTheirData) {
  const struct {
    std::uint32_t flags, type, offset, length, size;
    const char* write;  // header of the write command
    std::uint8_t p2;
    const char* access;
  } cases[] = {
      {VX_FILE_CREATE, 9, 10, 20, 30, "00D6000A14", 0x09, "00DF0068"},
      {VX_FILE_CREATE, 8, 0, 20, 20, "00D6000014", 0x08, "00DF6868"},
      {VX_FILE_CREATE | VX_EXE_ACCESS_FLAG | 0xFFFF0000u, 0x108, 0, 20, 20,
       "00D6000014", 0x08, "00DF68F0"},
      {VX_FILE_CREATE, 11, 0, 20, 146, "8034000019 1A2B 0000 14", 0x0A,
       "00DF6868"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.write);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenRoot();
    const Bytes data = Pattern(c.length, 7);
    std::uint32_t count = kUntouched;
    EXPECT_EQ(VXStoreFile(&context, "1A2B", c.offset, data.data(), c.length,
                          c.size, &count, c.flags, c.type),
              VX_SUCCESS);
    EXPECT_EQ(count, c.length);
    ASSERT_EQ(Sent().size(), 4u);
    EXPECT_EQ(Sent()[3].rfind(Packed(c.write), 0), 0u) << Sent()[3];
    const auto* file = Find(0x1A2B);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->type, c.p2);
    EXPECT_EQ(Hex({file->access.begin(), file->access.end()}), c.access);
    EXPECT_EQ(Slice(file->content, c.offset, c.length), data);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Refused requests send nothing and change nothing: sizes and ends past
// 0x7FFF (also where a 32-bit sum would wrap), the rules of each type and
// operation, identifier texts, and an exponent longer than 4 bytes.
TEST_P(FileTest, RefusalsSendNothing) {
  const struct {
    std::uint16_t version;
    std::uint32_t flags, type;
    const char* id;
    std::uint32_t offset;
    bool data;
    std::uint32_t length, size, result;
  } cases[] = {
      {0x0230, VX_FILE_CREATE, 9, "1A2C", 0, false, 0, 0x8000, 515},
      {0x0230, VX_FILE_UPDATE, 9, "1A2B", 0x7F00, true, 0x100, 0, 515},
      {0x0230, VX_FILE_UPDATE, 9, "1A2B", 0xFFFFFF00u, true, 0x100, 0, 515},
      {0x0230, VX_FILE_UPDATE, 9, "1A2B", 0x10, true, 0xFFFFFFF8u, 0, 515},
      {0x0230, VX_FILE_CREATE, 9, "1A2C", 0xFFFFFFFFu, true, 1, 0x100, 515},
      {0x0230, VX_FILE_CREATE, 9, "1A2C", 11, true, 20, 30, 2},
      {0x0230, VX_FILE_CREATE, 6, "1A2C", 0, true, 255, 136, 2},
      {0x0230, VX_FILE_CREATE, 6, "1A2C", 0, false, 0, 135, 2},
      {0x0230, VX_FILE_CREATE, 7, "1A2C", 1, false, 0, 330, 2},
      {0x0230, VX_FILE_CREATE, 6, "1A2C", 0, true, 256, 136, 2},  // exponent
      {0x0230, VX_FILE_UPDATE, 6, "1A2B", 0, true, 256, 0, 2},    // exponent
      {0x0230, VX_FILE_CREATE | 0x0200, 8, "1A2C", 0, false, 0, 16, 2},
      {0x0230, VX_FILE_CREATE, 11, "1A2C", 0, true, 10, 135, 2},
      {0x0220, VX_FILE_CREATE, 11, "1A2C", 0, true, 10, 136, 2},
      {0x0220, VX_FILE_UPDATE, 11, "1A2B", 0, true, 10, 0, 2},
      {0x0200, VX_FILE_CREATE | VX_EXE_ALLOW_FILLER, 8, "1A2C", 0, false, 0, 16,
       2},
      {0x0230, VX_FILE_UPDATE, 8, "1A2B", 100, true, 10, 0, 2},
      {0x0230, VX_FILE_UPDATE, 9, "1A2B", 0, true, 10, 10, 2},
      {0x0230, VX_FILE_UPDATE, 9, "1A2B", 0, false, 0, 0, 2},
      {0x0230, VX_FILE_CREATE, 9, "1A2C", 0, false, 10, 16, 2},
      {0x0230, VX_FILE_CREATE, 9, "3f01", 0, false, 0, 16, 2},
      {0x0230, VX_FILE_CREATE, 9, "1A2G", 0, false, 0, 16, 2},
      {0x0230, VX_FILE_CREATE, 9, "\\1A2", 0, false, 0, 16, 2},
      {0x0230, VX_FILE_CREATE, 9, "1A2B3", 0, false, 0, 16, 2},
      {0x0230, VX_FILE_CREATE, 9, nullptr, 0, false, 0, 16, 2},
      {0x0230, VX_FILE_CREATE, 10, "1A2C", 0, false, 0, 16, 2},
      {0x0230, 0xA9, 9, "1A2C", 0, false, 0, 16, 2},
      {0x0230, VX_FILE_RSA_PAIR, 0, "1A2C3C4D", 0, true, 10, 0, 2},
      {0x0230, VX_FILE_RSA_PAIR, 0, "1A2C3F01", 0, false, 0, 0, 2},
      {0x0230, VX_FILE_RSA_PAIR, 0, "1A2C", 0, false, 0, 0, 2},
      {0x0230, VX_FILE_SET_PARAM, 0, nullptr, 0, false, 0, 65, 2},
      {0x0230, VX_FILE_SET_PARAM, 0, "1A2B", 0, false, 0, 10, 2},
  };
  // As a key source, this one's exponent is longer than 4 bytes.
  Bytes data(1024, 0);
  data[130] = 1;
  const std::uint8_t existing[2] = {0x1A, 0x2B};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << &c - cases);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenRoot(c.version);
    ASSERT_EQ(cmd::CreateCardFile(&context, existing, 0x7FFF, cmd::kFile,
                                  cmd::kTypeData, 0),
              VX_SUCCESS);
    Clear();
    std::uint32_t count = kUntouched;
    EXPECT_EQ(
        VXStoreFile(&context, c.id, c.offset, c.data ? data.data() : nullptr,
                    c.length, c.size, &count, c.flags, c.type),
        c.result);
    EXPECT_EQ(count, kUntouched);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Find(0x1A2C), nullptr);
    EXPECT_EQ(Find(0x1A2B)->content, Bytes(0x7FFF, 0));
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Device types 1 and 2 keep no files in the root (514 for every
// operation); the parameter is theirs; extended executables are type 0's.
TEST_P(FileTest, DeviceTypeRules) {
  const struct {
    std::uint8_t deviceByte;
    bool inDirectory;
    std::uint32_t flags, type;
    const char* id;
    std::uint32_t size, result, count;
  } cases[] = {
      {0x80, false, VX_FILE_CREATE, 9, "1A2C", 16, 514, kUntouched},
      {0xC0, false, VX_FILE_RSA_PAIR, 0, "1A2C3C4D", 0, 514, kUntouched},
      {0x80, false, VX_FILE_SET_PARAM, 0, nullptr, 10, 514, kUntouched},
      {0x80, true, VX_FILE_SET_PARAM, 0, nullptr, 10, 0, 1},
      {0x00, false, VX_FILE_SET_PARAM, 0, nullptr, 10, 32, kUntouched},
      {0x80, true, VX_FILE_CREATE, 11, "1A2C", 200, 2, kUntouched},
      {0xC0, true, VX_FILE_CREATE, 9, "1A2C", 16, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << &c - cases);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenRoot(0x0230, c.deviceByte, c.inDirectory);
    std::uint32_t count = kUntouched;
    EXPECT_EQ(VXStoreFile(&context, c.id, 0, nullptr, 0, c.size, &count,
                          c.flags, c.type),
              c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(Sent().at(0), Packed(kType));
    const sim::CardState card = Card();
    const auto& current =
        c.inDirectory ? card.root->children.back() : *card.root;
    EXPECT_EQ(current.parameter, c.count == 1 ? c.size : 0u);
    EXPECT_EQ(Find(0x1A2C) != nullptr, c.count == 0);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// An executable file that would cross 0x8000 on versions after 2.0.0 and
// before 2.3.0: 33, or placed at 0x8000 behind the filler file 3F03 when
// the flags allow one. A refused argument leaves no filler behind.
TEST_P(FileTest, FillerFileAtTheBoundary) {
  const struct {
    std::uint16_t version;
    std::uint32_t cursor, flags, size;
    const char* id;
    std::uint32_t result, count, filler;
  } cases[] = {
      {0x0210, 0x7F00, 0, 0x100, "1A2B", 33, kUntouched, 0},
      {0x0210, 0x7F00, VX_EXE_ALLOW_FILLER, 0x100, "1A2B", 0, 0x200, 242},
      {0x0220, 0x7F00, 0, 0xF1, "1A2B", 0, 0xF1, 0},
      {0x0220, 0x7F00, 0, 0xF2, "1A2B", 33, kUntouched, 0},
      {0x0210, 0x7FF2, 0, 0x100, "1A2B", 0, 0x100, 0},
      {0x0210, 0x7FF1, VX_EXE_ALLOW_FILLER, 0x10, "1A2B", 0, 0x1F, 1},
      {0x0230, 0x7F00, 0, 0x100, "1A2B", 0, 0x100, 0},
      {0x0200, 0x7F00, 0, 0x100, "1A2B", 0, 0x100, 0},
      {0x0210, 0x7F00, VX_EXE_ALLOW_FILLER, 0x100, "1A2G", 2, kUntouched, 0},
      {0x0210, 0x7F00, VX_EXE_ALLOW_FILLER | 0x0200, 0x100, "1A2B", 2,
       kUntouched, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << &c - cases);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenRoot(c.version);
    machine().SetCardCursor(token_, c.cursor);
    const Bytes data = Pattern(c.size, 3);
    std::uint32_t count = kUntouched;
    EXPECT_EQ(VXStoreFile(&context, c.id, 0, data.data(), c.size, c.size,
                          &count, VX_FILE_CREATE | c.flags, VX_TYPE_EXE),
              c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    const auto* filler = Find(0x3F03);
    EXPECT_EQ(filler != nullptr ? filler->size : 0u, c.filler);
    const auto* file = Find(0x1A2B);
    ASSERT_EQ(file != nullptr, c.result == 0);
    if (file == nullptr) continue;
    EXPECT_EQ(file->content, data);
    EXPECT_TRUE(c.filler == 0 || file->address == 0x8000u);
  }
}

// A key pair fills both new key files in the record layouts; key files
// written from key sources hold the records built from them.
TEST_P(FileTest, RsaKeyFiles) {
  VXContext context = OpenRoot();
  std::uint32_t count = kUntouched;
  ASSERT_EQ(VXStoreFile(&context, "1A2B3C4D", 0, nullptr, 0, 0, &count,
                        VX_FILE_RSA_PAIR, 0),
            VX_SUCCESS);
  EXPECT_EQ(count, 466u);
  EXPECT_EQ(Sent(), PackedAll({kType, "80E0020608 1A2B 68DF6868 0088",
                               "80E0020708 3C4D F0DF6868 014A",
                               "80CE000104 1A2B 3C4D"}));
  Bytes publicSource = Pattern(256, 9);
  std::fill(publicSource.begin() + 128, publicSource.begin() + 252, 0);
  const Bytes privateSource = Pattern(704, 11);
  // Each record: tag, length and value per component, from the source.
  const auto records = [&](std::uint16_t publicId, std::uint16_t privateId,
                           bool fromSources) {
    const Bytes pub = Find(publicId)->content;
    EXPECT_EQ(Hex({pub[0], pub[1], pub[130], pub[131]}), "6E806504");
    const Bytes priv = Find(privateId)->content;
    ASSERT_EQ(priv.size(), 330u);
    for (std::size_t k = 0; k < 5; ++k) {
      EXPECT_EQ(priv[66 * k], Bytes({0x70, 0x71, 0x50, 0x51, 0x49})[k]);
      EXPECT_EQ(priv[66 * k + 1], 0x40);
      if (fromSources) {
        EXPECT_EQ(Slice(priv, 66 * k + 2, 64),
                  Slice(privateSource, 384 + 64 * k, 64));
      }
    }
    if (fromSources) {
      EXPECT_EQ(Slice(pub, 2, 128), Slice(publicSource, 0, 128));
      EXPECT_EQ(Slice(pub, 132, 4), Slice(publicSource, 252, 4));
    }
  };
  records(0x1A2B, 0x3C4D, false);
  const struct {
    std::uint32_t type;
    const char* id;
    const Bytes& source;
    std::uint32_t size;
    std::size_t writes;  // the record in one command, or 203 + 127
  } files[] = {{6, "5A01", publicSource, 136, 1},
               {7, "5A02", privateSource, 330, 2}};
  for (const auto& f : files) {
    for (const bool create : {true, false}) {
      Clear();
      count = kUntouched;
      EXPECT_EQ(VXStoreFile(&context, f.id, 0, f.source.data(),
                            static_cast<std::uint32_t>(f.source.size()),
                            create ? f.size : 0, &count,
                            create ? VX_FILE_CREATE : VX_FILE_UPDATE, f.type),
                VX_SUCCESS);
      EXPECT_EQ(count, f.size);
      EXPECT_EQ(Sent().size(), (create ? 3 : 2) + f.writes);
    }
  }
  records(0x5A01, 0x5A02, true);
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Hid, FileTest, ::testing::Values(TokenMode::Hid),
                         [](const ::testing::TestParamInfo<TokenMode>& row) {
                           return std::string(
                               row.param == TokenMode::Hid ? "Hid" : "Usb");
                         });

}  // namespace
}  // namespace vantor::testing
