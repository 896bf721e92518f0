#include "tools/veskctl/cli/Commands.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/cli/Health.h"
#include "tools/veskctl/cli/Render.h"
#include "tools/veskctl/cli/Validate.h"
#include "tools/veskctl/monitor/Metrics.h"

namespace veskctl {

const Vesk::DeviceHandle* DeviceOf(Session& session, const Vesk::vesk_guid& controllerId) {
  return session.ControllerById(controllerId).GetDeviceHandle().get();
}

const Vesk::Drive& DriveIn(Session& session, const Vesk::vesk_guid& id) {
  auto& drives = session.Storage().GetDrives();
  auto found = drives.find(id);
  if (found == drives.end()) throw UsageError("the drive " + id.ToString() + " is not present");
  return *found->second;
}

std::string Done(const std::string& what, const Vesk::vesk_guid& id) {
  return what + " " + id.ToString() + ".";
}

std::string Serial(const Vesk::Drive& d) {
  return DriverText(d.serialNumber, sizeof d.serialNumber);
}

std::string VolumeLabel(const Vesk::Volume& v) {
  return "volume \"" + DriverText(v.name, sizeof v.name) + "\" (" + v.id.ToString() + ")";
}

std::string DriveLabel(const Vesk::Drive& d) {
  return "drive " + Serial(d) + " (" + d.id.ToString() + ")";
}

std::string ArrayLabel(const Vesk::Array& a) {
  return "array \"" + DriverText(a.name, sizeof a.name) + "\" (" + a.id.ToString() + ")";
}

std::vector<Vesk::vesk_guid> Ids(const std::vector<const Vesk::Drive*>& drives) {
  std::vector<Vesk::vesk_guid> ids;
  for (const Vesk::Drive* d : drives) ids.push_back(d->id);
  return ids;
}

nlohmann::json IdTexts(const std::vector<Vesk::vesk_guid>& ids) {
  nlohmann::json texts = nlohmann::json::array();
  for (const auto& id : ids) texts.push_back(id.ToString());
  return texts;
}

// A count of things the user gives the simulated machine: a whole number below 2^32.
std::uint32_t ParseCount(const std::string& text, const char* what) {
  std::uint32_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    throw UsageError(std::string("the number of ") + what + " is a whole number from 0 to " +
                     "4294967295, not '" + text + "'");
  return count;
}

// The simulated driver refused a drill as it refuses a request: with its status.
void Check(vesk::sim::DriverStatus status, const char* refused) {
  if (status != vesk::sim::DriverStatus::Success)
    throw Vesk::VeskException(refused, static_cast<Vesk::vesk_status>(status));
}

nlohmann::json Request(const char* operation, const Vesk::vesk_guid& controllerId) {
  return {{"operation", operation}, {"controllerId", controllerId.ToString()}};
}

std::string Commands::Name() const {
  std::string name;
  for (auto parsed = root->get_subcommands(); !parsed.empty();
       parsed = parsed.front()->get_subcommands())
    name += (name.empty() ? "" : " ") + parsed.front()->get_name();
  return name;
}

Commands::Commands(CLI::App& app) {
  AddViewCommands(app);
  AddHealthCommand(app);
  AddSimCommands(app);
  AddVolumeCommands(app);
  AddElementCommands(app);
  AddJobCommands(app);
}

// The views: the topology and its metrics.
void Commands::AddViewCommands(CLI::App& app) {
  // --- show
  show = app.add_subcommand(
      "show", "Print the topology, or one controller, array, volume or drive in detail");
  show->add_option("element", elementText,
                   "Controller, array, volume or drive: identifier, name or serial number");
  show->callback([this] {
    planner = [this](Session& s, const Model&) {
      Plan plan;
      if (show->count("element") == 0) {
        plan.send = [](Session& s) {
          // The tree starts with the health `check` says, so that a glance tells it.
          nlohmann::json topology = TopologyJson(s);
          std::string text = HealthOf(topology).Line() + "\n\n" + TopologyTree(s);
          return Outcome{std::move(topology), std::move(text), false, true};
        };
      } else {
        const Element element = ResolveElement(s, elementText);
        plan.send = [element](Session& s) {
          return Outcome{ElementJson(s, element), ElementText(s, element), false, true};
        };
      }
      return plan;
    };
  });

  // --- metrics
  metrics = app.add_subcommand(
      "metrics",
      "Print Prometheus metrics of the topology once, in the text exposition format (for the "
      "textfile collectors of node_exporter and windows_exporter; see docs/monitoring.md)");
  metrics->callback([this] {
    planner = [](Session&, const Model&) {
      Plan plan;
      plan.send = [](Session& s) {
        Metrics metrics;
        if (const auto& journal = s.JournalOf()) metrics.Learn(*journal);
        metrics.Update(TopologyJson(s));
        metrics.RefreshSucceeded(s.LastRefreshSeconds());
        std::string text = metrics.Text();
        return Outcome{{{"exposition", text}}, text, false};
      };
      return plan;
    };
  });
}

// The health at a glance, for people and for checkers: 0 all well, 1 at risk, 2 failed, 3
// could not tell (docs/cli.md).
void Commands::AddHealthCommand(CLI::App& app) {
  check = app.add_subcommand(
      "check",
      "Say in one line whether the machine is well, and exit with it: 0 all well, 1 degraded "
      "or at risk (a rebuild running, a SMART event, a forced volume, verification errors, a spare "
      "gone), "
      "2 a volume failed, 3 could not tell");
  check->add_flag("--quiet", quiet, "Print nothing: the exit code says it");
  check->callback([this] {
    planner = [this](Session&, const Model&) {
      Plan plan;
      plan.send = [this](Session& s) {
        const Health health = HealthOf(TopologyJson(s));
        Outcome outcome{health.Json(), quiet ? "" : health.Line(), false, true};
        outcome.verdict = health.code;
        outcome.quiet = quiet;
        return outcome;
      };
      return plan;
    };
  });
}

void Commands::AddSimCommands(CLI::App& app) {
  // --- sim
  auto* sim = app.add_subcommand("sim", "Manage the simulated machine");
  sim->require_subcommand(1);
  reset = sim->add_subcommand(
      "reset",
      "Start the simulated machine over from a topology (asks first when that loses something)");
  reset
      ->add_option("--topology", topologyFile,
                   "Topology JSON file (default: the embedded demo topology; see "
                   "simulator/topologies/)")
      ->check(CLI::ExistingFile);
  reset->callback([this] { planner = [this](Session&, const Model&) { return PlanReset(); }; });
  auto* advance = sim->add_subcommand(
      "advance", "Move the simulated clock forward (background work progresses)");
  advance->add_option("milliseconds", advanceText, "How far, in milliseconds")->required();
  advance->callback([this] {
    planner = [this](Session& s, const Model&) {
      const std::uint64_t ms = ParseMilliseconds(advanceText, s.Driver().ClockMs());
      Plan plan;
      plan.request = {{"operation", "sim advance"}, {"milliseconds", ms}};
      plan.startsWork = false;
      plan.drill = true;
      plan.send = [ms](Session& s) {
        s.Driver().AdvanceClock(ms);
        return Outcome{nullptr, "The clock moved " + std::to_string(ms) + " ms.", true};
      };
      return plan;
    };
  });

  // --- drills: what happens to the hardware, as the simulated driver sees it
  using vesk::sim::RaidDriver;
  DrillCommand(
      *sim, "fail-drive", "Make a drive fail (a spare may take over its place in an array)",
      "the simulated drive cannot fail now",
      [](RaidDriver& r, const Vesk::vesk_guid& id, Vesk::vesk_guid&) { return r.FailDrive(id); },
      "Failed drive");
  DrillCommand(
      *sim, "pull-drive", "Pull a drive out: it stays listed as missing in its place",
      "the simulated drive cannot be pulled: it is not there",
      [](RaidDriver& r, const Vesk::vesk_guid& id, Vesk::vesk_guid&) { return r.PullDrive(id); },
      "Pulled drive");
  DrillCommand(
      *sim, "insert-drive",
      "Put a pulled drive back in its slot (an array member returns stale), or a new blank one",
      "no drive can go into the simulated drive's slot: it was not pulled, or the slot is taken",
      [this](RaidDriver& r, const Vesk::vesk_guid& id, Vesk::vesk_guid& now) {
        return r.InsertDrive(id, blank, &now);
      },
      "Inserted drive")
      ->add_flag("--blank", blank, "A new blank drive of the same kind and size instead");
  DrillCommand(
      *sim, "smart-event", "Make a drive in good health report a SMART event",
      "the simulated drive cannot report a SMART event now",
      [](RaidDriver& r, const Vesk::vesk_guid& id, Vesk::vesk_guid&) {
        return r.SignalSmartEvent(id);
      },
      "SMART event on drive");

  auto* media = sim->add_subcommand(
      "media-errors", "Give a volume media errors that its next verification or read patrol finds");
  media->add_option("volume", volumeText, "Volume identifier or name")->required();
  media->add_option("errors", errorsText, "How many errors")->required();
  media->add_option("--bad-blocks", badBlocksText, "How many bad blocks (default 0)");
  media->callback(
      [this] { planner = [this](Session& s, const Model&) { return PlanMediaErrors(s); }; });
}

CLI::App* Commands::DrillCommand(CLI::App& sim, const char* name, const char* help,
                                 const char* refused, Drill drill, const char* done) {
  auto* command = sim.add_subcommand(name, help);
  command->add_option("drive", driveText, "Drive identifier or serial number")->required();
  command->callback([this, name, refused, drill, done] {
    planner = [this, name, refused, drill, done](Session& s, const Model&) {
      s.Driver();  // the RAID driver's drives fail by themselves
      const Vesk::Drive& d = ResolveDrive(s, driveText, Naming::AllowPrefix);
      Plan plan;
      plan.drill = true;
      plan.request = {{"operation", std::string("sim ") + name}, {"driveId", d.id.ToString()}};
      if (blank) plan.request["blank"] = true;
      plan.send = [id = d.id, refused, drill, done](Session& s) {
        Vesk::vesk_guid now = id;
        Check(drill(s.Driver(), id, now), refused);
        return Outcome{{{"driveId", now.ToString()}}, Done(done, now)};
      };
      return plan;
    };
  });
  return command;
}

Plan Commands::PlanReset() {
  std::string json;
  if (!topologyFile.empty()) {
    std::ifstream in(topologyFile);
    std::stringstream text;
    text << in.rdbuf();
    json = text.str();
    try {
      vesk::sim::LoadTopology(json);
    } catch (const std::runtime_error& e) {
      throw UsageError(topologyFile + ": " + e.what());
    }
  }
  Plan plan;
  plan.request = {{"operation", "sim reset"},
                  {"topology", topologyFile.empty() ? "demo" : topologyFile}};
  plan.action = "start the simulated machine over from " +
                (topologyFile.empty() ? std::string("the demo topology") : topologyFile);
  plan.startsWork = false;
  plan.send = [this, json](Session& s) {
    s.Reset(json);
    s.Refresh();
    return Outcome{nullptr,
                   "The simulated machine was reset" + (topologyFile.empty()
                                                            ? std::string(" to the demo topology.")
                                                            : " to " + topologyFile + "."),
                   true};
  };
  return plan;
}

Plan Commands::PlanMediaErrors(Session& s) {
  s.Driver();
  const Vesk::Volume& v = ResolveVolume(s, volumeText, Naming::AllowPrefix);
  const std::uint32_t errors = ParseCount(errorsText, "errors");
  const std::uint32_t badBlocks = ParseCount(badBlocksText, "bad blocks");
  Plan plan;
  plan.drill = true;
  plan.request = {{"operation", "sim media-errors"},
                  {"volumeId", v.id.ToString()},
                  {"errors", errors},
                  {"badBlocks", badBlocks}};
  plan.send = [id = v.id, errors, badBlocks](Session& s) {
    Check(s.Driver().SetMediaErrors(id, errors, badBlocks), "the simulated volume is gone");
    return Outcome{{{"volumeId", id.ToString()}}, Done("Set the media errors of volume", id)};
  };
  return plan;
}

}  // namespace veskctl
