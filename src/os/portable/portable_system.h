// Threads, thread message queues, window classes, windows and device-change
// broadcasts for systems that have no Windows user interface behind them
// (the simulated machine, the Linux system).
//
// PortableSystem implements the thread, wait, message and window members of
// os::System with standard threads and condition variables, and the device
// notification calls that the device layer binds by name. A derived system
// adds the devices and calls BroadcastDeviceInterfaceChange when one comes or
// goes.
//
// Rules kept here, as Windows keeps them:
// - A thread has no message queue until its first RegisterClassExA,
//   CreateWindowExA, GetMessageA or PostQuitMessage (a thread created
//   through CreateThread too): until then PostThreadMessageA to it fails
//   with ERROR_INVALID_THREAD_ID, as on Windows.
// - A window belongs to the thread that created it. Its procedure runs on
//   that thread: through DispatchMessageA, or inside that thread's
//   GetMessageA for a message sent from another thread. A thread that waits
//   for such a delivery takes the messages sent to its own windows
//   meanwhile.
// - When a thread created through CreateThread ends, its queue and its
//   windows go with it.
//
// It also keeps the device information sets of the device setup calls as
// snapshots (os::DeviceSetTable): a derived system lists its devices in
// SetupDiGetClassDevsA and hands them to AddDeviceSetLocked; the calls over a
// set are answered here.
//
// The call log (off by default) records the thread, window, notification,
// device set and handle calls made here with their arguments; a derived
// system logs its own calls through Logged.
//
// One mutex guards all state; it is never held while a window procedure or
// a thread function runs, nor while a sender waits for delivery.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/portable/call_log.h"
#include "os/portable/device_sets.h"
#include "os/system.h"

namespace os {

// The Windows share-mode rule between two opens of one device: true when an
// open with `access` and `share` may join an open with `openAccess` and
// `openShare`. Each must share what the other reads or writes; an open with
// neither read nor write access takes no part.
bool SharesWith(DWORD access, DWORD share, DWORD openAccess, DWORD openShare);

// The share-mode rule against the opens of one device: true when an open
// with `access` and `share` may join every open in `opens` (a map of records
// with `access` and `share`) for which `sameDevice` holds.
template <typename Opens, typename SameDevice>
bool SharesWithAll(DWORD access, DWORD share, const Opens& opens,
                   SameDevice sameDevice) {
  for (const auto& [key, open] : opens) {
    if (sameDevice(open) &&
        !SharesWith(access, share, open.access, open.share)) {
      return false;
    }
  }
  return true;
}

class PortableSystem : public System {
 public:
  PortableSystem();
  ~PortableSystem() override;
  PortableSystem(const PortableSystem&) = delete;
  PortableSystem& operator=(const PortableSystem&) = delete;

  // Errors: kept per thread.
  DWORD GetLastError() override;
  void SetLastError(DWORD error) override;

  // Closes a thread handle; any other handle goes to CloseOtherHandle.
  BOOL CloseHandle(HANDLE handle) override;

