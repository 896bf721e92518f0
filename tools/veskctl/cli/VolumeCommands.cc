// The commands that create a volume or name one.
#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/cli/Commands.h"
#include "tools/veskctl/cli/Validate.h"

namespace veskctl {

namespace {

nlohmann::json VolumeRequest(const Vesk::Volume& v, const char* operation) {
  nlohmann::json request = Request(operation, v.controllerId);
  request["volumeId"] = v.id.ToString();
  return request;
}

}  // namespace

CLI::App* Commands::VolumeCommand(CLI::App& app, const char* name, const char* help,
                                  VolumePlanner plan, Naming naming, bool destroys) {
  auto* command = app.add_subcommand(name, help);
  command->add_option("volume", volumeText, "Volume identifier or name")->required();
  if (destroys) destroying.insert(command);
  command->callback([this, command, name, plan, naming] {
    planner = [this, command, name, plan, naming](Session& s, const Model& before) {
      const Vesk::Volume& v = ResolveVolume(s, volumeText, naming);
      Plan p = plan(s, before, v);
      p.destructive = Destroys(*command);
      if (p.action.empty()) p.action = "run " + std::string(name) + " on " + VolumeLabel(v);
      return p;
    };
  });
  return command;
}

CLI::App* Commands::WorkCommand(
    CLI::App& app, const char* name, const char* help, const char* operation,
    std::function<void(Session&, const Vesk::DeviceHandle*, const Vesk::vesk_guid&)> call,
    std::function<std::string()> done) {
  return VolumeCommand(app, name, help, [=, this](Session&, const Model&, const Vesk::Volume& v) {
    nlohmann::json request = VolumeRequest(v, operation);
    if (std::string(operation) == "VerifyVolume") {
      CheckInitialized(v);
      request["repair"] = repair;
    }
    return Simple(request, [=, c = v.controllerId, id = v.id](Session& s) {
      call(s, DeviceOf(s, c), id);
      return Outcome{{{"volumeId", id.ToString()}}, Done(done(), id)};
    });
  });
}

// The volume commands, one line each: name, help, what it plans, how its volume may be named, and
// its own options. The plans follow.
void Commands::AddVolumeCommands(CLI::App& app) {
  using std::bind_front;
  AddCreateVolume(app);
  VolumeCommand(app, "delete-volume", "Delete a volume (asks first)",
                bind_front(&Commands::PlanDeleteVolume, this), Naming::Exact, true);
  VolumeCommand(app, "rename-volume", "Rename a volume",
                bind_front(&Commands::PlanRenameVolume, this))
      ->add_option("name", nameText, "New name, at most 16 bytes")
      ->required();
  VolumeCommand(app, "expand-volume", "Grow a volume",
                bind_front(&Commands::PlanExpandVolume, this))
      ->add_option("size", sizeText,
                   "New size, e.g. 200G (powers of 1024), 200GB (powers of 1000), or max: all "
                   "the room the array has")
      ->required();
  WorkCommand(
      app, "initialize-volume", "Initialize a volume (background work)", "InitializeVolume",
      [](Session& s, auto device, auto& id) { s.Storage().InitializeVolume(device, id); },
      [] { return "Initializing volume"; });
  WorkCommand(
      app, "verify-volume", "Verify a volume (background work)", "VerifyVolume",
      [this](Session& s, auto device, auto& id) { s.Storage().VerifyVolume(device, id, repair); },
      [this] { return repair ? "Verifying and repairing volume" : "Verifying volume"; })
      ->add_flag("--repair", repair, "Repair what the verification finds");
  WorkCommand(
      app, "cancel-verify", "Cancel a running verification", "CancelVerifyVolume",
      [](Session& s, auto device, auto& id) { s.Storage().CancelVerifyVolume(device, id); },
      [] { return "Cancelled the verification of volume"; });
  WorkCommand(
      app, "mark-volume-normal", "Mark a failed volume as normal", "MarkVolumeAsNormal",
      [](Session& s, auto device, auto& id) { s.Storage().MarkVolumeAsNormal(device, id); },
      [] { return "Marked as normal volume"; });
  VolumeCommand(app, "acknowledge-data-loss",
                "Take away a volume's data-loss mark once its data is restored or given up",
                bind_front(&Commands::PlanAcknowledgeDataLoss, this));
  VolumeCommand(app, "rebuild-volume", "Rebuild a degraded volume onto drives",
                bind_front(&Commands::PlanRebuildVolume, this))
      ->add_option("--drives", driveTexts,
                   "Drives that take the missing members' places (none when no member is missing)");
  auto* layout =
      VolumeCommand(app, "change-layout",
                    "Change a volume's RAID level or strip size (background work; asks first)",
                    bind_front(&Commands::PlanChangeLayout, this), Naming::Exact, true);
  layout->add_option("--level", levelText, "New RAID level (default: unchanged)");
  layout->add_option("--strip", stripText, "New strip size in KiB (default: unchanged)");
  layout->add_option("--drives", driveTexts, "Drives to add");
  VolumeCommand(app, "set-volume-cache", "Set a volume's cache policy",
                bind_front(&Commands::PlanSetVolumeCache, this))
      ->add_option("policy", policyText, "off, write-through or write-back")
      ->required();
  auto* rwh = VolumeCommand(app, "set-volume-rwh", "Set a volume's RAID write-hole policy",
                            bind_front(&Commands::PlanSetVolumeRwh, this));
  rwh->add_option("policy", policyText, "off, distributed or journaling")->required();
  rwh->add_option("--journal", journalText, "Journaling drive (policy journaling)");
}

void Commands::AddCreateVolume(CLI::App& app) {
  auto* create = app.add_subcommand("create-volume", "Create a volume");
  create->add_option("--controller", controllerText,
                     "Controller (default: the drives' controller)");
  create->add_option("--name", nameText, "Volume name, at most 16 bytes")->required();
  create->add_option("--level", levelText, "RAID level: 0, 1, 5, 10 or 4")->required();
  create
      ->add_option("--drives", driveTexts,
                   "Member drives (all members of an existing array to add a volume to it)")
      ->required();
  create->add_option("--size", sizeText,
                     "Size: 500GB (powers of 1000), 100G or 100GiB (powers of 1024) (default: "
                     "all the room there is)");
  create->add_option("--strip", stripText, "Strip size in KiB (default: the level's default)");
  create->add_flag("--initialize", initialize, "Initialize the volume after creating it");
  create->add_option("--rwh", policyText, "Write-hole policy: off, distributed or journaling");
  create->add_option("--journal", journalText, "Journaling drive for --rwh journaling");
  create->callback([this, create] {
    planner = [this, create](Session& s, const Model&) { return PlanCreateVolume(s, *create); };
  });
}

Plan Commands::PlanCreateVolume(Session& s, const CLI::App& create) {
  CheckVolumeName(nameText);
  CheckNameIsFree(s, nameText, nullptr);
  const auto level = ParseLevel(levelText);
  const auto drives = ResolveDrives(s, ListItems(driveTexts, "--drives"), Naming::AllowPrefix);
  const Vesk::Controller& controller =
      controllerText.empty() ? s.ControllerById(drives.front()->controllerId)
                             : ResolveController(s, controllerText, Naming::AllowPrefix);
  CheckSameController(
      s, drives, controller.id,
      controllerText.empty() ? "drive " + Serial(*drives.front()) : "the volume (--controller)");
  const auto& descriptor = OfferedLevel(controller, level);
  Vesk::vesk_new_volume_parameters parameters{};
  std::copy(nameText.begin(), nameText.end(), parameters.name);
  parameters.stripSize =
      static_cast<Vesk::vesk_strip_size>(stripText.empty() ? 0 : ParseStrip(stripText, descriptor));
  parameters.raidLevel = level;
  parameters.size = NewVolumeSize(s, sizeText, create.count("--size") > 0, drives, level);
  parameters.SetInitialize(initialize);
  std::uint8_t rwh = 0;
  if (!policyText.empty()) {
    auto policy = ParseRwhPolicy(policyText);
    if (!policy) throw UsageError("unknown write-hole policy '" + policyText + "'");
    rwh = *policy;
    parameters.SetRwhPolicy(static_cast<Vesk::vesk_rwh_policy>(rwh));
  }
  parameters.keepExistingDriveId = Vesk::vesk_invalid_guid;
  parameters.journalingDriveId = Vesk::vesk_invalid_guid;
  if (!journalText.empty()) {
    const Vesk::Drive& journal = ResolveDrive(s, journalText, Naming::AllowPrefix);
    CheckSameController(s, {&journal}, controller.id, "the volume");
    parameters.journalingDriveId = journal.id;
  }
  const auto ids = Ids(drives);
  const Vesk::vesk_guid controllerId = controller.id;
  Plan plan;
  plan.request = Request("CreateVolume", controllerId);
  plan.request["parameters"] = {{"name", nameText},
                                {"raidLevel", level},
                                {"raidLevelName", RaidLevelName(level)},
                                {"stripSize", StripBytes(parameters.stripSize)},
                                {"size", static_cast<std::uint64_t>(parameters.size)},
                                {"initialize", initialize},
                                {"rwhPolicy", rwh},
                                {"rwhPolicyName", RwhPolicyName(rwh)},
                                {"journalingDriveId", parameters.journalingDriveId.ToString()}};
  plan.request["driveIds"] = IdTexts(ids);
  plan.action = "create volume \"" + nameText + "\"";
  plan.send = [=](Session& s) {
    auto [status, id] = s.Storage().CreateVolume(s.ControllerById(controllerId), parameters, ids);
    return Outcome{{{"volumeId", id.ToString()}, {"status", status}}, Done("Created volume", id)};
  };
  return plan;
}

Plan Commands::PlanDeleteVolume(Session&, const Model&, const Vesk::Volume& v) {
  Plan plan = Simple(VolumeRequest(v, "DeleteVolume"), [c = v.controllerId, id = v.id](Session& s) {
    s.Storage().DeleteVolume(DeviceOf(s, c), id);
    return Outcome{{{"volumeId", id.ToString()}}, Done("Deleted volume", id)};
  });
  plan.action = "delete " + VolumeLabel(v);
  return plan;
}

Plan Commands::PlanRenameVolume(Session& s, const Model&, const Vesk::Volume& v) {
  CheckVolumeName(nameText);
  CheckNameIsFree(s, nameText, &v);
  nlohmann::json request = VolumeRequest(v, "RenameVolume");
  request["name"] = nameText;
  return Simple(request, [c = v.controllerId, id = v.id, name = nameText](Session& s) {
    s.Storage().RenameVolume(DeviceOf(s, c), id, name.c_str());
    return Outcome{{{"volumeId", id.ToString()}}, Done("Renamed volume", id)};
  });
}

Plan Commands::PlanExpandVolume(Session& s, const Model&, const Vesk::Volume& v) {
  const std::uint64_t size = ExpandedSize(s, v, sizeText);
  nlohmann::json request = VolumeRequest(v, "ExpandVolume");
  request["size"] = size;
  return Simple(request, [c = v.controllerId, id = v.id, size](Session& s) {
    s.Storage().ExpandVolume(DeviceOf(s, c), id, size);
    return Outcome{{{"volumeId", id.ToString()}}, Done("Expanding volume", id)};
  });
}

// The mark is veskctl's and, on the simulated machine, the simulated driver's too: both go. No
// request reaches a RAID driver, which keeps no such mark.
Plan Commands::PlanAcknowledgeDataLoss(Session& s, const Model&, const Vesk::Volume& v) {
  if (!s.Jobs().DataLost(v.id.ToString()))
    throw UsageError(VolumeLabel(v) + " has no data-loss mark to acknowledge");
  nlohmann::json request = VolumeRequest(v, "acknowledge-data-loss");
  Plan plan = Simple(request, [id = v.id](Session& s) {
    if (s.SimulatedDriver()) s.Driver().AcknowledgeDataLoss(id);
    s.Jobs().AcknowledgeDataLoss(id.ToString());
    return Outcome{{{"volumeId", id.ToString()}}, Done("Acknowledged the data loss of volume", id)};
  });
  plan.startsWork = false;
  plan.action = "acknowledge the data loss of " + VolumeLabel(v);
  return plan;
}

Plan Commands::PlanRebuildVolume(Session& s, const Model&, const Vesk::Volume& v) {
  const auto drives = ResolveDrives(s, ListItems(driveTexts, "--drives"), Naming::AllowPrefix);
  CheckSameController(s, drives, v.controllerId, VolumeLabel(v));
  const auto ids = Ids(drives);
  nlohmann::json request = VolumeRequest(v, "RebuildVolume");
  request["driveIds"] = IdTexts(ids);
  Plan plan = Simple(request, [c = v.controllerId, id = v.id, ids](Session& s) {
    s.Storage().RebuildVolume(DeviceOf(s, c), id, ids);
    return Outcome{{{"volumeId", id.ToString()}}, Done("Rebuilding volume", id)};
  });
  plan.action = "rebuild " + VolumeLabel(v);
  return plan;
}

Plan Commands::PlanChangeLayout(Session& s, const Model&, const Vesk::Volume& v) {
  const Vesk::Controller& controller = s.ControllerById(v.controllerId);
  const auto level = levelText.empty() ? v.raidLevel : ParseLevel(levelText);
  const auto& descriptor = OfferedLevel(controller, level);
  const std::uint16_t strip = !stripText.empty() ? ParseStrip(stripText, descriptor)
                              : level == v.raidLevel
                                  ? static_cast<std::uint16_t>(v.stripSize)
                                  : static_cast<std::uint16_t>(descriptor.defaultStripSize);
  const auto drives = ResolveDrives(s, ListItems(driveTexts, "--drives"), Naming::Exact);
  CheckSameController(s, drives, v.controllerId, VolumeLabel(v));
  std::vector<Vesk::vesk_guid> added;
  for (const Vesk::Drive* d : drives)
    if (d->arrayId != v.arrayId) added.push_back(d->id);
  if (level == v.raidLevel && strip == v.stripSize && added.empty()) {
    throw UsageError("change-layout would change nothing: " + VolumeLabel(v) + " already is " +
                     RaidLevelName(level) + " with a " + StripSizeText(strip) +
                     " strip; give another --level, another --strip or drives to add");
  }
  const auto ids = Ids(drives);
  nlohmann::json request = VolumeRequest(v, "ChangeRaidLayout");
  request["stripSize"] = StripBytes(strip);
  request["raidLevel"] = level;
  request["raidLevelName"] = RaidLevelName(level);
  request["driveIds"] = IdTexts(ids);
  Plan plan = Simple(request, [c = v.controllerId, id = v.id, strip, level, ids](Session& s) {
    s.Storage().ChangeRaidLayout(DeviceOf(s, c), id, static_cast<Vesk::vesk_strip_size>(strip),
                                 level, ids);
    return Outcome{{{"volumeId", id.ToString()}}, Done("Changing the layout of volume", id)};
  });
  plan.action = "change " + VolumeLabel(v) + " from " + RaidLevelName(v.raidLevel) + ", " +
                StripSizeText(v.stripSize) + " strip to " + RaidLevelName(level) + ", " +
                StripSizeText(strip) + " strip" +
                (added.empty() ? "" : " over " + std::to_string(added.size()) + " more drive(s)");
  return plan;
}

Plan Commands::PlanSetVolumeCache(Session&, const Model&, const Vesk::Volume& v) {
  auto policy = ParseCachePolicy(policyText);
  if (!policy) throw UsageError("unknown cache policy '" + policyText + "'");
  nlohmann::json request = VolumeRequest(v, "SetVolumeCachePolicy");
  request["policy"] = *policy;
  request["policyName"] = CachePolicyName(*policy);
  return Simple(request, [c = v.controllerId, id = v.id, p = *policy](Session& s) {
    s.Storage().SetVolumeCachePolicy(DeviceOf(s, c), id,
                                     static_cast<Vesk::vesk_volume_cache_policy>(p));
    return Outcome{{{"volumeId", id.ToString()}}, Done("Set the cache policy of volume", id)};
  });
}

Plan Commands::PlanSetVolumeRwh(Session& s, const Model&, const Vesk::Volume& v) {
  auto policy = ParseRwhPolicy(policyText);
  if (!policy) throw UsageError("unknown write-hole policy '" + policyText + "'");
  Vesk::vesk_guid journal = Vesk::vesk_invalid_guid;
  if (!journalText.empty()) {
    const Vesk::Drive& d = ResolveDrive(s, journalText, Naming::AllowPrefix);
    CheckSameController(s, {&d}, v.controllerId, VolumeLabel(v));
    journal = d.id;
  }
  nlohmann::json request = VolumeRequest(v, "SetVolumeRaidWriteHolePolicy");
  request["policy"] = *policy;
  request["policyName"] = RwhPolicyName(*policy);
  request["journalingDriveId"] = journal.ToString();
  return Simple(request, [c = v.controllerId, id = v.id, p = *policy, journal](Session& s) {
    s.Storage().SetVolumeRaidWriteHolePolicy(DeviceOf(s, c), id,
                                             static_cast<Vesk::vesk_rwh_policy>(p), journal);
    return Outcome{{{"volumeId", id.ToString()}}, Done("Set the write-hole policy of volume", id)};
  });
}

}  // namespace veskctl
