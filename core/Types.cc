#include "vesk/Types.h"

#include <cstdio>

#include "platform/win32.h"
#include "vesk/Exceptions.h"

namespace Vesk {

bool vesk_guid::IsEmpty() const { return *this == vesk_invalid_guid; }

std::string vesk_guid::ToString() const {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(group1), static_cast<unsigned>(group2),
                static_cast<unsigned>(group3), static_cast<unsigned>(group4), group5[0], group5[1],
                group5[2], group5[3], group5[4], group5[5]);
  return text;
}

TaluException::TaluException(std::string_view message)
    : message(message), errorCode(::GetLastError()) {}

TaluException::TaluException(std::string_view message, std::uint32_t errorCode)
    : message(message), errorCode(errorCode) {}

TaluException TaluException::Owning(std::string message, std::uint32_t errorCode) {
  auto owned = std::make_shared<const std::string>(std::move(message));
  TaluException exception(*owned, errorCode);
  exception.ownedMessage = std::move(owned);
  return exception;
}

const char* TaluException::what() const noexcept {
  // Constant texts are zero-terminated literals; owned texts are std::strings.
  return ownedMessage ? ownedMessage->c_str() : message.data();
}

VeskException::VeskException(std::string_view message, vesk_status status)
    : TaluException(message, static_cast<std::uint32_t>(status)) {}

}  // namespace Vesk
