// veskctl: see and manage the RAID topology of a Vesk machine. By default it runs against an
// embedded simulated machine whose state persists in a state file between runs.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "tools/veskctl/Names.h"
#include "tools/veskctl/Render.h"
#include "tools/veskctl/Resolve.h"
#include "tools/veskctl/Session.h"
#include "vesk/Exceptions.h"

namespace veskctl {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string statePath;
  bool json = false;
};

// What one command does once the topology has been read. It returns its result for JSON output
// (null when there is none) and a line for people.
struct Outcome {
  nlohmann::json result;
  std::string text;
  bool changed = true;  // the simulated machine's state must be saved
};
using Action = std::function<Outcome(Session&)>;

void PrintJson(const nlohmann::json& status, const nlohmann::json& body) {
  nlohmann::json document = {{"schemaVersion", kJsonSchemaVersion}, {"status", status}};
  for (auto& [key, value] : body.items()) document[key] = value;
  std::cout << document.dump(2) << "\n";
}

int Fail(const Options& options, const std::string& kind, const std::string& message,
         std::uint32_t status, std::uint32_t errorCode, int exitCode,
         const nlohmann::json& candidates = nullptr) {
  if (options.json) {
    nlohmann::json failure = FailureStatus(kind, message, status, errorCode);
    if (!candidates.is_null()) failure["candidates"] = candidates;
    PrintJson(failure, nlohmann::json::object());
  } else if (kind == "VeskException") {
    std::cerr << "veskctl: " << message << " (driver status " << status << ", error code "
              << errorCode << ")\n";
  } else if (kind == "TaluException") {
    std::cerr << "veskctl: " << message << " (error code " << errorCode << ")\n";
  } else {
    std::cerr << "veskctl: " << message << "\n";
  }
  return exitCode;
}

std::filesystem::path StatePath(const Options& options) {
  return options.statePath.empty() ? StateFile::DefaultPath()
                                   : std::filesystem::path(options.statePath);
}

// Opens the session, reads the topology, runs `action`, saves what changed and reports.
int Run(const Options& options, const Action& action, bool loadState) {
  try {
    Session session(StatePath(options), loadState);
    session.Refresh();
    Outcome outcome = action(session);
    if (outcome.changed) session.Save();
    if (options.json) {
      nlohmann::json body = nlohmann::json::object();
      if (!outcome.result.is_null()) body["result"] = outcome.result;
      if (outcome.result.is_object() && outcome.result.contains("controllers")) {
        body = outcome.result;
      }
      PrintJson(SuccessStatus(), body);
    } else if (!outcome.text.empty()) {
      std::cout << outcome.text;
      if (outcome.text.back() != '\n') std::cout << "\n";
    }
    return kExitOk;
  } catch (const AmbiguousElement& e) {
    return Fail(options, "usage", e.what(), 0, 0, kExitUsage, e.candidates);
  } catch (const UsageError& e) {
    return Fail(options, "usage", e.what(), 0, 0, kExitUsage);
  } catch (const Vesk::VeskException& e) {
    return Fail(options, "VeskException", std::string(e.Message()), e.Status(), e.ErrorCode(),
                kExitFailed);
  } catch (const Vesk::TaluException& e) {
    return Fail(options, "TaluException", std::string(e.Message()), 0, e.ErrorCode(), kExitFailed);
  } catch (const StateFileError& e) {
    return Fail(options, "state", e.what(), 0, 0, kExitFailed);
  } catch (const std::exception& e) {
    return Fail(options, "error", e.what(), 0, 0, kExitFailed);
  }
}

const Vesk::DeviceHandle* DeviceOf(Session& session, const Vesk::vesk_guid& controllerId) {
  return session.ControllerById(controllerId).GetDeviceHandle().get();
}

bool OnOffArgument(const std::string& text) {
  auto value = ParseOnOff(text);
  if (!value) throw UsageError("expected on or off, got '" + text + "'");
  return *value;
}

std::vector<Vesk::vesk_guid> DriveIds(Session& session, const std::vector<std::string>& texts,
                                      Naming naming) {
  std::vector<Vesk::vesk_guid> ids;
  for (const Vesk::Drive* drive : ResolveDrives(session, texts, naming)) ids.push_back(drive->id);
  return ids;
}

std::string Done(const std::string& what, const Vesk::vesk_guid& id) {
  return what + " " + id.ToString() + ".";
}

}  // namespace
}  // namespace veskctl

