// Wiping memory that held a request to the driver.
#pragma once

#include <cstddef>

namespace Vesk {

// Overwrites `length` bytes at `data` with zeros. Unlike memset before a free, the compiler may not
// drop these stores: they go through a volatile pointer in a function of its own.
void SecureZero(void* data, std::size_t length) noexcept;

}  // namespace Vesk
