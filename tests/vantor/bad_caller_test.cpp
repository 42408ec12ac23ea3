// Every exported call with a context that is absent, zeroed, never opened,
// closed or stale, and with bad arguments on an open context: the
// documented result (2), nothing sent to the token, and the context
// unchanged byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "fixture.h"

namespace vantor::testing {
namespace {

struct Call {
  const char* name;
  std::function<std::uint32_t(VXContext*)> run;
};

const std::uint8_t kBytes[256] = {'2', '4', '6', '8', '1', '3', '5', '7'};
std::uint8_t g_out[256];
std::uint32_t g_length = 0;
const VXROOTINFO kRootInfo{sizeof(VXROOTINFO), {1, 2, 3, 4, 5, 6, 7, 8}};

// Each call with arguments that are right, so the context decides.
const std::vector<Call>& CallsOnAContext() {
  static const std::vector<Call> calls = {
      {"VXCloseDevice", [](VXContext* c) { return VXCloseDevice(c); }},
      {"VXControl",
       [](VXContext* c) {
         return VXControl(c, VX_CONTROL_TYPE_4, nullptr, 0, g_out, 8,
                          &g_length);
       }},
      {"VXMakeDirectory",
       [](VXContext* c) {
         return VXMakeDirectory(c, "\\", 0, VX_ROOT_DIRECTORY);
       }},
      {"VXMakeDirectoryEx",
       [](VXContext* c) {
         return VXMakeDirectoryEx(c, "\\", 0, VX_ROOT_DIRECTORY, &kRootInfo);
       }},
      {"VXEnterDirectory",
       [](VXContext* c) { return VXEnterDirectory(c, "\\"); }},
      {"VXClearDirectory", [](VXContext* c) { return VXClearDirectory(c, 0); }},
      {"VXPresentPin",
       [](VXContext* c) { return VXPresentPin(c, kBytes, 8, VX_USER_PIN); }},
      {"VXSetPinOrKey",
       [](VXContext* c) {
         return VXSetPinOrKey(c, kBytes, 8, kBytes, 8, VX_USER_PIN);
       }},
      {"VXStoreFile",
       [](VXContext* c) {
         return VXStoreFile(c, "1A2B", 0, kBytes, 8, 16, &g_length,
                            VX_FILE_CREATE, VX_TYPE_DATA);
       }},
      {"VXExecute",
       [](VXContext* c) {
         return VXExecute(c, "1A2B", kBytes, 8, g_out, sizeof(g_out),
                          &g_length);
       }},
      {"VXExecuteEx",
       [](VXContext* c) {
         return VXExecuteEx(c, "1A2B", VX_EXECUTE_BASIC, kBytes, 8, g_out,
                            sizeof(g_out), &g_length);
       }},
  };
  return calls;
}

// Calls whose first step asks the token something that the call turns into
// a result of its own (not at the root, not supported, too small), with
// the result a stale context gives: 2, or the code of an argument that is
// checked before the context.
struct TokenStepCall {
  const char* name;
  std::uint32_t expected;
  std::function<std::uint32_t(VXContext*)> run;
};

const std::vector<TokenStepCall>& TokenStepCalls() {
  auto control = [](std::uint32_t code, const char* input,
                    std::uint32_t capacity) {
    return [=](VXContext* c) {
      return VXControl(c, code, reinterpret_cast<const std::uint8_t*>(input),
                       input != nullptr ? 4 : 0, g_out, capacity, &g_length);
    };
  };
  static const std::vector<TokenStepCall> calls = {
      {"application directory", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXMakeDirectory(c, "1A2B", 1000, VX_APP_DIRECTORY);
       }},
      {"subdirectory", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXMakeDirectory(c, "1A2B", 200, VX_SUB_DIRECTORY);
       }},
      {"file of size 0x8000", VX_SIZE_OUT_OF_RANGE,
       [](VXContext* c) {
         return VXStoreFile(c, "1A2B", 0, nullptr, 0, 0x8000, &g_length,
                            VX_FILE_CREATE, VX_TYPE_DATA);
       }},
      {"parameter", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXStoreFile(c, nullptr, 0, nullptr, 0, 10, &g_length,
                            VX_FILE_SET_PARAM, 0);
       }},
      {"key", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXSetPinOrKey(c, nullptr, 0, kBytes, 8, VX_AUTH_KEY);
       }},
      {"developer PIN change", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXSetPinOrKey(c, kBytes, 24, kBytes, 24, VX_DEV_PIN);
       }},
      {"two-level path", VX_INVALID_PARAMETER,
       [](VXContext* c) { return VXEnterDirectory(c, "\\1A2B\\3C4D"); }},
      {"run by id", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXExecuteEx(c, "1A2B", VX_EXECUTE_BY_ID, kBytes, 8, g_out, 8,
                            &g_length);
       }},
      {"code 7", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXControl(c, VX_SET_DEVICE_MODE, kBytes, 1, g_out, 251,
                          &g_length);
       }},
      {"code 37", VX_INVALID_PARAMETER,
       control(VX_GET_DEVICE_TYPE, nullptr, 8)},
      {"code 37 without room", VX_BUFFER_TOO_SMALL,
       control(VX_GET_DEVICE_TYPE, nullptr, 0)},
      {"code 38", VX_INVALID_PARAMETER,
       control(VX_GET_SERIAL_NUMBER, nullptr, 8)},
      {"code 41", VX_INVALID_PARAMETER, control(VX_GET_FREE_SPACE, nullptr, 1)},
      {"code 42", VX_INVALID_PARAMETER,
       [](VXContext* c) {
         return VXControl(c, VX_SET_DEVICE_ID, kBytes, 8, nullptr, 0, nullptr);
       }},
      {"code 49 without room", VX_BUFFER_TOO_SMALL,
       control(VX_GET_DIRECTORY_FREE_SPACE, nullptr, 1)},
      {"code 49", VX_INVALID_PARAMETER,
       control(VX_GET_DIRECTORY_FREE_SPACE, nullptr, 8)},
      {"code 50", VX_INVALID_PARAMETER, control(VX_GET_FILE_INFO, "1A2B", 8)},
  };
  return calls;
}

