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

}  // namespace

namespace detail {

const HidFunctions* BoundHidFunctions() {
  return g_hid.bound && g_hid.generation == os::SystemGeneration()
             ? &g_hid.functions
             : nullptr;
}

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

// Writes the request into `report` (kLargeReportSize bytes, all zero) and
// gives the size of the report that carries it, or 0 when none does.
std::uint32_t PutRequest(const RequestHeader& header, const std::uint8_t* data,
                         std::uint8_t* report) {
  if (data == nullptr && header.wLength != 0) return 0;
  if (header.bRequest == 1) {
    if (header.wLength > kMaxControlReportData) return 0;
    report[0] = kControlReportId;
    report[1] = static_cast<std::uint8_t>(header.wLength + 1);
    report[2] = static_cast<std::uint8_t>(header.wValue & 0xFF);
    if (header.wLength != 0) std::memcpy(report + 3, data, header.wLength);
    return kLargeReportSize;
  }
  const ReportShape shape = ApduReportShape(header.wLength);
  if (shape.size == 0) return 0;
  report[0] = shape.id;
  report[1] = static_cast<std::uint8_t>(header.wLength);
  if (header.wLength != 0) std::memcpy(report + 2, data, header.wLength);
  return shape.size;
}

// The bytes of `report` that a request wrote (the header bytes and the data,
// at most 3 + wLength): they may carry a PIN, and are wiped after the send.
std::size_t RequestBytes(const RequestHeader& header) {
  return std::min<std::size_t>(3u + header.wLength, kLargeReportSize);
}

// Reads the answer report into `report` (all zero) and copies its data to
// `response`. The token answers error 121 while the answer is not ready:
// read again, but not for ever; a token that stops answering fails the
// exchange. The clock is read only once the token has made us wait.
BOOLEAN GetAnswer(const detail::HidFunctions& hid, HANDLE device,
                  std::uint8_t* report, std::uint8_t* response,
                  std::uint32_t* answerLength) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline{};
  BOOLEAN ok = 0;
  for (int reads = 0; reads < kHidMaxReads; ++reads) {
    if (reads != 0) std::memset(report, 0, kLargeReportSize);
    report[0] = kAnswerReportId;
    ok = hid.getFeature(device, report, kLargeReportSize);
    if (ok != 0 || os::Sys().GetLastError() != ERROR_SEM_TIMEOUT) break;
    const Clock::time_point now = Clock::now();
    if (reads == 0) {
      deadline = now + std::chrono::milliseconds(kHidReadTimeLimitMs);
    } else if (now >= deadline) {
      break;
    }
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
  std::uint8_t report[kLargeReportSize] = {};
  const common::WipeOnExit wipe(report, RequestBytes(header));
  const std::uint32_t size = PutRequest(header, data, report);
  return size != 0 ? hid->setFeature(device, report, size) : 0;
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
  const HidFunctions* hid = BoundHidFunctions();
  if (hid == nullptr) return false;
  // One report for the request and the answer: wiping the request's bytes
  // after the send leaves it all zero again for the answer.
  std::uint8_t report[kLargeReportSize] = {};
  {
    const common::WipeOnExit wipe(report, RequestBytes(header));
    const std::uint32_t size = PutRequest(header, data, report);
    if (size == 0 || hid->setFeature(device, report, size) == 0) return false;
  }
  return GetAnswer(*hid, device, report, response, answerLength) != 0;
}

}  // namespace detail

}  // namespace vantor::device
