// One path from a request to its outcome. Every command that reads or acts on the machine, typed
// at a shell or sent by the console (which runs veskctl with --console), goes through CarryOut:
// it opens the machine (taking the state file's lock), reads it, resolves what the user named,
// predicts, confirms (a question at a terminal, --force, or the console's confirm value checked
// against this run's own prediction), acts, saves and journals, all under one hold of the lock, so
// that the process that acts is the one that checked and nobody changes the machine in between.
// (`wait`, which acts on nothing, lets the machine go between its looks: Session::LetGo.)
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/veskctl/base/Program.h"  // kExitNotConfirmed
#include "tools/veskctl/cli/Commands.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/journal/Journal.h"

namespace veskctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// The global options of a run.
struct RunOptions {
  std::string statePath;
  bool json = false;
  bool dryRun = false;
  bool force = false;
  bool system = false;             // work that endangers the system volume is confirmed on purpose
  double lockTimeoutSeconds = -1;  // wait for the state file's lock as long as it takes
  bool readOnly = false;           // the command only reads: no lock, nothing created
  std::uint64_t journalMaxBytes = Journal::kDefaultMaxBytes;
  bool simulate = true;  // the simulated machine, or the RAID driver
  std::string command;   // as typed, subcommands and all: "delete-volume"
  // The console runs the command: its key (the first line of standard input) makes the confirm
  // value a dry run returns, and `confirm`, that value, is what lets destructive work go ahead.
  // The second line names the person who asked, for the journal.
  bool console = false;
  std::string consoleKey;
  std::string consoleUser;
  std::string confirm;
  // `check`: every failure is "could not tell" (exit 3, UNKNOWN), and --quiet prints nothing.
  bool healthCheck = false;
  bool quiet = false;
};

std::filesystem::path StatePath(const RunOptions& options);

// Prints one JSON answer: the schema version, `status` and the fields of `body`.
void PrintJson(const nlohmann::json& status, const nlohmann::json& body);

// Reports a failure as --json or text shows it and returns `exitCode`. `audit`, when the run is
// journaled, gets the failure as --json shows it; a driver's refusal is the outcome "refused", any
// other failure "failed" unless the run said otherwise.
int Fail(const RunOptions& options, const std::string& kind, const std::string& message,
         std::uint32_t status, std::uint32_t errorCode, int exitCode,
         const nlohmann::json& extra = nlohmann::json::object(), CommandAudit* audit = nullptr);

// The commands that run their own loop rather than the one answer of CarryOut (monitor, events,
// serve) fail the same way.
int Guarded(const RunOptions& options, const std::function<int()>& body);

// Opens the session, reads the topology, plans, predicts, confirms, sends, saves, journals (when
// `audit` is given) and reports; returns the exit code. A journaled run leaves its intent beside
// the journal before it sends, and does not send when it cannot (journal/Intent.h). A run that
// cannot open the state file or finds no controller acted on nothing and is not journaled.
// `startsOver` (`sim reset`) takes a saved machine that cannot be used as unknown rather than fail.
int CarryOut(const RunOptions& options, const Planner& planner, bool startsOver,
             CommandAudit* audit = nullptr);

// What the console's confirmation binds: the request as it resolved the names typed (element
// identifiers), the prediction, which holds the state of each element it changes and what is
// lost, and whether --system was given. The key keeps it from being made up without a dry run.
std::string ConfirmValue(const nlohmann::json& request, const nlohmann::json& prediction,
                         bool system, const std::string& key);

}  // namespace veskctl