  // Threads and waits. WaitForSingleObject waits for thread handles only.
  HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                      LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD flags, LPDWORD threadId) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam,
                          LPARAM lParam) override;

  // Window classes, windows and the message loop.
  ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) override;
  BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) override;
  HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName,
                       DWORD style, int x, int y, int width, int height,
                       HWND parent, HMENU menu, HINSTANCE instance,
                       LPVOID param) override;
  BOOL ShowWindow(HWND window, int command) override;
  BOOL UpdateWindow(HWND window) override;
  BOOL DestroyWindow(HWND window) override;
  BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin,
                   UINT filterMax) override;
  BOOL TranslateMessage(const MSG* message) override;
  LRESULT DispatchMessageA(const MSG* message) override;
  LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam,
                         LPARAM lParam) override;
  void PostQuitMessage(int exitCode) override;

  // Device setup calls over the sets that a derived system's
  // SetupDiGetClassDevsA made.
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index,
                             PSP_DEVINFO_DATA info) override;
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA info,
                                         DWORD property, PDWORD regType,
                                         PBYTE buffer, DWORD bufferSize,
                                         PDWORD requiredSize) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  // Bound by name from "SETUPAPI.DLL".
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info,
                                   const GUID* classGuid, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA data);
  BOOL SetupDiGetDeviceInterfaceDetailA(
      HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
      PDWORD requiredSize, PSP_DEVINFO_DATA info);

  // The HID class library, bound by name from "hid.dll"
  // (os/portable/bound_functions.h): the HID interface class, and feature
  // reports to and from an open device.
  void HidD_GetHidGuid(LPGUID guid);
  virtual BOOLEAN HidD_SetFeature(HANDLE device, PVOID report,
                                  ULONG length) = 0;
  virtual BOOLEAN HidD_GetFeature(HANDLE device, PVOID report,
                                  ULONG length) = 0;
  // The device's ids; fails (with the error of a gone device) once the
  // device behind an open handle is gone. Reaches no token.
  virtual BOOLEAN HidD_GetAttributes(HANDLE device,
                                     HidAttributes* attributes) = 0;

  // Device notifications, as the functions bound by name from "user32.dll"
  // behave: a window recipient (DEVICE_NOTIFY_WINDOW_HANDLE) and a
  // DEV_BROADCAST_DEVICEINTERFACE_A filter naming one interface class.
  HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter,
                                         DWORD flags);
  BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

  // Sends WM_DEVICECHANGE with `event` (DBT_DEVICEARRIVAL,
  // DBT_DEVICEREMOVECOMPLETE) and a DEV_BROADCAST_DEVICEINTERFACE_A record
  // for `path` to every window registered for `classGuid`, one after the
  // other, as a sent message: each procedure runs on its window's thread.
  // Returns when every procedure has run, or its window or thread is gone,
  // or DeliveryTimeout() has passed for it. Returns the number of
  // procedures that ran. Must be called without the mutex held.
  int BroadcastDeviceInterfaceChange(const GUID& classGuid, WPARAM event,
                                     const std::string& path);

  // The longest a broadcast waits for one window whose thread does not
  // pump its messages.
  static constexpr std::chrono::milliseconds DeliveryTimeout() {
    return std::chrono::milliseconds(5000);
  }

  // Ends every thread created through CreateThread and joins it: from now
  // on GetMessageA answers WM_QUIT at once and CreateThread fails. A
  // derived system calls it before its own members go away, since the
  // threads may still be calling it. Aborts the process with a message
  // when a thread has not ended after ShutdownLimit(), rather than hang.
  void Shutdown();
  static constexpr std::chrono::milliseconds ShutdownLimit() {
    return std::chrono::milliseconds(10000);
  }

  // Inspection.
  struct WindowSnapshot {
    HWND window = nullptr;
    std::string className;
    std::string title;
    bool visible = false;
    DWORD threadId = 0;
  };
  std::vector<WindowSnapshot> Windows() const;  // in creation order

  struct UserCounters {
    int threadsRunning = 0;  // threads created through CreateThread, running
    int windows = 0;         // windows that exist now
    int notifications = 0;   // device notifications registered now
  };
  UserCounters Counters() const;

  // The id of the calling thread (unique in the process, never 0).
  static DWORD CurrentThreadId();

  // The call log of this system.
  CallLog& Calls() { return calls_; }
  const CallLog& Calls() const { return calls_; }

 protected:
  // The one lock over this system's state, for derived systems too.
  std::mutex& Mutex() const { return mu_; }

  // Handle values: small, 32-bit, multiples of 4 from 0x100, never 0 or -1,
  // never handed out twice while in use. As Windows may, a new handle takes
  // the lowest value free, so a closed handle's value soon names another
  // object. Call with the mutex held.
  HANDLE NewHandleLocked();
  void ReleaseHandleLocked(HANDLE handle);

  // A new device set of `devices` with their interfaces of `interfaceClass`,
  // a snapshot. Call with the mutex held.
  HDEVINFO AddDeviceSetLocked(const GUID& interfaceClass,
                              std::vector<DeviceRecord> devices);
  std::size_t DeviceSetsLocked() const { return sets_.Count(); }
  // An index whose interface enumeration fails (an injected fault), if any.
  // Called with the mutex held.
  virtual std::optional<DWORD> FailingInterfaceIndexLocked() const {
    return std::nullopt;
  }

  // Closes a handle that is not a thread handle. Called without the mutex.
  virtual BOOL CloseOtherHandle(HANDLE handle);

  // Calls that a derived system can make fail: the error to fail with, 0
  // for none. Called with the mutex held.
  enum class InjectedFailure { ThreadCreation, WindowCreation, Notification };
  virtual DWORD InjectedFailureLocked(InjectedFailure) { return 0; }

  // Runs `body` (the call `name`) and, while the call log is on, logs it
  // with the text that `arguments` makes after the call, its result and its
  // last error when it failed. Returns what `body` returned.
  template <typename Arguments, typename Body>
  auto Logged(const char* name, Arguments&& arguments, Body&& body) {
    auto result = body();
    if (calls_.Enabled()) {
      CallRecord record;
      record.name = name;
      record.arguments = arguments();
      record.result = ResultText(result);
      record.ok = Succeeded(result);
      record.error = record.ok ? 0 : GetLastError();
      calls_.Add(std::move(record));
    }
    return result;
  }

 private:
  // A message sent to a window of another thread, waiting in that thread's
  // queue. `record` keeps the lParam data alive for as long as either side
  // holds the message.
  struct SentMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::shared_ptr<std::vector<std::uint32_t>> record;
    bool done = false;       // the procedure has run
    bool cancelled = false;  // it will not run (window, thread or sender gone)
  };
  struct Queue {
    DWORD threadId = 0;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quitPending = false;  // PostQuitMessage was called
    int quitCode = 0;
    std::condition_variable wake;
  };
  struct ThreadRecord {
    DWORD id = 0;
    HANDLE handle = nullptr;
    bool handleOpen = true;
    bool ended = false;
    DWORD exitCode = 0;
    std::thread thread;
  };
  struct WindowClass {
    std::string name;
    std::string key;  // the name in lower case
    HINSTANCE instance = nullptr;
    WNDPROC proc = nullptr;
    ATOM atom = 0;
  };
  struct Window {
    std::string className;
    std::string classKey;
    HINSTANCE classInstance = nullptr;
    std::string title;
    bool visible = false;
    DWORD threadId = 0;
    WNDPROC proc = nullptr;
    bool destroying = false;  // DestroyWindow is sending WM_DESTROY
  };
  struct Notification {
    HWND window = nullptr;
    GUID classGuid{};
  };

  std::shared_ptr<Queue> QueueLocked(DWORD threadId, bool create);
  Window* FindWindowLocked(HWND window);
  const WindowClass* FindClassLocked(LPCSTR className,
                                     HINSTANCE instance) const;
  void ThreadEnded(const std::shared_ptr<ThreadRecord>& thread, DWORD code);
  void RemoveWindowLocked(HWND window);
  void CancelSentLocked(Queue& queue, HWND window);
  std::vector<std::thread> TakeJoinableLocked();
  static void JoinAll(std::vector<std::thread>& threads);
  // Takes the first message sent to `queue` and runs its procedure (with
  // the lock released meanwhile); false when there is none.
  bool RunSentLocked(Queue& queue, std::unique_lock<std::mutex>& lock);
  bool SendAndWait(HWND window, UINT message, WPARAM wParam,
                   const std::shared_ptr<std::vector<std::uint32_t>>& record);

  mutable std::mutex mu_;
  bool shutting_down_ = false;

  static constexpr std::uintptr_t kFirstHandle = 0x100;
  std::set<std::uintptr_t> free_handles_;  // freed values below next_handle_
  std::uintptr_t next_handle_ = kFirstHandle;  // above every value in use

  std::map<DWORD, std::shared_ptr<Queue>> queues_;
  std::map<std::uintptr_t, std::shared_ptr<ThreadRecord>> thread_handles_;
  std::vector<std::shared_ptr<ThreadRecord>> threads_;  // not yet joined
  int threads_running_ = 0;

  std::vector<WindowClass> classes_;
  ATOM next_atom_ = 0xC000;
  std::map<std::uintptr_t, Window> windows_;
  std::uintptr_t next_window_ = 0x10010;

  std::map<std::uintptr_t, Notification> notifications_;
  std::uintptr_t next_notification_ = 0xD0000;

  DeviceSetTable sets_;
  CallLog calls_;

  static thread_local DWORD last_error_;
};

}  // namespace os
