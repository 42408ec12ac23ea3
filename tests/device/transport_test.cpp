// The exchanges on the wire: driver I/O control codes and HID feature reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/testing.h"
#include "device_fixture.h"

namespace vantor::device::testing {
namespace {

constexpr std::uint32_t kCapacity = 255;

class TransportTest : public DeviceTest {
 protected:
  // A listed token whose device is open, with the wire log cleared.
  SlotEntry& OpenEntry(const sim::TokenConfig& config,
                       const sim::TokenFaults& faults = {}) {
    token_ = M().Plug(config);
    M().SetFaults(token_, faults);
    RefreshDeviceTable();
    SlotEntry& entry = TableEntry(EntryOfToken(token_));
    EXPECT_TRUE(OpenSlot(entry, 1));
    M().ClearWire();
    return entry;
  }

  bool Control(SlotEntry& entry, std::int32_t type, const Bytes& data) {
    length_ = kCapacity;
    return TransmitControl(Channel{entry.hDevice, entry.dwKind}, type,
                           data.empty() ? nullptr : data.data(),
                           static_cast<std::uint32_t>(data.size()), response_,
                           &length_);
  }
  bool Apdu(SlotEntry& entry, const Bytes& apdu) {
    length_ = kCapacity;
    return TransmitApdu(Channel{entry.hDevice, entry.dwKind}, apdu.data(),
                        static_cast<std::uint32_t>(apdu.size()), response_,
                        &length_);
  }
  Bytes Response() const { return Bytes(response_, response_ + length_); }

  static Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  // A HID report of `size` bytes that begins with `content`.
  static Bytes Report(const Bytes& content, std::size_t size) {
    Bytes report = content;
    report.resize(size, 0);
    return report;
  }

  sim::TokenId token_ = -1;
  std::uint8_t response_[256] = {};
  std::uint32_t length_ = 0;
};

// A SELECT of the root; the virtual token has no root yet: 6A 82.
const Bytes kSelect = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

TEST_F(TransportTest, DriverControlRequestsInTheSingleCall) {
  const struct {
    std::int32_t type;
    Bytes data;
    Bytes sent;
  } cases[] = {
      {7, {0x00}, {0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}},
      {7, {0xAA}, {0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA}},
      {2, {}, {0x40, 0x01, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00}},
      {4, {0x01}, {0x40, 0x01, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01}},
      {4, {}, {0x40, 0x01, 0x04, 0x00, 0x00, 0x00, 0x08, 0x00}},
      {8, {}, {0x40, 0x01, 0x05, 0x00, 0x00, 0x00, 0x08, 0x00}},
      {0x1234, {1, 2}, {0x40, 0x01, 0x34, 0x12, 0x00, 0x00, 0x02, 0x00, 1, 2}},
  };
  SlotEntry& entry = OpenEntry(Usb());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    M().ClearWire();
    const bool sent = Control(entry, c.type, c.data);
    const std::vector<WireRecord> wire = Ioctls();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0].code, IOCTL_VX_TRANSFER);
    EXPECT_EQ(wire[0].data, c.sent);
    EXPECT_EQ(wire[0].capacity, kCapacity);
    if (c.type == 2) {
      EXPECT_TRUE(sent);
      EXPECT_EQ(Response(), M().Token(token_).atr);
    }
  }
  M().ClearWire();
  EXPECT_TRUE(Control(entry, 7, {0x00}));
  EXPECT_EQ(Ioctls().size(), 1u);
}

