// Several contexts on one token, from several threads and over long lives:
// card calls that never interleave, listings that never disturb an open
// connection, stale contexts that stay closed, connection counts carried by
// copies of a context, and an exception that leaves nothing held.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "os/forwarding_system.h"

namespace vantor::testing {
namespace {

constexpr std::uint32_t kFileSize = 64;

class ConcurrencyTest : public MachineTest {
 protected:
  // The content of file `id` in directory `dir` (0: the root), or empty.
  std::vector<std::uint8_t> Content(sim::TokenId token, std::uint16_t dir,
                                    std::uint16_t id) {
    const sim::CardState card = machine().Card(token);
    if (!card.root) return {};
    const sim::CardState::File* parent = &*card.root;
    if (dir != 0) {
      parent = nullptr;
      for (const auto& child : card.root->children) {
        if (child.id == dir) parent = &child;
      }
      if (parent == nullptr) return {};
    }
    for (const auto& child : parent->children) {
      if (child.id == id) return child.content;
    }
    return {};
  }
  // A token with a root, opened; the context is open on return.
  VXContext OpenWithRoot(TokenMode mode, sim::TokenId* token) {
    *token = machine().Plug(Token(mode));
    VXContext context = OpenFirst();
    EXPECT_EQ(VXMakeDirectory(&context, "\\", 0, VX_ROOT_DIRECTORY),
              VX_SUCCESS);
    return context;
  }
};

class ConcurrencyModeTest : public ConcurrencyTest,
                            public ::testing::WithParamInterface<TokenMode> {};

// Two threads, each on its own shared context of one token, each writing
// only its own file: every byte lands in the caller's own file.
TEST_P(ConcurrencyModeTest, CardCallsOnOneTokenNeverInterleave) {
  sim::TokenId token = 0;
  VXContext first = OpenWithRoot(GetParam(), &token);
  VXContext second = List()[0];
  ASSERT_EQ(VXOpenDevice(&second), VX_SUCCESS);
  machine().SetLatency(token, std::chrono::microseconds(50));
  const char* ids[] = {"1111", "2222"};
  VXContext* contexts[] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(VXStoreFile(contexts[i], ids[i], 0, nullptr, 0, kFileSize,
                          nullptr, VX_FILE_CREATE, VX_TYPE_DATA),
              VX_SUCCESS);
  }
  std::atomic<int> failures{0};
  auto writer = [&](int i) {
    const std::vector<std::uint8_t> data(kFileSize,
                                         static_cast<std::uint8_t>('A' + i));
    for (int n = 0; n < 40; ++n) {
      std::uint32_t written = 0;
      if (VXStoreFile(contexts[i], ids[i], 0, data.data(), kFileSize, 0,
                      &written, VX_FILE_UPDATE, VX_TYPE_DATA) != VX_SUCCESS) {
        ++failures;
      }
    }
  };
  std::thread a(writer, 0);
  std::thread b(writer, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Content(token, 0, 0x1111),
            std::vector<std::uint8_t>(kFileSize, 'A'));
  EXPECT_EQ(Content(token, 0, 0x2222),
            std::vector<std::uint8_t>(kFileSize, 'B'));
  EXPECT_EQ(VXCloseDevice(&second), VX_SUCCESS);
  EXPECT_EQ(VXCloseDevice(&first), VX_SUCCESS);
}

// A listing from another context between entering a directory and storing
// a file neither resets the token nor changes the open entry's ATR: the
// file lands in the directory.
TEST_P(ConcurrencyModeTest, ListingLeavesAnOpenConnectionsDirectory) {
  sim::TokenId token = 0;
  VXContext context = OpenWithRoot(GetParam(), &token);
  ASSERT_EQ(VXMakeDirectory(&context, "1001", 0x400, VX_SUB_DIRECTORY),
            VX_SUCCESS);
  ASSERT_EQ(VXEnterDirectory(&context, "\\1001"), VX_SUCCESS);
  const int resets = machine().Token(token).controlRequests;
  const std::vector<VXContext> listed = List();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(machine().Token(token).controlRequests, resets);
  EXPECT_EQ(listed[0].dwAtrLength, context.dwAtrLength);
  EXPECT_EQ(std::memcmp(listed[0].bAtr, context.bAtr, context.dwAtrLength), 0);
  const std::uint8_t data[4] = {1, 2, 3, 4};
  std::uint32_t written = 0;
  ASSERT_EQ(VXStoreFile(&context, "0101", 0, data, 4, 4, &written,
                        VX_FILE_CREATE, VX_TYPE_DATA),
            VX_SUCCESS);
  EXPECT_EQ(Content(token, 0x1001, 0x0101),
            std::vector<std::uint8_t>(data, data + 4));
  EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Modes, ConcurrencyModeTest,
                         ::testing::Values(TokenMode::Hid, TokenMode::Usb),
                         [](const ::testing::TestParamInfo<TokenMode>& row) {
                           return std::string(
                               row.param == TokenMode::Hid ? "Hid" : "Usb");
                         });

// A stale context whose close released what it held never reaches the
// connection opened after it, even where the system gives that connection
// the same handle value; nor does a second stale context of the token, or a
// copy of one.
TEST_F(ConcurrencyTest, ClosedStaleContextStaysClosed) {
  const struct {
    const char* name;
    OsVersion os;
    TokenMode mode;
  } systems[] = {{"XP, HID", OsVersion::WindowsXp, TokenMode::Hid},
                 {"98, USB", OsVersion::Windows98, TokenMode::Usb}};
  for (const auto& s : systems) {
    SCOPED_TRACE(s.name);
    Start(s.os);
    const sim::TokenId token = machine().Plug(Token(s.mode));
    VXContext c1 = OpenFirst();
    VXContext other = List()[0];
    ASSERT_EQ(VXOpenDevice(&other), VX_SUCCESS);
    const VXContext copy = other;  // a copy that is never opened itself
    machine().Unplug(token);
    machine().Replug(token);
    std::uint8_t out[64];
    EXPECT_EQ(VXControl(&c1, 4, nullptr, 0, out, sizeof(out), nullptr),
              VX_INVALID_PARAMETER);
    EXPECT_EQ(VXCloseDevice(&c1), VX_INVALID_PARAMETER);
    EXPECT_EQ(c1.hDevice, 0xFFFFFFFFu);
    EXPECT_EQ(VXCloseDevice(&other), VX_INVALID_PARAMETER);
    EXPECT_EQ(VXCloseDevice(&other), VX_INVALID_PARAMETER);
    VXContext c2 = OpenFirst();
    VXContext stale[] = {c1, other, copy};
    const std::size_t sent = machine().Wire().size();
    for (VXContext& context : stale) {
      EXPECT_EQ(VXControl(&context, 4, nullptr, 0, out, sizeof(out), nullptr),
                VX_INVALID_PARAMETER);
      EXPECT_EQ(VXCloseDevice(&context), VX_INVALID_PARAMETER);
    }
    EXPECT_EQ(machine().Wire().size(), sent);
    EXPECT_EQ(VXControl(&c2, 4, nullptr, 0, out, sizeof(out), nullptr),
              VX_SUCCESS);
    EXPECT_EQ(VXCloseDevice(&c2), VX_SUCCESS);
  }
}

// Connections are counted whatever the contexts' addresses: a context
// opened twice and then moved by a growing vector needs its two closes,
// and no number of contexts on one token leaves the device open.
TEST_F(ConcurrencyTest, CountsSurviveCopiesAndManyContexts) {
  machine().Plug(Token(TokenMode::Hid));
  std::vector<VXContext> contexts = List();
  ASSERT_EQ(VXOpenDevice(&contexts[0]), VX_SUCCESS);
  ASSERT_EQ(VXOpenDevice(&contexts[0]), VX_SUCCESS);
  const VXContext listed = List()[0];
  for (int i = 0; i < 6; ++i) {
    contexts.push_back(listed);  // moves the elements as it grows
    ASSERT_EQ(VXOpenDevice(&contexts.back()), VX_SUCCESS);
  }
  contexts.shrink_to_fit();
  EXPECT_EQ(VXCloseDevice(&contexts[0]), VX_SUCCESS);
  EXPECT_NE(contexts[0].hDevice, 0xFFFFFFFFu);  // still one connection
  for (VXContext& context : contexts) {
    EXPECT_EQ(VXCloseDevice(&context), VX_SUCCESS);
    EXPECT_EQ(context.hDevice, 0xFFFFFFFFu);
  }
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
  // The token is free for an exclusive open again.
  const VXOpenInfo exclusive{sizeof(VXOpenInfo), 0};
  ASSERT_EQ(VXOpenDeviceEx(&contexts[1], &exclusive), VX_SUCCESS);
  EXPECT_EQ(VXCloseDevice(&contexts[1]), VX_SUCCESS);
}

// Forwards to the simulated machine, but throws from the named call once.
class ThrowingSystem final : public os::ForwardingSystem {
 public:
  ThrowingSystem() : ForwardingSystem(os::Sys()) { os::SetCurrentSystem(this); }
  ~ThrowingSystem() override { os::SetCurrentSystem(&inner()); }
  ThrowingSystem(const ThrowingSystem&) = delete;
  ThrowingSystem& operator=(const ThrowingSystem&) = delete;

