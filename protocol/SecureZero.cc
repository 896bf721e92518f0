#include "protocol/SecureZero.h"

namespace Vesk {

void SecureZero(void* data, std::size_t length) noexcept {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = 0;
  }
}

}  // namespace Vesk
