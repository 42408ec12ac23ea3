// VXExecute and VXExecuteEx on a virtual token in each mode: runs with
// their results, outputs and commands (the largest inputs make 255-byte
// commands), refusals with nothing sent, and the card's answers.
#include <gtest/gtest.h>

#include "card_fixture.h"

namespace vantor::testing {
namespace {

namespace cmd = commandfile;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
constexpr std::uint32_t kPlain = 0xEE;  // VXExecute rather than a mode
constexpr int kEcho = -1;

class ExecuteTest : public RootCardTest {
 protected:
  // A token whose root holds the executable file 1A2B.
  VXContext OpenExe(std::uint16_t version = 0x0230,
                    std::uint8_t deviceByte = 0x00) {
    VXContext context = OpenRoot(version, deviceByte);
    const std::uint8_t id[2] = {0x1A, 0x2B};
    EXPECT_EQ(
        cmd::CreateCardFile(&context, id, 16, cmd::kFile, cmd::kTypeExe, 0),
        VX_SUCCESS);
    Clear();
    return context;
  }
  static std::uint32_t Run(VXContext* context, const char* id,
                           std::uint32_t mode, const std::uint8_t* input,
                           std::uint32_t length, std::uint8_t* output,
                           std::uint32_t size, std::uint32_t* produced) {
    return mode == kPlain
               ? VXExecute(context, id, input, length, output, size, produced)
               : VXExecuteEx(context, id, mode, input, length, output, size,
                             produced);
  }
};

TEST_P(ExecuteTest, RunsDeliverTheirOutput) {
  const struct {
    std::uint16_t version;
    std::uint32_t mode;
    std::uint8_t status;
    int produces;  // output bytes of the program, or kEcho
    std::uint32_t size, input, result;
  } cases[] = {
      {0x0230, kPlain, 0, 5, 16, 3, 0},
      {0x0230, VX_EXECUTE_BASIC, 0, 5, 16, 3, 0},
      {0x0230, VX_EXECUTE_BY_ID, 7, 5, 16, 3, 0},  // no status byte split off
      {0x0230, kPlain, 1, 5, 16, 3, 0x00010000},
      {0x0230, VX_EXECUTE_BASIC, 0xFF, 0, 16, 0, 0x00FF0000},
      {0x0230, kPlain, 0, 16, 16, 1, 0},
      {0x0230, kPlain, 0, 17, 16, 1, 17},
      {0x0230, VX_EXECUTE_BY_ID, 0, 17, 16, 1, 17},
      {0x0230, kPlain, 0, 0, 0, 0, 0},  // no input, no output buffer
      {0x0230, kPlain, 0, kEcho, 256, 250, 0},
      {0x0230, VX_EXECUTE_BASIC, 0, kEcho, 256, 250, 0},
      {0x0230, VX_EXECUTE_BY_ID, 0, kEcho, 256, 248, 0},
      {0x0220, VX_EXECUTE_BY_ID, 0, 5, 16, 3, 2},  // selected, then refused
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << &c - cases);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenExe(c.version);
    Bytes input(c.input);
    for (std::size_t i = 0; i < input.size(); ++i) {
      input[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    const Bytes made = c.produces == kEcho
                           ? input
                           : Bytes(static_cast<std::size_t>(c.produces), 0x3C);
    machine().SetProgram(token_, 0x1A2B,
                         [made, status = c.status](const Bytes&, Bytes& out) {
                           out = made;
                           return status;
                         });
    Bytes output(256, 0xA5);
    std::uint32_t produced = kUntouched;
    EXPECT_EQ(Run(&context, "1A2B", c.mode, input.data(), c.input,
                  c.size != 0 ? output.data() : nullptr, c.size, &produced),
              c.result);
    Bytes expected(256, 0xA5);
    if (c.result == VX_SUCCESS) {
      std::copy(made.begin(), made.end(), expected.begin());
    }
    EXPECT_EQ(output, expected);
    EXPECT_EQ(produced, c.result == VX_SUCCESS ? made.size() : kUntouched);
    // Device type, selection, and the run with all the input in one command.
    const bool byId = c.mode == VX_EXECUTE_BY_ID;
    Bytes run = byId ? HexBytes("80340001 00 1A2B") : HexBytes("80321A2B 00");
    run[4] = static_cast<std::uint8_t>(c.input + (byId ? 2 : 0));
    run.insert(run.end(), input.begin(), input.end());
    std::vector<std::string> sent =
        PackedAll({"80CA070001 00", "00A4020002 1A2B"});
    if (c.result != VX_INVALID_PARAMETER) sent.push_back(Hex(run));
    EXPECT_EQ(Sent(), sent);
    EXPECT_TRUE(c.input < 248 || run.size() == 255);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Refused arguments send nothing and touch no output; another device type
// is refused once its type is read; reserved ids go to the token.
TEST_P(ExecuteTest, RefusalsSendNothing) {
  const struct {
    const char* id;
    std::uint32_t mode;
    bool input;
    std::uint32_t length;
    bool output;
    std::uint8_t deviceByte;
    std::uint32_t result;
    std::size_t sent;
  } cases[] = {
      {"1A2B", 2, true, 1, true, 0, 2, 0},
      {"1A2B", 0xFFFFFFFFu, true, 1, true, 0, 2, 0},
      {"1A2B", kPlain, true, 251, true, 0, 2, 0},
      {"1A2B", VX_EXECUTE_BASIC, true, 251, true, 0, 2, 0},
      {"1A2B", VX_EXECUTE_BY_ID, true, 249, true, 0, 2, 0},
      {"1A2B", kPlain, false, 5, true, 0, 2, 0},
      {"1A2B", VX_EXECUTE_BY_ID, false, 1, true, 0, 2, 0},
      {"1A2B", kPlain, true, 1, false, 0, 2, 0},
      {"1A2B", VX_EXECUTE_BY_ID, true, 1, false, 0, 2, 0},
      {nullptr, kPlain, true, 1, true, 0, 2, 0},
      {"1A2", kPlain, true, 1, true, 0, 2, 0},
      {"1A2B3", VX_EXECUTE_BY_ID, true, 1, true, 0, 2, 0},
      {"\\1A2", kPlain, true, 1, true, 0, 2, 0},
      {"1G2B", kPlain, true, 1, true, 0x80, 2, 0},
      {"1A2B", kPlain, true, 1, true, 0x80, 32, 1},
      {"1A2B", VX_EXECUTE_BY_ID, true, 1, true, 0xC0, 32, 1},
      {"3F01", kPlain, true, 1, true, 0, 0x6A82, 2},
  };
  const Bytes input(256, 0x11);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << &c - cases);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenExe(0x0230, c.deviceByte);
    Bytes output(16, 0xA5);
    std::uint32_t produced = kUntouched;
    EXPECT_EQ(Run(&context, c.id, c.mode, c.input ? input.data() : nullptr,
                  c.length, c.output ? output.data() : nullptr, 16, &produced),
              c.result);
    EXPECT_EQ(produced, kUntouched);
    EXPECT_EQ(output, Bytes(16, 0xA5));
    EXPECT_EQ(Sent().size(), c.sent);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    EXPECT_EQ(Run(&context, "1A2B", c.mode, input.data(), 1, output.data(), 16,
                  &produced),
              VX_INVALID_PARAMETER);  // closed
  }
}

// Status words pass through; an answer without its status byte is a
// transport failure; outputs stay untouched unless the run succeeded.
TEST_P(ExecuteTest, CardAnswersPassThrough) {
  const struct {
    std::uint32_t mode;
    const char* answer;
    std::uint32_t result;
    const char* output;  // delivered bytes, or null
  } cases[] = {
      {kPlain, "00 AABB 9000", 0, "AABB"},
      {kPlain, "05 9000", 0x00050000, nullptr},
      {kPlain, "6A82", 0x6A82, nullptr},
      {kPlain, "9000", VX_COMM_ERROR, nullptr},
      {kPlain, "00", VX_COMM_ERROR, nullptr},
      {kPlain, "", VX_COMM_ERROR, nullptr},
      {kPlain, "0000", VX_COMM_ERROR, nullptr},  // SW1 00: no status word
      {VX_EXECUTE_BY_ID, "05 AABB 9000", 0, "05AABB"},
      {VX_EXECUTE_BY_ID, "9000", 0, ""},
      {VX_EXECUTE_BY_ID, "6A82", 0x6A82, nullptr},
      {VX_EXECUTE_BY_ID, "90", VX_COMM_ERROR, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenExe();
    const bool byId = c.mode == VX_EXECUTE_BY_ID;
    Inject(byId ? 0x34 : 0x32, byId ? 0x01 : 0x2B, c.answer);
    Bytes output(16, 0xA5);
    std::uint32_t produced = kUntouched;
    const std::uint8_t input[1] = {0x42};
    EXPECT_EQ(
        Run(&context, "1A2B", c.mode, input, 1, output.data(), 16, &produced),
        c.result);
    const Bytes delivered = HexBytes(c.output != nullptr ? c.output : "");
    Bytes expected(16, 0xA5);
    std::copy(delivered.begin(), delivered.end(), expected.begin());
    EXPECT_EQ(output, expected);
    EXPECT_EQ(produced, c.output ? delivered.size() : kUntouched);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, ExecuteTest,
                         ::testing::Values(TokenMode::Hid, TokenMode::Usb),
                         [](const ::testing::TestParamInfo<TokenMode>& row) {
                           return std::string(
                               row.param == TokenMode::Hid ? "Hid" : "Usb");
                         });

}  // namespace
}  // namespace vantor::testing