  std::string armed;  // the call that throws next

  HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share,
                     LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override {
    Throw("CreateFileA");
    return ForwardingSystem::CreateFileA(path, access, share, security,
                                         disposition, flags, templateFile);
  }
  BOOL CloseHandle(HANDLE handle) override {
    // The handle is closed, then the call throws: nothing may stay counted.
    const BOOL closed = ForwardingSystem::CloseHandle(handle);
    Throw("CloseHandle");
    return closed;
  }
  BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                       LPVOID out, DWORD outSize, LPDWORD returned,
                       LPOVERLAPPED overlapped) override {
    Throw("DeviceIoControl");
    return ForwardingSystem::DeviceIoControl(device, code, in, inSize, out,
                                             outSize, returned, overlapped);
  }

 private:
  void Throw(const char* call) {
    if (armed == call) {
      armed.clear();
      throw std::runtime_error(call);
    }
  }
};

// A system call that throws makes the public call return 3 and leaves
// nothing held: the token is listed, opens exclusively, works and closes.
TEST_F(ConcurrencyTest, ThrowingSystemCallLeavesNothingHeld) {
  auto list = [](VXContext*) {
    std::uint32_t length = 0;
    return VXListDevices(nullptr, &length);
  };
  const struct {
    const char* name;
    const char* call;
    bool open;  // the context is open before the call
    std::uint32_t (*run)(VXContext*);
  } cases[] = {
      {"open", "CreateFileA", false,
       [](VXContext* c) { return VXOpenDevice(c); }},
      {"control", "DeviceIoControl", true,
       [](VXContext* c) {
         return VXControl(c, 4, nullptr, 0, nullptr, 255, nullptr);
       }},
      {"card call", "DeviceIoControl", true,
       [](VXContext* c) { return VXEnterDirectory(c, "\\"); }},
      {"close", "CloseHandle", true,
       [](VXContext* c) { return VXCloseDevice(c); }},
      {"listing's open", "CreateFileA", false, list},
      {"listing's read", "DeviceIoControl", false, list},
      {"listing beside a connection", "DeviceIoControl", true, list},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start(OsVersion::WindowsXp);
    machine().Plug(Token(TokenMode::Usb));
    VXContext context = List()[0];
    if (c.open) {
      ASSERT_EQ(VXOpenDevice(&context), VX_SUCCESS);
    }
    // The throwing system stays installed until the monitor thread, which
    // calls through it, has ended.
    ThrowingSystem throwing;
    throwing.armed = c.call;
    EXPECT_EQ(c.run(&context), VX_COMM_ERROR);
    EXPECT_TRUE(throwing.armed.empty()) << "the call was not reached";
    // A close that threw may have ended the connection already.
    if (context.hDevice != 0xFFFFFFFFu) VXCloseDevice(&context);
    std::vector<VXContext> listed = List();
    ASSERT_EQ(listed.size(), 1u);
    const VXOpenInfo exclusive{sizeof(VXOpenInfo), 0};
    ASSERT_EQ(VXOpenDeviceEx(&listed[0], &exclusive), VX_SUCCESS);
    EXPECT_EQ(VXControl(&listed[0], 4, nullptr, 0, nullptr, 255, nullptr),
              VX_SUCCESS);
    EXPECT_EQ(VXCloseDevice(&listed[0]), VX_SUCCESS);
    EXPECT_TRUE(WaitFor([this] {
      return !device::MonitorThreadRunning() &&
             machine().Counters().threadsRunning == 0;
    }));
  }
}

}  // namespace
}  // namespace vantor::testing
