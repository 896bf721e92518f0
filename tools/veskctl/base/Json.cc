#include "tools/veskctl/base/Json.h"

#include "tools/veskctl/base/Names.h"

namespace veskctl {

nlohmann::json SuccessStatus() { return {{"ok", true}}; }

nlohmann::json FailureStatus(const std::string& kind, const std::string& message,
                             std::uint32_t status, std::uint32_t errorCode) {
  nlohmann::json failure = {{"ok", false},
                            {"kind", kind},
                            {"message", message},
                            {"status", status},
                            {"errorCode", errorCode}};
  if (kind == "VeskException") {
    const DriverStatusWords words = WordsForDriverStatus(status);
    failure["statusName"] = words.name;
    failure["statusText"] = words.text;
  }
  return failure;
}

}  // namespace veskctl