// Bad arguments on an open context, each refused before anything is sent.
const std::vector<Call>& BadArguments() {
  static const std::vector<Call> calls = {
      {"VXListDevices no length",
       [](VXContext* c) { return VXListDevices(c, nullptr); }},
      {"VXOpenDeviceEx no record",
       [](VXContext* c) { return VXOpenDeviceEx(c, nullptr); }},
      {"VXOpenDeviceEx share mode 2",
       [](VXContext* c) {
         const VXOpenInfo info{sizeof(VXOpenInfo), 2};
         return VXOpenDeviceEx(c, &info);
       }},
      {"VXOpenDeviceEx size 12",
       [](VXContext* c) {
         const VXOpenInfo info{12, 1};
         return VXOpenDeviceEx(c, &info);
       }},
      {"VXControl code 3",
       [](VXContext* c) {
         return VXControl(c, 3, nullptr, 0, g_out, 8, &g_length);
       }},
      {"VXControl code 0xFFFFFFFF",
       [](VXContext* c) {
         return VXControl(c, 0xFFFFFFFFu, nullptr, 0, g_out, 8, &g_length);
       }},
      {"VXControl data past the transport",
       [](VXContext* c) {
         return VXControl(c, VX_CONTROL_TYPE_4_DATA, kBytes, 256, g_out, 8,
                          &g_length);
       }},
      {"VXControl device id of 7",
       [](VXContext* c) {
         return VXControl(c, VX_SET_DEVICE_ID, kBytes, 7, nullptr, 0, nullptr);
       }},
      {"VXControl device id of UINT32_MAX",
       [](VXContext* c) {
         return VXControl(c, VX_SET_DEVICE_ID, kBytes, 0xFFFFFFFFu, nullptr, 0,
                          nullptr);
       }},
      {"VXControl mode change without output",
       [](VXContext* c) {
         static const std::uint8_t kToHid[1] = {0xAA};
         return VXControl(c, VX_SET_DEVICE_MODE, kToHid, 1, nullptr, 251,
                          &g_length);
       }},
      {"VXControl serial without output",
       [](VXContext* c) {
         return VXControl(c, VX_GET_SERIAL_NUMBER, nullptr, 0, nullptr, 8,
                          &g_length);
       }},
      {"VXMakeDirectory no id",
       [](VXContext* c) {
         return VXMakeDirectory(c, nullptr, 200, VX_SUB_DIRECTORY);
       }},
      {"VXMakeDirectory id of three digits",
       [](VXContext* c) {
         return VXMakeDirectory(c, "1A2", 200, VX_SUB_DIRECTORY);
       }},
      {"VXMakeDirectory size 0x10000",
       [](VXContext* c) {
         return VXMakeDirectory(c, "1A2B", 0x10000, VX_SUB_DIRECTORY);
       }},
      {"VXMakeDirectory kind 0",
       [](VXContext* c) { return VXMakeDirectory(c, "1A2B", 200, 0); }},
      {"VXMakeDirectoryEx root info size 0",
       [](VXContext* c) {
         const VXROOTINFO info{0, {}};
         return VXMakeDirectoryEx(c, "\\", 0, VX_ROOT_DIRECTORY, &info);
       }},
      {"VXEnterDirectory no path",
       [](VXContext* c) { return VXEnterDirectory(c, nullptr); }},
      {"VXEnterDirectory nine digits",
       [](VXContext* c) { return VXEnterDirectory(c, "123456789"); }},
      {"VXClearDirectory reserved UINT32_MAX",
       [](VXContext* c) { return VXClearDirectory(c, 0xFFFFFFFFu); }},
      {"VXPresentPin no PIN",
       [](VXContext* c) { return VXPresentPin(c, nullptr, 8, VX_USER_PIN); }},
      {"VXPresentPin length 7",
       [](VXContext* c) { return VXPresentPin(c, kBytes, 7, VX_USER_PIN); }},
      {"VXPresentPin length UINT32_MAX",
       [](VXContext* c) {
         return VXPresentPin(c, kBytes, 0xFFFFFFFFu, VX_DEV_PIN);
       }},
      {"VXSetPinOrKey developer 23",
       [](VXContext* c) {
         return VXSetPinOrKey(c, kBytes, 24, kBytes, 23, VX_DEV_PIN);
       }},
      {"VXSetPinOrKey key 17",
       [](VXContext* c) {
         return VXSetPinOrKey(c, nullptr, 0, kBytes, 17, VX_AUTH_KEY);
       }},
      {"VXStoreFile no id",
       [](VXContext* c) {
         return VXStoreFile(c, nullptr, 0, kBytes, 8, 16, &g_length,
                            VX_FILE_CREATE, VX_TYPE_DATA);
       }},
      {"VXStoreFile null data with a length",
       [](VXContext* c) {
         return VXStoreFile(c, "1A2B", 0, nullptr, 8, 16, &g_length,
                            VX_FILE_CREATE, VX_TYPE_DATA);
       }},
      {"VXStoreFile operation 0",
       [](VXContext* c) {
         return VXStoreFile(c, "1A2B", 0, kBytes, 8, 16, &g_length, 0,
                            VX_TYPE_DATA);
       }},
      {"VXExecute no id",
       [](VXContext* c) {
         return VXExecute(c, nullptr, kBytes, 8, g_out, 8, &g_length);
       }},
      {"VXExecute input 251",
       [](VXContext* c) {
         return VXExecute(c, "1A2B", kBytes, 251, g_out, 8, &g_length);
       }},
      {"VXExecute null output with a size",
       [](VXContext* c) {
         return VXExecute(c, "1A2B", kBytes, 8, nullptr, 8, &g_length);
       }},
      {"VXExecuteEx mode 2",
       [](VXContext* c) {
         return VXExecuteEx(c, "1A2B", 2, kBytes, 8, g_out, 8, &g_length);
       }},
      {"VXExecuteEx null input with a length",
       [](VXContext* c) {
         return VXExecuteEx(c, "1A2B", VX_EXECUTE_BASIC, nullptr, 8, g_out, 8,
                            &g_length);
       }},
  };
  return calls;
}

