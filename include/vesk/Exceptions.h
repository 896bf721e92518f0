// The native exceptions. TaluException: a transport failure, a lock or device failure, or an
// answer that breaks the library's limits. VeskException: the driver ran the request and answered
// with a non-zero status, which it carries.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "vesk/Types.h"

namespace Vesk {

class TaluException : public std::exception {
 public:
  // Takes the error code from the calling thread's last Windows error at this moment.
  explicit TaluException(std::string_view message);
  TaluException(std::string_view message, std::uint32_t errorCode);
  // Owns the text; for the one message composed at run time.
  static TaluException Owning(std::string message, std::uint32_t errorCode);

  TaluException(const TaluException&) = default;
  TaluException& operator=(const TaluException&) = default;

  std::string_view Message() const { return message; }
  std::uint32_t ErrorCode() const { return errorCode; }
  const char* what() const noexcept override;

 private:
  // Most messages are constant texts held by view; an owned text lives as long as any copy.
  std::shared_ptr<const std::string> ownedMessage;
  std::string_view message;
  std::uint32_t errorCode;
};

class VeskException : public TaluException {
 public:
  VeskException(std::string_view message, vesk_status status);
  VeskException(const VeskException&) = default;
  VeskException& operator=(const VeskException&) = default;

  vesk_status Status() const { return static_cast<vesk_status>(ErrorCode() & 0xFFFF); }
};

}  // namespace Vesk