TEST_F(TransportTest, DriverFallsBackToWriteAndRead) {
  sim::TokenFaults faults;
  faults.refuseSingleCall = true;
  SlotEntry& entry = OpenEntry(Usb(), faults);

  ASSERT_TRUE(Control(entry, 2, {}));
  EXPECT_EQ(Response(), M().Token(token_).atr);
  std::vector<WireRecord> wire = Ioctls();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[0].code, IOCTL_VX_TRANSFER);
  EXPECT_FALSE(wire[0].ok);
  EXPECT_EQ(wire[1].code, IOCTL_VX_WRITE);
  EXPECT_EQ(wire[1].data, Bytes({0x40, 0x01, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00,
                                 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(wire[2].code, IOCTL_VX_READ);
  EXPECT_EQ(wire[2].data,
            Bytes({0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00}));
  EXPECT_EQ(wire[2].capacity, kCapacity);

  M().ClearWire();
  ASSERT_TRUE(Control(entry, 7, {0xAA}));
  wire = Ioctls(IOCTL_VX_WRITE);
  ASSERT_EQ(wire.size(), 1u);
  EXPECT_EQ(wire[0].data,
            Bytes({0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA}));

  M().ClearWire();
  ASSERT_TRUE(Apdu(entry, kSelect));
  EXPECT_EQ(Response(), Bytes({0x6A, 0x82}));
  wire = Ioctls();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[1].data,
            Cat({0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}, kSelect));
  EXPECT_EQ(wire[2].data,
            Bytes({0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00}));
}

TEST_F(TransportTest, DriverApduInTheSingleCall) {
  SlotEntry& entry = OpenEntry(Usb());
  ASSERT_TRUE(Apdu(entry, kSelect));
  EXPECT_EQ(Response(), Bytes({0x6A, 0x82}));
  std::vector<WireRecord> wire = Ioctls();
  ASSERT_EQ(wire.size(), 1u);
  EXPECT_EQ(wire[0].data,
            Cat({0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}, kSelect));

  Bytes longest(255, 0x5A);
  longest[0] = 0x00;
  M().ClearWire();
  Apdu(entry, longest);
  wire = Ioctls();
  ASSERT_FALSE(wire.empty());
  EXPECT_EQ(wire[0].size, 263u);
  EXPECT_EQ(wire[0].data,
            Cat({0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00}, longest));
}

TEST_F(TransportTest, DriverReadIsTriedTenTimes) {
  for (const int failures : {9, 10}) {
    SCOPED_TRACE(failures);
    UseMachine(sim::OsVersion::WindowsXp);
    sim::TokenFaults faults;
    faults.refuseSingleCall = true;
    SlotEntry& entry = OpenEntry(Usb(), faults);
    faults.driverReadFailures = failures;
    M().SetFaults(token_, faults);
    EXPECT_EQ(Control(entry, 2, {}), failures < 10);
    EXPECT_EQ(Ioctls(IOCTL_VX_READ).size(), 10u);
  }
}

TEST_F(TransportTest, AtrFallsBackToControlRequest2) {
  for (const bool refuseSingleCall : {false, true}) {
    SCOPED_TRACE(refuseSingleCall);
    UseMachine(sim::OsVersion::WindowsXp);
    sim::TokenFaults faults;
    faults.atrCodeFails = true;
    faults.refuseSingleCall = refuseSingleCall;
    const sim::TokenId token = M().Plug(Usb());
    M().SetFaults(token, faults);
    RefreshDeviceTable();
    const int index = EntryOfToken(token);
    ASSERT_EQ(index, 0);
    const SlotEntry& entry = TableEntry(index);
    EXPECT_EQ(Bytes(entry.bAtr, entry.bAtr + entry.bAtrLength),
              M().Token(token).atr);
    EXPECT_EQ(entry.hDevice, INVALID_HANDLE_VALUE);
    const std::vector<WireRecord> wire = Ioctls();
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(wire[0].code, IOCTL_VX_GET_ATR);
    EXPECT_FALSE(wire[0].ok);
    EXPECT_EQ(wire[1].code, IOCTL_VX_TRANSFER);
    EXPECT_EQ(wire[1].data,
              Bytes({0x40, 0x01, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00}));
    EXPECT_EQ(wire.size(), refuseSingleCall ? 4u : 2u);
    EXPECT_EQ(M().Counters().openFileHandles, 0);
  }
}

TEST_F(TransportTest, HidControlReports) {
  SlotEntry& entry = OpenEntry({});
  ASSERT_TRUE(Control(entry, 7, {0xAA}));
  std::vector<WireRecord> sent = WireOf(WireRecord::Kind::HidSetFeature);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].reportId, 0x80);
  EXPECT_EQ(sent[0].data, Report({0x80, 0x02, 0x07, 0xAA}, 258));

  M().ClearWire();
  ASSERT_TRUE(Control(entry, 2, {}));
  EXPECT_EQ(Response(), M().Token(token_).atr);
  sent = WireOf(WireRecord::Kind::HidSetFeature);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data, Report({0x80, 0x09, 0x02}, 258));
  const std::vector<WireRecord> read = WireOf(WireRecord::Kind::HidGetFeature);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].reportId, 1);
  EXPECT_EQ(read[0].size, 258u);
  // The answer was taken: a second read finds a report of length 0.
  std::uint32_t answer = 99;
  EXPECT_NE(HidReceiveReport(entry.hDevice, response_, &answer), 0);
  EXPECT_EQ(answer, 0u);

  // The longest control request a report carries, and one byte more.
  M().ClearWire();
  Control(entry, 0x33, Bytes(254, 0x11));
  sent = WireOf(WireRecord::Kind::HidSetFeature);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data[1], 0xFF);
  EXPECT_EQ(sent[0].data[256], 0x11);
  EXPECT_EQ(sent[0].data[257], 0x00);
  M().ClearWire();
  EXPECT_FALSE(Control(entry, 0x33, Bytes(255, 0x11)));
  EXPECT_TRUE(M().Wire().empty());
}