class BadCallerTest : public MachineTest {
 protected:
  // `call` on `context` gives `expected`, sends nothing and leaves it as it
  // was.
  template <typename Run>
  void ExpectRefused(const char* name, const Run& run, VXContext* context,
                     std::uint32_t expected = VX_INVALID_PARAMETER) {
    SCOPED_TRACE(name);
    VXContext before{};
    if (context != nullptr) before = *context;
    const std::size_t sent = machine().Wire().size();
    const int calls = machine().Token(token_).apdus;
    EXPECT_EQ(run(context), expected);
    EXPECT_EQ(machine().Wire().size(), sent);
    EXPECT_EQ(machine().Token(token_).apdus, calls);
    // A close of a stale context marks it closed.
    const bool closes = context != nullptr && context == stale_ &&
                        std::strcmp(name, "VXCloseDevice") == 0;
    if (context != nullptr) {
      const VXContext after = closes ? Closed(before) : before;
      EXPECT_EQ(std::memcmp(context, &after, sizeof(after)), 0);
    }
  }
  sim::TokenId token_ = 0;
  const VXContext* stale_ = nullptr;
};

TEST_F(BadCallerTest, ContextsThatNameNoConnection) {
  token_ = machine().Plug(Token(TokenMode::Hid));
  std::vector<VXContext> listed = List();
  ASSERT_EQ(listed.size(), 1u);
  VXContext zeroed{};
  VXContext garbage;
  std::memset(&garbage, 0xA5, sizeof(garbage));
  VXContext closed = listed[0];
  ASSERT_EQ(VXOpenDevice(&closed), VX_SUCCESS);
  ASSERT_EQ(VXCloseDevice(&closed), VX_SUCCESS);
  VXContext stale = listed[0];
  ASSERT_EQ(VXOpenDevice(&stale), VX_SUCCESS);
  machine().Unplug(token_);
  machine().Replug(token_);
  VXContext fresh = OpenFirst();
  stale_ = &stale;
  struct {
    const char* name;
    VXContext* context;
  } contexts[] = {{"absent", nullptr},   {"zeroed", &zeroed},
                  {"garbage", &garbage}, {"listed", &listed[0]},
                  {"closed", &closed},   {"stale", &stale}};
  for (const auto& c : contexts) {
    SCOPED_TRACE(c.name);
    for (const Call& call : CallsOnAContext()) {
      ExpectRefused(call.name, call.run, c.context);
    }
  }
  EXPECT_EQ(VXOpenDevice(nullptr), VX_INVALID_PARAMETER);
  EXPECT_EQ(VXOpenDevice(&garbage), VX_INVALID_PARAMETER);
  EXPECT_EQ(VXCloseDevice(&fresh), VX_SUCCESS);
}

