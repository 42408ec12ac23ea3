// The removal monitor: a thread with a hidden window that receives the
// driver tokens' removal broadcasts while any entry's device is open.
#include <cstddef>
#include <cstring>
#include <mutex>

#include "device/device.h"
#include "device/internal.h"
#include "device/testing.h"

namespace vantor::device {
namespace {

// Process-wide monitor state, guarded by DeviceTableLock().
struct MonitorState {
  std::int32_t dwMonitorUsers;  // entries whose device is open
  HANDLE hMonitorThread;        // the running thread, or null
  DWORD dwMonitorThreadId;      // target of its quit message
  std::uintptr_t serial;        // numbers the threads, handed to each
};
MonitorState g_monitor{};

// Set on a monitor thread: its own id, so that it can tell whether it is
// still the thread the state names.
// Set on a monitor thread: the number it was started with. A thread learns
// from it, not from the state's thread id, whether it is still the current
// monitor: by the time it runs, the state may already name a newer thread.
thread_local std::uintptr_t t_monitorSerial = 0;

constexpr std::size_t kBroadcastNameOffset =
    offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

// Frees every used entry whose path is the removed device's path.
void HandleRemoval(LPARAM lParam) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header == nullptr ||
      header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size <= kBroadcastNameOffset) {
    return;
  }
  // The path ends at its terminator or at the end of the record; a path too
  // long for an entry matches none.
  const char* name =
      reinterpret_cast<const char*>(header) + kBroadcastNameOffset;
  std::size_t room = header->dbch_size - kBroadcastNameOffset;
  if (room > static_cast<std::size_t>(kMaxPathChars) + 1) {
    room = static_cast<std::size_t>(kMaxPathChars) + 1;
  }
  const std::size_t length = strnlen(name, room);
  if (length > static_cast<std::size_t>(kMaxPathChars)) return;
  char path[kMaxPathChars + 1];
  std::memcpy(path, name, length);
  path[length] = '\0';

  std::lock_guard guard(DeviceTableLock());
  for (int i = 0; i < kUsableEntries; ++i) {
    SlotEntry& entry = g_DeviceTable[i];
    if (entry.dwKind != SLOT_FREE &&
        detail::CompareNoCase(entry.szPath, path) == 0) {
      ReleaseRemovedEntry(entry);
    }
  }
}

HINSTANCE ProcessModule() { return os::Sys().GetModuleHandleA(nullptr); }

// Held by a monitor thread from its class registration to its clean-up. A
// thread started while a former one that ended by itself is still cleaning
// up waits here, so that the former one's UnregisterClassA cannot remove the
// class under the new one's window.
std::mutex& MonitorLifetimeLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

namespace detail {

void LowerMonitorUsersForRemoval() {
  if (g_monitor.dwMonitorUsers <= 0) return;
  if (--g_monitor.dwMonitorUsers > 0 || g_monitor.hMonitorThread == nullptr) {
    return;
  }
  os::System& sys = os::Sys();
  if (t_monitorSerial != 0 && t_monitorSerial == g_monitor.serial) {
    sys.PostQuitMessage(0);
  } else {
    // From the caller's thread (a refresh): ask the thread to quit without
    // waiting for it, since it may be waiting for the lock that is held here.
    // A thread whose queue does not exist yet sees the empty state when it
    // starts its loop.
    sys.PostThreadMessageA(g_monitor.dwMonitorThreadId, WM_QUIT, 0, 0);
  }
  sys.CloseHandle(g_monitor.hMonitorThread);
  g_monitor.hMonitorThread = nullptr;
}

}  // namespace detail

void StartDeviceMonitor() {
  std::lock_guard guard(DeviceTableLock());
  if (g_monitor.dwMonitorUsers == 0) {
    OSVERSIONINFOA version;
    if (detail::QueryVersion(&version) &&
        version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
        version.dwMajorVersion >= 5) {
      // The thread reads its id from the state under the lock held here.
      g_monitor.hMonitorThread =
          os::Sys().CreateThread(nullptr, 0, DeviceMonitorThread,
                                 reinterpret_cast<LPVOID>(++g_monitor.serial),
                                 0, &g_monitor.dwMonitorThreadId);
    }
  }
  ++g_monitor.dwMonitorUsers;
}

