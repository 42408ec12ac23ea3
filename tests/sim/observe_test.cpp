// What tests can see and provoke beyond the transports: the call log, the
// bounded logs, set control answers, injected failures, latency and foreign
// devices with several interfaces.
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim_test_support.h"

namespace {

using simtest::Bytes;
using simtest::ControlReport;
using simtest::Open;
using vantor::sim::CallRecord;
using vantor::sim::MachineFaults;
using vantor::sim::TokenConfig;
using vantor::sim::TokenFaults;
using vantor::sim::TokenMode;

constexpr DWORD kAnyFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

class SimObserve : public simtest::MachineTest {
 public:
  bool SetReport(HANDLE h, Bytes report) {
    return b.setFeature(h, report.data(), static_cast<ULONG>(report.size()));
  }
  bool GetAnswer(HANDLE h, Bytes* answer) {
    return simtest::GetAnswer(b, h, answer);
  }
  static std::vector<std::string> Names(const std::vector<CallRecord>& calls) {
    std::vector<std::string> names;
    for (const CallRecord& c : calls) names.push_back(c.name);
    return names;
  }

  simtest::Bound b = simtest::BindAll();
};

LRESULT CALLBACK QuietProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
DWORD WINAPI Idle(LPVOID) { return 0; }

TEST_F(SimObserve, CallLogRecordsDeviceAndWindowCallsWithTheirArguments) {
  const std::string path = machine().Token(machine().Plug({})).path;
  simtest::Enumerate(b, simtest::kHidClass);  // the log is off: not logged
  EXPECT_TRUE(machine().Calls().empty());

  machine().SetCallLog(true);
  simtest::Enumerate(b, simtest::kHidClass);
  HANDLE h = Open(path);
  sys().CloseHandle(h);
  sys().CloseHandle(h);  // a stale close shows as a failed call
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = QuietProc;
  wc.lpszClassName = "LogWnd";
  sys().RegisterClassExA(&wc);
  HWND window = sys().CreateWindowExA(0, "LogWnd", "Log title", 0, 0, 0, 0, 0,
                                      nullptr, nullptr, nullptr, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = simtest::kDriverClass;
  b.unregisterNotification(b.registerNotification(window, &filter, 0));
  sys().DestroyWindow(window);
  sys().UnregisterClassA("LogWnd", nullptr);
  DWORD id = 0;
  HANDLE thread = sys().CreateThread(nullptr, 0, Idle, nullptr, 0, &id);
  sys().WaitForSingleObject(thread, INFINITE);
  sys().PostThreadMessageA(id, WM_QUIT, 0, 0);
  sys().CloseHandle(thread);

  const auto calls = machine().Calls();
  const std::vector<std::string> expected = {
      "SetupDiGetClassDevsA",
      "SetupDiEnumDeviceInterfaces",
      "SetupDiEnumDeviceInfo",
      "SetupDiGetDeviceRegistryPropertyA",
      "SetupDiGetDeviceInterfaceDetailA",
      "SetupDiGetDeviceInterfaceDetailA",
      "SetupDiEnumDeviceInterfaces",
      "SetupDiDestroyDeviceInfoList",
      "CreateFileA",
      "CloseHandle",
      "CloseHandle",
      "RegisterClassExA",
      "CreateWindowExA",
      "RegisterDeviceNotificationA",
      "UnregisterDeviceNotification",
      "DestroyWindow",
      "UnregisterClassA",
      "CreateThread",
      "PostThreadMessageA",
      "CloseHandle"};
  ASSERT_EQ(Names(calls), expected);
  const std::string set = calls[0].result;
  const std::string file = calls[8].result;
  const std::string hwnd = calls[12].result;
  EXPECT_EQ(calls[0].arguments,
            "class={4d1e55b2-f16f-11cf-88cb-001111000030}, flags=0x12");
  EXPECT_EQ(calls[1].arguments,
            "set=" + set +
                ", device=null, class={4d1e55b2-f16f-11cf-88cb-001111000030}, "
                "index=0");
  EXPECT_EQ(calls[3].arguments,
            "set=" + set + ", device=0, property=1, size=512");
  EXPECT_EQ(calls[6].error, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(calls[8].arguments, "path=" + path +
                                    ", access=0xc0000000, share=0x1, "
                                    "disposition=3, flags=0x0");
  EXPECT_EQ(calls[9].arguments, "handle=" + file);
  EXPECT_TRUE(calls[9].ok);
  EXPECT_FALSE(calls[10].ok);
  EXPECT_EQ(calls[10].error, ERROR_INVALID_HANDLE);
  EXPECT_EQ(calls[12].arguments, "class=LogWnd, title=Log title");
  EXPECT_EQ(calls[13].arguments,
            "window=" + hwnd +
                ", class={171638f7-1ead-4873-ba98-c966abcf0142}, flags=0x0");
  EXPECT_EQ(calls[15].arguments, "window=" + hwnd);
  char threadText[16];
  std::snprintf(threadText, sizeof(threadText), "0x%x",
                static_cast<unsigned>(id));
  EXPECT_EQ(calls[17].arguments,
            std::string("flags=0x0, threadId=") + threadText);
  EXPECT_EQ(calls[18].arguments,
            std::string("thread=") + threadText + ", message=0x12, wParam=0x0");
  EXPECT_EQ(calls[18].error, ERROR_INVALID_THREAD_ID);  // it had no queue

  machine().ClearCalls();
  EXPECT_TRUE(machine().Calls().empty());
}

TEST_F(SimObserve, LogsKeepTheirLatestRecordsUpToTheLimitAndCountTheRest) {
  HANDLE h = Open(machine().Token(machine().Plug({})).path);
  machine().SetCallLog(true);
  machine().SetLogLimit(3);
  for (std::uint8_t code = 1; code <= 5; ++code) {
    SetReport(h, ControlReport(code));
    sys().CloseHandle(reinterpret_cast<HANDLE>(0x1000u + code * 4u));
  }
  const auto wire = machine().Wire();
  ASSERT_EQ(wire.size(), 3u);
  for (std::size_t i = 0; i < wire.size(); ++i) {
    // The latest three, oldest first.
    EXPECT_EQ(static_cast<std::size_t>(wire[i].data[2]), i + 3);
  }
  EXPECT_EQ(machine().Calls().size(), 3u);
  auto counters = machine().Counters();
  EXPECT_EQ(counters.wireDropped, 2);
  EXPECT_EQ(counters.callsDropped, 2);
  // A lower limit drops at once; clearing forgets the count.
  machine().SetLogLimit(1);
  EXPECT_EQ(machine().Wire().size(), 1u);
  EXPECT_EQ(machine().Counters().wireDropped, 4);
  machine().ClearWire();
  machine().ClearCalls();
  counters = machine().Counters();
  EXPECT_EQ(counters.wireDropped, 0);
  EXPECT_EQ(counters.callsDropped, 0);
  sys().CloseHandle(h);
}

TEST_F(SimObserve, SetControlAnswersReplaceTheTokensOwnOverBothTransports) {
  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  const auto hidToken = machine().Plug({});
  const auto usbToken = machine().Plug(usb);
  HANDLE hid = Open(machine().Token(hidToken).path);
  HANDLE drv = Open(machine().Token(usbToken).path);
  const Bytes custom = {0x6A, 0x82, 0x01};
  const std::uint16_t codes[] = {2, 4, 6, 7, 9};
  for (std::uint16_t code : codes) {
    for (auto token : {hidToken, usbToken}) {
      machine().SetControlAnswer(token, code, custom);
    }
    Bytes answer;
    ASSERT_TRUE(
        SetReport(hid, ControlReport(static_cast<std::uint8_t>(code), {0x00})));
    ASSERT_TRUE(GetAnswer(hid, &answer));
    EXPECT_EQ(answer, custom) << code;
    // Driver single call: header and one data byte.
    Bytes in = {0x40, 0x01, static_cast<std::uint8_t>(code), 0, 0, 0, 1,
                0,    0x00};
    std::uint8_t out[64];
    DWORD got = 0;
    ASSERT_TRUE(sys().DeviceIoControl(drv, 0x220028, in.data(), 9, out,
                                      sizeof(out), &got, nullptr));
    EXPECT_EQ(Bytes(out, out + got), custom) << code;
    for (auto token : {hidToken, usbToken}) {
      machine().ClearControlAnswer(token, code);
    }
    ASSERT_TRUE(
        SetReport(hid, ControlReport(static_cast<std::uint8_t>(code), {0x00})));
    ASSERT_TRUE(GetAnswer(hid, &answer));
    EXPECT_NE(answer, custom) << code;
  }
  // Request 7 still did its work.
  EXPECT_EQ(machine().Token(hidToken).pendingMode, TokenMode::Usb);
  EXPECT_EQ(machine().Token(usbToken).pendingMode, TokenMode::Usb);
  sys().CloseHandle(hid);
  sys().CloseHandle(drv);
}

TEST_F(SimObserve, HidReadErrorsThreadAndWindowCreationFailuresCountDown) {
  const auto token = machine().Plug({});
  HANDLE h = Open(machine().Token(token).path);
  TokenFaults tokenFaults;
  tokenFaults.hidReadError = {2, ERROR_DEVICE_NOT_CONNECTED};
  machine().SetFaults(token, tokenFaults);
  MachineFaults faults;
  faults.threadCreationFailures = 2;
  faults.windowCreationFailures = 2;
  machine().SetFaults(faults);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = QuietProc;
  wc.lpszClassName = "FaultWnd";
  ASSERT_NE(sys().RegisterClassExA(&wc), 0);

  ASSERT_TRUE(SetReport(h, ControlReport(4)));
  struct Attempt {
    const char* what;
    std::function<bool()> call;
    DWORD error;  // of the two failures
  };
  const Attempt attempts[] = {
      {"HID read",
       [&] {
         Bytes answer;
         return GetAnswer(h, &answer);
       },
       ERROR_DEVICE_NOT_CONNECTED},
      {"CreateThread",
       [&] {
         HANDLE thread =
             sys().CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
         if (thread == nullptr) return false;
         sys().WaitForSingleObject(thread, INFINITE);
         return sys().CloseHandle(thread) != 0;
       },
       ERROR_NOT_ENOUGH_MEMORY},
      {"CreateWindowExA",
       [&] {
         HWND w = sys().CreateWindowExA(0, "FaultWnd", "", 0, 0, 0, 0, 0,
                                        nullptr, nullptr, nullptr, nullptr);
         return w != nullptr && sys().DestroyWindow(w) != 0;
       },
       ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Attempt& attempt : attempts) {
    for (int n = 0; n < 2; ++n) {
      EXPECT_FALSE(attempt.call()) << attempt.what;
      EXPECT_EQ(sys().GetLastError(), attempt.error) << attempt.what;
    }
    EXPECT_TRUE(attempt.call()) << attempt.what;
  }
  EXPECT_EQ(machine().GetFaults(token).hidReadError.count, 0);
  EXPECT_EQ(machine().GetFaults().threadCreationFailures, 0);
  EXPECT_EQ(machine().GetFaults().windowCreationFailures, 0);
  sys().UnregisterClassA("FaultWnd", nullptr);
  sys().CloseHandle(h);
}

TEST_F(SimObserve, ATokensLatencyHoldsOnlyItsOwnCalls) {
  TokenConfig slow;
  slow.latency = std::chrono::milliseconds(300);
  HANDLE slowHandle = Open(machine().Token(machine().Plug(slow)).path);
  HANDLE fastHandle = Open(machine().Token(machine().Plug({})).path);
  std::atomic<bool> slowDone{false};
  std::thread caller([&] {
    EXPECT_TRUE(SetReport(slowHandle, ControlReport(4)));
    slowDone = true;
  });
  // Once the slow call is under way, the machine and the other token answer
  // before it ends.
  while (machine().Counters().transportCalls == 0) std::this_thread::yield();
  Bytes answer;
  EXPECT_TRUE(SetReport(fastHandle, ControlReport(5)));
  EXPECT_TRUE(GetAnswer(fastHandle, &answer));
  EXPECT_EQ(machine().Token(1).controlRequests, 0);
  EXPECT_FALSE(slowDone.load());
  caller.join();
  EXPECT_EQ(machine().Token(1).controlRequests, 1);
  sys().CloseHandle(slowHandle);
  sys().CloseHandle(fastHandle);
}

TEST_F(SimObserve, AForeignDeviceWithTwoInterfacesShiftsTheInterfaceIndex) {
  machine().PlugForeignHid("HID\\VID_046D&PID_C52B&REV_1200", 2);
  const std::string token = machine().Token(machine().Plug({})).path;
  HDEVINFO set = sys().SetupDiGetClassDevsA(&simtest::kHidClass, nullptr,
                                            nullptr, kAnyFlags);
  std::vector<std::string> paths;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!b.enumInterfaces(set, nullptr, &simtest::kHidClass, i, &data)) break;
    std::uint64_t storage[64] = {};
    auto* detail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(
        b.interfaceDetail(set, &data, detail, sizeof(storage), nullptr, &info));
    paths.push_back(detail->DevicePath);
    // The device record that the detail call gives is the interface's own.
    char ids[256] = {};
    ASSERT_TRUE(sys().SetupDiGetDeviceRegistryPropertyA(
        set, &info, SPDRP_HARDWAREID, nullptr, reinterpret_cast<PBYTE>(ids),
        sizeof(ids), nullptr));
    EXPECT_EQ(std::string(ids), i < 2 ? "HID\\VID_046D&PID_C52B&REV_1200"
                                      : "HID\\VID_0471&PID_485E&REV_0100");
  }
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  EXPECT_FALSE(sys().SetupDiEnumDeviceInfo(set, 2, &info));
  sys().SetupDiDestroyDeviceInfoList(set);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[2], token);
  EXPECT_NE(paths[0], paths[1]);
  // Both interfaces open the foreign device.
  for (const std::string& path : {paths[0], paths[1]}) {
    HANDLE h = Open(path);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    sys().CloseHandle(h);
  }
}

}  // namespace
