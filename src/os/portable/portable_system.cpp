#include "os/portable/portable_system.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

namespace os {
namespace {

// Lets other threads run for a moment without the machine's lock.
void Pause(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  lock.lock();
}

// Waits under `lock` until `done` holds or `deadline` passes; whether it
// holds. The machine's waits look again every millisecond instead of
// sleeping on one condition variable: many threads waiting on one with
// time-outs while others broadcast can leave a broadcast hanging in some C
// libraries' condition variables.
template <typename Done>
bool PollUntil(std::unique_lock<std::mutex>& lock,
               std::chrono::steady_clock::time_point deadline, Done done) {
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Pause(lock);
  }
  return true;
}

// Values that the seam does not declare (they are fixed by Windows).
constexpr DWORD kWsVisible = 0x10000000u;
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorCannotFindWndClass = 1407;
constexpr DWORD kErrorClassDoesNotExist = 1411;
constexpr DWORD kErrorClassHasWindows = 1412;

std::atomic<DWORD> g_next_thread_id{0x1000};
thread_local DWORD t_thread_id = 0;

DWORD NewThreadId() { return g_next_thread_id.fetch_add(4) + 4; }

std::string Lower(const char* text) {
  std::string result(text);
  for (char& c : result) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return result;
}

// A class name given as an atom (MAKEINTATOM) rather than as text.
bool IsAtom(LPCSTR name) {
  return reinterpret_cast<std::uintptr_t>(name) < 0x10000;
}

bool Matches(UINT message, UINT filterMin, UINT filterMax) {
  if (filterMin == 0 && filterMax == 0) return true;
  return message >= filterMin && message <= filterMax;
}

// The call log's text of a device or interface record of a set: its index
// in the set, "null" for none.
template <typename Record>
std::string MemberText(const Record* record) {
  if (record == nullptr) return "null";
  if (record->Reserved == 0) return "none";
  return std::to_string(record->Reserved - 1);
}

// The call log's text of the class that a notification filter names.
std::string FilterClassText(const void* filter) {
  if (filter == nullptr) return "null";
  DEV_BROADCAST_HDR header;
  std::memcpy(&header, filter, sizeof(header));
  if (header.dbch_size <
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) +
          sizeof(GUID)) {
    return "none";
  }
  GUID guid;
  std::memcpy(&guid,
              static_cast<const char*>(filter) +
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
              sizeof(GUID));
  return GuidText(&guid);
}

}  // namespace

bool SharesWith(DWORD access, DWORD share, DWORD openAccess, DWORD openShare) {
  constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
  if ((access & kData) == 0 || (openAccess & kData) == 0) return true;
  const auto admits = [](DWORD grantedShare, DWORD wantedAccess) {
    return ((wantedAccess & GENERIC_READ) == 0 ||
            (grantedShare & FILE_SHARE_READ) != 0) &&
           ((wantedAccess & GENERIC_WRITE) == 0 ||
            (grantedShare & FILE_SHARE_WRITE) != 0);
  };
  return admits(openShare, access) && admits(share, openAccess);
}

thread_local DWORD PortableSystem::last_error_ = 0;

void PortableSystem::HidD_GetHidGuid(LPGUID guid) {
  if (guid != nullptr) *guid = kHidInterfaceClassGuid;
}

PortableSystem::PortableSystem() = default;

PortableSystem::~PortableSystem() { Shutdown(); }

DWORD PortableSystem::CurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = NewThreadId();
  return t_thread_id;
}

DWORD PortableSystem::GetLastError() { return last_error_; }

void PortableSystem::SetLastError(DWORD error) { last_error_ = error; }

HANDLE PortableSystem::NewHandleLocked() {
  // The lowest free value: a freed one below the highest in use, else the
  // next one above it.
  std::uintptr_t value = next_handle_;
  if (!free_handles_.empty()) {
    value = *free_handles_.begin();
    free_handles_.erase(free_handles_.begin());
  } else {
    next_handle_ += 4;
  }
  return reinterpret_cast<HANDLE>(value);
}