bool StopDeviceMonitor() {
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  {
    std::lock_guard guard(DeviceTableLock());
    if (g_monitor.dwMonitorUsers == 0) return false;
    if (--g_monitor.dwMonitorUsers > 0 || g_monitor.hMonitorThread == nullptr) {
      return true;
    }
    thread = g_monitor.hMonitorThread;
    threadId = g_monitor.dwMonitorThreadId;
    g_monitor.hMonitorThread = nullptr;
  }
  // Without the lock: the thread may need it to finish a removal first. A
  // thread that has no queue yet misses a quit message, so post again every
  // 300 ms until it has ended.
  os::System& sys = os::Sys();
  sys.PostThreadMessageA(threadId, WM_QUIT, 0, 0);
  while (sys.WaitForSingleObject(thread, 300) == WAIT_TIMEOUT) {
    sys.PostThreadMessageA(threadId, WM_QUIT, 0, 0);
  }
  sys.CloseHandle(thread);
  return true;
}

DWORD WINAPI DeviceMonitorThread(LPVOID parameter) {
  os::System& sys = os::Sys();
  const auto serial = reinterpret_cast<std::uintptr_t>(parameter);
  t_monitorSerial = serial;
  std::lock_guard lifetime(MonitorLifetimeLock());

  HINSTANCE module = ProcessModule();
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(WNDCLASSEXA);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = DeviceMonitorWndProc;
  windowClass.hInstance = module;
  windowClass.hbrBackground =
      reinterpret_cast<HBRUSH>(static_cast<std::intptr_t>(COLOR_WINDOW + 1));
  windowClass.lpszClassName = kMonitorClassName;
  sys.RegisterClassExA(&windowClass);

  HWND window = sys.CreateWindowExA(
      0, kMonitorClassName, kMonitorWindowTitle, WS_OVERLAPPEDWINDOW,
      CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, module, nullptr);
  if (window == nullptr) {
    sys.UnregisterClassA(kMonitorClassName, module);
    return 0;
  }
  sys.ShowWindow(window, SW_HIDE);
  sys.UpdateWindow(window);

  HMODULE user32 = sys.LoadLibraryA("USER32.DLL");
  os::PFN_RegisterDeviceNotificationA registerNotification = nullptr;
  os::PFN_UnregisterDeviceNotification unregisterNotification = nullptr;
  if (user32 != nullptr) {
    registerNotification = detail::BindAs<os::PFN_RegisterDeviceNotificationA>(
        sys.GetProcAddress(user32, "RegisterDeviceNotificationA"));
    unregisterNotification =
        detail::BindAs<os::PFN_UnregisterDeviceNotification>(
            sys.GetProcAddress(user32, "UnregisterDeviceNotification"));
  }

  DEV_BROADCAST_DEVICEINTERFACE_A filter;
  std::memset(&filter, 0, sizeof(filter));
  filter.dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = DriverInterfaceGuid;
  // Registered only when it can also be unregistered: a registration left
  // behind would outlive the window.
  HDEVNOTIFY notification = nullptr;
  if (registerNotification != nullptr && unregisterNotification != nullptr) {
    notification =
        registerNotification(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  // The count may have fallen to 0 (a removal or refresh dropped the last
  // open entry) before this thread had a queue to receive the quit message;
  // a newer thread may even have been started since.
  {
    std::lock_guard guard(DeviceTableLock());
    if (g_monitor.hMonitorThread == nullptr || g_monitor.serial != serial) {
      sys.PostQuitMessage(0);
    }
  }

  MSG message{};
  BOOL got = 0;
  while ((got = sys.GetMessageA(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) break;  // an invalid call, not a message: stop
    sys.TranslateMessage(&message);
    sys.DispatchMessageA(&message);
  }

  if (notification != nullptr) {
    unregisterNotification(notification);
  }
  sys.DestroyWindow(window);
  sys.UnregisterClassA(kMonitorClassName, module);
  if (user32 != nullptr) sys.FreeLibrary(user32);
  return got == 0 ? static_cast<DWORD>(message.wParam) : 0;
}

LRESULT CALLBACK DeviceMonitorWndProc(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      os::Sys().PostQuitMessage(0);
      return 0;
    case WM_DEVICECHANGE:
      if (wParam == DBT_DEVICEREMOVECOMPLETE) HandleRemoval(lParam);
      return 0;
    default:
      return os::Sys().DefWindowProcA(window, message, wParam, lParam);
  }
}

std::int32_t MonitorUsers() {
  std::lock_guard guard(DeviceTableLock());
  return g_monitor.dwMonitorUsers;
}

bool MonitorThreadRunning() {
  std::lock_guard guard(DeviceTableLock());
  return g_monitor.hMonitorThread != nullptr;
}

}  // namespace vantor::device
