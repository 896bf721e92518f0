#include "tools/veskctl/journal/EventsCommand.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <set>

#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Stop.h"
#include "tools/veskctl/journal/Event.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/journal/Undelivered.h"

namespace veskctl {

namespace {

// What the journal holds: the watchers' events, the commands, the outcomes of background work
// and the reminders of lasting faults.
const std::set<std::string>& Kinds() {
  static const std::set<std::string> kinds = {"present",
                                              "added",
                                              "removed",
                                              "changed",
                                              "volume-degraded",
                                              "volume-failed",
                                              "volume-normal",
                                              "drive-failed",
                                              "drive-missing",
                                              "drive-smart",
                                              "spare-taken",
                                              "job-started",
                                              "job-finished",
                                              "job-failed",
                                              "controller-arrived",
                                              "controller-removed",
                                              "refresh-failed",
                                              "refresh-recovered",
                                              "program-failed",
                                              "delivery-failed",
                                              "command",
                                              "job",
                                              "reminder",
                                              "volume-data-lost"};
  return kinds;
}

// Whether a string anywhere in `value` is `wanted`.
bool Mentions(const nlohmann::json& value, const std::string& wanted) {
  if (value.is_string()) return value.get<std::string>() == wanted;
  if (value.is_structured())
    for (const auto& item : value)
      if (Mentions(item, wanted)) return true;
  return false;
}

// The element a record is about, by identifier, identifier prefix or name (drives: serial); a
// command also by what its request names.
bool About(const nlohmann::json& record, const std::string& wanted) {
  if (auto element = record.find("element"); element != record.end() && element->is_object()) {
    const std::string id = RecordField(*element, "id");
    if (id.rfind(wanted, 0) == 0 || RecordField(*element, "name") == wanted) return true;
  }
  auto command = record.find("command");
  return command != record.end() && command->is_object() && command->contains("request") &&
         Mentions((*command)["request"], wanted);
}

class Printer {
 public:
  explicit Printer(const EventsOptions& options) : options(options) {
    for (const auto& list : options.kinds) {
      std::stringstream items(list);
      for (std::string kind; std::getline(items, kind, ',');) {
        if (!Kinds().contains(kind)) {
          std::string known;
          for (const auto& k : Kinds()) known += (known.empty() ? "" : ", ") + k;
          throw UsageError("--kind: there is no record kind '" + kind + "'; the kinds are " +
                           known);
        }
        kinds.insert(kind);
      }
    }
  }

  void Print(const nlohmann::json& record) {
    if (!kinds.empty() && !kinds.contains(RecordField(record, "kind"))) return;
    if (!options.element.empty() && !About(record, options.element)) return;
    if (options.json)
      std::cout << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    else
      std::cout << RecordText(record) << "\n";
  }

