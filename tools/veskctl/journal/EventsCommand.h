// `veskctl events`: the journal's records, newest last, filtered, and followed as they come.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace veskctl {

struct EventsOptions {
  std::string since;  // a record number, a UTC time or a duration; empty: every record held
  std::vector<std::string> kinds;
  std::string element;
  bool follow = false;
  bool undelivered = false;  // list the records given up after every attempt to deliver them
  bool clear = false;        // with `undelivered`: empty that list
  // Set by main from the global options.
  std::filesystem::path journal;
  bool json = false;
};

CLI::App* AddEventsCommand(CLI::App& app, EventsOptions& options);

// Lists (and with `follow` waits for) the records. Returns the exit code; throws UsageError for
// options that do not parse and StateFileError for a journal that cannot be read.
int RunEvents(const EventsOptions& options);

// The record number after which `since` starts: "42" is record 42 on, "2026-12-07T14:00:00Z" the
// records written from then on, "10m" those of the last ten minutes (by `nowMs`).
std::uint64_t SinceToAfter(const class Journal& journal, const std::string& since,
                           std::int64_t nowMs);

}  // namespace veskctl
