// The commands that name an array, a drive or a controller.
#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/cli/Commands.h"
#include "tools/veskctl/cli/Validate.h"

namespace veskctl {

namespace {

// Only a drive that is gone can be forgotten, and not while an array still keeps its place: the
// array needs a drive there before the missing member stops mattering.
void CheckForgettable(Session& s, const Vesk::Drive& d) {
  if (d.status != drive_status::kMissing)
    throw UsageError(DriveLabel(d) + " is present (" + DriveStatusName(d.status) +
                     "): only a drive that is gone (missing) can be forgotten");
  if (d.arrayId.IsEmpty()) return;
  std::string volume = "VOLUME";
  for (const auto& [id, v] : s.Storage().GetVolumes())
    if (v->arrayId == d.arrayId) volume = QuotedArgument(DriverText(v->name, sizeof v->name));
  throw UsageError(DriveLabel(d) + " holds the place of a missing member of its array (" +
                   d.arrayId.ToString() +
                   "): put a drive in its place first (veskctl rebuild-volume " + volume +
                   " --drives DRIVE), then forget it");
}

}  // namespace

CLI::App* Commands::DriveCommand(CLI::App& app, const char* name, const char* help,
                                 const char* operation, DriveCall call,
                                 std::function<std::string()> done, Naming naming,
                                 const char* destroys) {
  auto* command = app.add_subcommand(name, help);
  command->add_option("drive", driveText, "Drive identifier or serial number")->required();
  if (destroys) destroying.insert(command);
  command->callback([this, command, name, operation, call, done, naming, destroys] {
    planner = [this, command, name, operation, call, done, naming, destroys](Session& s,
                                                                             const Model&) {
      const Vesk::Drive& d = ResolveDrive(s, driveText, naming);
      nlohmann::json request = Request(operation, d.controllerId);
      request["driveId"] = d.id.ToString();
      if (!onOffText.empty()) request["enabled"] = ParseSwitch(onOffText);
      Plan plan = Simple(request, [id = d.id, call, done](Session& s) {
        call(s, DriveIn(s, id));
        return Outcome{{{"driveId", id.ToString()}}, Done(done(), id)};
      });
      plan.destructive = Destroys(*command);
      if (destroys) {
        plan.action = destroys + (" " + DriveLabel(d));
      } else {
        plan.action = "run " + std::string(name) + " on " + DriveLabel(d);
      }
      return plan;
    };
  });
  return command;
}

void Commands::ControllerCommand(CLI::App& app, const char* name, const char* help, bool rohi) {
  auto* command = app.add_subcommand(name, help);
  command->add_option("controller", controllerText, "Controller identifier or name")->required();
  command->add_option("state", onOffText, "on or off")->required();
  command->callback([this, rohi] {
    planner = [this, rohi](Session& s, const Model&) {
      const Vesk::Controller& c = ResolveController(s, controllerText, Naming::AllowPrefix);
      const bool on = ParseSwitch(onOffText);
      nlohmann::json request =
          Request(rohi ? "SetControllerRohiPolicy" : "SetControllerReadPatrolPolicy", c.id);
      request["enabled"] = on;
      return Simple(request, [id = c.id, rohi, on](Session& s) {
        const auto* device = DeviceOf(s, id);
        if (rohi) {
          s.Storage().SetControllerRohiPolicy(device, on);
        } else {
          s.Storage().SetControllerReadPatrolPolicy(device, on);
        }
        return Outcome{{{"controllerId", id.ToString()}},
                       Done(rohi ? "Set the ROHI policy of controller"
                                 : "Set the read-patrol policy of controller",
                            id)};
      });
    };
  });
}

void Commands::AddElementCommands(CLI::App& app) {
  // --- arrays
  auto* addDrives = app.add_subcommand("add-drives", "Add drives to an array (background work)");
  addDrives->add_option("array", arrayText, "Array identifier or name")->required();
  addDrives->add_option("--drives", driveTexts, "Drives to add")->required();
  addDrives->callback([this] {
    planner = [this](Session& s, const Model&) {
      const Vesk::Array& a = ResolveArray(s, arrayText, Naming::AllowPrefix);
      const auto drives = ResolveDrives(s, ListItems(driveTexts, "--drives"), Naming::AllowPrefix);
      CheckSameController(s, drives, a.controllerId, ArrayLabel(a));
      const auto ids = Ids(drives);
      nlohmann::json request = Request("AddDrivesToArray", a.controllerId);
      request["arrayId"] = a.id.ToString();
      request["driveIds"] = IdTexts(ids);
      Plan plan = Simple(request, [c = a.controllerId, id = a.id, ids](Session& s) {
        s.Storage().AddDrivesToArray(DeviceOf(s, c), id, ids);
        return Outcome{{{"arrayId", id.ToString()}}, Done("Adding drives to array", id)};
      });
      plan.action = "add " + std::to_string(ids.size()) + " drive(s) to " + ArrayLabel(a);
      return plan;
    };
  });
  auto* arrayCache = app.add_subcommand("set-array-cache", "Switch an array's write cache");
  arrayCache->add_option("array", arrayText, "Array identifier or name")->required();
  arrayCache->add_option("state", onOffText, "on or off")->required();
  arrayCache->callback([this] {
    planner = [this](Session& s, const Model&) {
      const Vesk::Array& a = ResolveArray(s, arrayText, Naming::AllowPrefix);
      const bool on = ParseSwitch(onOffText);
      nlohmann::json request = Request("SetArrayCachePolicy", a.controllerId);
      request["arrayId"] = a.id.ToString();
      request["enabled"] = on;
      return Simple(request, [c = a.controllerId, id = a.id, on](Session& s) {
        s.Storage().SetArrayCachePolicy(DeviceOf(s, c), id, on);
        return Outcome{{{"arrayId", id.ToString()}}, Done("Set the cache policy of array", id)};
      });
    };
  });

  // --- drives

  DriveCommand(
      app, "locate", "Light or darken a drive's locate LED", "ActivateDriveLed",
      [this](Session& s, const Vesk::Drive& d) {
        s.Storage().ActivateDriveLed(s.ControllerById(d.controllerId), d.id,
                                     ParseSwitch(onOffText));
      },
      [this] {
        return ParseSwitch(onOffText) ? "Locate LED on for drive" : "Locate LED off for drive";
      })
      ->add_option("state", onOffText, "on or off")
      ->required();
  DriveCommand(
      app, "clear-metadata", "Clear a drive's RAID metadata (asks first)", "ClearDriveMetadata",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().ClearDriveMetadata(DeviceOf(s, d.controllerId), d.id);
      },
      [] { return "Cleared the metadata of drive"; }, Naming::Exact, "clear the RAID metadata of");
  DriveCommand(
      app, "mark-spare", "Mark a drive as spare", "MarkDriveAsSpare",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().MarkDriveAsSpare(DeviceOf(s, d.controllerId), d.id);
      },
      [] { return "Marked as spare drive"; });
  DriveCommand(
      app, "unmark-spare", "Take a drive's spare mark away", "UnmarkSpareDrive",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().UnmarkSpareDrive(DeviceOf(s, d.controllerId), d.id);
        // Taken away on purpose: the controller has not lost a spare it counted on.
        s.Remembered().SpareUnmarked(d.controllerId, Serial(d));
      },
      [] { return "Unmarked spare drive"; });
  DriveCommand(
      app, "mark-normal", "Mark a drive as normal", "MarkDriveAsNormal",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().MarkDriveAsNormal(DeviceOf(s, d.controllerId), d.id);
      },
      [] { return "Marked as normal drive"; });
  DriveCommand(
      app, "remove-drive", "Remove a drive (asks first)", "RemoveDrive",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().RemoveDrive(DeviceOf(s, d.controllerId), d.id);
      },
      [] { return "Removed drive"; }, Naming::Exact, "remove");
  auto* forget = app.add_subcommand(
      "forget-drive",
      "Forget a drive that is gone for good (removed, or missing and replaced): it no longer "
      "counts as missing");
  forget->add_option("drive", driveText, "Drive identifier or serial number")->required();
  forget->callback([this] {
    planner = [this](Session& s, const Model&) {
      const Vesk::Drive& d = ResolveDrive(s, driveText, Naming::Exact);
      CheckForgettable(s, d);
      nlohmann::json request = Request("ForgetDrive", d.controllerId);
      request["driveId"] = d.id.ToString();
      // The driver keeps a drive that left for as long as it runs: veskctl's roster is what
      // forgets it, for the RAID driver and the simulated machine alike.
      Plan plan = Simple(request, [id = d.id, serial = Serial(d)](Session& s) {
        s.Remembered().Forget(id, serial, s.ClockMs());
        s.SaveRoster();
        return Outcome{{{"driveId", id.ToString()}}, Done("Forgot drive", id)};
      });
      plan.action = "forget " + DriveLabel(d);
      plan.startsWork = false;
      return plan;
    };
  });
  DriveCommand(
      app, "reset-smart", "Reset a drive's SMART event", "ResetSmartEvent",
      [](Session& s, const Vesk::Drive& d) {
        s.Storage().ResetSmartEvent(DeviceOf(s, d.controllerId), d.id);
      },
      [] { return "Reset the SMART event of drive"; });
  DriveCommand(
      app, "write-cache", "Switch a drive's volatile write cache", "SetWriteCacheOnDrive",
      [this](Session& s, const Vesk::Drive& d) {
        s.Storage().SetWriteCacheOnDrive(DeviceOf(s, d.controllerId), d.id, ParseSwitch(onOffText));
      },
      [this] {
        return ParseSwitch(onOffText) ? "Write cache on for drive" : "Write cache off for drive";
      })
      ->add_option("state", onOffText, "on or off")
      ->required();

  // --- controllers

  ControllerCommand(app, "set-read-patrol", "Switch a controller's read patrol", false);
  ControllerCommand(app, "set-rohi", "Switch a controller's ROHI policy", true);
}

}  // namespace veskctl
