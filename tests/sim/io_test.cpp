// Opens, handles and the two transports of the machine: share modes, the
// driver's I/O control codes, HID feature reports, the tokens' answers,
// faults, re-plug and the wire log.
#include <cstring>
#include <string>
#include <vector>

#include "sim_test_support.h"

namespace {

using simtest::Bytes;
using simtest::Open;
using vantor::sim::TokenConfig;
using vantor::sim::TokenFaults;
using vantor::sim::TokenId;
using vantor::sim::TokenMode;
using vantor::sim::WireRecord;

constexpr DWORD kTransfer = 0x220028;
constexpr DWORD kWrite = 0x22000C;
constexpr DWORD kRead = 0x220010;
constexpr DWORD kAtr = 0x220024;

Bytes ControlHeader(std::uint8_t code, std::uint16_t length) {
  return {0x40,
          0x01,
          code,
          0x00,
          0x00,
          0x00,
          static_cast<std::uint8_t>(length & 0xFF),
          static_cast<std::uint8_t>(length >> 8)};
}

Bytes ApduHeader(std::uint16_t length) {
  return {0x40,
          0x00,
          0x00,
          0x00,
          0x00,
          0x00,
          static_cast<std::uint8_t>(length & 0xFF),
          static_cast<std::uint8_t>(length >> 8)};
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class SimIo : public simtest::MachineTest {
 protected:
  TokenId PlugUsb() {
    TokenConfig config;
    config.mode = TokenMode::Usb;
    return machine().Plug(config);
  }

  // DeviceIoControl with the result, last error and returned bytes.
  struct Io {
    BOOL ok;
    DWORD error;
    Bytes out;
  };
  Io Ioctl(HANDLE h, DWORD code, Bytes in, DWORD capacity = 255) {
    Bytes out(capacity + 16, 0xEE);
    DWORD returned = 0xFFFF;
    sys().SetLastError(0);
    const BOOL ok = sys().DeviceIoControl(
        h, code, in.empty() ? nullptr : in.data(),
        static_cast<DWORD>(in.size()), capacity ? out.data() : nullptr,
        capacity, &returned, nullptr);
    Io io{ok, sys().GetLastError(), {}};
    if (ok) io.out.assign(out.begin(), out.begin() + returned);
    return io;
  }

  BOOLEAN SetReport(HANDLE h, Bytes report) {
    sys().SetLastError(0);
    return b.setFeature(h, report.data(), static_cast<ULONG>(report.size()));
  }

  bool GetAnswer(HANDLE h, Bytes* answer) {
    sys().SetLastError(0);
    return simtest::GetAnswer(b, h, answer);
  }
  static Bytes ControlReport(std::uint8_t code, const Bytes& data) {
    return simtest::ControlReport(code, data);
  }

  simtest::Bound b = simtest::BindAll();
};

// --- Opens and handles ----------------------------------------------------

TEST_F(SimIo, ShareModesFollowTheWindowsRules) {
  struct Row {
    DWORD access1, share1, access2, share2;
    bool second;
  };
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE;
  constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  const Row rows[] = {
      {R | W, SR, R | W, SR | SW, false},  // share 1 admits no second writer
      {R | W, SR | SW, R | W, SR | SW, true},
      {R | W, SR | SW, R | W, SR, false},  // the new share excludes a writer
      {R, SR, R, SR, true},
      {R, 0, R, SR | SW, false},
      {R, SR, W, SR | SW, false},
      {W, SW, W, SW, true},
      {W, SW, R, SR | SW, false},
      {0, 0, R | W, 0, true},  // no access conflicts with none
      {R | W, 0, 0, 0, true},
  };
  const std::string path = machine().Token(machine().Plug({})).path;
  for (const Row& row : rows) {
    HANDLE first = Open(path, row.share1, row.access1);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(path, row.share2, row.access2);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, row.second)
        << std::hex << row.access1 << "/" << row.share1 << " then "
        << row.access2 << "/" << row.share2;
    if (second != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(sys().CloseHandle(second));
    } else {
      EXPECT_EQ(sys().GetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_TRUE(sys().CloseHandle(first));
  }
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
}

TEST_F(SimIo, HandlesAreSmallDistinctAndCounted) {
  const auto token = machine().Plug({});
  const std::string path = machine().Token(token).path;
  std::vector<HANDLE> handles;
  for (int i = 0; i < 3; ++i) {
    HANDLE h = Open(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const auto value = reinterpret_cast<std::uintptr_t>(h);
    EXPECT_GT(value, 0u);
    EXPECT_LT(value, 0x80000000u);  // survives a 32-bit word
    for (HANDLE other : handles) EXPECT_NE(other, h);
    handles.push_back(h);
  }
  EXPECT_EQ(machine().Token(token).openHandles, 3);
  EXPECT_EQ(machine().Counters().openFileHandles, 3);
  for (HANDLE h : handles) EXPECT_TRUE(sys().CloseHandle(h));
  EXPECT_FALSE(sys().CloseHandle(handles[0]));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(sys().CloseHandle(INVALID_HANDLE_VALUE));
  const auto counters = machine().Counters();
  EXPECT_EQ(counters.opens, 3);
  EXPECT_EQ(counters.closes, 3);
  EXPECT_EQ(counters.openFileHandles, 0);

  EXPECT_EQ(Open("\\\\?\\hid#nothing"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(sys().GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimIo, FreedHandleValuesAreReusedLowestFirst) {
  const std::string path = machine().Token(machine().Plug({})).path;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  std::vector<HANDLE> handles;
  for (int i = 0; i < 4000; ++i) {
    handles.push_back(Open(path, share));
    ASSERT_NE(handles.back(), INVALID_HANDLE_VALUE);
  }
  // Two holes: the lower one is taken first, by any kind of handle.
  ASSERT_TRUE(sys().CloseHandle(handles[2500]));
  ASSERT_TRUE(sys().CloseHandle(handles[1000]));
  HANDLE again = Open(path, share);
  EXPECT_EQ(again, handles[1000]);
  HDEVINFO set =
      sys().SetupDiGetClassDevsA(&simtest::kHidClass, nullptr, nullptr,
                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(set, handles[2500]);
  EXPECT_TRUE(sys().SetupDiDestroyDeviceInfoList(set));
  EXPECT_TRUE(sys().CloseHandle(again));
  for (HANDLE h : handles) sys().CloseHandle(h);
  // All free: the first value again.
  HANDLE first = Open(path, share);
  EXPECT_EQ(first, handles[0]);
  EXPECT_TRUE(sys().CloseHandle(first));
  EXPECT_EQ(machine().Counters().openFileHandles, 0);
}

TEST_F(SimIo, OpenFailuresCountDown) {
  const auto token = machine().Plug({});
  TokenFaults faults;
  faults.openFailures = 2;
  machine().SetFaults(token, faults);
  const std::string path = machine().Token(token).path;
  EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(sys().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
  HANDLE h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine().GetFaults(token).openFailures, 0);
  sys().CloseHandle(h);
}

TEST_F(SimIo, HandlesOfAnUnpluggedTokenFailEvenAfterReplug) {
  const auto token = PlugUsb();
  HANDLE h = Open(machine().Token(token).path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  machine().Unplug(token);
  EXPECT_FALSE(Ioctl(h, kAtr, {}).ok);
  EXPECT_EQ(sys().GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  machine().Replug(token);
  EXPECT_FALSE(Ioctl(h, kAtr, {}).ok);
  EXPECT_EQ(sys().GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  // The stale open does not block a new one, and must still be closed.
  HANDLE fresh = Open(machine().Token(token).path, 0);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Ioctl(fresh, kAtr, {}).ok);
  EXPECT_EQ(machine().Token(token).openHandles, 2);
  EXPECT_TRUE(sys().CloseHandle(h));
  EXPECT_TRUE(sys().CloseHandle(fresh));
}

// --- Driver codes
// -------------------------------------------------------------

TEST_F(SimIo, SingleCallAcceptsExactlyHeaderAndData) {
  const auto token = PlugUsb();
  HANDLE h = Open(machine().Token(token).path);
  const Bytes atr = machine().Token(token).atr;

  // A control request without data: the 8-byte header alone.
  Io io = Ioctl(h, kTransfer, ControlHeader(2, 8));
  ASSERT_TRUE(io.ok);
  EXPECT_EQ(io.out, atr);
  // The mode change: header and one data byte.
  io = Ioctl(h, kTransfer, Concat(ControlHeader(7, 1), {0x00}));
  ASSERT_TRUE(io.ok);
  EXPECT_TRUE(io.out.empty());
  EXPECT_EQ(machine().Token(token).pendingMode, TokenMode::Usb);
  // An APDU of 255 bytes: 263 bytes in.
  io = Ioctl(h, kTransfer, Concat(ApduHeader(255), Bytes(255, 0x00)));
  ASSERT_TRUE(io.ok);
  EXPECT_EQ(io.out, (Bytes{0x6D, 0x00}));

  // Sizes that do not match wLength, and malformed headers.
  const Bytes refused[] = {
      Concat(ControlHeader(7, 2), {0x00}),
      Concat(ApduHeader(5), Bytes(4, 0)),
      ApduHeader(8),
      Bytes{0x40, 0x01, 0x02},
      Concat({0xC0, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00}, {0x00}),
      Concat({0x40, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0x00}, {0x00}),
  };
  for (const Bytes& in : refused) {
    io = Ioctl(h, kTransfer, in);
    EXPECT_FALSE(io.ok) << in.size();
    EXPECT_EQ(io.error, ERROR_INVALID_PARAMETER);
  }
  // An answer larger than the output buffer.
  io = Ioctl(h, kTransfer, ControlHeader(2, 8), 4);
  EXPECT_FALSE(io.ok);
  EXPECT_EQ(io.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(machine().Token(token).apdus, 1);
  sys().CloseHandle(h);
}

TEST_F(SimIo, WriteThenReadFetchesTheAnswerOnce) {
  const auto token = PlugUsb();
  HANDLE h = Open(machine().Token(token).path);
  const Bytes controlFetch = {0xC0, 0x01, 0, 0, 0, 0, 0xFF, 0x00};
  const Bytes apduFetch = {0xC0, 0x00, 0, 0, 0, 0, 0xFF, 0x00};

  // A control request without data writes 16 bytes: header and filler.
  ASSERT_TRUE(Ioctl(h, kWrite, Concat(ControlHeader(2, 8), Bytes(8, 0)), 0).ok);
  // The fetch must name the kind of request it fetches.
  EXPECT_FALSE(Ioctl(h, kRead, apduFetch).ok);
  Io io = Ioctl(h, kRead, controlFetch);
  ASSERT_TRUE(io.ok);
  EXPECT_EQ(io.out, machine().Token(token).atr);
  io = Ioctl(h, kRead, controlFetch);
  ASSERT_TRUE(io.ok);
  EXPECT_TRUE(io.out.empty());

  // Control 6 echoes its data; the read copies at most its capacity.
  ASSERT_TRUE(Ioctl(h, kWrite, Concat(ControlHeader(6, 3), {1, 2, 3}), 0).ok);
  io = Ioctl(h, kRead, controlFetch, 2);
  ASSERT_TRUE(io.ok);
  EXPECT_EQ(io.out, (Bytes{1, 2}));

  ASSERT_TRUE(Ioctl(h, kWrite, Concat(ApduHeader(5), Bytes(5, 0)), 0).ok);
  io = Ioctl(h, kRead, apduFetch);
  ASSERT_TRUE(io.ok);
  EXPECT_EQ(io.out, (Bytes{0x6D, 0x00}));

  // The write's limit and size rule.
  EXPECT_FALSE(
      Ioctl(h, kWrite, Concat(ApduHeader(1017), Bytes(1017, 0)), 0).ok);
  EXPECT_TRUE(Ioctl(h, kWrite, Concat(ApduHeader(1016), Bytes(1016, 0)), 0).ok);
  EXPECT_FALSE(Ioctl(h, kWrite, ControlHeader(2, 8), 0).ok);
  EXPECT_FALSE(Ioctl(h, kRead, {0xC0, 0x01, 0, 0, 0, 0, 0xFF}).ok);
  sys().CloseHandle(h);
}

TEST_F(SimIo, DriverFaults) {
  const auto token = PlugUsb();
  HANDLE h = Open(machine().Token(token).path);
  TokenFaults faults;
  faults.refuseSingleCall = true;
  faults.atrCodeFails = true;
  faults.driverReadFailures = 2;
  machine().SetFaults(token, faults);

  Io io = Ioctl(h, kTransfer, ControlHeader(2, 8));
  EXPECT_FALSE(io.ok);
  EXPECT_EQ(io.error, ERROR_INVALID_FUNCTION);
  io = Ioctl(h, kAtr, {});
  EXPECT_FALSE(io.ok);
  EXPECT_EQ(io.error, ERROR_INVALID_FUNCTION);

  ASSERT_TRUE(Ioctl(h, kWrite, Concat(ControlHeader(2, 8), Bytes(8, 0)), 0).ok);
  const Bytes fetch = {0xC0, 0x01, 0, 0, 0, 0, 0xFF, 0x00};
  EXPECT_FALSE(Ioctl(h, kRead, fetch).ok);
  EXPECT_FALSE(Ioctl(h, kRead, fetch).ok);
  io = Ioctl(h, kRead, fetch);  // the answer waited through the failures
  ASSERT_TRUE(io.ok);
  EXPECT_EQ(io.out, machine().Token(token).atr);
  EXPECT_EQ(machine().GetFaults(token).driverReadFailures, 0);

  faults = {};
  faults.stopsAnswering = true;
  machine().SetFaults(token, faults);
  EXPECT_FALSE(Ioctl(h, kWrite, Concat(ApduHeader(5), Bytes(5, 0)), 0).ok);
  EXPECT_FALSE(Ioctl(h, kAtr, {}).ok);
  sys().CloseHandle(h);
}

TEST_F(SimIo, AtrCodeGivesAtMostTheCapacity) {
  TokenConfig config;
  config.mode = TokenMode::Usb;
  config.atr = Bytes(70, 0x3B);
  const auto token = machine().Plug(config);
  HANDLE h = Open(machine().Token(token).path);
  EXPECT_EQ(Ioctl(h, kAtr, {}).out.size(), 70u);
  EXPECT_EQ(Ioctl(h, kAtr, {}, 10).out, Bytes(10, 0x3B));
  sys().CloseHandle(h);
}

TEST_F(SimIo, TransportsAreRefusedOnTheOtherKindOfHandle) {
  HANDLE hid = Open(machine().Token(machine().Plug({})).path);
  HANDLE usb = Open(machine().Token(PlugUsb()).path);
  EXPECT_FALSE(Ioctl(hid, kAtr, {}).ok);
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(SetReport(usb, ControlReport(2, {})));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(SetReport(reinterpret_cast<HANDLE>(0x7FFFFFF0), Bytes(8, 20)));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_HANDLE);
  sys().CloseHandle(hid);
  sys().CloseHandle(usb);
}

// --- HID reports
// ---------------------------------------------------------------

TEST_F(SimIo, SetFeatureNeedsAReportOfTheTokenWithItsExactSize) {
  const auto token = machine().Plug({});
  HANDLE h = Open(machine().Token(token).path);
  const ULONG sizes[] = {258, 240, 224, 208, 192, 176, 160, 144, 128, 112,
                         96,  80,  64,  56,  48,  40,  32,  24,  16,  8};
  int accepted = 0;
  for (std::uint8_t id = 1; id <= 20; ++id) {
    const ULONG size = sizes[id - 1];
    Bytes report(size + 1, 0);
    report[0] = id;
    report[1] = 1;
    EXPECT_TRUE(b.setFeature(h, report.data(), size)) << int{id};
    accepted += 1;
    EXPECT_FALSE(b.setFeature(h, report.data(), size + 1)) << int{id};
    EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(b.setFeature(h, report.data(), size - 1)) << int{id};
  }
  Bytes other(258, 0);
  other[0] = 21;
  EXPECT_FALSE(SetReport(h, other));
  other[0] = 0;
  EXPECT_FALSE(SetReport(h, other));
  Bytes control = ControlReport(2, {});
  control.resize(257);
  EXPECT_FALSE(SetReport(h, control));
  // Only the accepted reports reached the token.
  EXPECT_EQ(machine().Token(token).apdus, accepted);
  EXPECT_EQ(machine().Token(token).controlRequests, 0);
  sys().CloseHandle(h);
}

TEST_F(SimIo, ApduLengthMustFitItsReport) {
  const auto token = machine().Plug({});
  HANDLE h = Open(machine().Token(token).path);
  Bytes report(8, 0);
  report[0] = 20;
  report[1] = 6;
  EXPECT_TRUE(SetReport(h, report));
  report[1] = 7;
  EXPECT_FALSE(SetReport(h, report));
  EXPECT_NE(sys().GetLastError(), 0u);
  Bytes big(258, 0);
  big[0] = 1;
  big[1] = 255;  // a 255-byte APDU fits report 1
  EXPECT_TRUE(SetReport(h, big));
  EXPECT_EQ(machine().Token(token).apdus, 2);
  sys().CloseHandle(h);
}

TEST_F(SimIo, HidControlRequestsAndAnswersInReportOne) {
  TokenConfig config;
  config.version = 0x0241;
  const auto token = machine().Plug(config);
  HANDLE h = Open(machine().Token(token).path);
  Bytes answer;

  // The ATR request with eight filler bytes.
  ASSERT_TRUE(SetReport(h, ControlReport(2, Bytes(8, 0))));
  ASSERT_TRUE(GetAnswer(h, &answer));
  EXPECT_EQ(answer, vantor::sim::DefaultAtr(0x0241, config.deviceId));
  ASSERT_TRUE(GetAnswer(h, &answer));  // taken: nothing pending
  EXPECT_TRUE(answer.empty());

  struct Row {
    std::uint8_t code;
    Bytes data;
    Bytes answer;
  };
  const Row rows[] = {{4, {}, {0x90, 0x00}},
                      {5, {}, {0x90, 0x00}},
                      {6, {7, 8, 9}, {7, 8, 9}},
                      {9, {1}, {}},
                      {7, {0x55}, {}}};
  for (const Row& row : rows) {
    ASSERT_TRUE(SetReport(h, ControlReport(row.code, row.data)));
    ASSERT_TRUE(GetAnswer(h, &answer));
    EXPECT_EQ(answer, row.answer) << int{row.code};
  }
  EXPECT_FALSE(machine().Token(token).pendingMode.has_value());

  Bytes apdu(8, 0);
  apdu[0] = 20;
  apdu[1] = 5;
  ASSERT_TRUE(SetReport(h, apdu));
  ASSERT_TRUE(GetAnswer(h, &answer));
  EXPECT_EQ(answer, (Bytes{0x6D, 0x00}));

  // Answers are read from report 1 with 258 bytes only.
  std::uint8_t report[258] = {0x80};
  EXPECT_FALSE(b.getFeature(h, report, 258));
  report[0] = 1;
  EXPECT_FALSE(b.getFeature(h, report, 257));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_PARAMETER);

  const auto state = machine().Token(token);
  EXPECT_EQ(state.controlRequests, 6);
  EXPECT_EQ(state.apdus, 1);
  sys().CloseHandle(h);
}

TEST_F(SimIo, HidReadFaults) {
  const auto token = machine().Plug({});
  HANDLE h = Open(machine().Token(token).path);
  TokenFaults faults;
  faults.hidReadTimeouts = 2;
  machine().SetFaults(token, faults);
  ASSERT_TRUE(SetReport(h, ControlReport(4, {})));
  Bytes answer;
  EXPECT_FALSE(GetAnswer(h, &answer));
  EXPECT_EQ(sys().GetLastError(), ERROR_SEM_TIMEOUT);
  EXPECT_FALSE(GetAnswer(h, &answer));
  ASSERT_TRUE(GetAnswer(h, &answer));
  EXPECT_EQ(answer, (Bytes{0x90, 0x00}));

  faults = {};
  faults.stopsAnswering = true;
  machine().SetFaults(token, faults);
  EXPECT_TRUE(SetReport(h, ControlReport(4, {})));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(GetAnswer(h, &answer));
    EXPECT_EQ(sys().GetLastError(), ERROR_SEM_TIMEOUT);
  }
  sys().CloseHandle(h);
}

// --- Mode change and re-plug -----------------------------------------------

TEST_F(SimIo, ReplugAppliesThePendingModeAndMovesTheToken) {
  const auto token = machine().Plug({});
  const std::string hidPath = machine().Token(token).path;
  HANDLE h = Open(hidPath);
  ASSERT_TRUE(SetReport(h, ControlReport(7, {0x00})));
  sys().CloseHandle(h);
  auto state = machine().Token(token);
  EXPECT_EQ(state.mode, TokenMode::Hid);
  EXPECT_EQ(state.pendingMode, TokenMode::Usb);

  machine().Replug(token);
  state = machine().Token(token);
  EXPECT_EQ(state.mode, TokenMode::Usb);
  EXPECT_FALSE(state.pendingMode.has_value());
  EXPECT_NE(state.path, hidPath);
  EXPECT_TRUE(simtest::Enumerate(b, simtest::kHidClass).empty());
  ASSERT_EQ(simtest::Enumerate(b, simtest::kDriverClass).size(), 1u);
  EXPECT_EQ(Open(hidPath), INVALID_HANDLE_VALUE);

  // Back to HID mode through the driver.
  h = Open(state.path);
  ASSERT_TRUE(Ioctl(h, kTransfer, Concat(ControlHeader(7, 1), {0xAA})).ok);
  sys().CloseHandle(h);
  machine().Replug(token);
  EXPECT_EQ(machine().Token(token).mode, TokenMode::Hid);
  EXPECT_EQ(machine().Token(token).path, hidPath);

  const auto events = machine().Events();
  ASSERT_FALSE(events.empty());
  bool told = false;
  for (const auto& line : events) {
    told |= line == "token 1: mode change to USB mode, takes effect at re-plug";
  }
  EXPECT_TRUE(told);
}

// --- Wire log
// ------------------------------------------------------------------

TEST_F(SimIo, WireLogRecordsEachCallAsItCrossed) {
  HANDLE hid = Open(machine().Token(machine().Plug({})).path);
  HANDLE usb = Open(machine().Token(PlugUsb()).path);
  machine().ClearWire();

  const Bytes mode = ControlReport(7, {0xAA});
  ASSERT_TRUE(SetReport(hid, mode));
  Bytes bad(9, 0);
  bad[0] = 20;
  EXPECT_FALSE(SetReport(hid, bad));
  Bytes answer;
  ASSERT_TRUE(GetAnswer(hid, &answer));
  ASSERT_TRUE(
      Ioctl(usb, kTransfer, Concat(ControlHeader(7, 1), {0x00}), 64).ok);

  const auto wire = machine().Wire();
  ASSERT_EQ(wire.size(), 4u);
  EXPECT_EQ(wire[0].kind, WireRecord::Kind::HidSetFeature);
  EXPECT_EQ(wire[0].token, 1);
  EXPECT_EQ(wire[0].reportId, 0x80);
  EXPECT_EQ(wire[0].size, 258u);
  EXPECT_EQ(wire[0].data, mode);
  EXPECT_TRUE(wire[0].ok);
  EXPECT_FALSE(wire[1].ok);
  EXPECT_EQ(wire[1].error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(wire[1].size, 9u);
  EXPECT_EQ(wire[2].kind, WireRecord::Kind::HidGetFeature);
  EXPECT_EQ(wire[2].reportId, 1);
  EXPECT_EQ(wire[2].data.size(), 258u);
  EXPECT_EQ(wire[3].kind, WireRecord::Kind::DeviceIoControl);
  EXPECT_EQ(wire[3].token, 2);
  EXPECT_EQ(wire[3].code, kTransfer);
  EXPECT_EQ(wire[3].data, Concat(ControlHeader(7, 1), {0x00}));
  EXPECT_EQ(wire[3].capacity, 64u);
  EXPECT_TRUE(wire[3].output.empty());
  EXPECT_EQ(machine().Counters().transportCalls, 4);

  sys().CloseHandle(hid);
  sys().CloseHandle(usb);
}

TEST_F(SimIo, ExchangesAllocateNothingWithTheWireLogOff) {
  HANDLE hid = Open(machine().Token(machine().Plug({})).path);
  HANDLE usb = Open(machine().Token(PlugUsb()).path);
  machine().SetWireLog(false);
  Bytes report = ControlReport(7, {0x00});
  Bytes in = Concat(ControlHeader(7, 1), {0x00});
  std::uint8_t answer[258] = {1};
  std::uint8_t out[255];
  DWORD returned = 0;
  const long before = simtest::Allocations();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(b.setFeature(hid, report.data(), 258));
    answer[0] = 1;
    ASSERT_TRUE(b.getFeature(hid, answer, 258));
    ASSERT_TRUE(sys().DeviceIoControl(usb, kTransfer, in.data(), 9, out,
                                      sizeof(out), &returned, nullptr));
  }
  EXPECT_EQ(simtest::Allocations(), before);
  EXPECT_TRUE(machine().Wire().empty());
  sys().CloseHandle(hid);
  sys().CloseHandle(usb);
}

}  // namespace