 private:
  const EventsOptions& options;
  std::set<std::string> kinds;
};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::uint64_t SinceToAfter(const Journal& journal, const std::string& since, std::int64_t nowMs) {
  if (since.empty()) return 0;
  if (since.find_first_not_of("0123456789") == std::string::npos && since.size() <= 19) {
    const std::uint64_t id = std::stoull(since);
    return id == 0 ? 0 : id - 1;
  }
  if (auto at = ParseEventTime(since)) return journal.LastBefore(*at);
  // A duration: a number and its unit.
  std::size_t used = 0;
  double amount = -1;
  try {
    amount = std::stod(since, &used);
  } catch (const std::exception&) {
  }
  const std::string unit = used ? since.substr(used) : "";
  const double unitMs = unit == "s"   ? 1e3
                        : unit == "m" ? 6e4
                        : unit == "h" ? 3.6e6
                        : unit == "d" ? 8.64e7
                                      : 0;
  if (amount < 0 || unitMs == 0 || !std::isfinite(amount) || amount * unitMs > 1e15 ||
      !std::isdigit(static_cast<unsigned char>(since[0])))
    throw UsageError(
        "--since takes a record number (42), a UTC time (2026-12-07T14:00:00Z) or "
        "a duration (90s, 10m, 2h, 7d), not '" +
        since + "'");
  return journal.LastBefore(nowMs - static_cast<std::int64_t>(amount * unitMs));
}

CLI::App* AddEventsCommand(CLI::App& app, EventsOptions& options) {
  auto* events = app.add_subcommand(
      "events",
      "List the journal's records, newest last: the events monitors saw, the commands carried "
      "out (who ran them, and the outcome), the outcomes of background work and the reminders of "
      "faults that last; with --json one JSON object per line; see docs/cli.md");
  events
      ->add_option("--since", options.since,
                   "From record ID on, from a UTC TIME on (2026-12-07T14:00:00Z), or for the last "
                   "DURATION (90s, 10m, 2h, 7d)")
      ->option_text("ID|TIME|DURATION");
  events
      ->add_option("--kind", options.kinds,
                   "Only records of these kinds (repeat it or separate by commas: command, job, "
                   "reminder, volume-degraded, ...)")
      ->option_text("KIND");
  events
      ->add_option("--element", options.element,
                   "Only records about this element: identifier or its prefix, name, or serial "
                   "number")
      ->option_text("ELEMENT");
  events->add_flag("--follow", options.follow,
                   "Then wait for new records and list them as they come, until Ctrl+C or "
                   "SIGTERM (exit 0)");
  auto* undelivered = events->add_flag(
      "--undelivered", options.undelivered,
      "List instead the records a monitor gave up delivering after every attempt (to its "
      "--program): when, to what, and what the last attempt said");
  events
      ->add_flag("--clear", options.clear,
                 "With --undelivered: empty that list, once its records were seen to")
      ->needs(undelivered);
  return events;
}

// The records given up, one line each (JSON Lines with --json).
int ListUndelivered(const EventsOptions& options) {
  if (options.clear) {
    const std::size_t cleared = ClearUndelivered(options.journal);
    if (options.json)
      std::cout << nlohmann::json{{"cleared", cleared}}.dump() << "\n";
    else
      std::cout << "Cleared the list of " << cleared << " undelivered record"
                << (cleared == 1 ? "" : "s") << ".\n";
    return 0;
  }
  const auto entries = UndeliveredRecords(options.journal);
  for (const auto& e : entries) {
    if (options.json) {
      std::cout << e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
      continue;
    }
    std::cout << Printable(RecordField(e, "time") + "  #" +
                           std::to_string(e.value("record", std::uint64_t{0})) + " " +
                           RecordField(e, "kind") + "  to " + RecordField(e, "target") +
                           "  after " + std::to_string(e.value("attempts", 0)) +
                           " attempts: " + RecordField(e, "error"))
              << "\n";
  }
  if (entries.empty() && !options.json) std::cout << "Every record was delivered.\n";
  return 0;
}

int RunEvents(const EventsOptions& options) {
  if (options.undelivered) return ListUndelivered(options);
  Printer printer(options);
  const Journal journal(options.journal);
  std::uint64_t after = SinceToAfter(journal, options.since, NowMs());
  if (options.follow) CatchStopSignals();
  // Read a page at a time: a journal may hold more records than are worth holding in memory.
  constexpr std::size_t kPage = 4096;
  auto slice = journal.After(after, kPage);
  if (slice.gap && !options.since.empty())
    std::cerr << "veskctl: the records from #" << after + 1 << " to #" << slice.oldestHeld - 1
              << " have rotated out of the journal; listing from #" << slice.oldestHeld << "\n";
  // Damaged lines are counted once: a follower reads the lines after its last record again at
  // each look, and those after it that were counted already are not again.
  std::uint64_t damaged = 0, counted = 0;
  for (;;) {
    damaged += slice.damaged - std::min(slice.damaged, counted);
    counted = slice.records.empty() ? slice.damaged : slice.trailingDamaged;
    for (const auto& record : slice.records) {
      printer.Print(record);
      after = record["id"].get<std::uint64_t>();
    }
    if (slice.records.size() == kPage && std::cout) {
      slice = journal.After(after, kPage);
      continue;
    }
    std::cout << std::flush;
    if (damaged > 0) {
      std::cerr << "veskctl: passed over " << damaged << " damaged line"
                << (damaged == 1 ? "" : "s") << " of the journal (not a record)\n";
      damaged = 0;
    }
    if (!options.follow || !std::cout) return 0;
    if (!SleepUnlessStopped(0.2)) return 0;
    slice = journal.After(after, kPage);
    // A follower that fell a whole generation behind cannot get those records back: said once.
    if (slice.gap)
      std::cerr << "veskctl: records from #" << after + 1
                << " rotated out of the journal before they could be listed\n";
  }
}

}  // namespace veskctl