void PortableSystem::ReleaseHandleLocked(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kFirstHandle || value >= next_handle_ || value % 4 != 0) return;
  free_handles_.insert(value);
  // Free values at the top lower the top instead, so that the free set
  // holds only the holes below the highest handle in use.
  while (!free_handles_.empty() &&
         *free_handles_.rbegin() == next_handle_ - 4) {
    free_handles_.erase(std::prev(free_handles_.end()));
    next_handle_ -= 4;
  }
}

BOOL PortableSystem::CloseOtherHandle(HANDLE) {
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}

// --- Threads -------------------------------------------------------------

std::shared_ptr<PortableSystem::Queue> PortableSystem::QueueLocked(
    DWORD threadId, bool create) {
  auto it = queues_.find(threadId);
  if (it != queues_.end()) return it->second;
  if (!create) return nullptr;
  auto queue = std::make_shared<Queue>();
  queue->threadId = threadId;
  queues_.emplace(threadId, queue);
  return queue;
}

HANDLE PortableSystem::CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T,
                                    LPTHREAD_START_ROUTINE start,
                                    LPVOID parameter, DWORD flags,
                                    LPDWORD threadId) {
  return Logged(
      "CreateThread",
      [&] {
        return "flags=" + HexText(flags) + ", threadId=" +
               (threadId != nullptr ? HexText(*threadId) : std::string("null"));
      },
      [&]() -> HANDLE {
        if (start == nullptr || flags != 0) {
          // Suspended creation and the other flags are not simulated.
          SetLastError(start == nullptr ? ERROR_INVALID_PARAMETER
                                        : kErrorInvalidFlags);
          return nullptr;
        }
        std::vector<std::thread> finished;
        HANDLE result = nullptr;
        DWORD id = 0;
        DWORD error = ERROR_NOT_ENOUGH_MEMORY;
        {
          std::lock_guard<std::mutex> lock(mu_);
          finished = TakeJoinableLocked();
          const DWORD injected =
              InjectedFailureLocked(InjectedFailure::ThreadCreation);
          if (injected != 0) {
            error = injected;
          } else if (!shutting_down_) {
            auto record = std::make_shared<ThreadRecord>();
            record->id = NewThreadId();
            record->handle = NewHandleLocked();
            // Its message queue comes with its first message or window call.
            try {
              record->thread = std::thread([this, record, start, parameter] {
                t_thread_id = record->id;
                const DWORD code = start(parameter);
                ThreadEnded(record, code);
              });
              thread_handles_.emplace(
                  reinterpret_cast<std::uintptr_t>(record->handle), record);
              threads_.push_back(record);
              ++threads_running_;
              result = record->handle;
              id = record->id;
            } catch (...) {
              ReleaseHandleLocked(record->handle);
            }
          }
        }
        JoinAll(finished);
        if (result == nullptr) {
          SetLastError(error);
          return nullptr;
        }
        if (threadId != nullptr) *threadId = id;
        return result;
      });
}

