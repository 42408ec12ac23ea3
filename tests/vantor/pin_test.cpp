// The PIN and key calls on a virtual token in each mode: presenting and
// changing PINs with the token's try counters, the developer PIN's rollback
// when a part fails, and replacing the authentication key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card_fixture.h"

namespace vantor::testing {
namespace {

const std::string kDefault = "24681357";
const std::string kDefaultDev = kDefault + kDefault + kDefault;

const std::uint8_t* U(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}
std::uint32_t L(const std::string& text) {
  return static_cast<std::uint32_t>(text.size());
}
std::string HexText(const std::string& text) {
  return Hex({text.begin(), text.end()});
}
std::string VerifyCommand(const char* p2, const std::string& value) {
  return "002000" + std::string(p2) + "08" + HexText(value);
}
std::string ChangeCommand(const char* p2, const std::string& current,
                          const std::string& next) {
  return "805E01" + std::string(p2) + "10" + HexText(current) + HexText(next);
}

class PinTest : public CardTest {
 protected:
  // A token with a root and its default PINs (and keys, on device types
  // other than 0).
  VXContext OpenWithRoot(std::uint8_t deviceByte = 0x00) {
    VXContext context = Open(0x0230, deviceByte);
    EXPECT_EQ(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY), 0u);
    Clear();
    return context;
  }
  // The value of the root key file's record whose id starts with `first`.
  std::string Record(std::uint8_t first, std::uint8_t second = 0x00) {
    const sim::CardState card = Card();
    for (const auto& key : card.root->children.front().keys) {
      if (key.id[0] == first && key.id[1] == second) {
        return {key.value.begin(), key.value.end()};
      }
    }
    return "(none)";
  }
  std::string DevPin() { return Record(0xBB) + Record(0xCC) + Record(0xDD); }
};

TEST_P(PinTest, PresentingChecksShapesAndStopsAtTheFirstRefusedPart) {
  struct Case {
    const char* name;
    std::string value;
    std::uint32_t kind;
    std::uint32_t result;
    std::size_t sent;
  };
  const std::string wrong = "13572468";
  const Case cases[] = {
      {"user", kDefault, VX_USER_PIN, 0, 1},
      {"user wrong", wrong, VX_USER_PIN, 0x63CE, 1},
      {"developer", kDefaultDev, VX_DEV_PIN, 0, 3},
      {"developer part 2 wrong", kDefault + wrong + kDefault, VX_DEV_PIN,
       0x63CE, 2},
      {"user of 24 bytes", kDefaultDev, VX_USER_PIN, 2, 0},
      {"developer of 8 bytes", kDefault, VX_DEV_PIN, 2, 0},
      {"key kind", kDefault, VX_AUTH_KEY, 2, 0},
      {"unknown kind", kDefault, 0xA4, 2, 0},
  };
  VXContext context = OpenWithRoot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clear();
    EXPECT_EQ(VXPresentPin(&context, U(c.value), L(c.value), c.kind), c.result);
    EXPECT_EQ(Sent().size(), c.sent);
    // A right PIN gives the tries back for the next case.
    ASSERT_EQ(VXPresentPin(&context, U(kDefaultDev), 24, VX_DEV_PIN), 0u);
    ASSERT_EQ(VXPresentPin(&context, U(kDefault), 8, VX_USER_PIN), 0u);
  }
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_P(PinTest, WrongPinsCountDownAndABlockedPinIsRefused) {
  VXContext context = OpenWithRoot();
  const std::string wrong = "00000000";
  for (std::uint32_t left = 14; left != 0xFFFFFFFF; --left) {
    EXPECT_EQ(VXPresentPin(&context, U(wrong), 8, VX_USER_PIN), 0x63C0 + left);
  }
  EXPECT_EQ(VXPresentPin(&context, U(kDefault), 8, VX_USER_PIN), 0x6983u);
  EXPECT_EQ(VXSetPinOrKey(&context, U(kDefault), 8, U(wrong), 8, VX_USER_PIN),
            0x6983u);
  EXPECT_EQ(Record(0xAA), kDefault);
  // The developer PIN has a counter of its own.
  EXPECT_EQ(VXPresentPin(&context, U(kDefaultDev), 24, VX_DEV_PIN), 0u);
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_P(PinTest, UserPinChangesOnlyWithTheRightOldPin) {
  VXContext context = OpenWithRoot();
  const std::string next = "11223344";
  EXPECT_EQ(VXSetPinOrKey(&context, U(next), 8, U(next), 8, VX_USER_PIN),
            0x63CEu);
  EXPECT_EQ(Record(0xAA), kDefault);
  Clear();
  EXPECT_EQ(VXSetPinOrKey(&context, U(kDefault), 8, U(next), 8, VX_USER_PIN),
            0u);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{VerifyCommand("AA", kDefault),
                                      ChangeCommand("AA", kDefault, next)}));
  EXPECT_EQ(Record(0xAA), next);
  EXPECT_EQ(VXPresentPin(&context, U(next), 8, VX_USER_PIN), 0u);
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

// A developer-PIN change, whole and failing: the parts already changed are
// set back, first part first, so the PIN is whole unless the setting back
// fails too, which has its own result. The pin-change fuzz target checks
// the PIN left by failures at every step; here the exact commands.
TEST_P(PinTest, DeveloperPinChangeRollsBackWhenAPartFails) {
  const std::string next = "AAAAAAAABBBBBBBBCCCCCCCC";
  const std::string cur = kDefaultDev;
  // Presents part `i` of `from` and sets it to part `i` of `to`.
  auto change = [](const std::string& from, const std::string& to, int i) {
    const char* const refs[] = {"BB", "CC", "DD"};
    const auto at = 8 * static_cast<std::size_t>(i);
    return std::vector<std::string>{
        VerifyCommand(refs[i], from.substr(at, 8)),
        ChangeCommand(refs[i], from.substr(at, 8), to.substr(at, 8))};
  };
  auto join = [](std::vector<std::vector<std::string>> lists) {
    std::vector<std::string> out;
    for (auto& list : lists) out.insert(out.end(), list.begin(), list.end());
    return out;
  };
  const struct {
    const char* name;
    int failingChange;  // the change of this part answers 6A 88 (0: none)
    bool restoreFails;  // and so does setting part 1 back
    std::uint32_t result;
    std::vector<std::string> commands;
    std::string after;
  } cases[] = {
      {"all parts", 0, false, 0,
       join({change(cur, next, 0), change(cur, next, 1), change(cur, next, 2)}),
       next},
      {"change of part 3", 3, false, 0x6A88,
       join({change(cur, next, 0), change(cur, next, 1), change(cur, next, 2),
             change(next, cur, 0), change(next, cur, 1)}),
       cur},
      {"change of part 3 and setting part 1 back", 3, true,
       VX_DEV_PIN_NOT_RESTORED,
       join({change(cur, next, 0), change(cur, next, 1), change(cur, next, 2),
             change(next, cur, 0)}),
       next.substr(0, 16) + cur.substr(16)},
  };
  const std::uint8_t refs[] = {0xBB, 0xCC, 0xDD};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWithRoot();
    if (c.failingChange != 0) Inject(0x5E, refs[c.failingChange - 1], "6A88");
    if (c.restoreFails) Inject(0x5E, 0xBB, "6A88", 2);
    EXPECT_EQ(VXSetPinOrKey(&context, U(cur), 24, U(next), 24, VX_DEV_PIN),
              c.result);
    EXPECT_EQ(Sent(), c.commands);
    EXPECT_EQ(DevPin(), c.after);
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

TEST_P(PinTest, ArgumentsOfAChangeAreCheckedBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    const std::uint8_t* old;
    std::uint32_t oldLength;
    std::uint32_t newLength;
    std::uint32_t kind;
  };
  const std::uint8_t* value = U(kDefaultDev);
  const Case cases[] = {
      {"user without old", nullptr, 8, 8, VX_USER_PIN},
      {"user old 24", value, 24, 8, VX_USER_PIN},
      {"user new 9", value, 8, 9, VX_USER_PIN},
      {"developer without old", nullptr, 24, 24, VX_DEV_PIN},
      {"developer new 8", value, 24, 8, VX_DEV_PIN},
      {"key with old", value, 0, 8, VX_AUTH_KEY},
      {"key with old length", nullptr, 8, 8, VX_AUTH_KEY},
      {"key of 12", nullptr, 0, 12, VX_AUTH_KEY},
      {"key of 0", nullptr, 0, 0, VX_AUTH_KEY},
      {"unknown kind", value, 8, 8, 0xA0},
  };
  VXContext context = OpenWithRoot(0x85);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        VXSetPinOrKey(&context, c.old, c.oldLength, value, c.newLength, c.kind),
        VX_INVALID_PARAMETER);
  }
  EXPECT_EQ(VXSetPinOrKey(&context, nullptr, 0, nullptr, 8, VX_AUTH_KEY),
            VX_INVALID_PARAMETER);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

