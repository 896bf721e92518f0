// What veskctl derives from its own table of commands and options: shell completion, and the
// suggestion for a mistyped command.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace veskctl {

// A bash completion script for every visible command and option (`veskctl completion bash`).
std::string BashCompletion(const CLI::App& app);

// When the command line names a command that does not exist: "unknown command 'shwo'; did you
// mean 'show'?". Empty when every command word is known.
std::string UnknownCommand(const CLI::App& app, int argc, char** argv);

}  // namespace veskctl
