#include "tools/veskctl/base/NumberOption.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace veskctl {

CLI::Validator NumberOption(const std::string& what, bool zeroAllowed,
                            const std::string& examples) {
  const std::string accepted =
      "takes " + what + (zeroAllowed ? " (0 or more)" : " above 0") + ", such as " + examples;
  return CLI::Validator(
      [=](std::string& input) -> std::string {
        const char* begin = input.c_str();
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(begin, &end);
        const bool number = !input.empty() && end == begin + input.size() && errno == 0 &&
                            std::isfinite(value) &&
                            input.find_first_of("xXnN") == std::string::npos;
        if (number && (zeroAllowed ? value >= 0 : value > 0)) return "";
        return accepted + "; '" + input + "' is not one";
      },
      accepted);
}

}  // namespace veskctl
