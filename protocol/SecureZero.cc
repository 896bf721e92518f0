#include "protocol/SecureZero.h"

#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__)
#include <windows.h>
#endif

namespace Vesk {

void SecureZero(void* data, std::size_t length) noexcept {
  if (length == 0) return;
#if defined(_MSC_VER) && !defined(__clang__)
  SecureZeroMemory(data, length);
#else
  // A plain memset, at the speed of the library's, that the compiler may not drop as a store to
  // memory about to be freed: the empty statement after it claims to read that memory.
  std::memset(data, 0, length);
  __asm__ __volatile__("" : : "r"(data) : "memory");
#endif
}

}  // namespace Vesk
