// The card-command control codes through the public calls, on a virtual
// token in each mode: results, outputs, returned lengths and the exact
// APDUs the token answered.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "card_fixture.h"

namespace vantor::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace cmd = commandfile;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

enum Tree { kNoRoot, kRoot, kRootAndDir };

// Packed commands of a list written as "command; command".
std::vector<std::string> Commands(const char* list) {
  std::vector<std::string> out;
  std::istringstream in(list);
  for (std::string command; std::getline(in, command, ';');) {
    out.push_back(Packed(command));
  }
  return out;
}

class CardControlTest : public CardTest {
 protected:
  // Opens a token and shapes its card through the command layer: a root
  // holding the data file 2002, and directory 1001 as the current one.
  VXContext OpenWith(std::uint16_t version, std::uint8_t deviceByte,
                     Tree tree) {
    VXContext context = Open(version, deviceByte);
    const std::uint8_t dir[2] = {0x10, 0x01};
    const std::uint8_t file[2] = {0x20, 0x02};
    if (tree != kNoRoot) {
      EXPECT_EQ(cmd::CreateCardFile(&context, nullptr, 0, cmd::kRootDir, 0, 0),
                VX_SUCCESS);
      EXPECT_EQ(cmd::CreateCardFile(&context, file, 0x30, cmd::kFile,
                                    cmd::kTypeData, 0),
                VX_SUCCESS);
    }
    if (tree == kRootAndDir) {
      EXPECT_EQ(
          cmd::CreateCardFile(&context, dir, 0x400, cmd::kDirectory, 0, 0),
          VX_SUCCESS);
      EXPECT_EQ(cmd::SelectDirectory(&context, dir, 1), VX_SUCCESS);
    }
    Clear();
    return context;
  }
};

