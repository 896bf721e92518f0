// The check every room's command puts on its numeric options (--interval, --timeout, ...).
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace veskctl {

// A check of a numeric option that says in words what it takes ("takes a number of seconds above
// 0, such as 2 or 0.5"). `what`: "a number of seconds".
CLI::Validator NumberOption(const std::string& what, bool zeroAllowed, const std::string& examples);

}  // namespace veskctl
