// `jobs` and `wait`: background work as the library reads it, over time (see Jobs.h).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/cli/Commands.h"
#include "tools/veskctl/cli/Validate.h"
#include "tools/veskctl/journal/Audit.h"

namespace veskctl {

namespace {

// How often `wait` looks, in the machine's time.
constexpr std::uint64_t kLookEveryMs = 1000;
// The simulated machine's looks follow each other at once, with nothing real to wait for; `wait`
// lets it go all the same after holding it this long, and for long enough that a run waiting
// for the lock takes it.
constexpr auto kHoldAtMost = std::chrono::milliseconds(100);
constexpr auto kLetGoFor = std::chrono::milliseconds(StateFile::kLockPollMs + 5);

struct Scope {
  std::string label;              // what the user named, for messages
  std::set<std::string> volumes;  // empty: every volume
  bool all = false;
};

// The volumes whose work `text` names: a volume, the volumes of an array, of a drive's array, or
// of a controller.
Scope ScopeOf(Session& s, const Model& m, const std::string& text) {
  const Element e = ResolveElement(s, text);
  Scope scope;
  for (const auto& [id, v] : m.volumes) {
    if ((e.volume && id == e.volume->id) || (e.array && v.arrayId == e.array->id) ||
        (e.drive && !e.drive->arrayId.IsEmpty() && v.arrayId == e.drive->arrayId) ||
        (e.controller && v.controllerId == e.controller->id))
      scope.volumes.insert(id.ToString());
  }
  if (e.volume)
    scope.label = "volume \"" + DriverText(e.volume->name, sizeof e.volume->name) + "\"";
  if (e.array) scope.label = ArrayLabel(*e.array);
  if (e.drive) scope.label = "drive " + Serial(*e.drive);
  if (e.controller)
    scope.label =
        "controller \"" + DriverText(e.controller->name, sizeof e.controller->name) + "\"";
  return scope;
}

// A verification that finished gets what the volume says it found.
std::vector<Job> WithVerifyCounts(Session& s, std::vector<Job> jobs) {
  for (Job& job : jobs) {
    if (job.outcome != "finished" || job.kind.rfind("verify", 0) != 0) continue;
    for (const auto& [id, v] : s.Storage().GetVolumes()) {
      if (id.ToString() != job.volumeId) continue;
      // Copies: the record's fields are packed, and std::optional takes references.
      const auto errors = v->verifyErrors;
      const auto badBlocks = v->verifyBadBlocks;
      job.verifyErrors = errors;
      job.verifyBadBlocks = badBlocks;
      job.verifyRepaired = job.kind == "verify and repair";
    }
  }
  return jobs;
}

// The work `wait` follows on `volumes` (every volume with `all`): what runs, and what ended since
// it was last reported, which `forget` lets go.
std::vector<Job> Following(Session& s, const std::set<std::string>& volumes, bool all,
                           bool forget) {
  if (!all && volumes.empty()) return {};
  return WithVerifyCounts(s, s.Jobs().Jobs(volumes, forget));
}

// A dry run of `wait` waits for nothing: against the RAID driver that could take hours. It says
// what it would follow, as it stands now.
Outcome WouldWait(Session& s, const Scope& scope) {
  nlohmann::json list = nlohmann::json::array();
  std::string lines;
  for (const Job& job : Following(s, scope.volumes, scope.all, false)) {
    list.push_back(JobJson(job));
    lines += "  " + JobText(job) + "\n";
  }
  std::string text = "Dry run: nothing was waited for and nothing was saved.\n";
  text += lines.empty() ? "No background work runs on " + scope.label + ": it would end at once."
                        : "It would follow the background work on " + scope.label +
                              " until it ends; as it stands now:\n" + lines;
  return Outcome({{"dryRun", true}, {"result", {{"jobs", list}}}}, text, false, true);
}

// One line redrawn in place: the mean percent of the running work and the longest time left.
std::string Bar(const std::vector<Job>& running) {
  unsigned sum = 0;
  std::optional<std::uint64_t> left;
  std::string names;
  for (const Job& job : running) {
    sum += job.percent;
    if (job.remainingMs) left = std::max(left.value_or(0), *job.remainingMs);
    names += (names.empty() ? "" : ", ") + job.volumeName + " " + job.kind;
  }
  const unsigned percent = running.empty() ? 100 : sum / static_cast<unsigned>(running.size());
  constexpr unsigned kWidth = 30;
  const unsigned filled = percent * kWidth / 100;
  return "\r\033[K[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "] " +
         std::to_string(percent) + "%  " + names +
         (left ? "  left " + DurationText(*left) : std::string());
}

}  // namespace