TEST_F(BadCallerTest, BadArgumentsOnAnOpenContext) {
  token_ = machine().Plug(Token(TokenMode::Usb));
  VXContext context = OpenFirst();
  for (const Call& call : BadArguments()) {
    ExpectRefused(call.name, call.run, &context);
  }
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

// A context whose token was unplugged, on every version rule: the calls
// answer 2 (or their argument's own code) and send nothing, with the token
// gone and with it plugged in again and opened by another context.
TEST_F(BadCallerTest, StaleContextAnswersBeforeAnyTokenStep) {
  for (const std::uint16_t version :
       {std::uint16_t{0x0200}, std::uint16_t{0x0210}, std::uint16_t{0x0230}}) {
    for (const bool replugged : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "version " << std::hex << version
                                        << (replugged ? " re-plugged" : ""));
      Start(OsVersion::WindowsXp);
      token_ = machine().Plug(Token(TokenMode::Usb, version));
      VXContext stale = OpenFirst();
      ASSERT_EQ(VXMakeDirectory(&stale, "\\", 0, VX_ROOT_DIRECTORY),
                VX_SUCCESS);
      machine().Unplug(token_);
      VXContext fresh{};
      if (replugged) {
        machine().Replug(token_);
        fresh = OpenFirst();
      } else {
        EXPECT_TRUE(List().empty());
      }
      for (const TokenStepCall& call : TokenStepCalls()) {
        ExpectRefused(call.name, call.run, &stale, call.expected);
      }
      EXPECT_EQ(VXCloseDevice(&stale), VX_INVALID_PARAMETER);
      if (replugged) {
        EXPECT_EQ(VXCloseDevice(&fresh), VX_SUCCESS);
      }
    }
  }
}

}  // namespace
}  // namespace vantor::testing
