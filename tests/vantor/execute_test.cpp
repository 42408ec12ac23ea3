// VXExecute and VXExecuteEx end to end on a virtual token in each mode:
// runs with their results, outputs and commands (the largest inputs make
// 255-byte commands), refusals with nothing sent, and the card's answers
// passed through.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card_fixture.h"
#include "hex_bytes.h"

namespace vantor::testing {
namespace {

namespace cmd = commandfile;

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
constexpr int kEcho = -1;

class ExecuteTest : public CardTest,
                    public ::testing::WithParamInterface<TokenMode> {
 protected:
  // An open token whose root holds the executable file 1A2B.
  VXContext OpenWithProgram(std::uint16_t version = 0x0230,
                            std::uint8_t deviceByte = 0x00) {
    VXContext context = OpenCard(version, deviceByte, false, GetParam());
    const std::uint8_t id[2] = {0x1A, 0x2B};
    EXPECT_EQ(
        cmd::CreateCardFile(&context, id, 16, cmd::kFile, cmd::kTypeExe, 0),
        VX_SUCCESS);
    machine().ClearApdus(token_);
    return context;
  }

  // Runs 1A2B in `mode` (2 and above: VXExecute itself).
  static std::uint32_t Run(VXContext* context, const char* id,
                           std::uint32_t mode, const std::uint8_t* input,
                           std::uint32_t length, std::uint8_t* output,
                           std::uint32_t size, std::uint32_t* produced) {
    if (mode == kPlain) {
      return VXExecute(context, id, input, length, output, size, produced);
    }
    return VXExecuteEx(context, id, mode, input, length, output, size,
                       produced);
  }
  static constexpr std::uint32_t kPlain = 0xEEu;
};

Bytes Pattern(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 13 + 5);
  }
  return bytes;
}

