// ATR parsing and the choice of HID report for an APDU: pure functions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/testing.h"

namespace vantor::device {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct AtrCase {
  const char* name;
  Bytes atr;
  std::uint32_t length;  // bytes given to the parse (the rest must be unread)
  AtrInfo expected;
};

// A buffer whose bytes after the given length are 0xEE, so that any read past
// it shows in the fields.
Bytes Padded(Bytes atr) {
  atr.resize(atr.size() + 40, 0xEE);
  return atr;
}

class ParseAtrTest : public ::testing::TestWithParam<AtrCase> {};

TEST_P(ParseAtrTest, FieldsAndBounds) {
  const AtrCase& c = GetParam();
  const Bytes buffer = Padded(c.atr);
  AtrInfo info;
  std::memset(&info, 0x5A, sizeof(info));
  ASSERT_TRUE(ParseAtr(buffer.data(), c.length, &info));
  EXPECT_EQ(info.bHist0, c.expected.bHist0);
  EXPECT_EQ(info.wVersion, c.expected.wVersion);
  EXPECT_EQ(info.bHist3, c.expected.bHist3);
  EXPECT_EQ(info.wHist45, c.expected.wHist45);
  EXPECT_EQ(info.bHist6, c.expected.bHist6);
  EXPECT_EQ(info.bDeviceIdLength, c.expected.bDeviceIdLength);
  EXPECT_EQ(Bytes(info.bDeviceId, info.bDeviceId + 8),
            Bytes(c.expected.bDeviceId, c.expected.bDeviceId + 8));
}

const Bytes kFullAtr = {0x3B, 0xDF, 0x00, 0x00, 0x00,  // TA1 TC1 TD1
                        0x56, 0x02, 0x30, 0x11, 0x22, 0x33, 0x44,  // H0..H6
                        1,    2,    3,    4,    5,    6,    7,    8};

INSTANTIATE_TEST_SUITE_P(
    Atrs, ParseAtrTest,
    ::testing::Values(
        // K = 15, T0 = 0xDF: TA1, TC1, TD1, then fifteen historical bytes.
        AtrCase{
            "k15",
            kFullAtr,
            20,
            {0x56, 0x11, 0x0230, 0x2233, 0x44, 8, {1, 2, 3, 4, 5, 6, 7, 8}}},
        // K = 7: no device id.
        AtrCase{"k7",
                {0x3B, 0x07, 0x56, 0x01, 0x20, 0x09, 0x0A, 0x0B, 0x0C},
                9,
                {0x56, 0x09, 0x0120, 0x0A0B, 0x0C, 0, {}}},
        // K = 3: the fields of H3 on are 0 and the bytes after the ATR are
        // not read.
        AtrCase{"k3",
                {0x3B, 0x03, 0x56, 0x02, 0x40},
                5,
                {0x56, 0, 0x0240, 0, 0, 0, {}}},
        // K = 15 but only ten historical bytes read: three device-id bytes.
        AtrCase{"short_device_id",
                kFullAtr,
                15,
                {0x56, 0x11, 0x0230, 0x2233, 0x44, 3, {1, 2, 3}}},
        // K = 15 with only H0..H3 read.
        AtrCase{
            "historical_cut", kFullAtr, 9, {0x56, 0x11, 0x0230, 0, 0, 0, {}}},
        // TD1 announced but missing.
        AtrCase{"td_missing", {0x3B, 0xDF, 0x00, 0x00}, 4, {}},
        // TS alone, and TS with T0 only.
        AtrCase{"ts_only", {0x3B}, 1, {}},
        AtrCase{"t0_only", {0x3B, 0x0F}, 2, {}},
        // A TD chain: TD1 = 0x91 (TA2, TD2), TD2 = 0x01.
        AtrCase{"td_chain",
                {0x3B, 0x88, 0x91, 0x11, 0x01, 0x56, 0x02, 0x30, 0x00, 0x00,
                 0x00, 0x00, 0x77},
                13,
                {0x56, 0x00, 0x0230, 0, 0, 1, {0x77}}},
        // Interface bytes announced past the end.
        AtrCase{"interface_past_end", {0x3B, 0x7F, 0x00}, 3, {}}),
    [](const ::testing::TestParamInfo<AtrCase>& param) {
      return std::string(param.param.name);
    });

TEST(ParseAtr, NotBeginningWith3BLeavesTheRecord) {
  for (const Bytes& atr :
       {Bytes{0x3F, 0xDF, 0x00, 0x00, 0x00, 0x56, 0x02, 0x30}, Bytes{0x00},
        Bytes{}}) {
    AtrInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    EXPECT_FALSE(
        ParseAtr(atr.data(), static_cast<std::uint32_t>(atr.size()), &info));
    for (std::size_t i = 0; i < sizeof(info); ++i) {
      EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(&info)[i], 0x5A);
    }
  }
}

// The report table of the token: id, size and the APDU lengths it carries.
struct Report {
  std::uint8_t id;
  std::uint32_t size;
  std::uint32_t first;
  std::uint32_t last;
};
constexpr Report kReports[] = {
    {20, 8, 0, 6},      {19, 16, 7, 14},    {18, 24, 15, 22},
    {17, 32, 23, 30},   {16, 40, 31, 38},   {15, 48, 39, 46},
    {14, 56, 47, 54},   {13, 64, 55, 62},   {12, 80, 63, 78},
    {11, 96, 79, 94},   {10, 112, 95, 110}, {9, 128, 111, 126},
    {8, 144, 127, 142}, {7, 160, 143, 158}, {6, 176, 159, 174},
    {5, 192, 175, 190}, {4, 208, 191, 206}, {3, 224, 207, 222},
    {2, 240, 223, 238}, {1, 258, 239, 255},
};

TEST(ApduReportShape, EveryLengthFallsInItsReport) {
  for (std::uint32_t n = 0; n <= 255; ++n) {
    SCOPED_TRACE(n);
    const Report* expected = nullptr;
    for (const Report& report : kReports) {
      if (n >= report.first && n <= report.last) expected = &report;
    }
    ASSERT_NE(expected, nullptr);
    const ReportShape shape = ApduReportShape(n);
    EXPECT_EQ(shape.id, expected->id);
    EXPECT_EQ(shape.size, expected->size);
    EXPECT_GE(shape.size, n + 2);
  }
}

TEST(ApduReportShape, WorkedValues) {
  const struct {
    std::uint32_t n;
    std::uint8_t id;
    std::uint32_t size;
  } cases[] = {{1, 20, 8},    {5, 20, 8},    {6, 20, 8},    {7, 19, 16},
               {8, 19, 16},   {9, 19, 16},   {62, 13, 64},  {63, 12, 80},
               {64, 12, 80},  {79, 11, 96},  {238, 2, 240}, {239, 1, 258},
               {250, 1, 258}, {254, 1, 258}, {255, 1, 258}};
  for (const auto& c : cases) {
    const ReportShape shape = ApduReportShape(c.n);
    EXPECT_EQ(shape.id, c.id) << c.n;
    EXPECT_EQ(shape.size, c.size) << c.n;
  }
}

TEST(ApduReportShape, NoReportHoldsMoreThan255Bytes) {
  for (std::uint32_t n : {256u, 300u, 0xFFFFFFFFu}) {
    EXPECT_EQ(ApduReportShape(n).size, 0u) << n;
  }
}

}  // namespace
}  // namespace vantor::device
