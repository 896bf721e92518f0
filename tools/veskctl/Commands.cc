#include "tools/veskctl/Commands.h"

#include <fstream>
#include <sstream>

#include "tools/veskctl/Metrics.h"
#include "tools/veskctl/Names.h"
#include "tools/veskctl/Render.h"
#include "tools/veskctl/Validate.h"

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

nlohmann::json Request(const char* operation, const Vesk::vesk_guid& controllerId) {
  return {{"operation", operation}, {"controllerId", controllerId.ToString()}};
}

Commands::Commands(CLI::App& app) {
  AddSimCommands(app);
  AddVolumeCommands(app);
  AddElementCommands(app);
  AddJobCommands(app);
}

void Commands::AddSimCommands(CLI::App& app) {
  // --- show
  show = app.add_subcommand(
      "show", "Print the topology, or one controller, array, volume or drive in detail");
  show->add_option("element", elementText,
                   "Controller, array, volume or drive: identifier, name or serial number");
  show->callback([this] {
    planner = [this](Session& s, const Model&) {
      Plan plan;
      if (elementText.empty()) {
        plan.send = [](Session& s) {
          return Outcome{TopologyJson(s), TopologyTree(s), false, true};
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
        metrics.Update(TopologyJson(s));
        metrics.RefreshSucceeded(s.LastRefreshSeconds());
        std::string text = metrics.Text();
        return Outcome{{{"exposition", text}}, text, false};
      };
      return plan;
    };
  });

  // --- sim
  auto* sim = app.add_subcommand("sim", "Manage the simulated machine");
  sim->require_subcommand(1);
  reset = sim->add_subcommand("reset", "Start the simulated machine over from a topology");
  reset
      ->add_option("--topology", topologyFile,
                   "Topology JSON file (default: the embedded demo topology; see "
                   "simulator/topologies/)")
      ->check(CLI::ExistingFile);
  reset->callback([this] {
    planner = [this](Session&, const Model&) {
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
      plan.startsWork = false;
      plan.send = [this, json](Session& s) {
        s.Reset(json);
        s.Refresh();
        return Outcome{nullptr,
                       "The simulated machine was reset" +
                           (topologyFile.empty() ? std::string(" to the demo topology.")
                                                 : " to " + topologyFile + "."),
                       true};
      };
      return plan;
    };
  });
  auto* advance = sim->add_subcommand(
      "advance", "Move the simulated clock forward (background work progresses)");
  advance->add_option("milliseconds", advanceText, "How far, in milliseconds")->required();
  advance->callback([this] {
    planner = [this](Session& s, const Model&) {
      const std::uint64_t ms = ParseMilliseconds(advanceText, s.Driver().ClockMs());
      Plan plan;
      plan.request = {{"operation", "sim advance"}, {"milliseconds", ms}};
      plan.startsWork = false;
      plan.send = [ms](Session& s) {
        s.Driver().AdvanceClock(ms);
        return Outcome{nullptr, "The clock moved " + std::to_string(ms) + " ms.", true};
      };
      return plan;
    };
  });
}

}  // namespace veskctl