TEST_P(PinTest, AuthenticationKeyFollowsTheDeviceType) {
  struct Case {
    std::uint8_t deviceByte;
    std::uint32_t length;
    std::uint32_t result;
    std::uint8_t record;       // first id byte of the key record
    const char* controlBytes;  // record bytes 3..6 afterwards
  };
  const Case cases[] = {
      {0x85, 8, 0, 0x00, "0FDF000F"},
      {0x85, 16, 0, 0x00, "0FDF010F"},
      {0xC3, 8, 0, 0x02, "0FDF600F"},
      {0xC3, 16, 0, 0x02, "0FDF610F"},
      {0x00, 16, VX_WRONG_DEVICE_TYPE, 0, nullptr},
  };
  const std::string key = "0123456789ABCDEF";
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int{c.deviceByte} << " " << c.length);
    Start(OsVersion::WindowsXp);
    VXContext context = OpenWithRoot(c.deviceByte);
    EXPECT_EQ(
        VXSetPinOrKey(&context, nullptr, 0, U(key), c.length, VX_AUTH_KEY),
        c.result);
    const std::vector<std::string> sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], Packed("80CA070001 00"));
    if (c.controlBytes == nullptr) {
      EXPECT_EQ(sent.size(), 1u);
    } else {
      const std::string value = key.substr(0, c.length);
      const char* id = c.record == 0 ? "000001" : "020000";
      EXPECT_EQ(sent.back(), "80D40100" +
                                 std::string(c.length == 8 ? "0F" : "17") + id +
                                 c.controlBytes + HexText(value));
      EXPECT_EQ(Record(c.record, 0x00), value);
      const sim::CardState card = Card();
      for (const auto& k : card.root->children.front().keys) {
        if (k.id[0] == c.record && k.id[1] == 0 && k.id[2] != 5) {
          EXPECT_EQ(Hex({k.control.begin(), k.control.end()}), c.controlBytes);
        }
      }
    }
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, PinTest,
                         ::testing::Values(TokenMode::Usb, TokenMode::Hid),
                         [](const ::testing::TestParamInfo<TokenMode>& row) {
                           return std::string(
                               row.param == TokenMode::Hid ? "Hid" : "Usb");
                         });

}  // namespace
}  // namespace vantor::testing
