// The managed exceptions into which native failures are translated.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "vesk/Exceptions.h"
#include "vesk_managed/Shared.h"
#include "vesk_managed/System.h"

namespace VESK_Managed {

// Any native failure that is neither a TaluException nor a VeskException.
class NativeException : public System::Exception {
 public:
  explicit NativeException(std::string message) : System::Exception(std::move(message)) {}
  explicit NativeException(const std::exception& native) : System::Exception(native.what()) {}
};

// A native TaluException: a request that failed in transport, a lock or device failure, or an
// answer outside the library's limits.
class NativeTaluException : public NativeException {
 public:
  explicit NativeTaluException(std::string message)
      : NativeException(std::move(message)), errorCode(0) {}
  explicit NativeTaluException(const Vesk::TaluException& native)
      : NativeException(std::string(native.Message())), errorCode(native.ErrorCode()) {}

  std::uint32_t ErrorCode() const { return errorCode; }

 private:
  std::uint32_t errorCode;
};

// A native VeskException: the driver ran the request and answered with a non-zero status.
class NativeVeskException : public NativeTaluException {
 public:
  explicit NativeVeskException(const Vesk::VeskException& native) : NativeTaluException(native) {}

  vesk_status Status() const { return static_cast<vesk_status>(ErrorCode() & 0xFFFF); }
};

}  // namespace VESK_Managed
