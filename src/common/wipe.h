// Wiping memory that held a PIN or key, in a way the compiler keeps even
// when the memory is not read again.
#pragma once

#include <cstddef>

namespace vantor::common {

// Sets `n` bytes at `p` to zero; nothing for a null `p` or `n` of 0.
void SecureWipe(void* p, std::size_t n);

// Wipes a buffer when it goes out of scope.
class WipeOnExit {
 public:
  WipeOnExit(void* p, std::size_t n) : p_(p), n_(n) {}
  ~WipeOnExit() { SecureWipe(p_, n_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* p_;
  std::size_t n_;
};

}  // namespace vantor::common