void PortableSystem::ThreadEnded(const std::shared_ptr<ThreadRecord>& thread,
                                 DWORD code) {
  std::lock_guard<std::mutex> lock(mu_);
  thread->ended = true;
  thread->exitCode = code;
  --threads_running_;
  // Its queue and windows go with it; whoever waits for a message sent to
  // one of them stops waiting.
  auto queue = queues_.find(thread->id);
  if (queue != queues_.end()) {
    CancelSentLocked(*queue->second, nullptr);
    queues_.erase(queue);
  }
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (it->second.threadId == thread->id) {
      it = windows_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<std::thread> PortableSystem::TakeJoinableLocked() {
  std::vector<std::thread> result;
  const auto self = std::this_thread::get_id();
  for (auto it = threads_.begin(); it != threads_.end();) {
    ThreadRecord& record = **it;
    if (record.ended && !record.handleOpen && record.thread.joinable() &&
        record.thread.get_id() != self) {
      result.push_back(std::move(record.thread));
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
  return result;
}

void PortableSystem::JoinAll(std::vector<std::thread>& threads) {
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

BOOL PortableSystem::CloseHandle(HANDLE handle) {
  return Logged(
      "CloseHandle", [&] { return "handle=" + HandleText(handle); },
      [&]() -> BOOL {
        std::vector<std::thread> finished;
        bool isThread = false;
        {
          std::lock_guard<std::mutex> lock(mu_);
          auto it =
              thread_handles_.find(reinterpret_cast<std::uintptr_t>(handle));
          if (it != thread_handles_.end()) {
            isThread = true;
            it->second->handleOpen = false;
            thread_handles_.erase(it);
            ReleaseHandleLocked(handle);
            finished = TakeJoinableLocked();
          }
        }
        if (!isThread) return CloseOtherHandle(handle);
        JoinAll(finished);
        return 1;
      });
}

DWORD PortableSystem::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(mu_);
  auto it = thread_handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == thread_handles_.end()) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::shared_ptr<ThreadRecord> thread = it->second;
  auto ended = [&thread] { return thread->ended; };
  const auto deadline = milliseconds == INFINITE
                            ? std::chrono::steady_clock::time_point::max()
                            : std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(milliseconds);
  return PollUntil(lock, deadline, ended) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL PortableSystem::PostThreadMessageA(DWORD threadId, UINT message,
                                        WPARAM wParam, LPARAM lParam) {
  return Logged(
      "PostThreadMessageA",
      [&] {
        return "thread=" + HexText(threadId) + ", message=" + HexText(message) +
               ", wParam=" + HexText(wParam);
      },
      [&]() -> BOOL {
        std::unique_lock<std::mutex> lock(mu_);
        std::shared_ptr<Queue> queue = QueueLocked(threadId, false);
        if (queue == nullptr) {
          lock.unlock();
          SetLastError(ERROR_INVALID_THREAD_ID);
          return 0;
        }
        MSG msg{};
        msg.message = message;
        msg.wParam = wParam;
        msg.lParam = lParam;
        queue->posted.push_back(msg);
        queue->wake.notify_all();
        return 1;
      });
}

void PortableSystem::PostQuitMessage(int exitCode) {
  std::lock_guard<std::mutex> lock(mu_);
  std::shared_ptr<Queue> queue = QueueLocked(CurrentThreadId(), true);
  queue->quitPending = true;
  queue->quitCode = exitCode;
  queue->wake.notify_all();
}

BOOL PortableSystem::GetMessageA(LPMSG message, HWND window, UINT filterMin,
                                 UINT filterMax) {
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (window != nullptr && FindWindowLocked(window) == nullptr) {
    lock.unlock();
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::shared_ptr<Queue> queue = QueueLocked(CurrentThreadId(), true);
  auto quit = [message](int code) {
    *message = MSG{};
    message->message = WM_QUIT;
    message->wParam = static_cast<WPARAM>(code);
    return 0;
  };
  for (;;) {
    if (shutting_down_) return quit(0);
    // Sent messages are delivered first, by calling the procedure here,
    // and do not end the wait.
    if (RunSentLocked(*queue, lock)) continue;
    auto posted = std::find_if(
        queue->posted.begin(), queue->posted.end(), [&](const MSG& m) {
          return (window == nullptr || m.hwnd == window) &&
                 Matches(m.message, filterMin, filterMax);
        });
    if (posted != queue->posted.end()) {
      *message = *posted;
      queue->posted.erase(posted);
      return message->message == WM_QUIT ? 0 : 1;
    }
    if (queue->quitPending) {
      queue->quitPending = false;
      return quit(queue->quitCode);
    }
    queue->wake.wait(lock);
  }
}

BOOL PortableSystem::TranslateMessage(const MSG*) {
  // No keyboard: there is never a character message to make.
  return 0;
}

LRESULT PortableSystem::DispatchMessageA(const MSG* message) {
  if (message == nullptr || message->hwnd == nullptr) return 0;
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Window* target = FindWindowLocked(message->hwnd);
    if (target != nullptr) proc = target->proc;
  }
  if (proc == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return proc(message->hwnd, message->message, message->wParam,
              message->lParam);
}

LRESULT PortableSystem::DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

// --- Window classes and windows -------------------------------------------

const PortableSystem::WindowClass* PortableSystem::FindClassLocked(
    LPCSTR className, HINSTANCE instance) const {
  if (className == nullptr) return nullptr;
  const bool atom = IsAtom(className);
  const std::string key = atom ? std::string() : Lower(className);
  for (const WindowClass& c : classes_) {
    if (c.instance != instance) continue;
    if (atom ? c.atom == static_cast<ATOM>(
                             reinterpret_cast<std::uintptr_t>(className))
             : c.key == key) {
      return &c;
    }
  }
  return nullptr;
}

PortableSystem::Window* PortableSystem::FindWindowLocked(HWND window) {
  auto it = windows_.find(reinterpret_cast<std::uintptr_t>(window));
  return it == windows_.end() ? nullptr : &it->second;
}

ATOM PortableSystem::RegisterClassExA(const WNDCLASSEXA* windowClass) {
  return Logged(
      "RegisterClassExA",
      [&] {
        return "class=" + (windowClass != nullptr
                               ? ClassNameText(windowClass->lpszClassName)
                               : std::string("null"));
      },
      [&]() -> ATOM {
        if (windowClass == nullptr ||
            windowClass->cbSize != sizeof(WNDCLASSEXA) ||
            windowClass->lpszClassName == nullptr ||
            IsAtom(windowClass->lpszClassName) ||
            windowClass->lpszClassName[0] == '\0' ||
            windowClass->lpfnWndProc == nullptr ||
            windowClass->cbClsExtra < 0 || windowClass->cbWndExtra < 0) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return 0;
        }
        std::unique_lock<std::mutex> lock(mu_);
        QueueLocked(CurrentThreadId(), true);
        if (FindClassLocked(windowClass->lpszClassName,
                            windowClass->hInstance) != nullptr) {
          lock.unlock();
          SetLastError(ERROR_CLASS_ALREADY_EXISTS);
          return 0;
        }
        WindowClass c;
        c.name = windowClass->lpszClassName;
        c.key = Lower(windowClass->lpszClassName);
        c.instance = windowClass->hInstance;
        c.proc = windowClass->lpfnWndProc;
        c.atom = next_atom_++;
        classes_.push_back(c);
        return c.atom;
      });
}

BOOL PortableSystem::UnregisterClassA(LPCSTR className, HINSTANCE instance) {
  return Logged(
      "UnregisterClassA", [&] { return "class=" + ClassNameText(className); },
      [&]() -> BOOL {
        std::unique_lock<std::mutex> lock(mu_);
        const WindowClass* found = FindClassLocked(className, instance);
        DWORD error = 0;
        if (found == nullptr) {
          error = kErrorClassDoesNotExist;
        } else {
          for (const auto& [handle, w] : windows_) {
            if (w.classKey == found->key &&
                w.classInstance == found->instance) {
              error = kErrorClassHasWindows;
              break;
            }
          }
        }
        if (error != 0) {
          lock.unlock();
          SetLastError(error);
          return 0;
        }
        classes_.erase(classes_.begin() + (found - classes_.data()));
        return 1;
      });
}

HWND PortableSystem::CreateWindowExA(DWORD, LPCSTR className, LPCSTR windowName,
                                     DWORD style, int, int, int, int,
                                     HWND parent, HMENU, HINSTANCE instance,
                                     LPVOID) {
  return Logged(
      "CreateWindowExA",
      [&] {
        return "class=" + ClassNameText(className) +
               ", title=" + StringText(windowName);
      },
      [&]() -> HWND {
        std::unique_lock<std::mutex> lock(mu_);
        QueueLocked(CurrentThreadId(), true);
        const WindowClass* c = FindClassLocked(className, instance);
        DWORD error = 0;
        if (c == nullptr) {
          error = kErrorCannotFindWndClass;
        } else if (parent != nullptr && FindWindowLocked(parent) == nullptr) {
          error = ERROR_INVALID_WINDOW_HANDLE;
        } else {
          error = InjectedFailureLocked(InjectedFailure::WindowCreation);
        }
        if (error != 0) {
          lock.unlock();
          SetLastError(error);
          return nullptr;
        }
        Window w;
        w.className = c->name;
        w.classKey = c->key;
        w.classInstance = c->instance;
        w.title = windowName != nullptr ? windowName : "";
        w.visible = (style & kWsVisible) != 0;
        w.threadId = CurrentThreadId();
        w.proc = c->proc;
        const std::uintptr_t value = next_window_;
        next_window_ += 0x10;
        windows_.emplace(value, std::move(w));
        return reinterpret_cast<HWND>(value);
      });
}

BOOL PortableSystem::ShowWindow(HWND window, int command) {
  std::unique_lock<std::mutex> lock(mu_);
  Window* w = FindWindowLocked(window);
  if (w == nullptr) {
    lock.unlock();
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  const bool wasVisible = w->visible;
  w->visible = command != SW_HIDE;
  return wasVisible ? 1 : 0;
}

BOOL PortableSystem::UpdateWindow(HWND window) {
  std::unique_lock<std::mutex> lock(mu_);
  if (FindWindowLocked(window) == nullptr) {
    lock.unlock();
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return 1;
}

void PortableSystem::CancelSentLocked(Queue& queue, HWND window) {
  for (auto it = queue.sent.begin(); it != queue.sent.end();) {
    if (window == nullptr || (*it)->window == window) {
      (*it)->cancelled = true;
      it = queue.sent.erase(it);
    } else {
      ++it;
    }
  }
}

void PortableSystem::RemoveWindowLocked(HWND window) {
  auto it = windows_.find(reinterpret_cast<std::uintptr_t>(window));
  if (it == windows_.end()) return;
  std::shared_ptr<Queue> queue = QueueLocked(it->second.threadId, false);
  if (queue != nullptr) CancelSentLocked(*queue, window);
  windows_.erase(it);
}

BOOL PortableSystem::DestroyWindow(HWND window) {
  return Logged(
      "DestroyWindow", [&] { return "window=" + HandleText(window); },
      [&]() -> BOOL {
        std::unique_lock<std::mutex> lock(mu_);
        Window* w = FindWindowLocked(window);
        DWORD error = 0;
        if (w == nullptr) {
          error = ERROR_INVALID_WINDOW_HANDLE;
        } else if (w->threadId != CurrentThreadId()) {
          // Only the owning thread may destroy a window.
          error = ERROR_ACCESS_DENIED;
        }
        if (error != 0) {
          lock.unlock();
          SetLastError(error);
          return 0;
        }
        if (w->destroying) return 1;
        w->destroying = true;
        WNDPROC proc = w->proc;
        lock.unlock();
        proc(window, WM_DESTROY, 0, 0);
        lock.lock();
        RemoveWindowLocked(window);
        return 1;
      });
}

std::vector<PortableSystem::WindowSnapshot> PortableSystem::Windows() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<WindowSnapshot> result;
  for (const auto& [value, w] : windows_) {
    WindowSnapshot s;
    s.window = reinterpret_cast<HWND>(value);
    s.className = w.className;
    s.title = w.title;
    s.visible = w.visible;
    s.threadId = w.threadId;
    result.push_back(std::move(s));
  }
  return result;
}

PortableSystem::UserCounters PortableSystem::Counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  UserCounters c;
  c.threadsRunning = threads_running_;
  c.windows = static_cast<int>(windows_.size());
  c.notifications = static_cast<int>(notifications_.size());
  return c;
}

// --- Device notifications -------------------------------------------------

HDEVNOTIFY PortableSystem::RegisterDeviceNotificationA(HANDLE recipient,
                                                       LPVOID filter,
                                                       DWORD flags) {
  return Logged(
      "RegisterDeviceNotificationA",
      [&] {
        return "window=" + HandleText(recipient) +
               ", class=" + FilterClassText(filter) +
               ", flags=" + HexText(flags);
      },
      [&]() -> HDEVNOTIFY {
        if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || filter == nullptr) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return nullptr;
        }
        // The filter is read as bytes: the caller's record need not be aligned.
        DEV_BROADCAST_HDR header;
        std::memcpy(&header, filter, sizeof(header));
        if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
            header.dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
          SetLastError(ERROR_INVALID_DATA);
          return nullptr;
        }
        Notification n;
        n.window = static_cast<HWND>(recipient);
        std::memcpy(
            &n.classGuid,
            static_cast<const char*>(filter) +
                offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
            sizeof(GUID));
        std::unique_lock<std::mutex> lock(mu_);
        if (FindWindowLocked(n.window) == nullptr) {
          lock.unlock();
          SetLastError(ERROR_INVALID_WINDOW_HANDLE);
          return nullptr;
        }
        const std::uintptr_t value = next_notification_;
        next_notification_ += 8;
        notifications_.emplace(value, n);
        return reinterpret_cast<HDEVNOTIFY>(value);
      });
}

BOOL PortableSystem::UnregisterDeviceNotification(HDEVNOTIFY notification) {
  return Logged(
      "UnregisterDeviceNotification",
      [&] { return "notification=" + HandleText(notification); },
      [&]() -> BOOL {
        std::unique_lock<std::mutex> lock(mu_);
        if (notifications_.erase(
                reinterpret_cast<std::uintptr_t>(notification)) == 0) {
          lock.unlock();
          SetLastError(ERROR_INVALID_HANDLE);
          return 0;
        }
        return 1;
      });
}

bool PortableSystem::SendAndWait(
    HWND window, UINT message, WPARAM wParam,
    const std::shared_ptr<std::vector<std::uint32_t>>& record) {
  const auto lParam = reinterpret_cast<LPARAM>(record->data());
  std::unique_lock<std::mutex> lock(mu_);
  Window* w = FindWindowLocked(window);
  if (w == nullptr) return false;
  if (w->threadId == CurrentThreadId()) {
    // Sent from the window's own thread: a plain call.
    WNDPROC proc = w->proc;
    lock.unlock();
    proc(window, message, wParam, lParam);
    return true;
  }
  std::shared_ptr<Queue> queue = QueueLocked(w->threadId, false);
  if (queue == nullptr) return false;
  auto sent = std::make_shared<SentMessage>();
  sent->window = window;
  sent->message = message;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->record = record;
  queue->sent.push_back(sent);
  queue->wake.notify_all();
  // While waiting, messages sent to this thread's own windows are
  // delivered, as Windows does, so two threads sending to each other's
  // windows do not wait for each other.
  std::shared_ptr<Queue> own = QueueLocked(CurrentThreadId(), false);
  const auto deadline = std::chrono::steady_clock::now() + DeliveryTimeout();
  while (!sent->done && !sent->cancelled) {
    if (own != nullptr && RunSentLocked(*own, lock)) continue;
    if (std::chrono::steady_clock::now() >= deadline) break;
    Pause(lock);
  }
  // Not delivered in time: it must not run later.
  if (!sent->done) sent->cancelled = true;
  return sent->done;
}

bool PortableSystem::RunSentLocked(Queue& queue,
                                   std::unique_lock<std::mutex>& lock) {
  if (queue.sent.empty()) return false;
  std::shared_ptr<SentMessage> sent = queue.sent.front();
  queue.sent.pop_front();
  if (sent->cancelled) return true;
  Window* target = FindWindowLocked(sent->window);
  if (target == nullptr) {
    sent->cancelled = true;
    return true;
  }
  WNDPROC proc = target->proc;
  lock.unlock();
  proc(sent->window, sent->message, sent->wParam, sent->lParam);
  lock.lock();
  sent->done = true;
  return true;
}

int PortableSystem::BroadcastDeviceInterfaceChange(const GUID& classGuid,
                                                   WPARAM event,
                                                   const std::string& path) {
  // DEV_BROADCAST_DEVICEINTERFACE_A: size, type, reserved, class, then the
  // zero-terminated path; dbcc_size counts the whole record.
  const std::size_t nameOffset =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
  const std::size_t size = std::max(nameOffset + path.size() + 1,
                                    sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
  auto record =
      std::make_shared<std::vector<std::uint32_t>>((size + 3) / 4, 0u);
  auto* bytes = reinterpret_cast<char*>(record->data());
  DEV_BROADCAST_HDR header{};
  header.dbch_size = static_cast<DWORD>(size);
  header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(bytes, &header, sizeof(header));
  std::memcpy(bytes + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
              &classGuid, sizeof(GUID));
  std::memcpy(bytes + nameOffset, path.c_str(), path.size() + 1);

  std::vector<HWND> targets;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [value, n] : notifications_) {
      if (SameGuid(n.classGuid, classGuid)) targets.push_back(n.window);
    }
  }
  int delivered = 0;
  for (HWND window : targets) {
    if (SendAndWait(window, WM_DEVICECHANGE, event, record)) ++delivered;
  }
  return delivered;
}

