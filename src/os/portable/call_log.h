// Bounded logs for the systems that answer the platform calls themselves:
// a ring of records that keeps the latest ones and counts what it dropped,
// and the call log of PortableSystem (a platform call with its arguments and
// result, one record each).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "os/win_types.h"

namespace os {

// The latest records, at most Limit() of them; older ones are dropped and
// counted. It takes no lock.
template <typename T>
class Ring {
 public:
  static constexpr std::size_t kDefaultLimit = 65536;

  void Push(T record) {
    if (limit_ == 0) {
      ++dropped_;
      return;
    }
    if (records_.size() >= limit_) {
      records_.pop_front();
      ++dropped_;
    }
    records_.push_back(std::move(record));
  }
  // A smaller limit drops the oldest records at once.
  void SetLimit(std::size_t limit) {
    limit_ = limit;
    while (records_.size() > limit_) {
      records_.pop_front();
      ++dropped_;
    }
  }
  std::size_t Limit() const { return limit_; }
  std::vector<T> Records() const { return {records_.begin(), records_.end()}; }
  // Forgets the records and the count of dropped ones.
  void Clear() {
    records_.clear();
    dropped_ = 0;
  }
  std::uint64_t Dropped() const { return dropped_; }

 private:
  std::deque<T> records_;
  std::size_t limit_ = kDefaultLimit;
  std::uint64_t dropped_ = 0;
};

// One platform call: its name, its arguments as text ("name=value" pairs
// joined by ", "), what it returned, and the last error it set when it
// failed.
struct CallRecord {
  std::string name;
  std::string arguments;
  std::string result;
  bool ok = false;
  DWORD error = 0;
};

// The call log: off by default, bounded, with a lock of its own (so that it
// may be written with or without the system's lock held).
class CallLog {
 public:
  bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
  void SetEnabled(bool enabled) { enabled_.store(enabled); }
  void Add(CallRecord record) {
    std::lock_guard<std::mutex> lock(mu_);
    records_.Push(std::move(record));
  }
  std::vector<CallRecord> Records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_.Records();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    records_.Clear();
  }
  void SetLimit(std::size_t limit) {
    std::lock_guard<std::mutex> lock(mu_);
    records_.SetLimit(limit);
  }
  std::uint64_t Dropped() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_.Dropped();
  }

 private:
  std::atomic<bool> enabled_{false};
  mutable std::mutex mu_;
  Ring<CallRecord> records_;
};

// Argument and result texts of the call log.
std::string HexText(std::uintptr_t value);   // "0x1f"
std::string HandleText(const void* handle);  // "0x104", INVALID_HANDLE_VALUE
std::string GuidText(const GUID* guid);      // "{4d1e55b2-...-001111000030}"
std::string StringText(const char* text);    // the text, or "null"
// A window class name, or "#<atom>" for a class given by its atom.
std::string ClassNameText(const char* className);

// The result text of a call's return value, and whether it means success
// (a handle that is neither null nor INVALID_HANDLE_VALUE, a nonzero number).
template <typename R>
std::string ResultText(R result) {
  if constexpr (std::is_pointer_v<R>) {
    return HandleText(reinterpret_cast<const void*>(result));
  } else {
    return HexText(static_cast<std::uintptr_t>(result));
  }
}
template <typename R>
bool Succeeded(R result) {
  if constexpr (std::is_pointer_v<R>) {
    return result != nullptr &&
           reinterpret_cast<const void*>(result) != INVALID_HANDLE_VALUE;
  } else {
    return result != 0;
  }
}

}  // namespace os