TEST_P(CardControlTest, CodesGiveTheirResultsAndSendTheirCommands) {
  const struct {
    const char* name;
    std::uint32_t code;
    std::uint16_t version;
    std::uint8_t deviceByte;
    Tree tree;
    const char* input;  // text input (codes 42 and 50), or null
    std::uint32_t capacity;
    std::uint32_t result;
    const char* output;  // expected output bytes (hex), or null: untouched
    std::uint32_t returned;
    const char* apdus;  // the commands the card answered, "a; b"
  } cases[] = {
      {"37 device type 1", 37, 0x0230, 0x85, kNoRoot, nullptr, 4, 0, "01", 1,
       "80CA070001 00"},
      {"37 raw on 2.0.0", 37, 0x0200, 0x85, kRoot, nullptr, 4, 0, "85", 1,
       "00A4000002 3F00; 80CA060001 00"},
      {"37 2.0.0 no root", 37, 0x0200, 0x00, kNoRoot, nullptr, 4, 0x6A81,
       nullptr, kUntouched, "00A4000002 3F00"},
      {"37 capacity 0", 37, 0x0230, 0x00, kNoRoot, nullptr, 0, 17, nullptr,
       kUntouched, ""},
      {"38 serial", 38, 0x0230, 0x00, kNoRoot, nullptr, 8, 0,
       "5658000000000001", 8, "80CA020008 00"},
      {"38 short", 38, 0x0230, 0x00, kNoRoot, nullptr, 7, 17, nullptr,
       kUntouched, "80CA020008 00"},
      {"39 vm type", 39, 0x0230, 0xC3, kNoRoot, nullptr, 1, 0, "03", 1,
       "80CA070001 00"},
      {"39 on 2.0.0", 39, 0x0200, 0xC3, kRoot, nullptr, 1, 2, nullptr,
       kUntouched, ""},
      {"41 free space", 41, 0x0230, 0x00, kNoRoot, nullptr, 2, 0, "00F8", 2,
       "80CA070001 00; 80CA080002 00"},
      {"41 device type 2", 41, 0x0230, 0xC0, kNoRoot, nullptr, 2, 32, "02",
       kUntouched, "80CA070001 00"},
      {"41 capacity 1", 41, 0x0230, 0x00, kNoRoot, nullptr, 1, 17, "00",
       kUntouched, "80CA070001 00"},
      {"41 capacity 1 device type 1", 41, 0x0230, 0x85, kNoRoot, nullptr, 1, 32,
       "01", kUntouched, "80CA070001 00"},
      {"41 capacity 1 device type 2", 41, 0x0230, 0xC0, kNoRoot, nullptr, 1, 32,
       "02", kUntouched, "80CA070001 00"},
      {"41 capacity 0", 41, 0x0230, 0x85, kNoRoot, nullptr, 0, 17, nullptr,
       kUntouched, ""},
      {"49 in a directory", 49, 0x0230, 0x00, kRootAndDir, nullptr, 2, 0,
       "0004", 2, "80CA030002 00"},
      {"49 capacity 1", 49, 0x0230, 0x00, kRoot, nullptr, 1, 17, nullptr,
       kUntouched, ""},
      {"50 existing file", 50, 0x0230, 0x00, kRoot, "2002", 6, 0,
       "02200900 3000", 6, "00A4020002 2002"},
      {"50 missing file", 50, 0x0230, 0x00, kRoot, "2003", 6, 0x6A82, nullptr,
       kUntouched, "00A4020002 2003"},
      {"50 not hexadecimal", 50, 0x0230, 0x00, kRoot, "20g2", 6, 2, nullptr,
       kUntouched, ""},
      {"50 backslash", 50, 0x0230, 0x00, kRoot, "\\200", 6, 2, nullptr,
       kUntouched, ""},
      {"50 capacity 5", 50, 0x0230, 0x00, kRoot, "2002", 5, 17, nullptr,
       kUntouched, ""},
      {"42 without an ATR file", 42, 0x0230, 0x00, kRoot, "12345678", 0, 0,
       nullptr, 20,
       "00A4000002 3F00; 00A4020002 3F04; 80E0020408 3F04 68DF0000 0008;"
       "00A4020002 3F04; 00D6000008 3132333435363738"},
      {"42 seven bytes", 42, 0x0230, 0x00, kRoot, "1234567", 0, 2, nullptr,
       kUntouched, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWith(c.version, c.deviceByte, c.tree);
    std::uint8_t out[16];
    std::memset(out, 0xA5, sizeof(out));
    std::uint32_t returned = kUntouched;
    const auto* input = reinterpret_cast<const std::uint8_t*>(c.input);
    const std::uint32_t inputLength =
        c.input != nullptr ? static_cast<std::uint32_t>(std::strlen(c.input))
                           : 0;
    EXPECT_EQ(VXControl(&context, c.code, input, inputLength, out, c.capacity,
                        &returned),
              c.result);
    EXPECT_EQ(returned, c.returned);
    Bytes expected(sizeof(out), 0xA5);
    if (c.output != nullptr) {
      const Bytes given = HexBytes(c.output);
      std::copy(given.begin(), given.end(), expected.begin());
      if (c.code == 50) expected[3] = 0xA5;  // the record's unwritten byte
    }
    EXPECT_EQ(Bytes(out, out + sizeof(out)), expected);
    EXPECT_EQ(Sent(), Commands(c.apdus));
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// The card's answers reach the caller unchanged: status words as
// SW1 * 256 + SW2, and answers too short for what was read as a transport
// failure with the outputs untouched.
TEST_P(CardControlTest, CardAnswersPassThrough) {
  const struct {
    std::uint32_t code;
    std::uint8_t ins;
    const char* answer;
    std::uint32_t result;
  } cases[] = {
      {38, 0xCA, "6A86", 0x6A86},
      {37, 0xCA, "9001", 0x9001},
      {49, 0xCA, "6982", 0x6982},
      {37, 0xCA, "90", VX_COMM_ERROR},
      {37, 0xCA, "9000", VX_COMM_ERROR},
      {41, 0xCA, "", VX_COMM_ERROR},
      {49, 0xCA, "12 9000", VX_COMM_ERROR},
      {50, 0xA4, "3F04 9000", VX_COMM_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWith(0x0230, 0x00, kRoot);
    Inject(c.ins, 0x00, c.answer);
    std::uint8_t out[16];
    std::memset(out, 0xA5, sizeof(out));
    std::uint32_t returned = kUntouched;
    const char* text = "3f04";
    EXPECT_EQ(
        VXControl(&context, c.code, reinterpret_cast<const std::uint8_t*>(text),
                  4, out, sizeof(out), &returned),
        c.result);
    EXPECT_EQ(returned, kUntouched);
    EXPECT_EQ(Bytes(out, out + sizeof(out)), Bytes(sizeof(out), 0xA5));
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, CardControlTest,
                         ::testing::Values(TokenMode::Hid, TokenMode::Usb),
                         [](const ::testing::TestParamInfo<TokenMode>& row) {
                           return std::string(
                               row.param == TokenMode::Hid ? "Hid" : "Usb");
                         });

}  // namespace
}  // namespace vantor::testing
