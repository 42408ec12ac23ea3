// The Change action against a scripted token library: every path, the
// messages, the request block and the release of what was obtained.
#include "mode_change.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vantor::tool {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Answers each call as scripted and logs the calls, together with the
// messages shown, in one sequence.
class ScriptedApi final : public TokenApi, public MessageSink {
 public:
  std::uint32_t sizeQueryResult = VX_BUFFER_TOO_SMALL;
  std::uint32_t announcedLength = kContextBytes;  // written by the size query
  std::uint32_t listResult = VX_SUCCESS;
  std::optional<std::uint32_t> listedLengthOut;  // written by the listing
  std::uint32_t openResult = VX_SUCCESS;
  std::uint32_t controlResult = VX_SUCCESS;

  std::vector<std::string> log;
  std::vector<std::string> messages;
  int openDevices = 0;

  // What the second listing and the control request were given.
  std::uint32_t listedLength = 0;
  VXContext* listedContexts = nullptr;
  VXContext* openedContext = nullptr;
  VXContext* closedContext = nullptr;
  std::uint32_t controlCode = 0;
  std::vector<std::uint8_t> request;
  const std::uint8_t* input = nullptr;
  std::uint8_t* output = nullptr;
  std::uint32_t capacity = 0;
  bool hasReturnedLength = false;

  std::uint32_t ListDevices(VXContext* contexts,
                            std::uint32_t* length) override {
    if (contexts == nullptr) {
      log.push_back("size query");
      EXPECT_EQ(*length, 0u);
      *length = announcedLength;
      return sizeQueryResult;
    }
    log.push_back("list");
    listedLength = *length;
    listedContexts = contexts;
    // The library may fill every byte it was given.
    std::memset(contexts, 0xA5, *length);
    for (std::uint32_t i = 0; i < *length / kContextBytes; ++i) {
      contexts[i].dwIndex = i;
    }
    if (listedLengthOut) *length = *listedLengthOut;
    return listResult;
  }

  std::uint32_t OpenDevice(VXContext* context) override {
    log.push_back("open " + std::to_string(context->dwIndex));
    openedContext = context;
    if (openResult == VX_SUCCESS) ++openDevices;
    return openResult;
  }

  std::uint32_t CloseDevice(VXContext* context) override {
    log.push_back("close " + std::to_string(context->dwIndex));
    closedContext = context;
    --openDevices;
    return VX_SUCCESS;
  }

  std::uint32_t Control(VXContext* context, std::uint32_t code,
                        const std::uint8_t* in, std::uint32_t inLength,
                        std::uint8_t* out, std::uint32_t outCapacity,
                        std::uint32_t* returned) override {
    log.push_back("control " + std::to_string(context->dwIndex));
    controlCode = code;
    request.assign(in, in + inLength);
    input = in;
    output = out;
    capacity = outCapacity;
    hasReturnedLength = returned != nullptr;
    // A full answer overwrites the whole output area.
    std::memset(out, 0x5A, outCapacity);
    if (returned != nullptr) *returned = outCapacity;
    return controlResult;
  }

  void Show(const std::string& utf8) override {
    log.push_back("show");
    messages.push_back(utf8);
  }
};

TEST(FailureMessageTest, EightUpperCaseHexDigits) {
  EXPECT_EQ(FailureMessage(kListFailedPrefix, 17),
            "列举设备失败，错误代码<0x00000011>");
  EXPECT_EQ(FailureMessage(kOpenFailedPrefix, 2),
            "连接设备失败，错误代码<0x00000002>");
  EXPECT_EQ(FailureMessage(kControlFailedPrefix, 0xFFFFFFFFu),
            "修改模式失败，错误代码<0xFFFFFFFF>");
  EXPECT_EQ(FailureMessage(kControlFailedPrefix, 0x6A81),
            "修改模式失败，错误代码<0x00006A81>");
}

struct PathCase {
  const char* name;
  std::uint32_t sizeQueryResult;
  std::uint32_t announcedLength;
  std::uint32_t listResult, openResult, controlResult;
  Outcome outcome;
  const char* log;      // the calls and messages in order, comma-separated
  const char* message;  // the one message shown, or empty
};

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += ", ";
    text += item;
  }
  return text;
}

class ModeChangePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(ModeChangePathTest, CallsAndMessages) {
  const PathCase& c = GetParam();
  ScriptedApi api;
  api.sizeQueryResult = c.sizeQueryResult;
  api.announcedLength = c.announcedLength;
  api.listResult = c.listResult;
  api.openResult = c.openResult;
  api.controlResult = c.controlResult;

  EXPECT_EQ(ModeChange(api, api, TargetMode::kUsb), c.outcome);
  EXPECT_EQ(Joined(api.log), c.log);
  EXPECT_EQ(Joined(api.messages), c.message);
  // Whatever was opened is closed again, on the context that was opened.
  EXPECT_EQ(api.openDevices, 0);
  if (api.closedContext != nullptr) {
    EXPECT_EQ(api.closedContext, api.openedContext);
  }
}

