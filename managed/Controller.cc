#include "vesk_managed/Controller.h"

#include "managed/Text.h"

namespace VESK_Managed {

namespace {

System::Version FromNative(const Vesk::vesk_version_quad& version) {
  return System::Version(version.major, version.minor, version.build, version.revision);
}

}  // namespace

vesk_raid_level MigrationDescriptor::TargetRaidLevel() const {
  return native ? static_cast<vesk_raid_level>(native->targetRaidLevel) : vesk_raid_level{};
}

std::uint8_t MigrationDescriptor::MinAdditionalDriveCount() const {
  return native ? native->minAdditionalDriveCount : 0;
}

RaidLevelDescriptor::RaidLevelDescriptor(const Vesk::RaidLevelDescriptor& native)
    : native(&native) {
  const std::uint16_t mask = native.supportedStripSizes;
  for (std::uint16_t bit = 1; bit <= 0x4000; bit = static_cast<std::uint16_t>(bit << 1)) {
    if (mask & bit) supportedStripSizes.push_back(static_cast<vesk_strip_size>(bit));
  }
  for (const auto& migration : native.migrationDescriptors) {
    migrationDescriptors.emplace_back(migration);
  }
}

vesk_raid_level RaidLevelDescriptor::Level() const {
  return native ? static_cast<vesk_raid_level>(native->level) : vesk_raid_level{};
}
vesk_strip_size RaidLevelDescriptor::DefaultStripSize() const {
  return native ? static_cast<vesk_strip_size>(native->defaultStripSize) : vesk_strip_size{};
}
std::uint16_t RaidLevelDescriptor::MinDrivesCount() const {
  return native ? native->minDrivesCount : 0;
}
std::uint16_t RaidLevelDescriptor::MaxDrivesCount() const {
  return native ? native->maxDrivesCount : 0;
}
bool RaidLevelDescriptor::OddDriveCount() const { return native && native->oddDriveCount(); }
bool RaidLevelDescriptor::EvenDriveCount() const { return native && native->evenDriveCount(); }

Controller::Controller(const Vesk::Controller& record)
    : id(record.id),
      name(detail::DecodeText(record.name, detail::Trim::BothEnds)),
      vendorId(record.vendorId),
      deviceId(record.deviceId),
      subsystemId(record.subsystemId),
      hardwareRevision(record.hardwareRevision),
      preosDriverLoaded(record.preosDriverLoaded()),
      osDriverVersion(FromNative(record.osDriverVersion)),
      preosDriverVersion(FromNative(record.preosDriverVersion)),
      maxVolumesPerArray(record.maxVolumesPerArray),
      maxVolumesPerController(record.maxVolumesPerController),
      maxDrivesPerController(record.maxDrivesPerController),
      readPatrolEnabled(record.readPatrolEnabled()),
      rohiEnabled(record.rohiEnabled()),
      type(static_cast<vesk_controller_type>(record.type)),
      builtFrom(&record) {
  for (const auto& slot : record.raidLevelDescriptors) {
    if (slot.level == Vesk::VESK_RAID_NONE) continue;
    // emplace keeps the first slot of a level.
    raidLevelDescriptors.try_emplace(static_cast<vesk_raid_level>(slot.level), slot);
  }
}

Controller::Controller(const Guid& id) : id(id) {}

Controller::~Controller() = default;

void Controller::Update(const Vesk::Controller& record) {
  UpdateProperty(rohiEnabled, record.rohiEnabled(), "RohiEnabled");
  UpdateProperty(readPatrolEnabled, record.readPatrolEnabled(), "ReadPatrolEnabled");
}

bool Controller::Equals(const Controller* other) const {
  return other != nullptr && id.Equals(&other->id);
}

bool Controller::Equals(const System::Object* obj) const {
  return Equals(dynamic_cast<const Controller*>(obj));
}

bool Controller::AdoptNativeRecord(Vesk::Controller* record) {
  if (record == nullptr || record != builtFrom) return false;
  adoptedRecord.reset(record);
  return true;
}

SataController::SataController(const Vesk::Controller& record)
    : Controller(record), mode(static_cast<vesk_controller_mode>(record.mode())) {}

}  // namespace VESK_Managed
