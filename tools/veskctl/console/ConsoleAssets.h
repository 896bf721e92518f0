// The console's page: the files of tools/veskctl/console, compiled in so that veskctl serves them
// wherever it is copied.
#pragma once

#include <string>
#include <string_view>

namespace veskctl {

struct ConsoleAsset {
  std::string_view name;  // "index.html", "app.js"
  std::string_view contentType;
  std::string_view content;
};

// The file `name`, or null when the page has none by that name.
const ConsoleAsset* FindConsoleAsset(const std::string& name);

}  // namespace veskctl