TEST_F(TransportTest, HidApduReportForEveryLength) {
  SlotEntry& entry = OpenEntry({});
  for (std::uint32_t n = 0; n <= 255; ++n) {
    SCOPED_TRACE(n);
    Bytes apdu(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      apdu[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    M().ClearWire();
    Apdu(entry, apdu);
    const std::vector<WireRecord> sent =
        WireOf(WireRecord::Kind::HidSetFeature);
    ASSERT_EQ(sent.size(), 1u);
    const ReportShape shape = ApduReportShape(n);
    EXPECT_EQ(sent[0].reportId, shape.id);
    EXPECT_EQ(sent[0].size, shape.size);
    EXPECT_EQ(sent[0].data,
              Report(Cat({shape.id, static_cast<std::uint8_t>(n)}, apdu),
                     shape.size));
  }
  M().ClearWire();
  ASSERT_TRUE(Apdu(entry, kSelect));
  EXPECT_EQ(Response(), Bytes({0x6A, 0x82}));
  EXPECT_EQ(WireOf(WireRecord::Kind::HidSetFeature)[0].data,
            Report(Cat({19, 7}, kSelect), 16));
}

TEST_F(TransportTest, HidReadRepeatsOnSemaphoreTimeout) {
  SlotEntry& entry = OpenEntry({});
  sim::TokenFaults faults;
  faults.hidReadTimeouts = 2;
  M().SetFaults(token_, faults);
  ASSERT_TRUE(Apdu(entry, kSelect));
  const std::vector<WireRecord> read = WireOf(WireRecord::Kind::HidGetFeature);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_FALSE(read[0].ok);
  EXPECT_EQ(read[0].error, ERROR_SEM_TIMEOUT);
  EXPECT_FALSE(read[1].ok);
  EXPECT_TRUE(read[2].ok);
  EXPECT_EQ(Response(), Bytes({0x6A, 0x82}));
}

TEST_F(TransportTest, TokenThatStopsAnsweringFailsTheExchange) {
  sim::TokenFaults faults;
  faults.stopsAnswering = true;
  SlotEntry& hid = OpenEntry({});
  M().SetFaults(token_, faults);
  EXPECT_FALSE(Apdu(hid, kSelect));
  const std::size_t reads = WireOf(WireRecord::Kind::HidGetFeature).size();
  EXPECT_GE(reads, 1u);
  EXPECT_LE(reads, static_cast<std::size_t>(kHidMaxReads));

  SlotEntry& driver = OpenEntry(Usb());
  M().SetFaults(token_, faults);
  EXPECT_FALSE(Control(driver, 2, {}));
}

// Requests that no report or driver buffer carries are refused unsent, as is
// an exchange on a free entry.
TEST_F(TransportTest, OversizedRequestsAreNotSent) {
  SlotEntry& driver = OpenEntry(Usb());
  EXPECT_FALSE(Control(driver, 7, Bytes(256, 1)));
  EXPECT_FALSE(Apdu(driver, Bytes(256, 1)));
  EXPECT_TRUE(M().Wire().empty());

  DWORD returned = 0;
  const Bytes data(1017, 0x22);
  EXPECT_EQ(DriverWrite(driver.hDevice, RequestHeader{0x40, 0, 0, 0, 1017},
                        data.data(), &returned),
            0);
  EXPECT_TRUE(M().Wire().empty());
  DriverWrite(driver.hDevice, RequestHeader{0x40, 0, 0, 0, 1016}, data.data(),
              &returned);
  ASSERT_EQ(Ioctls(IOCTL_VX_WRITE).size(), 1u);
  EXPECT_EQ(Ioctls(IOCTL_VX_WRITE)[0].size, 1024u);

  SlotEntry free{};
  free.dwKind = SLOT_FREE;
  M().ClearWire();
  EXPECT_FALSE(Control(free, 2, {}));
  EXPECT_TRUE(M().Wire().empty());
}

}  // namespace
}  // namespace vantor::device::testing
