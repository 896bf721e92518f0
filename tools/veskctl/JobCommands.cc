// `jobs` and `wait`: background work as the library reads it, over time (see Jobs.h).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "tools/veskctl/Commands.h"
#include "tools/veskctl/Names.h"

namespace veskctl {

namespace {

// How often `wait` looks, in the machine's time.
constexpr std::uint64_t kLookEveryMs = 1000;

struct Scope {
  std::string label;              // what the user named, for messages
  std::set<std::string> volumes;  // empty: every volume
  bool all = false;
};

// The volumes whose work `text` names: a volume, the volumes of an array, of a drive's array, or
// of a controller. A text that fits elements of different kinds is ambiguous, as within a kind.
Scope ScopeOf(Session& s, const Model& m, const std::string& text) {
  struct Match {
    std::string kind, name, id;
    std::set<std::string> volumes;
  };
  std::vector<Match> matches;
  auto volumesWhere = [&](auto keep) {
    std::set<std::string> ids;
    for (const auto& [id, v] : m.volumes)
      if (keep(v)) ids.insert(id.ToString());
    return ids;
  };
  auto attempt = [&](auto resolve) {
    try {
      matches.push_back(resolve());
    } catch (const AmbiguousElement&) {
      throw;
    } catch (const UsageError&) {
      // not an element of this kind
    }
  };
  attempt([&] {
    const auto& v = ResolveVolume(s, text, Naming::AllowPrefix);
    return Match{"volume", DriverText(v.name, sizeof v.name), v.id.ToString(), {v.id.ToString()}};
  });
  attempt([&] {
    const auto& a = ResolveArray(s, text, Naming::AllowPrefix);
    return Match{"array", DriverText(a.name, sizeof a.name), a.id.ToString(),
                 volumesWhere([&](const VolumeModel& v) { return v.arrayId == a.id; })};
  });
  attempt([&] {
    const auto& d = ResolveDrive(s, text, Naming::AllowPrefix);
    return Match{"drive", Serial(d), d.id.ToString(), volumesWhere([&](const VolumeModel& v) {
                   return !d.arrayId.IsEmpty() && v.arrayId == d.arrayId;
                 })};
  });
  attempt([&] {
    const auto& c = ResolveController(s, text, Naming::AllowPrefix);
    return Match{"controller", DriverText(c.name, sizeof c.name), c.id.ToString(),
                 volumesWhere([&](const VolumeModel& v) { return v.controllerId == c.id; })};
  });
  if (matches.empty()) {
    throw UsageError("no volume, array, drive or controller '" + text + "' (see 'veskctl show')");
  }
  if (matches.size() > 1) {
    std::string message = "'" + text + "' is ambiguous: it fits " + std::to_string(matches.size()) +
                          " elements of different kinds";
    nlohmann::json candidates = nlohmann::json::array();
    for (const auto& match : matches) {
      message += "\n  " + match.kind + " \"" + match.name + "\"  " + match.id;
      candidates.push_back({{"kind", match.kind}, {"name", match.name}, {"id", match.id}});
    }
    throw AmbiguousElement(message + "\nName the element by its full identifier.", candidates);
  }
  return {matches[0].kind + " \"" + matches[0].name + "\"", matches[0].volumes, false};
}

// One line redrawn in place: the mean percent of the running work and the longest time left.
void DrawBar(const std::vector<Job>& running) {
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
  std::cout << "\r\033[K[" << std::string(filled, '#') << std::string(kWidth - filled, '-') << "] "
            << percent << "%  " << names << (left ? "  left " + DurationText(*left) : std::string())
            << std::flush;
}

}  // namespace

void Commands::AddJobCommands(CLI::App& app) {
  root = &app;
  auto* jobs = app.add_subcommand(
      "jobs", "List running background work: kind, target, percent done, rate, time left");
  jobs->callback([this] {
    planner = [](Session&, const Model&) {
      Plan plan;
      plan.send = [](Session& s) {
        nlohmann::json list = nlohmann::json::array();
        std::string text;
        for (const Job& job : s.Jobs().Jobs()) {
          if (!job.outcome.empty()) continue;  // ended work is for `wait` to report
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

  auto* wait = app.add_subcommand(
      "wait",
      "Wait for background work to end. Exit code 0: it finished; 1: it failed or was "
      "cancelled; 3: timed out");
  wait->add_option("element", waitText,
                   "Volume, array, drive or controller whose work to wait for");
  wait->add_flag("--all", waitAll, "Wait for all background work");
  wait->add_option("--timeout", waitTimeoutSeconds,
                   "Give up after S seconds (of the machine's clock) with exit code 3")
      ->option_text("S")
      ->check(CLI::NonNegativeNumber);
  wait->callback([this] {
    planner = [this](Session& s, const Model& before) {
      if (waitText.empty() == !waitAll)
        throw UsageError("wait needs an element to wait for or --all, not both");
      const Scope scope = waitAll ? Scope{"the machine", {}, true} : ScopeOf(s, before, waitText);
      Plan plan;
      plan.send = [this, scope](Session& s) {
        return Wait(s, scope.label, scope.volumes, scope.all);
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
  std::map<std::string, Job> last;  // every job seen, as last read
  std::vector<Job> running;
  bool failed = false;
  for (;;) {
    running.clear();
    const auto jobs = all || !volumes.empty() ? s.Jobs().Jobs(volumes, true) : std::vector<Job>{};
    for (const Job& job : jobs) {
      last[job.volumeId] = job;
      if (job.outcome.empty()) {
        running.push_back(job);
      } else {
        failed = failed || job.outcome != "finished";
        if (terminal) std::cout << "\r\033[K";
        if (!json) std::cout << JobText(job) << "\n";
      }
      if (json || terminal || !job.outcome.empty()) continue;
      const unsigned tenth = job.percent / 10;
      if (!shownTenth.contains(job.volumeId) || tenth > shownTenth[job.volumeId])
        std::cout << JobText(job) << "\n";
      shownTenth[job.volumeId] = tenth;
    }
    if (terminal) DrawBar(running);
    const std::uint64_t now = s.ClockMs();
    if (running.empty() || (deadline && now >= *deadline)) break;
    s.Pass(deadline ? std::min(kLookEveryMs, *deadline - now) : kLookEveryMs);
    // On a terminal the bar is worth seeing move, even where the machine's time jumps.
    if (terminal) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.Refresh();
    s.Jobs().Observe(Model::Of(s), s.ClockMs());
  }
  if (terminal) std::cout << "\n";

  Outcome outcome;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [id, job] : last) list.push_back(JobJson(job));
  if (last.empty()) {
    outcome.result = {{"outcome", "nothing"}, {"jobs", list}};
    outcome.text = "No background work runs on " + label + ".";
    return outcome;
  }
  std::string names, failures;
  for (const Job& job : running) names += (names.empty() ? "" : ", ") + job.volumeName;
  for (const auto& [id, job] : last)
    if (!job.outcome.empty() && job.outcome != "finished") failures += "; " + JobText(job);
  if (failed) {
    outcome.exitCode = 1;
    outcome.failureKind = "WorkFailed";
    outcome.failureMessage = "background work on " + label + " did not finish" + failures;
  } else if (!running.empty()) {
    outcome.exitCode = kExitTimedOut;
    outcome.failureKind = "TimedOut";
    outcome.failureMessage =
        "timed out after " + DurationText(s.ClockMs() - start) + "; still running on " + names;
  } else {
    outcome.text = "All background work on " + label + " finished.";
  }
  outcome.result = {{"outcome", failed            ? "failed"
                                : running.empty() ? "finished"
                                                  : "timedOut"},
                    {"jobs", list}};
  return outcome;
}

}  // namespace veskctl