int main(int argc, char** argv) {
  using namespace veskctl;
  Options options;
  Action action;

  CLI::App app{
      "veskctl - see and manage the RAID topology of a Vesk machine.\n"
      "Runs against an embedded simulated machine (the demo topology at first) whose state is\n"
      "kept in a state file between runs. Elements are named by identifier (a unique prefix is\n"
      "enough) or, for controllers, arrays and volumes, by name; drives also by serial number.\n"
      "Exit codes: 0 success, 1 refused by the driver or failed in the library, 2 usage error."};
  app.set_help_all_flag("--help-all", "Show help for every command");
  app.require_subcommand(1);
  // Global options may follow the command too ("veskctl show --json"); subcommands created
  // after this inherit it.
  app.fallthrough();
  app.add_option("--state", options.statePath,
                 "State file of the simulated machine (default: $VESK_STATE, else "
                 "$XDG_STATE_HOME/vesk/veskctl.json or ~/.local/state/vesk/veskctl.json)");
  app.add_flag("--json", options.json, "Print JSON (see docs/cli.md) instead of text");

  // --- show
  auto* show =
      app.add_subcommand("show", "Print the topology: controllers, arrays, volumes, drives");
  show->callback([&] {
    action = [](Session& s) { return Outcome{TopologyJson(s), TopologyTree(s), false}; };
  });

  // --- sim
  auto* sim = app.add_subcommand("sim", "Manage the simulated machine");
  sim->require_subcommand(1);
  auto* reset = sim->add_subcommand("reset", "Start the simulated machine over from a topology");
  std::string topologyFile;
  reset
      ->add_option("--topology", topologyFile,
                   "Topology JSON file (default: the embedded demo topology; see "
                   "simulator/topologies/)")
      ->check(CLI::ExistingFile);
  reset->callback([&] {
    action = [&](Session& s) {
      std::string json;
      if (!topologyFile.empty()) {
        std::ifstream in(topologyFile);
        std::stringstream text;
        text << in.rdbuf();
        json = text.str();
      }
      s.Reset(json);
      s.Refresh();
      return Outcome{nullptr,
                     "The simulated machine was reset" +
                         (topologyFile.empty() ? std::string(" to the demo topology.")
                                               : " to " + topologyFile + "."),
                     true};
    };
  });
  std::uint64_t advanceMs = 0;
  auto* advance = sim->add_subcommand(
      "advance", "Move the simulated clock forward (background work progresses)");
  advance->add_option("milliseconds", advanceMs, "How far")->required();
  advance->callback([&] {
    action = [&](Session& s) {
      s.Driver().AdvanceClock(advanceMs);
      return Outcome{nullptr, "The clock moved " + std::to_string(advanceMs) + " ms.", true};
    };
  });

  // --- volumes
  std::string controllerText, volumeText, arrayText, driveText, nameText, levelText, sizeText,
      policyText, journalText, onOffText;
  std::vector<std::string> driveTexts;
  std::uint16_t strip = 0;
  bool initialize = false, repair = false;

  auto* create = app.add_subcommand("create-volume", "Create a volume");
  create->add_option("--controller", controllerText,
                     "Controller (default: the drives' controller)");
  create->add_option("--name", nameText, "Volume name, at most 16 characters")->required();
  create->add_option("--level", levelText, "RAID level: 0, 1, 5, 10 or 4")->required();
  create
      ->add_option("--drives", driveTexts,
                   "Member drives (all members of an existing array to add a volume to it)")
      ->required()
      ->delimiter(',');
  create->add_option("--size", sizeText, "Size, e.g. 100G (default: all the room there is)");
  create->add_option("--strip", strip, "Strip size in KiB (default: the level's default)");
  create->add_flag("--initialize", initialize, "Initialize the volume after creating it");
  create->add_option("--rwh", policyText, "Write-hole policy: off, distributed or journaling");
  create->add_option("--journal", journalText, "Journaling drive for --rwh journaling");
  create->callback([&] {
    action = [&](Session& s) {
      if (nameText.size() > 16) throw UsageError("a volume name has at most 16 characters");
      auto level = ParseRaidLevel(levelText);
      if (!level) throw UsageError("unknown RAID level '" + levelText + "'");
      std::uint64_t size = 0;
      if (!sizeText.empty()) {
        auto parsed = ParseSize(sizeText);
        if (!parsed) throw UsageError("cannot read the size '" + sizeText + "'");
        size = *parsed;
      }
      const auto drives = DriveIds(s, driveTexts, Naming::AllowPrefix);
      const Vesk::Controller& controller =
          controllerText.empty()
              ? s.ControllerById(
                    ResolveDrive(s, driveTexts.front(), Naming::AllowPrefix).controllerId)
              : ResolveController(s, controllerText, Naming::AllowPrefix);
      Vesk::vesk_new_volume_parameters parameters{};
      std::copy(nameText.begin(), nameText.end(), parameters.name);
      parameters.stripSize = static_cast<Vesk::vesk_strip_size>(strip);
      parameters.raidLevel = *level;
      parameters.size = size;
      parameters.SetInitialize(initialize);
      if (!policyText.empty()) {
        auto policy = ParseRwhPolicy(policyText);
        if (!policy) throw UsageError("unknown write-hole policy '" + policyText + "'");
        parameters.SetRwhPolicy(static_cast<Vesk::vesk_rwh_policy>(*policy));
      }
      parameters.keepExistingDriveId = Vesk::vesk_invalid_guid;
      parameters.journalingDriveId = journalText.empty()
                                         ? Vesk::vesk_invalid_guid
                                         : ResolveDrive(s, journalText, Naming::AllowPrefix).id;
      auto [status, id] = s.Storage().CreateVolume(controller, parameters, drives);
      return Outcome{
          {{"volumeId", id.ToString()}, {"status", status}}, Done("Created volume", id), true};
    };
  });

  // Commands that name one volume.
  auto volumeCommand = [&](const char* name, const char* help,
                           std::function<std::string(Session&, const Vesk::Volume&)> run,
                           Naming naming = Naming::AllowPrefix) {
    auto* command = app.add_subcommand(name, help);
    command->add_option("volume", volumeText, "Volume identifier or name")->required();
    command->callback([&, run, naming] {
      action = [&, run, naming](Session& s) {
        const Vesk::Volume& volume = ResolveVolume(s, volumeText, naming);
        return Outcome{{{"volumeId", volume.id.ToString()}}, run(s, volume), true};
      };
    });
    return command;
  };
  volumeCommand(
      "delete-volume", "Delete a volume",
      [](Session& s, const Vesk::Volume& v) {
        s.Storage().DeleteVolume(DeviceOf(s, v.controllerId), v.id);
        return Done("Deleted volume", v.id);
      },
      Naming::Exact);
  volumeCommand("rename-volume", "Rename a volume",
                [&](Session& s, const Vesk::Volume& v) {
                  if (nameText.size() > 16)
                    throw UsageError("a volume name has at most 16 characters");
                  s.Storage().RenameVolume(DeviceOf(s, v.controllerId), v.id, nameText.c_str());
                  return Done("Renamed volume", v.id);
                })
      ->add_option("name", nameText, "New name, at most 16 characters")
      ->required();
  volumeCommand("expand-volume", "Grow a volume",
                [&](Session& s, const Vesk::Volume& v) {
                  auto size = ParseSize(sizeText);
                  if (!size) throw UsageError("cannot read the size '" + sizeText + "'");
                  s.Storage().ExpandVolume(DeviceOf(s, v.controllerId), v.id, *size);
                  return Done("Expanding volume", v.id);
                })
      ->add_option("size", sizeText, "New size, e.g. 200G")
      ->required();
  volumeCommand("initialize-volume", "Initialize a volume (background work)",
                [](Session& s, const Vesk::Volume& v) {
                  s.Storage().InitializeVolume(DeviceOf(s, v.controllerId), v.id);
                  return Done("Initializing volume", v.id);
                });
  volumeCommand("verify-volume", "Verify a volume (background work)",
                [&](Session& s, const Vesk::Volume& v) {
                  s.Storage().VerifyVolume(DeviceOf(s, v.controllerId), v.id, repair);
                  return Done(repair ? "Verifying and repairing volume" : "Verifying volume", v.id);
                })
      ->add_flag("--repair", repair, "Repair what the verification finds");
  volumeCommand("cancel-verify", "Cancel a running verification",
                [](Session& s, const Vesk::Volume& v) {
                  s.Storage().CancelVerifyVolume(DeviceOf(s, v.controllerId), v.id);
                  return Done("Cancelled the verification of volume", v.id);
                });
  volumeCommand("rebuild-volume", "Rebuild a degraded volume onto drives",
                [&](Session& s, const Vesk::Volume& v) {
                  s.Storage().RebuildVolume(DeviceOf(s, v.controllerId), v.id,
                                            DriveIds(s, driveTexts, Naming::AllowPrefix));
                  return Done("Rebuilding volume", v.id);
                })
      ->add_option("--drives", driveTexts, "Drives that take the missing members' places")
      ->required()
      ->delimiter(',');
  auto* layout = volumeCommand(
      "change-layout", "Change a volume's RAID level or strip size (background work)",
      [&](Session& s, const Vesk::Volume& v) {
        auto level = levelText.empty() ? std::optional<Vesk::vesk_raid_level>(v.raidLevel)
                                       : ParseRaidLevel(levelText);
        if (!level) throw UsageError("unknown RAID level '" + levelText + "'");
        const std::uint16_t newStrip = strip ? strip : static_cast<std::uint16_t>(v.stripSize);
        s.Storage().ChangeRaidLayout(DeviceOf(s, v.controllerId), v.id,
                                     static_cast<Vesk::vesk_strip_size>(newStrip), *level,
                                     DriveIds(s, driveTexts, Naming::Exact));
        return Done("Changing the layout of volume", v.id);
      },
      Naming::Exact);
  layout->add_option("--level", levelText, "New RAID level (default: unchanged)");
  layout->add_option("--strip", strip, "New strip size in KiB (default: unchanged)");
  layout->add_option("--drives", driveTexts, "Drives to add")->delimiter(',');
  volumeCommand("set-volume-cache", "Set a volume's cache policy",
                [&](Session& s, const Vesk::Volume& v) {
                  auto policy = ParseCachePolicy(policyText);
                  if (!policy) throw UsageError("unknown cache policy '" + policyText + "'");
                  s.Storage().SetVolumeCachePolicy(
                      DeviceOf(s, v.controllerId), v.id,
                      static_cast<Vesk::vesk_volume_cache_policy>(*policy));
                  return Done("Set the cache policy of volume", v.id);
                })
      ->add_option("policy", policyText, "off, write-through or write-back")
      ->required();
  auto* rwh = volumeCommand("set-volume-rwh", "Set a volume's RAID write-hole policy",
                            [&](Session& s, const Vesk::Volume& v) {
                              auto policy = ParseRwhPolicy(policyText);
                              if (!policy)
                                throw UsageError("unknown write-hole policy '" + policyText + "'");
                              const auto journal =
                                  journalText.empty()
                                      ? Vesk::vesk_invalid_guid
                                      : ResolveDrive(s, journalText, Naming::AllowPrefix).id;
                              s.Storage().SetVolumeRaidWriteHolePolicy(
                                  DeviceOf(s, v.controllerId), v.id,
                                  static_cast<Vesk::vesk_rwh_policy>(*policy), journal);
                              return Done("Set the write-hole policy of volume", v.id);
                            });
  rwh->add_option("policy", policyText, "off, distributed or journaling")->required();
  rwh->add_option("--journal", journalText, "Journaling drive (policy journaling)");
  volumeCommand("mark-volume-normal", "Mark a failed volume as normal",
                [](Session& s, const Vesk::Volume& v) {
                  s.Storage().MarkVolumeAsNormal(DeviceOf(s, v.controllerId), v.id);
                  return Done("Marked as normal volume", v.id);
                });

  // --- arrays
  auto* addDrives = app.add_subcommand("add-drives", "Add drives to an array (background work)");
  addDrives->add_option("array", arrayText, "Array identifier or name")->required();
  addDrives->add_option("--drives", driveTexts, "Drives to add")->required()->delimiter(',');
  addDrives->callback([&] {
    action = [&](Session& s) {
      const Vesk::Array& a = ResolveArray(s, arrayText, Naming::AllowPrefix);
      s.Storage().AddDrivesToArray(DeviceOf(s, a.controllerId), a.id,
                                   DriveIds(s, driveTexts, Naming::AllowPrefix));
      return Outcome{{{"arrayId", a.id.ToString()}}, Done("Adding drives to array", a.id), true};
    };
  });
  auto* arrayCache = app.add_subcommand("set-array-cache", "Switch an array's write cache");
  arrayCache->add_option("array", arrayText, "Array identifier or name")->required();
  arrayCache->add_option("state", onOffText, "on or off")->required();
  arrayCache->callback([&] {
    action = [&](Session& s) {
      const Vesk::Array& a = ResolveArray(s, arrayText, Naming::AllowPrefix);
      s.Storage().SetArrayCachePolicy(DeviceOf(s, a.controllerId), a.id, OnOffArgument(onOffText));
      return Outcome{
          {{"arrayId", a.id.ToString()}}, Done("Set the cache policy of array", a.id), true};
    };
  });

  // --- drives
  auto driveCommand = [&](const char* name, const char* help,
                          std::function<std::string(Session&, const Vesk::Drive&)> run,
                          Naming naming = Naming::AllowPrefix) {
    auto* command = app.add_subcommand(name, help);
    command->add_option("drive", driveText, "Drive identifier or serial number")->required();
    command->callback([&, run, naming] {
      action = [&, run, naming](Session& s) {
        const Vesk::Drive& drive = ResolveDrive(s, driveText, naming);
        return Outcome{{{"driveId", drive.id.ToString()}}, run(s, drive), true};
      };
    });
    return command;
  };
  driveCommand("locate", "Light or darken a drive's locate LED",
               [&](Session& s, const Vesk::Drive& d) {
                 const bool on = OnOffArgument(onOffText);
                 s.Storage().ActivateDriveLed(s.ControllerById(d.controllerId), d.id, on);
                 return Done(on ? "Locate LED on for drive" : "Locate LED off for drive", d.id);
               })
      ->add_option("state", onOffText, "on or off")
      ->required();
  driveCommand(
      "clear-metadata", "Clear a drive's RAID metadata",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().ClearDriveMetadata(DeviceOf(s, d.controllerId), d.id);
        return Done("Cleared the metadata of drive", d.id);
      },
      Naming::Exact);
  driveCommand("mark-spare", "Mark a drive as spare", [](Session& s, const Vesk::Drive& d) {
    s.Storage().MarkDriveAsSpare(DeviceOf(s, d.controllerId), d.id);
    return Done("Marked as spare drive", d.id);
  });
  driveCommand("unmark-spare", "Take a drive's spare mark away",
               [](Session& s, const Vesk::Drive& d) {
                 s.Storage().UnmarkSpareDrive(DeviceOf(s, d.controllerId), d.id);
                 return Done("Unmarked spare drive", d.id);
               });
  driveCommand("mark-normal", "Mark a drive as normal", [](Session& s, const Vesk::Drive& d) {
    s.Storage().MarkDriveAsNormal(DeviceOf(s, d.controllerId), d.id);
    return Done("Marked as normal drive", d.id);
  });
  driveCommand(
      "remove-drive", "Remove a drive",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().RemoveDrive(DeviceOf(s, d.controllerId), d.id);
        return Done("Removed drive", d.id);
      },
      Naming::Exact);
  driveCommand("reset-smart", "Reset a drive's SMART event", [](Session& s, const Vesk::Drive& d) {
    s.Storage().ResetSmartEvent(DeviceOf(s, d.controllerId), d.id);
    return Done("Reset the SMART event of drive", d.id);
  });
  driveCommand("write-cache", "Switch a drive's volatile write cache",
               [&](Session& s, const Vesk::Drive& d) {
                 const bool on = OnOffArgument(onOffText);
                 s.Storage().SetWriteCacheOnDrive(DeviceOf(s, d.controllerId), d.id, on);
                 return Done(on ? "Write cache on for drive" : "Write cache off for drive", d.id);
               })
      ->add_option("state", onOffText, "on or off")
      ->required();

  // --- controllers
  auto controllerCommand = [&](const char* name, const char* help, bool rohi) {
    auto* command = app.add_subcommand(name, help);
    command->add_option("controller", controllerText, "Controller identifier or name")->required();
    command->add_option("state", onOffText, "on or off")->required();
    command->callback([&, rohi] {
      action = [&, rohi](Session& s) {
        const Vesk::Controller& c = ResolveController(s, controllerText, Naming::AllowPrefix);
        const bool on = OnOffArgument(onOffText);
        if (rohi) {
          s.Storage().SetControllerRohiPolicy(c.GetDeviceHandle().get(), on);
        } else {
          s.Storage().SetControllerReadPatrolPolicy(c.GetDeviceHandle().get(), on);
        }
        return Outcome{{{"controllerId", c.id.ToString()}},
                       Done(rohi ? "Set the ROHI policy of controller"
                                 : "Set the read-patrol policy of controller",
                            c.id),
                       true};
      };
    });
  };
  controllerCommand("set-read-patrol", "Switch a controller's read patrol", false);
  controllerCommand("set-rohi", "Switch a controller's ROHI policy", true);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  return Run(options, action, !reset->parsed());
}
