// Bytes of a PIN or key in the command-line program: their memory is wiped
// before it is given back. The tool has its own helper, as it reaches the
// library only through the public calls and the platform seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vantor::tool::cli::internal {

// Sets `n` bytes at `p` to zero; the stores through a volatile pointer are
// not left out.
inline void WipeMemory(void* p, std::size_t n) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  while (n-- != 0) *bytes++ = 0;
}

// Wipes each block before it frees it.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    WipeMemory(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const WipingAllocator<U>&) const noexcept {
    return false;
  }
};

// A PIN or key, or the line it was read from: every block it held is wiped
// when it grows, and when it and its copies go.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

}  // namespace vantor::tool::cli::internal