TEST_P(ExecuteTest, RunsDeliverTheirOutput) {
  const struct {
    const char* name;
    std::uint16_t version;
    std::uint32_t mode;
    std::uint8_t status;
    int produces;  // output bytes of the program, or kEcho
    std::uint32_t size, input, result;
  } cases[] = {
      {"plain, status 0", 0x0230, kPlain, 0, 5, 16, 3, 0},
      {"basic, status 0", 0x0230, VX_EXECUTE_BASIC, 0, 5, 16, 3, 0},
      {"by id", 0x0230, VX_EXECUTE_BY_ID, 0, 5, 16, 3, 0},
      {"by id has no status byte", 0x0230, VX_EXECUTE_BY_ID, 7, 5, 16, 3, 0},
      {"status 1", 0x0230, kPlain, 1, 5, 16, 3, 0x00010000},
      {"status FF", 0x0230, VX_EXECUTE_BASIC, 0xFF, 0, 16, 0, 0x00FF0000},
      {"output fits exactly", 0x0230, kPlain, 0, 16, 16, 1, 0},
      {"output one byte too large", 0x0230, kPlain, 0, 17, 16, 1, 17},
      {"by id, output too large", 0x0230, VX_EXECUTE_BY_ID, 0, 17, 16, 1, 17},
      {"no input, no output", 0x0230, kPlain, 0, 0, 0, 0, 0},
      {"largest basic input", 0x0230, VX_EXECUTE_BASIC, 0, kEcho, 256, 250, 0},
      {"largest plain input", 0x0230, kPlain, 0, kEcho, 256, 250, 0},
      {"largest input by id", 0x0230, VX_EXECUTE_BY_ID, 0, kEcho, 256, 248, 0},
      {"by id on 2.2.0", 0x0220, VX_EXECUTE_BY_ID, 0, 5, 16, 3, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWithProgram(c.version);
    const Bytes input = Pattern(c.input + 1);
    const Bytes made = c.produces == kEcho
                           ? Bytes(input.begin(), input.begin() + c.input)
                           : Bytes(static_cast<std::size_t>(c.produces), 0x3C);
    const std::uint8_t status = c.status;
    machine().SetProgram(token_, 0x1A2B,
                         [made, status](const Bytes&, Bytes& output) {
                           output = made;
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
      EXPECT_EQ(produced, made.size());
    } else {
      EXPECT_EQ(produced, kUntouched);
    }
    EXPECT_EQ(output, expected);
    // Device type, selection, and the run with the input in one command.
    const std::vector<Bytes> commands = Commands();
    const bool byId = c.mode == VX_EXECUTE_BY_ID;
    const bool ran = c.result != VX_INVALID_PARAMETER;
    ASSERT_EQ(commands.size(), ran ? 3u : 2u);
    EXPECT_EQ(commands[1], HexBytes("00A4020002 1A2B"));
    if (ran) {
      Bytes run = byId ? HexBytes("80340001 00 1A2B") : HexBytes("80321A2B 00");
      run[4] = static_cast<std::uint8_t>(c.input + (byId ? 2 : 0));
      run.insert(run.end(), input.begin(), input.begin() + c.input);
      EXPECT_EQ(commands[2], run);
      if (c.input >= 248) {
        EXPECT_EQ(commands[2].size(), 255u);
      }
    }
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

// Refused arguments send nothing and touch no output; a device of another
// type is refused after its type is read; reserved identifiers go to the
// token.
TEST_P(ExecuteTest, RefusalsSendNothing) {
  const struct {
    const char* name;
    const char* id;
    std::uint32_t mode;
    bool input;
    std::uint32_t length;
    bool output;
    std::uint32_t size;
    std::uint8_t deviceByte;
    std::uint32_t result;
    std::size_t sent;
  } cases[] = {
      {"mode 2", "1A2B", 2, true, 1, true, 16, 0, 2, 0},
      {"mode FFFFFFFF", "1A2B", 0xFFFFFFFFu, true, 1, true, 16, 0, 2, 0},
      {"plain input 251", "1A2B", kPlain, true, 251, true, 16, 0, 2, 0},
      {"basic input 251", "1A2B", VX_EXECUTE_BASIC, true, 251, true, 16, 0, 2,
       0},
      {"input 249 by id", "1A2B", VX_EXECUTE_BY_ID, true, 249, true, 16, 0, 2,
       0},
      {"null input with a length", "1A2B", kPlain, false, 5, true, 16, 0, 2, 0},
      {"null input by id", "1A2B", VX_EXECUTE_BY_ID, false, 1, true, 16, 0, 2,
       0},
      {"null output with a size", "1A2B", kPlain, true, 1, false, 16, 0, 2, 0},
      {"null output by id", "1A2B", VX_EXECUTE_BY_ID, true, 1, false, 1, 0, 2,
       0},
      {"no id", nullptr, kPlain, true, 1, true, 16, 0, 2, 0},
      {"three digits", "1A2", kPlain, true, 1, true, 16, 0, 2, 0},
      {"five digits", "1A2B3", VX_EXECUTE_BY_ID, true, 1, true, 16, 0, 2, 0},
      {"backslash", "\\1A2", kPlain, true, 1, true, 16, 0, 2, 0},
      {"not hexadecimal", "1G2B", kPlain, true, 1, true, 16, 0x80, 2, 0},
      {"device type 1", "1A2B", kPlain, true, 1, true, 16, 0x80, 32, 1},
      {"device type 2 by id", "1A2B", VX_EXECUTE_BY_ID, true, 1, true, 16, 0xC0,
       32, 1},
      {"reserved id", "3F01", kPlain, true, 1, true, 16, 0, 0x6A82, 2},
  };
  const Bytes input(256, 0x11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWithProgram(0x0230, c.deviceByte);
    Bytes output(16, 0xA5);
    std::uint32_t produced = kUntouched;
    EXPECT_EQ(
        Run(&context, c.id, c.mode, c.input ? input.data() : nullptr, c.length,
            c.output ? output.data() : nullptr, c.size, &produced),
        c.result);
    EXPECT_EQ(produced, kUntouched);
    EXPECT_EQ(output, Bytes(16, 0xA5));
    EXPECT_EQ(Commands().size(), c.sent);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    // A closed context is refused too.
    EXPECT_EQ(Run(&context, "1A2B", c.mode, input.data(), 1, output.data(), 16,
                  &produced),
              VX_INVALID_PARAMETER);
  }
}

// The card's answer to the run: status words pass through, an answer
// without a status byte is a transport failure, outputs stay untouched
// unless the run succeeded.
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
      {VX_EXECUTE_BY_ID, "05 AABB 9000", 0, "05AABB"},
      {VX_EXECUTE_BY_ID, "9000", 0, ""},
      {VX_EXECUTE_BY_ID, "6A82", 0x6A82, nullptr},
      {VX_EXECUTE_BY_ID, "90", VX_COMM_ERROR, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWithProgram();
    sim::InjectedAnswer injected;
    injected.ins = c.mode == VX_EXECUTE_BY_ID ? 0x34 : 0x32;
    injected.answer = HexBytes(c.answer);
    machine().InjectAnswer(token_, injected);
    Bytes output(16, 0xA5);
    std::uint32_t produced = kUntouched;
    const std::uint8_t input[1] = {0x42};
    EXPECT_EQ(
        Run(&context, "1A2B", c.mode, input, 1, output.data(), 16, &produced),
        c.result);
    Bytes expected(16, 0xA5);
    if (c.output != nullptr) {
      const Bytes delivered = HexBytes(c.output);
      std::copy(delivered.begin(), delivered.end(), expected.begin());
      EXPECT_EQ(produced, delivered.size());
    } else {
      EXPECT_EQ(produced, kUntouched);
    }
    EXPECT_EQ(output, expected);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, ExecuteTest,
                         ::testing::Values(TokenMode::Hid, TokenMode::Usb));

}  // namespace
}  // namespace vantor::testing
