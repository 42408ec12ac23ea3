// Threads, message queues, windows and device-change delivery of the
// machine (the portable part shared with the Linux system).
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "sim_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using Machine = vantor::sim::TestMachine;
using vantor::sim::TokenConfig;
using vantor::sim::TokenMode;

// Waits until `done` holds, for at most ten seconds.
template <typename F>
bool Eventually(F done) {
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (Clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// --- Threads and thread messages ---------------------------------------------

struct LoopResult {
  std::atomic<int> messages{0};
  std::atomic<int> quitCode{-1};
  std::atomic<bool> started{false};
};

DWORD WINAPI MessageLoopThread(LPVOID parameter) {
  auto* result = static_cast<LoopResult*>(parameter);
  result->started = true;
  MSG msg;
  BOOL got;
  while ((got = os::Sys().GetMessageA(&msg, nullptr, 0, 0)) > 0) {
    if (msg.message == 0x8001) ++result->messages;
  }
  result->quitCode = got == 0 ? static_cast<int>(msg.wParam) : -2;
  return 7;
}

class SimThreads : public simtest::MachineTest {
 protected:
  // Posts until the thread has a queue to take it, as the library's
  // monitor does.
  bool PostWhenQueued(DWORD id, UINT message, WPARAM wParam = 0) {
    return Eventually(
        [&] { return sys().PostThreadMessageA(id, message, wParam, 0) != 0; });
  }
};

// A thread that makes one window or message call when told to, then runs
// its message loop when told to.
struct Gated {
  enum First { RegisterClass, CreateWindow, PostQuit };
  First first = RegisterClass;
  std::atomic<bool> go{false};
  std::atomic<bool> queued{false};
  std::atomic<bool> loop{false};
  LoopResult result;
};

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam,
                           LPARAM lParam) {
  return os::Sys().DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI GatedThread(LPVOID parameter) {
  auto* gated = static_cast<Gated*>(parameter);
  gated->result.started = true;
  while (!gated->go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  os::System& sys = os::Sys();
  WNDCLASSEXA wc{};
  switch (gated->first) {
    case Gated::RegisterClass:
      wc.cbSize = sizeof(wc);
      wc.lpfnWndProc = PlainProc;
      wc.lpszClassName = "GatedWnd";
      sys.RegisterClassExA(&wc);
      break;
    case Gated::CreateWindow:  // a failed call makes the queue too
      sys.CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                          nullptr, nullptr);
      break;
    case Gated::PostQuit:
      sys.PostQuitMessage(1);
      break;
  }
  gated->queued = true;
  while (!gated->loop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return MessageLoopThread(&gated->result);
}

TEST_F(SimThreads, AThreadHasNoQueueUntilItsFirstWindowOrMessageCall) {
  for (Gated::First first :
       {Gated::RegisterClass, Gated::CreateWindow, Gated::PostQuit}) {
    Gated gated;
    gated.first = first;
    DWORD id = 0;
    HANDLE thread = sys().CreateThread(nullptr, 0, GatedThread, &gated, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_LT(reinterpret_cast<std::uintptr_t>(thread), 0x80000000u);
    ASSERT_TRUE(Eventually([&] { return gated.result.started.load(); }));
    // Running, but without a queue: a message posted now is refused.
    EXPECT_FALSE(sys().PostThreadMessageA(id, 0x8001, 0, 0)) << first;
    EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_THREAD_ID);

    gated.go = true;
    ASSERT_TRUE(Eventually([&] { return gated.queued.load(); }));
    EXPECT_TRUE(sys().PostThreadMessageA(id, 0x8001, 0, 0)) << first;
    EXPECT_TRUE(sys().PostThreadMessageA(id, WM_QUIT, 3, 0));
    gated.loop = true;
    EXPECT_EQ(sys().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(gated.result.messages.load(), 1);
    // Posted messages come before a quit the thread posted itself.
    EXPECT_EQ(gated.result.quitCode.load(), 3);
    // Its queue is gone with it.
    EXPECT_FALSE(sys().PostThreadMessageA(id, WM_QUIT, 0, 0));
    EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_THREAD_ID);
    EXPECT_TRUE(sys().CloseHandle(thread));
    EXPECT_EQ(sys().WaitForSingleObject(thread, 0), WAIT_FAILED);
  }
  EXPECT_EQ(machine().Counters().threadsRunning, 0);
}

TEST_F(SimThreads, QuitPostedOnceTheLoopRunsEndsItAndWaitSeesTheEnd) {
  LoopResult result;
  DWORD id = 0;
  HANDLE thread =
      sys().CreateThread(nullptr, 0, MessageLoopThread, &result, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(PostWhenQueued(id, 0x8001));
  ASSERT_TRUE(sys().PostThreadMessageA(id, WM_QUIT, 3, 0));
  EXPECT_EQ(sys().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(result.messages.load(), 1);
  EXPECT_EQ(result.quitCode.load(), 3);
  EXPECT_EQ(machine().Counters().threadsRunning, 0);
  EXPECT_TRUE(sys().CloseHandle(thread));
}

TEST_F(SimThreads, WaitTimesOutWhileTheThreadRuns) {
  LoopResult result;
  DWORD id = 0;
  HANDLE thread =
      sys().CreateThread(nullptr, 0, MessageLoopThread, &result, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(sys().WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  EXPECT_EQ(machine().Counters().threadsRunning, 1);
  // A thread handle may be closed while the thread runs.
  EXPECT_TRUE(sys().CloseHandle(thread));
  ASSERT_TRUE(PostWhenQueued(id, WM_QUIT));
  EXPECT_TRUE(Eventually([&] { return result.quitCode.load() == 0; }));
}

TEST_F(SimThreads, ThreadIdsAreUniqueAndUnknownIdsAreRefused) {
  LoopResult a, b;
  DWORD idA = 0, idB = 0;
  HANDLE ta = sys().CreateThread(nullptr, 0, MessageLoopThread, &a, 0, &idA);
  HANDLE tb = sys().CreateThread(nullptr, 0, MessageLoopThread, &b, 0, &idB);
  EXPECT_NE(idA, idB);
  EXPECT_NE(ta, tb);
  EXPECT_FALSE(sys().PostThreadMessageA(0x7FFFFFF0, WM_QUIT, 0, 0));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_THREAD_ID);
  EXPECT_TRUE(PostWhenQueued(idA, WM_QUIT));
  EXPECT_TRUE(PostWhenQueued(idB, WM_QUIT));
  EXPECT_EQ(sys().WaitForSingleObject(ta, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(sys().WaitForSingleObject(tb, INFINITE), WAIT_OBJECT_0);
  sys().CloseHandle(ta);
  sys().CloseHandle(tb);
  EXPECT_EQ(sys().WaitForSingleObject(reinterpret_cast<HANDLE>(0x7FFFFFF0), 0),
            WAIT_FAILED);
}

TEST(SimThreadsShutdown, DestroyingTheMachineEndsItsThreads) {
  LoopResult result;
  {
    Machine machine;
    machine.Install();
    HANDLE thread = os::Sys().CreateThread(nullptr, 0, MessageLoopThread,
                                           &result, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(Eventually([&] { return result.started.load(); }));
  }
  EXPECT_EQ(result.quitCode.load(), 0);
}

// --- Window classes, windows, messages ---------------------------------------

std::atomic<int> g_destroys{0};
std::atomic<int> g_dispatched{0};

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam,
                              LPARAM lParam) {
  if (message == WM_DESTROY) {
    ++g_destroys;
    os::Sys().PostQuitMessage(5);
    return 0;
  }
  if (message == 0x0400) {
    ++g_dispatched;
    return 42;
  }
  return os::Sys().DefWindowProcA(window, message, wParam, lParam);
}

WNDCLASSEXA ClassOf(const char* name, WNDPROC proc) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = proc;
  wc.hInstance = os::Sys().GetModuleHandleA(nullptr);
  wc.lpszClassName = name;
  return wc;
}

HWND CreateHidden(const char* className, const char* title) {
  HWND window = os::Sys().CreateWindowExA(
      0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT,
      0, nullptr, nullptr, os::Sys().GetModuleHandleA(nullptr), nullptr);
  if (window != nullptr) {
    os::Sys().ShowWindow(window, SW_HIDE);
    os::Sys().UpdateWindow(window);
  }
  return window;
}

class SimWindows : public simtest::MachineTest {};

TEST_F(SimWindows, ClassesAreCaseInsensitiveAndCheckTheirRecordSize) {
  WNDCLASSEXA wc = ClassOf("TestWnd", CountingProc);
  wc.cbSize = 40;
  EXPECT_EQ(sys().RegisterClassExA(&wc), 0);
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_PARAMETER);
  wc.cbSize = sizeof(wc);
  EXPECT_NE(sys().RegisterClassExA(&wc), 0);
  WNDCLASSEXA same = ClassOf("TESTWND", CountingProc);
  EXPECT_EQ(sys().RegisterClassExA(&same), 0);
  EXPECT_EQ(sys().GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  // Another instance may have a class of the same name.
  same.hInstance = reinterpret_cast<HINSTANCE>(0x10000000);
  EXPECT_NE(sys().RegisterClassExA(&same), 0);

  EXPECT_EQ(CreateHidden("NoSuchClass", "x"), nullptr);
  HWND window = CreateHidden("testwnd", "Title");
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(sys().UnregisterClassA("TestWnd", wc.hInstance));
  EXPECT_TRUE(sys().DestroyWindow(window));
  EXPECT_TRUE(sys().UnregisterClassA("TestWnd", wc.hInstance));
  EXPECT_FALSE(sys().UnregisterClassA("TestWnd", wc.hInstance));
}

TEST_F(SimWindows, WindowsAreRecordedDispatchedAndDestroyed) {
  g_destroys = 0;
  g_dispatched = 0;
  WNDCLASSEXA wc = ClassOf("TestWnd", CountingProc);
  ASSERT_NE(sys().RegisterClassExA(&wc), 0);
  HWND window = sys().CreateWindowExA(
      0, "TestWnd", "Visible one", WS_OVERLAPPEDWINDOW | 0x10000000u, 0, 0, 10,
      10, nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  auto windows = machine().Windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].className, "TestWnd");
  EXPECT_EQ(windows[0].title, "Visible one");
  EXPECT_TRUE(windows[0].visible);
  EXPECT_TRUE(sys().ShowWindow(window, SW_HIDE));  // was visible
  EXPECT_FALSE(machine().Windows()[0].visible);

  MSG msg{};
  msg.hwnd = window;
  msg.message = 0x0400;
  EXPECT_EQ(sys().DispatchMessageA(&msg), 42);
  EXPECT_EQ(g_dispatched.load(), 1);

  EXPECT_TRUE(sys().DestroyWindow(window));
  EXPECT_EQ(g_destroys.load(), 1);
  EXPECT_EQ(machine().Counters().windows, 0);
  EXPECT_FALSE(sys().DestroyWindow(window));
  EXPECT_EQ(sys().GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  // WM_DESTROY posted the quit: the loop ends at once with its code.
  EXPECT_EQ(sys().GetMessageA(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_TRUE(sys().UnregisterClassA("TestWnd", wc.hInstance));
}

DWORD WINAPI WindowOwnerThread(LPVOID parameter) {
  auto* window = static_cast<std::atomic<HWND>*>(parameter);
  WNDCLASSEXA wc = ClassOf("OwnedWnd", CountingProc);
  os::Sys().RegisterClassExA(&wc);
  *window = CreateHidden("OwnedWnd", "Owned");
  return 0;
}

TEST_F(SimWindows, WindowsEndWithTheirThreadAndOnlyItMayDestroyThem) {
  std::atomic<HWND> window{nullptr};
  HANDLE thread =
      sys().CreateThread(nullptr, 0, WindowOwnerThread, &window, 0, nullptr);
  ASSERT_EQ(sys().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  sys().CloseHandle(thread);
  ASSERT_NE(window.load(), nullptr);
  EXPECT_EQ(machine().Counters().windows, 0);
  EXPECT_FALSE(sys().ShowWindow(window.load(), SW_HIDE));

  // A window of this thread cannot be destroyed from another one.
  WNDCLASSEXA wc = ClassOf("MainWnd", CountingProc);
  sys().RegisterClassExA(&wc);
  HWND mine = CreateHidden("MainWnd", "Mine");
  BOOL destroyed = 1;
  DWORD error = 0;
  std::thread other([&] {
    destroyed = os::Sys().DestroyWindow(mine);
    error = os::Sys().GetLastError();
  });
  other.join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(sys().DestroyWindow(mine));
}

// --- Device-change delivery
// ----------------------------------------------------

// What the test monitor's window procedure saw.
struct Seen {
  std::mutex mu;
  std::thread::id ownerThread;
  std::thread::id procThread;
  std::atomic<int> removals{0};
  std::atomic<int> arrivals{0};
  DWORD size = 0;
  DWORD type = 0;
  GUID classGuid{};
  std::string path;
  HANDLE toClose = INVALID_HANDLE_VALUE;
  BOOL closed = 0;
  std::atomic<bool> ready{false};
  std::atomic<bool> stay{false};  // leave the window when the thread ends
  simtest::Bound bound;
};
Seen* g_seen = nullptr;

LRESULT CALLBACK MonitorProc(HWND window, UINT message, WPARAM wParam,
                             LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    std::lock_guard<std::mutex> lock(g_seen->mu);
    g_seen->procThread = std::this_thread::get_id();
    const auto* record = reinterpret_cast<const char*>(lParam);
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, record, sizeof(header));
    g_seen->size = header.dbch_size;
    g_seen->type = header.dbch_devicetype;
    std::memcpy(&g_seen->classGuid, record + 12, sizeof(GUID));
    g_seen->path = record + 28;
    if (wParam == DBT_DEVICEREMOVECOMPLETE) {
      // As the library does: close the token's handle right here.
      if (g_seen->toClose != INVALID_HANDLE_VALUE) {
        g_seen->closed = os::Sys().CloseHandle(g_seen->toClose);
      }
      ++g_seen->removals;
    } else if (wParam == DBT_DEVICEARRIVAL) {
      ++g_seen->arrivals;
    }
    return 0;
  }
  if (message == WM_DESTROY) {
    os::Sys().PostQuitMessage(0);
    return 0;
  }
  return os::Sys().DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI MonitorThread(LPVOID) {
  os::System& sys = os::Sys();
  g_seen->ownerThread = std::this_thread::get_id();
  WNDCLASSEXA wc = ClassOf("TestMonitorWnd", MonitorProc);
  sys.RegisterClassExA(&wc);
  HWND window = CreateHidden("TestMonitorWnd", "Test Monitor");
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = simtest::kDriverClass;
  HDEVNOTIFY notification = g_seen->bound.registerNotification(
      window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  g_seen->ready = true;
  if (g_seen->stay) return 0;
  MSG msg;
  while (sys.GetMessageA(&msg, nullptr, 0, 0) > 0) {
    sys.TranslateMessage(&msg);
    sys.DispatchMessageA(&msg);
  }
  if (notification != nullptr) {
    g_seen->bound.unregisterNotification(notification);
  }
  sys.DestroyWindow(window);
  sys.UnregisterClassA("TestMonitorWnd", wc.hInstance);
  return 0;
}

class SimDelivery : public simtest::MachineTest {
 protected:
  SimDelivery() {
    seen_.bound = simtest::BindAll();
    g_seen = &seen_;
  }
  ~SimDelivery() override { g_seen = nullptr; }

  HANDLE StartMonitor(DWORD* id) {
    HANDLE thread =
        sys().CreateThread(nullptr, 0, MonitorThread, nullptr, 0, id);
    EXPECT_TRUE(Eventually([&] { return seen_.ready.load(); }));
    return thread;
  }

  void StopMonitor(HANDLE thread, DWORD id) {
    sys().PostThreadMessageA(id, WM_QUIT, 0, 0);
    EXPECT_EQ(sys().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(sys().CloseHandle(thread));
  }

  Seen seen_;
};

TEST_F(SimDelivery, RemovalRunsTheProcedureOnItsThreadBeforeUnplugReturns) {
  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  const auto token = machine().Plug(usb);
  const std::string path = machine().Token(token).path;
  seen_.toClose = simtest::Open(path);
  ASSERT_NE(seen_.toClose, INVALID_HANDLE_VALUE);
  DWORD id = 0;
  HANDLE thread = StartMonitor(&id);
  EXPECT_EQ(machine().Counters().notifications, 1);
  const auto windows = machine().Windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].title, "Test Monitor");
  EXPECT_FALSE(windows[0].visible);

  machine().Unplug(token);
  EXPECT_EQ(seen_.removals.load(), 1);
  {
    std::lock_guard<std::mutex> lock(seen_.mu);
    EXPECT_EQ(seen_.procThread, seen_.ownerThread);
    EXPECT_EQ(seen_.type, DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_EQ(seen_.size, 28 + path.size() + 1);
    EXPECT_EQ(
        std::memcmp(&seen_.classGuid, &simtest::kDriverClass, sizeof(GUID)), 0);
    EXPECT_EQ(seen_.path, path);
    EXPECT_TRUE(seen_.closed);
  }
  EXPECT_EQ(machine().Counters().openFileHandles, 0);

  machine().Replug(token);
  EXPECT_EQ(seen_.arrivals.load(), 1);

  // HID tokens are another class: the window hears nothing of them.
  const auto hid = machine().Plug({});
  machine().Unplug(hid);
  EXPECT_EQ(seen_.removals.load(), 1);
  EXPECT_EQ(seen_.arrivals.load(), 1);

  StopMonitor(thread, id);
  const auto counters = machine().Counters();
  EXPECT_EQ(counters.notifications, 0);
  EXPECT_EQ(counters.windows, 0);
  EXPECT_EQ(counters.threadsRunning, 0);
}

TEST_F(SimDelivery, NoWaitWhenTheWindowsThreadIsGone) {
  seen_.stay = true;
  DWORD id = 0;
  HANDLE thread = StartMonitor(&id);
  ASSERT_EQ(sys().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  sys().CloseHandle(thread);
  // The registration outlives its window, as on Windows.
  EXPECT_EQ(machine().Counters().notifications, 1);

  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  const auto token = machine().Plug(usb);
  const auto start = Clock::now();
  machine().Unplug(token);
  // Returned without falling back on the delivery timeout.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(seen_.removals.load(), 0);
}

TEST_F(SimDelivery, ARegistrationFilterIsChecked) {
  WNDCLASSEXA wc = ClassOf("FilterWnd", CountingProc);
  sys().RegisterClassExA(&wc);
  HWND window = CreateHidden("FilterWnd", "f");
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = 3;  // not a device interface record
  filter.dbcc_classguid = simtest::kDriverClass;
  auto& b = seen_.bound;
  EXPECT_EQ(b.registerNotification(window, &filter, 0), nullptr);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_size = 20;
  EXPECT_EQ(b.registerNotification(window, &filter, 0), nullptr);
  filter.dbcc_size = sizeof(filter);
  EXPECT_EQ(b.registerNotification(reinterpret_cast<HWND>(0x123), &filter, 0),
            nullptr);
  HDEVNOTIFY n = b.registerNotification(window, &filter, 0);
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(b.unregisterNotification(n));
  EXPECT_FALSE(b.unregisterNotification(n));
  sys().DestroyWindow(window);
}

TEST_F(SimDelivery, AWindowWhoseThreadDoesNotPumpDelaysUnplugBoundedly) {
  // The window belongs to this thread, which is busy in Unplug on another
  // thread's behalf: the broadcast gives up after its safety timeout.
  WNDCLASSEXA wc = ClassOf("IdleWnd", MonitorProc);
  sys().RegisterClassExA(&wc);
  HWND window = CreateHidden("IdleWnd", "idle");
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = simtest::kDriverClass;
  ASSERT_NE(seen_.bound.registerNotification(window, &filter, 0), nullptr);

  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  const auto token = machine().Plug(usb);  // delivered here: same thread
  EXPECT_EQ(seen_.arrivals.load(), 1);
  std::thread other([&] { machine().Unplug(token); });
  other.join();
  EXPECT_EQ(seen_.removals.load(), 0);
  // The message that was not delivered in time does not run later.
  MSG msg;
  sys().PostQuitMessage(0);
  EXPECT_EQ(sys().GetMessageA(&msg, nullptr, 0, 0), 0);
  EXPECT_EQ(seen_.removals.load(), 0);
  sys().DestroyWindow(window);
}

// Two threads whose windows receive each other's broadcasts: a procedure
// that unplugs another token while the first broadcast waits for it.
struct Nested {
  Machine* machine = nullptr;
  vantor::sim::TokenId second = 0;
  simtest::Bound bound;
  std::atomic<int> mainRuns{0};
  std::atomic<int> threadRuns{0};
  std::atomic<bool> ready{false};
};
Nested* g_nested = nullptr;

LRESULT CALLBACK NestedMainProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEREMOVECOMPLETE) {
    ++g_nested->mainRuns;
  }
  return 0;
}

LRESULT CALLBACK NestedThreadProc(HWND, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEREMOVECOMPLETE) {
    if (++g_nested->threadRuns == 1)
      g_nested->machine->Unplug(g_nested->second);
  }
  return 0;
}

void RegisterForDriverClass(HWND window) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = simtest::kDriverClass;
  g_nested->bound.registerNotification(window, &filter, 0);
}

DWORD WINAPI NestedThread(LPVOID) {
  WNDCLASSEXA wc = ClassOf("NestedThreadWnd", NestedThreadProc);
  os::Sys().RegisterClassExA(&wc);
  RegisterForDriverClass(CreateHidden("NestedThreadWnd", "thread"));
  g_nested->ready = true;
  MSG msg;
  while (os::Sys().GetMessageA(&msg, nullptr, 0, 0) > 0) {
    os::Sys().DispatchMessageA(&msg);
  }
  return 0;
}

TEST_F(SimDelivery, AThreadWaitingForDeliveryTakesMessagesSentToIt) {
  Nested nested;
  nested.machine = &machine();
  nested.bound = seen_.bound;
  g_nested = &nested;
  TokenConfig usb;
  usb.mode = TokenMode::Usb;
  const auto first = machine().Plug(usb);
  nested.second = machine().Plug(usb);

  WNDCLASSEXA wc = ClassOf("NestedMainWnd", NestedMainProc);
  sys().RegisterClassExA(&wc);
  RegisterForDriverClass(CreateHidden("NestedMainWnd", "main"));
  DWORD id = 0;
  HANDLE thread = sys().CreateThread(nullptr, 0, NestedThread, nullptr, 0, &id);
  ASSERT_TRUE(Eventually([&] { return nested.ready.load(); }));

  const auto start = Clock::now();
  machine().Unplug(first);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(nested.mainRuns.load(), 2);
  EXPECT_EQ(nested.threadRuns.load(), 2);

  sys().PostThreadMessageA(id, WM_QUIT, 0, 0);
  EXPECT_EQ(sys().WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  sys().CloseHandle(thread);
  g_nested = nullptr;
}

}  // namespace
