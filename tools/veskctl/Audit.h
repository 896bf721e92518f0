// The journal's records of veskctl's own runs: each configuration command carried out (who ran
// it, what it asked for, how it ended), and each end of background work a run found. Both carry
// the fields of a monitor event (element, detail, the rest null) and one object of their own;
// docs/cli.md (The journal) gives their shapes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/veskctl/Journal.h"

namespace veskctl {

struct Job;
struct Model;

// What the record of one configuration command says, filled in as the run goes.
struct CommandAudit {
  std::vector<std::string> argv;     // as given, without the program's name
  std::string name;                  // "delete-volume", "sim fail-drive"
  nlohmann::json element = nullptr;  // {kind, id, name} of what it acts on, when known
  nlohmann::json request = nullptr;  // as planned; null when it got no plan
  std::string outcome = "ok";        // ok, failed, refused or cancelled
  nlohmann::json status;             // the status block --json prints
  std::string message;               // what went wrong; empty when nothing did
  int exitCode = 0;
  // The run opened the machine and read it. One that could not (the state file locked or
  // unusable, no controller found) acted on nothing and leaves no record.
  bool reached = false;
};

// The user who ran it is USER (USERNAME on Windows), "unknown" without either.
nlohmann::json CommandRecord(const CommandAudit& audit);
nlohmann::json JobRecord(const Job& job);

// The element a request acts on: its volume, array or drive, else the volume it created (named in
// `result`), else its controller; null when it names none. Names as `before` has them.
nlohmann::json RequestElement(const nlohmann::json& request, const nlohmann::json& result,
                              const Model& before);

// The `job` objects of the journal's records, oldest first, each with its record's id and time.
nlohmann::json JobHistory(const Journal& journal);
std::string JobHistoryText(const nlohmann::json& history);  // a line each

}  // namespace veskctl