constexpr std::uint32_t kTooSmall = VX_BUFFER_TOO_SMALL;
constexpr char kFullLog[] =
    "size query, list, open 0, control 0, show, close 0";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    AllPaths, ModeChangePathTest,
    ::testing::Values(
        PathCase{"NoToken", VX_SUCCESS, 0, 0, 0, 0, Outcome::kNoDevice,
                 "size query, show", "设备没有找到!"},
        // Only the length of the size query counts, not its result.
        PathCase{"NoTokenDespiteFailedQuery", VX_COMM_ERROR, 0, 0, 0, 0,
                 Outcome::kNoDevice, "size query, show", "设备没有找到!"},
        PathCase{"ListingFails", kTooSmall, 92, 0xFFFFFFFFu, 0, 0,
                 Outcome::kListFailed, "size query, list, show",
                 "列举设备失败，错误代码<0xFFFFFFFF>"},
        PathCase{"TokenAddedBetweenListings", kTooSmall, 92, kTooSmall, 0, 0,
                 Outcome::kListFailed, "size query, list, show",
                 "列举设备失败，错误代码<0x00000011>"},
        PathCase{"OpenFails", kTooSmall, 92, 0, VX_INVALID_PARAMETER, 0,
                 Outcome::kOpenFailed, "size query, list, open 0, show",
                 "连接设备失败，错误代码<0x00000002>"},
        // The message is shown before the token is closed again.
        PathCase{"ControlFails", kTooSmall, 92, 0, 0, 0x6A81,
                 Outcome::kControlFailed, kFullLog,
                 "修改模式失败，错误代码<0x00006A81>"},
        PathCase{"Success", kTooSmall, 92, 0, 0, 0, Outcome::kChanged,
                 "size query, list, open 0, control 0, close 0", ""},
        // With several tokens only the first listed one is touched.
        PathCase{"ThreeTokensOnlyFirst", kTooSmall, 276, 0, 0, 0,
                 Outcome::kChanged,
                 "size query, list, open 0, control 0, close 0", ""}),
    [](const ::testing::TestParamInfo<PathCase>& param) {
      return std::string(param.param.name);
    });
// clang-format on

TEST(ModeChangeTest, TokenGoneBetweenTheListingsIsNotFound) {
  // The second listing succeeds with nothing in it: no context to open.
  ScriptedApi api;
  api.listedLengthOut = 0;
  EXPECT_EQ(ModeChange(api, api, TargetMode::kUsb), Outcome::kNoDevice);
  EXPECT_EQ(Joined(api.log), "size query, list, show");
  EXPECT_THAT(api.messages, ::testing::ElementsAre("设备没有找到!"));
}

TEST(ListTokensTest, KeepsTheContextsTheListingWrote) {
  struct {
    std::uint32_t announced, listed, result;
    std::size_t contexts;
  } const cases[] = {
      {0, 0, VX_SUCCESS, 0},      // nothing attached
      {184, 184, VX_SUCCESS, 2},  // two tokens
      {184, 92, VX_SUCCESS, 1},   // one left between the calls
      {184, 0, VX_SUCCESS, 0},    // both left
      {92, 184, kTooSmall, 0},    // one came: nothing filled
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listed);
    ScriptedApi api;
    api.announcedLength = c.announced;
    api.listedLengthOut = c.listed;
    api.listResult = c.result;
    const Listing listing = ListTokens(api);
    EXPECT_EQ(listing.result, c.result);
    EXPECT_EQ(listing.contexts.size(), c.contexts);
  }
}

TEST(ModeChangeTest, ListsIntoABufferOfTheAnnouncedLength) {
  for (std::uint32_t tokens : {1u, 2u, 127u}) {
    ScriptedApi api;
    api.announcedLength = tokens * kContextBytes;
    ModeChange(api, api, TargetMode::kHid);
    // The fake fills all of it, so a shorter buffer would be overrun.
    EXPECT_EQ(api.listedLength, tokens * kContextBytes);
    EXPECT_EQ(api.openedContext, api.listedContexts);
  }
}

TEST(ModeChangeTest, RequestIsSixteenBytesWithTheModeByteFirst) {
  struct {
    TargetMode mode;
    std::uint8_t byte;
  } const cases[] = {{TargetMode::kUsb, 0x00}, {TargetMode::kHid, 0xAA}};
  for (const auto& c : cases) {
    ScriptedApi api;
    ModeChange(api, api, c.mode);
    std::vector<std::uint8_t> expected(16, 0);
    expected[0] = c.byte;
    EXPECT_EQ(api.controlCode, VX_SET_DEVICE_MODE);
    EXPECT_THAT(api.request, ElementsAreArray(expected));
    EXPECT_EQ(api.capacity, 251u);
    // One block is both the request and the answer area.
    EXPECT_EQ(api.output, api.input);
    EXPECT_TRUE(api.hasReturnedLength);
    EXPECT_THAT(api.messages, IsEmpty());
  }
}

}  // namespace
}  // namespace vantor::tool
