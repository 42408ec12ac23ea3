// The per-token hold: a fair, re-entrant lock for each table entry that a
// public call keeps for its whole command sequence. Taking it when nobody
// holds or waits costs two atomic operations; waiters queue by ticket, so
// they get the token in the order they asked.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "device/device.h"

namespace vantor::device {
namespace {

class TokenHold {
 public:
  void Acquire() {
    const std::thread::id me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    const std::uint32_t ticket = next_.fetch_add(1, std::memory_order_relaxed);
    if (serving_.load(std::memory_order_acquire) != ticket) Wait(ticket);
    Own(me);
  }

  bool TryAcquire() {
    const std::thread::id me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return true;
    }
    // Free only when nobody holds it and nobody waits: the next ticket is
    // the one being served.
    std::uint32_t ticket = serving_.load(std::memory_order_acquire);
    if (!next_.compare_exchange_strong(ticket, ticket + 1,
                                       std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return false;
    }
    Own(me);
    return true;
  }

  void Release() {
    if (--depth_ != 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    serving_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0) {
      // A waiter counted itself under the mutex before it looked at the
      // ticket being served, and waits with the mutex released: taking the
      // mutex here means it is waiting by now, so the signal reaches it.
      { std::lock_guard<std::mutex> sync(mutex_); }
      wake_.notify_all();
    }
  }

 private:
  void Own(std::thread::id me) {
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }

  void Wait(std::uint32_t ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    while (serving_.load(std::memory_order_seq_cst) != ticket) {
      wake_.wait(lock);
    }
    waiters_.fetch_sub(1, std::memory_order_relaxed);
  }

  std::atomic<std::uint32_t> next_{0};     // the ticket the next caller gets
  std::atomic<std::uint32_t> serving_{0};  // the ticket that holds it now
  std::atomic<std::thread::id> owner_{};   // the holding thread
  std::uint32_t depth_ = 0;                // touched by the holder only
  std::atomic<std::uint32_t> waiters_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
};

TokenHold& HoldOf(std::uint32_t index) {
  static TokenHold holds[kTableEntries];
  return holds[index % kTableEntries];
}

}  // namespace

void AcquireHold(std::uint32_t index) { HoldOf(index).Acquire(); }

bool TryAcquireHold(std::uint32_t index) { return HoldOf(index).TryAcquire(); }

void ReleaseHold(std::uint32_t index) { HoldOf(index).Release(); }

}  // namespace vantor::device
