#include "common/wipe.h"

#include <string.h>

namespace vantor::common {

void SecureWipe(void* p, std::size_t n) {
  if (p == nullptr || n == 0) return;
#if defined(__GLIBC__)
  explicit_bzero(p, n);
#else
  // Stores through a volatile pointer are not left out. This is what
  // SecureZeroMemory does on Windows; its header is a platform header,
  // which stays in src/os.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  while (n-- != 0) *bytes++ = 0;
#endif
}

}  // namespace vantor::common
