// The HID side of the exchanges: requests and answers in feature reports.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/wipe.h"
#include "device/device.h"
#include "device/internal.h"

namespace vantor::device {
namespace {

constexpr std::uint8_t kControlReportId = 0x80;
constexpr std::uint8_t kAnswerReportId = 1;
constexpr std::uint32_t kLargeReportSize = 258;
// The length byte of a control report counts the request code too.
constexpr std::uint32_t kMaxControlReportData = 254;

// "hid.dll" and its functions, bound once for the current system and kept.
struct HidBinding {
  std::uint64_t generation;
  HMODULE module;
  detail::HidFunctions functions;
  bool bound;
};
HidBinding g_hid{};

const detail::HidFunctions* Bound() {
  return g_hid.bound && g_hid.generation == os::SystemGeneration()
             ? &g_hid.functions
             : nullptr;
}

}  // namespace

namespace detail {

const HidFunctions* BoundHidFunctions() { return Bound(); }

const HidFunctions* BindHidFunctions() {
  if (const HidFunctions* bound = BoundHidFunctions()) return bound;
  os::System& sys = os::Sys();
  // A module of a former system is not this system's to release.
  g_hid = HidBinding{};
  HMODULE module = sys.LoadLibraryA("hid.dll");
  if (module == nullptr) return nullptr;
  const HidFunctions functions{
      BindAs<os::PFN_HidD_GetHidGuid>(
          sys.GetProcAddress(module, "HidD_GetHidGuid")),
      BindAs<os::PFN_HidD_GetFeature>(
          sys.GetProcAddress(module, "HidD_GetFeature")),
      BindAs<os::PFN_HidD_SetFeature>(
          sys.GetProcAddress(module, "HidD_SetFeature")),
      BindAs<os::PFN_HidD_GetAttributes>(
          sys.GetProcAddress(module, "HidD_GetAttributes")),
  };
  if (functions.getHidGuid == nullptr || functions.getFeature == nullptr ||
      functions.setFeature == nullptr) {
    // Loaded again at the next attempt; do not pile up references.
    sys.FreeLibrary(module);
    return nullptr;
  }
  g_hid = HidBinding{os::SystemGeneration(), module, functions, true};
  return &g_hid.functions;
}

}  // namespace detail

ReportShape ApduReportShape(std::uint32_t length) {
  if (length > 255) return {0, 0};
  // Up to 62 bytes: reports of 8..64 bytes in steps of 8.
  if (length + 2 <= 64) {
    return {static_cast<std::uint8_t>(20 - (length + 1) / 8),
            8 * ((length + 9) / 8)};
  }
  // 255 bytes: the step rule would give id 0 and size 272, which is no report
  // of the token; report 1 is the only one large enough.
  if (length == 255) return {1, kLargeReportSize};
  // From 63 bytes: reports of 80..256 bytes in steps of 16; the largest,
  // report 1, has 258.
  std::uint32_t size = 16 * ((length + 17) / 16);
  if (size == 256) size = kLargeReportSize;
  return {static_cast<std::uint8_t>(12 - (length - 63) / 16), size};
}

namespace {

// Writes the request into `report` (kLargeReportSize bytes), every byte
// after it zero, and gives the size of the report that carries it, or 0
// (nothing written) when none does.
std::uint32_t PutRequest(const RequestHeader& header, const std::uint8_t* data,
                         std::uint8_t* report) {
  if (data == nullptr && header.wLength != 0) return 0;
  std::uint32_t used = 0;
  std::uint32_t size = kLargeReportSize;
  if (header.bRequest == 1) {
    if (header.wLength > kMaxControlReportData) return 0;
    report[0] = kControlReportId;
    report[1] = static_cast<std::uint8_t>(header.wLength + 1);
    report[2] = static_cast<std::uint8_t>(header.wValue & 0xFF);
    used = 3;
  } else {
    const ReportShape shape = ApduReportShape(header.wLength);
    if (shape.size == 0) return 0;
    report[0] = shape.id;
    report[1] = static_cast<std::uint8_t>(header.wLength);
    used = 2;
    size = shape.size;
  }
  if (header.wLength != 0) std::memcpy(report + used, data, header.wLength);
  used += header.wLength;
  std::memset(report + used, 0, kLargeReportSize - used);
  return size;
}

// The bytes of `report` that a request wrote (the header bytes and the data,
// at most 3 + wLength): they may carry a PIN, and are wiped after the send.
std::size_t RequestBytes(const RequestHeader& header) {
  return std::min<std::size_t>(3u + header.wLength, kLargeReportSize);
}

// Reads the answer report again while the token answers error 121 (the
// answer is not ready), but not for ever: a token that stops answering
// fails the exchange. The clock is read only once the token has made us
// wait. `report` is cleared before each read.
[[gnu::noinline]] BOOLEAN ReadAgain(const detail::HidFunctions& hid,
                                    HANDLE device, std::uint8_t* report) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(kHidReadTimeLimitMs);
  for (int reads = 1; reads < kHidMaxReads; ++reads) {
    std::memset(report, 0, kLargeReportSize);
    report[0] = kAnswerReportId;
    const BOOLEAN ok = hid.getFeature(device, report, kLargeReportSize);
    if (ok != 0 || os::Sys().GetLastError() != ERROR_SEM_TIMEOUT) return ok;
    if (Clock::now() >= deadline) break;
  }
  return 0;
}

// Reads the answer report into `report` (all zero) and copies its data to
// `response`.
BOOLEAN GetAnswer(const detail::HidFunctions& hid, HANDLE device,
                  std::uint8_t* report, std::uint8_t* response,
                  std::uint32_t* answerLength) {
  report[0] = kAnswerReportId;
  BOOLEAN ok = hid.getFeature(device, report, kLargeReportSize);
  if (ok == 0 && os::Sys().GetLastError() == ERROR_SEM_TIMEOUT) {
    ok = ReadAgain(hid, device, report);
  }
  if (ok == 0) return 0;
  const std::uint8_t length = report[1];
  std::memcpy(response, report + 2, length);
  *answerLength = length;
  return ok;
}

}  // namespace