void Commands::AddJobCommands(CLI::App& app) {
  root = &app;
  jobs = app.add_subcommand(
      "jobs", "List running background work: kind, target, percent done, rate, time left");
  jobs->add_flag("--history", history,
                 "List the background work that ended instead, oldest first, as the journal "
                 "holds it: when, volume, kind, outcome and what a verification found");
  jobs->callback([this] {
    planner = [this](Session&, const Model&) {
      Plan plan;
      if (history) {
        plan.send = [](Session& s) {
          const auto& journal = s.JournalOf();
          const nlohmann::json ended = journal ? JobHistory(*journal) : nlohmann::json::array();
          return Outcome{ended, JobHistoryText(ended), false};
        };
        return plan;
      }
      plan.send = [](Session& s) {
        nlohmann::json list = nlohmann::json::array();
        std::string text;
        for (const Job& job : WithVerifyCounts(s, s.Jobs().Jobs())) {
          // Ended work is for `wait` to report; what a verification found is shown here too.
          if (!job.outcome.empty() && !job.verifyErrors) continue;
          list.push_back(JobJson(job));
          text += JobText(job) + "\n";
        }
        if (text.empty()) text = "No background work runs.";
        // The readings are remembered, so that the next look has a rate.
        return Outcome{{{"jobs", list}}, text, true};
      };
      return plan;
    };
  });

  wait = app.add_subcommand(
      "wait",
      "Wait for background work to end. Exit code 0: it finished; 1: it failed, was cancelled or "
      "was interrupted (other work took its place, or the volume was left degraded or failed); "
      "3: timed out; 4: it finished, and a verification found errors or bad blocks that it did "
      "not repair");
  wait->add_option("element", waitText,
                   "Volume, array, drive or controller whose work to wait for");
  wait->add_flag("--all", waitAll, "Wait for all background work");
  wait->add_option("--timeout", waitTimeoutSeconds,
                   "Give up after S seconds (of the machine's clock) with exit code 3")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", true, "0, 60 or 0.5"));
  wait->callback([this] {
    planner = [this](Session& s, const Model& before) {
      if ((wait->count("element") > 0) == waitAll)
        throw UsageError("wait needs an element to wait for or --all, not both");
      const Scope scope = waitAll ? Scope{"the machine", {}, true} : ScopeOf(s, before, waitText);
      Plan plan;
      const bool dryRun = root->count("--dry-run") > 0;
      plan.send = [this, scope, dryRun](Session& s) {
        return dryRun ? WouldWait(s, scope) : Wait(s, scope.label, scope.volumes, scope.all);
      };
      return plan;
    };
  });
}