// --- Shutdown -------------------------------------------------------------

void PortableSystem::Shutdown() {
  std::vector<std::thread> joinable;
  {
    std::unique_lock<std::mutex> lock(mu_);
    shutting_down_ = true;
    for (auto& [id, queue] : queues_) queue->wake.notify_all();
    const auto allEnded = [this] {
      return std::all_of(
          threads_.begin(), threads_.end(),
          [](const std::shared_ptr<ThreadRecord>& t) { return t->ended; });
    };
    if (!PollUntil(lock, std::chrono::steady_clock::now() + ShutdownLimit(),
                   allEnded)) {
      std::fprintf(stderr,
                   "a thread created through the simulated system did not "
                   "end within %lld ms of its shutdown\n",
                   static_cast<long long>(ShutdownLimit().count()));
      std::abort();
    }
    for (auto& thread : threads_) {
      if (thread->thread.joinable()) {
        joinable.push_back(std::move(thread->thread));
      }
    }
    threads_.clear();
  }
  JoinAll(joinable);
}

// --- Device setup sets ---------------------------------------------------

namespace {

// The BOOL answer of a call whose outcome is `error`: 1 for 0, else 0 with
// `error` set as the last error.
BOOL Answer(System& system, DWORD error) {
  if (error == 0) return 1;
  system.SetLastError(error);
  return 0;
}

}  // namespace