BOOLEAN HidSendReport(HANDLE device, const RequestHeader& header,
                      const std::uint8_t* data) {
  const detail::HidFunctions* hid = detail::BoundHidFunctions();
  if (hid == nullptr) return 0;
  std::uint8_t report[kLargeReportSize];
  const std::uint32_t size = PutRequest(header, data, report);
  if (size == 0) return 0;
  const common::WipeOnExit wipe(report, RequestBytes(header));
  return hid->setFeature(device, report, size);
}

BOOLEAN HidReceiveReport(HANDLE device, std::uint8_t* response,
                         std::uint32_t* answerLength) {
  const detail::HidFunctions* hid = detail::BoundHidFunctions();
  if (hid == nullptr) return 0;
  std::uint8_t report[kLargeReportSize] = {};
  return GetAnswer(*hid, device, report, response, answerLength);
}

namespace detail {

bool HidExchange(HANDLE device, const RequestHeader& header,
                 const std::uint8_t* data, std::uint8_t* response,
                 std::uint32_t* answerLength) {
  const HidFunctions* hid = Bound();
  if (hid == nullptr) return false;
  // One report for the request and the answer: wiping the request's bytes
  // after the send leaves it all zero again for the answer.
  std::uint8_t report[kLargeReportSize];
  const std::uint32_t size = PutRequest(header, data, report);
  if (size == 0) return false;
  {
    const common::WipeOnExit wipe(report, RequestBytes(header));
    if (hid->setFeature(device, report, size) == 0) return false;
  }
  return GetAnswer(*hid, device, report, response, answerLength) != 0;
}

}  // namespace detail

}  // namespace vantor::device