Outcome Commands::Wait(Session& s, const std::string& label, const std::set<std::string>& volumes,
                       bool all) {
  const bool json = root->count("--json") > 0;
  const bool terminal = !json && ::isatty(STDOUT_FILENO);
  const std::uint64_t start = s.ClockMs();
  std::optional<std::uint64_t> deadline;
  if (waitTimeoutSeconds >= 0)
    deadline = start + static_cast<std::uint64_t>(std::llround(waitTimeoutSeconds * 1000));

  std::map<std::string, unsigned> shownTenth;
  // Every job seen, as last read, by volume and kind: work that other work took the place of is
  // reported beside the work in its place.
  std::map<std::pair<std::string, std::string>, Job> last;
  std::vector<Job> running;
  bool failed = false;
  const bool simulated = s.Simulated();
  auto heldSince = std::chrono::steady_clock::now();
  std::string said;  // what the looks have to say, said with the machine let go
  for (;;) {
    running.clear();
    for (const Job& job : Following(s, volumes, all, true)) {
      last[{job.volumeId, job.kind}] = job;
      if (job.outcome.empty()) {
        running.push_back(job);
      } else {
        failed = failed || job.outcome != "finished";
        if (terminal) said += "\r\033[K";
        if (!json) said += JobText(job) + "\n";
      }
      if (json || terminal || !job.outcome.empty()) continue;
      const unsigned tenth = job.percent / 10;
      if (!shownTenth.contains(job.volumeId) || tenth > shownTenth[job.volumeId])
        said += JobText(job) + "\n";
      shownTenth[job.volumeId] = tenth;
    }
    if (terminal) said += Bar(running);
    const std::uint64_t now = s.ClockMs();
    if (running.empty() || (deadline && now >= *deadline)) break;
    const std::uint64_t step = deadline ? std::min(kLookEveryMs, *deadline - now) : kLookEveryMs;
    // Against the RAID driver a rebuild takes hours: nothing is held while its time passes. On a
    // terminal the bar is worth seeing move, even where the simulated time jumps, and the
    // machine is let go meanwhile too.
    if (!simulated || terminal || std::chrono::steady_clock::now() - heldSince >= kHoldAtMost) {
      s.LetGo();
      // A terminal or a pipe that is slow to take it (or stopped: Ctrl+S) holds nobody up.
      std::cout << said << std::flush;
      said.clear();
      if (simulated) std::this_thread::sleep_for(kLetGoFor);
      s.TakeBack(step);
      heldSince = std::chrono::steady_clock::now();
    } else {
      s.Pass(step);
      s.Refresh();
    }
    s.Jobs().Observe(Model::Of(s), s.ClockMs());
  }
  std::cout << said;
  if (terminal) std::cout << "\n";

  Outcome outcome;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [id, job] : last) list.push_back(JobJson(job));
  if (last.empty()) {
    outcome.result = {{"outcome", "nothing"}, {"jobs", list}};
    outcome.text = "No background work runs on " + label + ".";
    return outcome;
  }
  std::string names, failures, found;
  for (const Job& job : running) names += (names.empty() ? "" : ", ") + job.volumeName;
  for (const auto& [id, job] : last) {
    if (!job.outcome.empty() && job.outcome != "finished") failures += "; " + JobText(job);
    if (job.LeftErrors()) found += "; " + JobText(job);
  }
  if (failed) {
    outcome.exitCode = 1;
    outcome.failureKind = "WorkFailed";
    outcome.failureMessage = "background work on " + label + " did not finish" + failures;
  } else if (!running.empty()) {
    outcome.exitCode = kExitTimedOut;
    outcome.failureKind = "TimedOut";
    outcome.failureMessage =
        "timed out after " + DurationText(s.ClockMs() - start) + "; still running on " + names;
  } else if (!found.empty()) {
    outcome.exitCode = kExitFoundErrors;
    outcome.failureKind = "FoundErrors";
    outcome.failureMessage = "background work on " + label +
                             " finished, and a verification found errors it did not "
                             "repair" +
                             found;
  } else {
    outcome.text = "All background work on " + label + " finished.";
  }
  const char* ended = failed             ? "failed"
                      : !running.empty() ? "timedOut"
                      : found.empty()    ? "finished"
                                         : "foundErrors";
  outcome.result = {{"outcome", ended}, {"jobs", list}};
  return outcome;
}

}  // namespace veskctl
