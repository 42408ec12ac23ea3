// ATR parsing of the public calls.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vantor/context.h"

namespace vantor::api {
namespace {

struct AtrCase {
  const char* name;
  std::vector<std::uint8_t> atr;
  std::uint8_t hist0;
  std::uint16_t version;
  std::uint8_t hist3;
  std::uint16_t hist45;
  std::uint8_t hist6;
  std::uint8_t idLength;
  std::array<std::uint8_t, 8> id;
};

TEST(ParseAtrInfo, WalksInterfaceBytesAndStopsAtTheEnd) {
  const AtrCase cases[] = {
      {"TA1 TC1 TD1 then 15 historical bytes",
       {0x3B, 0xDF, 0xAA, 0xCC, 0x00,              //
        0x56, 0x02, 0x30, 0x33, 0x44, 0x55, 0x66,  //
        1,    2,    3,    4,    5,    6,    7,    8},
       0x56,
       0x0230,
       0x33,
       0x4455,
       0x66,
       8,
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"TD chain over two levels",
       {0x3B, 0x98, 0x11, 0x81, 0x31, 0x20, 0x40,  // TA1 TD1 | TD2 | TA3 TB3
        0x01, 0x02, 0x00, 0x03, 0x04, 0x05, 0x06, 0x07},
       0x01,
       0x0200,
       0x03,
       0x0405,
       0x06,
       1,
       {0x07}},
      {"first byte is not looked at",
       {0x3F, 0x07, 0x56, 0x02, 0x30, 0, 0, 0, 0},
       0x56,
       0x0230,
       0,
       0,
       0,
       0,
       {}},
      {"fewer than 7 historical bytes give no id",
       {0x3B, 0x05, 0x56, 0x02, 0x30, 0x33, 0x44},
       0x56,
       0x0230,
       0x33,
       0x4400,
       0,
       0,
       {}},
      {"announced historical bytes beyond the end are absent",
       {0x3B, 0x0F, 0x56, 0x02, 0x30, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88},
       0x56,
       0x0230,
       0x33,
       0x4455,
       0x66,
       2,
       {0x77, 0x88}},
      {"interface bytes beyond the end",
       {0x3B, 0xFF, 0x11, 0x22},  // TA1 TB1 TC1 TD1 announced, two present
       0,
       0,
       0,
       0,
       0,
       0,
       {}},
      {"TD announced as the last byte", {0x3B, 0x8F}, 0, 0, 0, 0, 0, 0, {}},
      {"only TS", {0x3B}, 0, 0, 0, 0, 0, 0, {}},
      {"empty", {}, 0, 0, 0, 0, 0, 0, {}},
  };
  for (const AtrCase& c : cases) {
    SCOPED_TRACE(c.name);
    AtrInfoRecord record;
    std::memset(&record, 0xEE, sizeof(record));
    ASSERT_EQ(ParseAtrInfo(c.atr.data(),
                           static_cast<std::uint32_t>(c.atr.size()), &record),
              0u);
    EXPECT_EQ(record.bHist0, c.hist0);
    EXPECT_EQ(record.wVersion, c.version);
    EXPECT_EQ(record.bHist3, c.hist3);
    EXPECT_EQ(record.wHist45, c.hist45);
    EXPECT_EQ(record.bHist6, c.hist6);
    EXPECT_EQ(record.bDeviceIdLength, c.idLength);
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(record.bDeviceId[i], c.id[i]) << i;
    }
  }
}

TEST(ParseAtrInfo, ReadsOnlyTheGivenLength) {
  // The bytes after the given length would be historical bytes 3 on.
  const std::uint8_t atr[] = {0x3B, 0x0F, 0x56, 0x02, 0x30, 0x33, 0x44};
  AtrInfoRecord record{};
  ASSERT_EQ(ParseAtrInfo(atr, 5, &record), 0u);
  EXPECT_EQ(record.wVersion, 0x0230);
  EXPECT_EQ(record.bHist3, 0);
  EXPECT_EQ(ParseAtrInfo(atr, sizeof(atr), nullptr), VX_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vantor::api
