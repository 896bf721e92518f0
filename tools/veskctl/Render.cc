#include "tools/veskctl/Render.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "device/DeviceHandle.h"
#include "tools/veskctl/Names.h"

namespace veskctl {

namespace {

using Vesk::Array;
using Vesk::Controller;
using Vesk::Drive;
using Vesk::Volume;

#define TEXT(field) DriverText(field, sizeof(field))

std::string Version(const Vesk::vesk_version_quad& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) +
         "." + std::to_string(v.revision);
}

std::string SpecificationVersion(const Controller& c) {
  return std::to_string(c.apiVersion + 1) + ".0";
}

// Packed record fields are copied before they reach a function that takes a reference.
template <typename T>
T Copy(T value) {
  return value;
}

std::string OnOff(bool value) { return value ? "on" : "off"; }

template <typename Map>
std::vector<typename Map::mapped_type> Of(const Map& map, const Vesk::vesk_guid& controllerId) {
  std::vector<typename Map::mapped_type> records;
  for (const auto& [id, record] : map) {
    if (record->controllerId == controllerId) records.push_back(record);
  }
  return records;
}

std::string ScsiText(const Vesk::Scsi& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%u:%u:%u:%u", s.host, s.bus, s.target, s.lun);
  return text;
}

bool VolumeWorkRunning(const Volume& v) {
  // States 3 to 7 are background work: initializing, verifying (and fixing), rebuilding,
  // migrating.
  return v.migrating() || (v.state >= 3 && v.state <= 7);
}

std::string DriveLine(const Drive& d) {
  std::ostringstream line;
  line << TEXT(d.modelNumber) << "  serial " << TEXT(d.serialNumber) << "  "
       << HumanBytes(d.totalSize) << "  " << DriveTypeName(d.type) << "  "
       << DriveStatusName(d.status) << "  " << DriveUsageName(d.usage) << "  SCSI "
       << ScsiText(d.scsiAddress);
  if (d.type == Vesk::VESK_DRIVE_NVME) {
    line << "  slot " << d.physicalSlotNumber();
  } else {
    line << "  port " << static_cast<int>(d.portNumber());
  }
  if (d.ledActive()) line << "  LED on";
  if (d.writeCacheEnabled()) line << "  write cache on";
  return line.str();
}

nlohmann::json DriveJson(const Drive& d) {
  nlohmann::json j = {
      {"id", d.id.ToString()},
      {"arrayId",
       d.arrayId.IsEmpty() ? nlohmann::json(nullptr) : nlohmann::json(d.arrayId.ToString())},
      {"model", TEXT(d.modelNumber)},
      {"serial", TEXT(d.serialNumber)},
      {"firmware", TEXT(d.firmwareRevision)},
      {"serviceLabel", TEXT(d.serviceLabel)},
      {"blocks", Copy(d.size)},
      {"logicalBlockSize", Copy(d.logicalBlockSize)},
      {"physicalBlockSize", Copy(d.physicalBlockSize)},
      {"totalSize", Copy(d.totalSize)},
      {"type", Copy(d.type)},
      {"typeName", DriveTypeName(d.type)},
      {"status", Copy(d.status)},
      {"statusName", DriveStatusName(d.status)},
      {"usage", Copy(d.usage)},
      {"usageName", DriveUsageName(d.usage)},
      {"ledActive", d.ledActive()},
      {"writeCacheEnabled", d.writeCacheEnabled()},
      {"systemDrive", d.systemDrive()},
      {"scsiAddress",
       {{"host", Copy(d.scsiAddress.host)},
        {"bus", Copy(d.scsiAddress.bus)},
        {"target", Copy(d.scsiAddress.target)},
        {"lun", Copy(d.scsiAddress.lun)}}},
  };
  if (d.type == Vesk::VESK_DRIVE_NVME) {
    j["nvme"] = {{"vendorId", d.vendorId()},
                 {"socket", d.socketNumber()},
                 {"dornController", d.dornControllerNumber()},
                 {"rootPortOffset", d.rootPortOffset()},
                 {"slot", d.physicalSlotNumber()},
                 {"linkRate", d.pciNegotiatedLinkRate()},
                 {"linkWidth", d.negotiatedLinkWidth()}};
  } else {
    j["sata"] = {{"port", d.portNumber()},
                 {"linkRate", d.ataNegotiatedLinkRate()},
                 {"ssd", d.isSsd()},
                 {"ncq", d.ncqSupport()}};
  }
  return j;
}

nlohmann::json VolumeJson(const Volume& v) {
  return {
      {"id", v.id.ToString()},
      {"arrayId", v.arrayId.ToString()},
      {"name", TEXT(v.name)},
      {"raidLevel", Copy(v.raidLevel)},
      {"raidLevelName", RaidLevelName(v.raidLevel)},
      {"size", Copy(v.size)},
      {"stripSize", Copy(v.stripSize)},
      {"state", Copy(v.state)},
      {"stateName", VolumeStateName(v.state)},
      {"numberOfDrives", Copy(v.numberOfDrives)},
      {"initialized", v.initialized()},
      {"systemVolume", v.systemVolume()},
      {"migrating", v.migrating()},
      {"progress",
       VolumeWorkRunning(v) ? nlohmann::json(Copy(v.migrationProgress)) : nlohmann::json(nullptr)},
      {"verifyErrors", Copy(v.verifyErrors)},
      {"verifyBadBlocks", Copy(v.verifyBadBlocks)},
      {"logicalBlockSize", Copy(v.logicalBlockSize)},
      {"cachePolicy", v.cachePolicy()},
      {"cachePolicyName", CachePolicyName(v.cachePolicy())},
      {"rwhPolicy", v.rwhPolicy()},
      {"rwhPolicyName", RwhPolicyName(v.rwhPolicy())},
      {"journalingDriveId", v.journalingDriveId.IsEmpty()
                                ? nlohmann::json(nullptr)
                                : nlohmann::json(v.journalingDriveId.ToString())},
  };
}

}  // namespace

