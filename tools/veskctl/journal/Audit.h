// The journal's records of veskctl's own runs: each configuration command carried out (who ran
// it, what it asked for, how it ended), and each end of background work a run found. Both carry
// the fields of a monitor event (element, detail, the rest null) and one object of their own;
// docs/cli.md (The journal) gives their shapes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/veskctl/journal/Journal.h"

namespace veskctl {

// What the record of one configuration command says, filled in as the run goes.
struct CommandAudit {
  std::vector<std::string> argv;     // as given, without the program's name
  std::string name;                  // "delete-volume", "sim fail-drive"
  nlohmann::json element = nullptr;  // {kind, id, name} of what it acts on, when known
  nlohmann::json request = nullptr;  // as planned; null when it got no plan
  std::string outcome = "ok";        // ok, failed, refused, cancelled or unknown
  nlohmann::json status;             // the status block --json prints
  std::string message;               // what went wrong; empty when nothing did
  int exitCode = 0;                  // none in the record when the outcome is unknown
  bool console = false;              // the console ran it for a person
  std::string consoleUser;           // who signed in to the console; empty when they are unknown
};

// The user who ran it is the process's own account (AccountName), whatever the environment says;
// SUDO_USER, when set, is recorded beside it as what sudo said of who asked.
nlohmann::json CommandRecord(const CommandAudit& audit);

// A record with the fields every journal record has; `time` and `id` come with the append.
nlohmann::json JournalRecord(const char* kind, nlohmann::json element, const std::string& detail);
// The `element` of a record: {kind, id, name}.
nlohmann::json RecordElement(const char* kind, const std::string& id, const std::string& name);
// "3 errors, 1 bad block found, all repaired"; nothing unless a verification finished (`errors` a
// number). `repaired` null: a record of a veskctl that did not say.
std::string VerifyFoundText(const nlohmann::json& errors, const nlohmann::json& badBlocks,
                            const nlohmann::json& repaired);

// The `job` objects of the journal's records, oldest first, each with its record's id and time.
nlohmann::json JobHistory(const Journal& journal);
std::string JobHistoryText(const nlohmann::json& history);  // a line each

}  // namespace veskctl