HDEVINFO PortableSystem::AddDeviceSetLocked(const GUID& interfaceClass,
                                            std::vector<DeviceRecord> devices) {
  HANDLE handle = NewHandleLocked();
  sets_.Add(handle, interfaceClass, std::move(devices));
  return handle;
}

BOOL PortableSystem::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return Logged(
      "SetupDiDestroyDeviceInfoList", [&] { return "set=" + HandleText(set); },
      [&]() -> BOOL {
        std::lock_guard<std::mutex> lock(mu_);
        if (!sets_.Remove(set)) return Answer(*this, ERROR_INVALID_HANDLE);
        ReleaseHandleLocked(set);
        return 1;
      });
}

BOOL PortableSystem::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index,
                                           PSP_DEVINFO_DATA info) {
  return Logged(
      "SetupDiEnumDeviceInfo",
      [&] {
        return "set=" + HandleText(set) + ", index=" + std::to_string(index);
      },
      [&]() -> BOOL {
        std::lock_guard<std::mutex> lock(mu_);
        return Answer(*this, sets_.EnumDeviceInfo(set, index, info));
      });
}

BOOL PortableSystem::SetupDiGetDeviceRegistryPropertyA(
    HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property, PDWORD regType,
    PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
  return Logged(
      "SetupDiGetDeviceRegistryPropertyA",
      [&] {
        return "set=" + HandleText(set) + ", device=" + MemberText(info) +
               ", property=" + std::to_string(property) +
               ", size=" + std::to_string(bufferSize);
      },
      [&]() -> BOOL {
        std::lock_guard<std::mutex> lock(mu_);
        return Answer(*this, sets_.GetDeviceRegistryProperty(
                                 set, info, property, regType, buffer,
                                 bufferSize, requiredSize));
      });
}