std::string TopologyTree(const Session& session) {
  auto& storage = const_cast<Session&>(session).Storage();
  std::ostringstream out;
  const auto controllers = session.ControllersInOrder();
  if (controllers.empty()) {
    out << "No RAID controller found.\n";
    return out.str();
  }
  for (const Controller* c : controllers) {
    out << "Controller " << c->id.ToString() << "  " << TEXT(c->name) << "\n";
    out << "  type " << ControllerTypeName(c->type) << ", management version "
        << SpecificationVersion(*c) << ", driver " << Version(c->osDriverVersion)
        << ", pre-OS driver " << Version(c->preosDriverVersion)
        << (c->preosDriverLoaded() ? " (loaded)" : "") << "\n";
    out << "  read patrol " << OnOff(c->readPatrolEnabled()) << ", ROHI " << OnOff(c->rohiEnabled())
        << ", limits: " << c->maxVolumesPerController << " volumes, " << c->maxVolumesPerArray
        << " per array, " << c->maxDrivesPerController << " drives, " << c->maxDrivesPerArray
        << " per array\n";
    out << "  RAID levels:";
    bool any = false;
    for (const auto& level : c->raidLevelDescriptors) {
      if (level.level == 0) continue;
      out << (any ? ", " : " ") << RaidLevelName(level.level) << " (" << level.minDrivesCount << "-"
          << level.maxDrivesCount << " drives)";
      any = true;
    }
    out << (any ? "\n" : " none\n");

    const auto drives = Of(storage.GetDrives(), c->id);
    for (const Array* a : Of(storage.GetArrays(), c->id)) {
      out << "  Array " << a->id.ToString() << "  " << TEXT(a->name) << "  "
          << HumanBytes(a->totalSize) << " total, " << HumanBytes(a->freeSize)
          << " free, write cache " << OnOff(a->writeCacheEnabled()) << "\n";
      for (const Volume* v : Of(storage.GetVolumes(), c->id)) {
        if (v->arrayId != a->id) continue;
        out << "    Volume " << v->id.ToString() << "  \"" << TEXT(v->name) << "\"  "
            << RaidLevelName(v->raidLevel) << "  " << HumanBytes(v->size) << "  strip "
            << StripSizeText(v->stripSize) << "  " << VolumeStateName(v->state);
        if (VolumeWorkRunning(*v)) out << " " << v->migrationProgress << "%";
        out << "\n      cache " << CachePolicyName(v->cachePolicy()) << ", write hole "
            << RwhPolicyName(v->rwhPolicy());
        if (!v->journalingDriveId.IsEmpty()) out << " on " << v->journalingDriveId.ToString();
        out << (v->initialized() ? ", initialized" : ", not initialized")
            << (v->systemVolume() ? ", system volume" : "");
        if (v->verifyErrors || v->verifyBadBlocks) {
          out << ", last verify: " << v->verifyErrors << " errors, " << v->verifyBadBlocks
              << " bad blocks";
        }
        out << "\n";
      }
      for (const Drive* d : drives) {
        if (d->arrayId == a->id)
          out << "    Drive " << d->id.ToString() << "  " << DriveLine(*d) << "\n";
      }
    }
    bool header = false;
    for (const Drive* d : drives) {
      if (!d->arrayId.IsEmpty()) continue;
      if (!header) out << "  Drives outside arrays\n";
      header = true;
      out << "    Drive " << d->id.ToString() << "  " << DriveLine(*d) << "\n";
    }
  }
  return out.str();
}

