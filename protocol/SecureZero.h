// Wiping memory that held a request to the driver.
#pragma once

#include <cstddef>

namespace Vesk {

// Overwrites `length` bytes at `data` with zeros. Unlike memset before a free, the compiler may not
// drop these stores: they are followed by a barrier that claims to read the memory.
void SecureZero(void* data, std::size_t length) noexcept;

}  // namespace Vesk