BOOL PortableSystem::SetupDiEnumDeviceInterfaces(
    HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* classGuid, DWORD index,
    PSP_DEVICE_INTERFACE_DATA data) {
  return Logged(
      "SetupDiEnumDeviceInterfaces",
      [&] {
        return "set=" + HandleText(set) + ", device=" + MemberText(info) +
               ", class=" + GuidText(classGuid) +
               ", index=" + std::to_string(index);
      },
      [&]() -> BOOL {
        std::lock_guard<std::mutex> lock(mu_);
        return Answer(
            *this, sets_.EnumDeviceInterfaces(set, info, classGuid, index, data,
                                              FailingInterfaceIndexLocked()));
      });
}

BOOL PortableSystem::SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
    PDWORD requiredSize, PSP_DEVINFO_DATA info) {
  return Logged(
      "SetupDiGetDeviceInterfaceDetailA",
      [&] {
        return "set=" + HandleText(set) + ", interface=" + MemberText(data) +
               ", size=" + std::to_string(detailSize);
      },
      [&]() -> BOOL {
        std::lock_guard<std::mutex> lock(mu_);
        return Answer(
            *this, sets_.GetDeviceInterfaceDetail(set, data, detail, detailSize,
                                                  requiredSize, info));
      });
}

}  // namespace os