nlohmann::json TopologyJson(const Session& session) {
  auto& storage = const_cast<Session&>(session).Storage();
  nlohmann::json controllers = nlohmann::json::array();
  for (const Controller* c : session.ControllersInOrder()) {
    nlohmann::json levels = nlohmann::json::array();
    for (const auto& level : c->raidLevelDescriptors) {
      if (level.level == 0) continue;
      nlohmann::json migrations = nlohmann::json::array();
      for (const auto& m : level.migrationDescriptors) {
        migrations.push_back({{"targetRaidLevel", Copy(m.targetRaidLevel)},
                              {"minAdditionalDriveCount", Copy(m.minAdditionalDriveCount)}});
      }
      levels.push_back({{"level", Copy(level.level)},
                        {"name", RaidLevelName(level.level)},
                        {"minDrives", Copy(level.minDrivesCount)},
                        {"maxDrives", Copy(level.maxDrivesCount)},
                        {"defaultStripSize", Copy(level.defaultStripSize)},
                        {"supportedStripSizes", Copy(level.supportedStripSizes)},
                        {"migrations", migrations}});
    }
    nlohmann::json arrays = nlohmann::json::array();
    for (const Array* a : Of(storage.GetArrays(), c->id)) {
      arrays.push_back({{"id", a->id.ToString()},
                        {"name", TEXT(a->name)},
                        {"totalSize", Copy(a->totalSize)},
                        {"freeSize", Copy(a->freeSize)},
                        {"writeCacheEnabled", a->writeCacheEnabled()}});
    }
    nlohmann::json volumes = nlohmann::json::array();
    for (const Volume* v : Of(storage.GetVolumes(), c->id)) volumes.push_back(VolumeJson(*v));
    nlohmann::json drives = nlohmann::json::array();
    for (const Drive* d : Of(storage.GetDrives(), c->id)) drives.push_back(DriveJson(*d));
    controllers.push_back({
        {"id", c->id.ToString()},
        {"name", TEXT(c->name)},
        {"type", Copy(c->type)},
        {"typeName", ControllerTypeName(c->type)},
        {"deviceNumber", c->GetDeviceHandle()->device->id},
        {"vendorId", Copy(c->vendorId)},
        {"deviceId", Copy(c->deviceId)},
        {"subsystemId", Copy(c->subsystemId)},
        {"apiVersion", Copy(c->apiVersion)},
        {"specificationVersion", SpecificationVersion(*c)},
        {"osDriverVersion", Version(c->osDriverVersion)},
        {"preosDriverVersion", Version(c->preosDriverVersion)},
        {"preosDriverLoaded", c->preosDriverLoaded()},
        {"readPatrolEnabled", c->readPatrolEnabled()},
        {"rohiEnabled", c->rohiEnabled()},
        {"maxVolumesPerArray", Copy(c->maxVolumesPerArray)},
        {"maxVolumesPerController", Copy(c->maxVolumesPerController)},
        {"maxDrivesPerController", Copy(c->maxDrivesPerController)},
        {"maxDrivesPerArray", Copy(c->maxDrivesPerArray)},
        {"raidLevels", levels},
        {"arrays", arrays},
        {"volumes", volumes},
        {"drives", drives},
    });
  }
  return {{"controllers", controllers}};
}

nlohmann::json SuccessStatus() { return {{"ok", true}}; }

nlohmann::json FailureStatus(const std::string& kind, const std::string& message,
                             std::uint32_t status, std::uint32_t errorCode) {
  nlohmann::json failure = {{"ok", false},
                            {"kind", kind},
                            {"message", message},
                            {"status", status},
                            {"errorCode", errorCode}};
  if (kind == "VeskException") {
    const DriverStatusWords words = WordsForDriverStatus(status);
    failure["statusName"] = words.name;
    failure["statusText"] = words.text;
  }
  return failure;
}

}  // namespace veskctl
