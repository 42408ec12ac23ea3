// The per-token hold: a fair, re-entrant lock for each table entry that a
// public call keeps for its whole command sequence. Taking it when nobody
// holds or waits costs two atomic operations, and taking it again on the
// holding thread none; waiters queue by ticket, so they get the token in the
// order they asked. The state of the holds is fixed when the program is
// loaded; the mutexes and condition variables that waiters sleep on are made
// the first time anyone has to wait, away from the uncontended path.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "device/device.h"
#include "device/internal.h"

namespace vantor::device {
namespace {

struct HoldState {
  std::atomic<std::uint32_t> next{0};     // the ticket the next caller gets
  std::atomic<std::uint32_t> serving{0};  // the ticket that holds it now
  std::atomic<std::thread::id> owner{};   // the holding thread
  std::uint32_t depth = 0;                // touched by the holder only
  std::atomic<std::uint32_t> waiters{0};
};
HoldState g_holds[kTableEntries];

HoldState& HoldOf(std::uint32_t index) {
  return g_holds[index % kTableEntries];
}

// Where the waiters of one hold sleep.
struct WaitRoom {
  std::mutex mutex;
  std::condition_variable wake;
};
WaitRoom& RoomOf(std::uint32_t index) {
  static WaitRoom rooms[kTableEntries];
  return rooms[index % kTableEntries];
}

[[gnu::noinline]] void Wait(std::uint32_t index, std::uint32_t ticket) {
  HoldState& hold = HoldOf(index);
  WaitRoom& room = RoomOf(index);
  std::unique_lock<std::mutex> lock(room.mutex);
  hold.waiters.fetch_add(1, std::memory_order_seq_cst);
  while (hold.serving.load(std::memory_order_seq_cst) != ticket) {
    room.wake.wait(lock);
  }
  hold.waiters.fetch_sub(1, std::memory_order_relaxed);
}

[[gnu::noinline]] void WakeWaiters(std::uint32_t index) {
  // A waiter counted itself under the mutex before it looked at the ticket
  // being served, and waits with the mutex released: taking the mutex here
  // means it is waiting by now, so the signal reaches it.
  WaitRoom& room = RoomOf(index);
  { std::lock_guard<std::mutex> sync(room.mutex); }
  room.wake.notify_all();
}

void Own(HoldState& hold, std::thread::id me) {
  hold.owner.store(me, std::memory_order_relaxed);
  hold.depth = 1;
}

}  // namespace

void AcquireHold(std::uint32_t index) {
  HoldState& hold = HoldOf(index);
  const std::thread::id me = std::this_thread::get_id();
  if (hold.owner.load(std::memory_order_relaxed) == me) {
    ++hold.depth;
    return;
  }
  const std::uint32_t ticket =
      hold.next.fetch_add(1, std::memory_order_relaxed);
  if (hold.serving.load(std::memory_order_acquire) != ticket) {
    Wait(index, ticket);
  }
  Own(hold, me);
}

bool TryAcquireHold(std::uint32_t index) {
  HoldState& hold = HoldOf(index);
  const std::thread::id me = std::this_thread::get_id();
  if (hold.owner.load(std::memory_order_relaxed) == me) {
    ++hold.depth;
    return true;
  }
  // Free only when nobody holds it and nobody waits: the next ticket is the
  // one being served.
  std::uint32_t ticket = hold.serving.load(std::memory_order_acquire);
  if (!hold.next.compare_exchange_strong(ticket, ticket + 1,
                                         std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    return false;
  }
  Own(hold, me);
  return true;
}

bool IsHeldByCaller(std::uint32_t index) {
  return HoldOf(index).owner.load(std::memory_order_relaxed) ==
         std::this_thread::get_id();
}

void ReleaseHold(std::uint32_t index) {
  HoldState& hold = HoldOf(index);
  if (--hold.depth != 0) return;
  hold.owner.store(std::thread::id(), std::memory_order_relaxed);
  hold.serving.fetch_add(1, std::memory_order_seq_cst);
  if (hold.waiters.load(std::memory_order_seq_cst) != 0) WakeWaiters(index);
}

}  // namespace vantor::device
