// The storage topology that the simulated RAID driver keeps: controllers with their limits and
// RAID-level capabilities, arrays, volumes with their background work, and drives. Plain values;
// the driver (simulator/RaidDriver.h) owns one Topology and guards it with its mutex.
//
// A topology is loaded from JSON and saved back to JSON (docs/simulator.md gives the format). A
// saved topology holds everything the driver knows, background work and its progress and the
// clock included, so a later process can continue where an earlier one stopped; injected faults
// are not part of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vesk/Types.h"

namespace vesk::sim {

using Vesk::vesk_guid;

// Parses the text form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (the one vesk_guid::ToString
// writes). Returns nothing for any other text.
std::optional<vesk_guid> ParseGuid(const std::string& text);

// Values the simulator gives to the enumerations whose numbers are the driver's own.
namespace volume_state {
inline constexpr std::uint8_t kNormal = 0;
inline constexpr std::uint8_t kDegraded = 1;
inline constexpr std::uint8_t kFailed = 2;
inline constexpr std::uint8_t kInitializing = 3;
inline constexpr std::uint8_t kVerifying = 4;
inline constexpr std::uint8_t kVerifyingAndFixing = 5;
inline constexpr std::uint8_t kRebuilding = 6;
inline constexpr std::uint8_t kMigrating = 7;
}  // namespace volume_state

namespace drive_status {
inline constexpr std::uint8_t kNormal = 0;
inline constexpr std::uint8_t kOffline = 1;
inline constexpr std::uint8_t kMissing = 2;  // an array member that is gone: a placeholder
inline constexpr std::uint8_t kFailed = 3;
inline constexpr std::uint8_t kSmartEvent = 4;
}  // namespace drive_status

namespace drive_usage {
inline constexpr std::uint8_t kPassThrough = 0;
inline constexpr std::uint8_t kArrayMember = 1;
inline constexpr std::uint8_t kSpare = 2;
inline constexpr std::uint8_t kJournaling = 3;
inline constexpr std::uint8_t kForeignMetadata = 4;
}  // namespace drive_usage

// Volume cache policies: 1 off, 2 write-through, 3 write-back (0 is never set by a command).
inline constexpr std::uint8_t kMaxCachePolicy = 3;
// RAID write-hole policies: 0 off, 1 distributed, 2 journaling drive.
inline constexpr std::uint8_t kRwhJournalingDrive = 2;
inline constexpr std::uint8_t kMaxRwhPolicy = 2;

struct Migration {
  std::uint8_t targetLevel = 0;
  std::uint8_t minAdditionalDrives = 0;
};

struct RaidLevelCapability {
  std::uint8_t level = 0;  // vesk_raid_level: 1 RAID 0, 2 RAID 1, 3 RAID 10, 4 RAID 5, 5 RAID 4
  std::uint16_t minDrives = 0;
  std::uint16_t maxDrives = 0;
  bool oddCount = true;
  bool evenCount = true;
  std::uint16_t defaultStripSize = 0;  // a strip-size code, 2^k
  std::uint16_t stripSizeMask = 0;     // bit k set: code 2^k is supported
  std::vector<Migration> migrations;
};

struct Drive {
  vesk_guid id{};
  std::uint8_t type = 1;  // vesk_drive_type: 0 optical, 1 SATA disk, 3 NVMe behind Dorn
  std::string serialNumber, modelNumber, firmwareRevision, serviceLabel;
  std::uint64_t blocks = 0;
  std::uint32_t logicalBlockSize = 512;
  std::uint32_t physicalBlockSize = 512;
  std::uint8_t status = drive_status::kNormal;
  bool spare = false;
  bool foreignMetadata = false;  // RAID metadata of another system; cleared by ClearDriveMetadata
  bool containsPartition = false;
  bool ledActive = false;
  bool writeCacheEnabled = true;
  bool preBootVisible = true;
  bool activateLedSupport = true;
  bool systemDrive = false;
  std::uint8_t encryptionAbility = 0;
  std::uint8_t encryptionStatus = 0;
  // SATA (types 0 and 1): the port is the drive's SCSI bus.
  std::uint8_t portNumber = 0;
  std::uint8_t sataLinkRate = 0;  // vesk_ata_negotiated_link_rate, 6 bits
  bool isSsd = false;
  bool ncqSupport = true;
  // NVMe behind a Dorn controller (type 3).
  std::uint16_t pciVendorId = 0;
  bool sbrAttached = false;
  std::uint8_t dualControllerOrder = 0;
  bool dualControllerNvme = false;
  std::uint16_t socketNumber = 0;
  std::uint16_t dornControllerNumber = 0;
  std::uint16_t rootPortOffset = 0;
  std::uint64_t physicalSlotNumber = 0;
  std::uint8_t pciLinkRate = 0;   // vesk_pci_link_rate; 3 bits in the older layouts
  std::uint8_t pciLinkWidth = 0;  // lanes; 5 bits in the older layouts
  // What a missing drive had while it was there, so that it can be put back (or a new drive of
  // the same kind put in its slot). Only missing drives have it; none for a drive loaded missing.
  struct Pulled {
    std::uint64_t blocks = 0;
    bool writeCacheEnabled = false;
    std::uint8_t sataLinkRate = 0;
    std::uint8_t pciLinkRate = 0;
    std::uint8_t pciLinkWidth = 0;
  };
  std::optional<Pulled> pulled;

  std::uint64_t Capacity() const { return blocks * logicalBlockSize; }
};

// Background work of one volume. Progress is elapsedMs / durationMs; the work finishes when the
// driver's clock has advanced durationMs past its start.
struct Task {
  enum class Kind { Initialize, Verify, Rebuild, Migration };
  Kind kind = Kind::Initialize;
  bool repair = false;  // verify only
  std::uint64_t elapsedMs = 0;
  std::uint64_t durationMs = 0;
  // Migration: the layout the volume has when the work finishes, and the drives that join the
  // array with it. Until it finishes the data keeps the old layout on the other members.
  std::uint8_t targetLevel = 0;
  std::uint16_t targetStripSize = 0;
  std::vector<vesk_guid> joiningDrives{};
};

// Data a volume lost for good. It lasts until the volume is deleted or the loss is acknowledged:
// no rebuild, initialization or repair brings the data back.
struct DataLoss {
  std::uint64_t bytes = 0;  // of the volume's data: gone, or (forced) possibly read wrong
  std::uint64_t atMs = 0;   // the driver's clock when it was first lost
  // The members that held none (or an out-of-date copy) of the lost data.
  std::vector<vesk_guid> members;
  bool failed = false;  // the volume failed: too few members held some of its data
  bool forced = false;  // it was marked normal over members holding none of its data
};

struct Volume {
  vesk_guid id{};
  vesk_guid arrayId{};
  std::string name;  // at most 16 bytes
  std::uint8_t raidLevel = 1;
  std::uint16_t stripSize = 0;
  std::uint64_t size = 0;  // bytes
  std::uint8_t state = volume_state::kNormal;
  bool systemVolume = false;
  bool initialized = true;
  std::uint32_t verifyErrors = 0;
  std::uint32_t verifyBadBlocks = 0;
  std::uint32_t logicalBlockSize = 512;
  std::uint8_t cachePolicy = 1;
  std::uint8_t rwhPolicy = 0;
  vesk_guid journalingDriveId{};
  // Inconsistencies the next verification finds; a repairing verification removes them.
  std::uint32_t latentErrors = 0;
  std::uint32_t latentBadBlocks = 0;
  // Members that hold none of this volume's data (yet): a replacement that the volume's own
  // rebuild has not written, or a member that came back after it failed or went offline. They
  // count as lost until the volume is rebuilt or marked normal.
  std::vector<vesk_guid> staleDrives;
  std::optional<Task> task;
  // A layout change a lost member stopped part way. Its migrated part keeps the new layout over
  // every member (the joining drives stay), the rest the old one; it goes on where it stopped once
  // the volume is whole again.
  std::optional<Task> stoppedMigration;
  // Bytes whose copies or parity do not agree, because the volume was marked normal over members
  // holding none of them. A verification finds their stripes; a repair (or an initialization)
  // makes them agree, which does not make lost data good again.
  std::uint64_t inconsistentBytes = 0;
  std::optional<DataLoss> dataLost;
};

// The volumes of an array all span every member drive of the array.
struct Array {
  vesk_guid id{};
  std::string name;  // at most 20 bytes
  std::vector<vesk_guid> drives;
  bool writeCacheEnabled = false;
};

struct Controller {
  vesk_guid id{};
  std::wstring pdoName;  // e.g. L"\\Device\\RaidPort0"
  std::wstring service;  // driver service of the device: zrDiskE, zrDiskB, zrDiskT, zrTalu, zrTaluP
  std::string name;
  std::uint8_t type = 0;       // vesk_controller_type: 0 SATA, 2 Dorn
  std::uint8_t specMajor = 4;  // management specification 1.0 to 4.0
  std::uint16_t vendorId = 0, deviceId = 0, subsystemId = 0;
  std::uint8_t hardwareRevision = 0;
  bool preosDriverLoaded = true;
  Vesk::vesk_version_quad osDriverVersion{};
  Vesk::vesk_version_quad preosDriverVersion{};
  std::uint16_t maxVolumesPerArray = 2;
  std::uint16_t maxVolumesPerController = 8;
  std::uint16_t maxDrivesPerController = 32;
  bool readPatrolEnabled = false;
  bool rohiEnabled = false;
  std::uint8_t mode = 0;  // SATA controllers, 3 bits
  std::uint32_t rate = 0;
  // Read patrol: the volume it reads next (an index into `volumes`, taken modulo their count) and
  // how long it has read it.
  std::size_t patrolVolume = 0;
  std::uint64_t patrolElapsedMs = 0;
  std::vector<RaidLevelCapability> raidLevels;  // at most 5
  std::vector<Array> arrays;
  std::vector<Volume> volumes;
  std::vector<Drive> drives;

  // API version index 0..3 of the controller's driver.
  std::uint32_t ApiVersion() const { return specMajor - 1u; }
  const RaidLevelCapability* Capability(std::uint8_t level) const;
  Drive* FindDrive(const vesk_guid& id);
  Volume* FindVolume(const vesk_guid& id);
  Array* FindArray(const vesk_guid& id);
  Array* ArrayOfDrive(const vesk_guid& driveId);
  std::vector<Volume*> VolumesOf(const vesk_guid& arrayId);
  // Derived usage of a drive (member, journaling, spare, foreign metadata or pass-through).
  std::uint8_t UsageOf(const Drive& drive) const;
  // The smallest member capacity times the member count; missing members count as that size.
  std::uint64_t ArrayTotalSize(const Array& array) const;
  std::uint64_t ArrayFreeSize(const Array& array) const;
};

struct Topology {
  std::vector<Controller> controllers;
  std::uint64_t clockMs = 0;
  // How long each piece of background work takes on the driver's clock.
  std::uint64_t taskDurationMs = 60000;
  // Counter behind the identifiers the driver gives to new arrays, volumes and subscriptions.
  std::uint32_t nextObjectNumber = 1;

  Controller* FindController(const vesk_guid& id);
  Controller* ControllerOfPdo(const std::wstring& pdoName);
};

// Member drives holding data for `level` over `drives` members (RAID 1 mirrors, RAID 10 mirrors
// pairs, RAID 4 and 5 keep one drive's worth of parity). 0 for an unknown level.
std::uint64_t DataDrives(std::uint8_t level, std::uint64_t drives);
// A drive in this status is lost to every volume on it.
bool Unavailable(std::uint8_t driveStatus);
// The volume state that background work shows while it runs.
std::uint8_t WorkState(const Task& task);
// What the members can still give of the volume's data: normal, degraded or failed (see
// docs/simulator.md). The driver derives its volume states from it; the loader refuses a state
// that claims better.
std::uint8_t VolumeHealth(Controller& c, const Volume& v);
// The bytes of the volume's data that too few members hold: those of a failed volume are lost.
// A running layout change counts its migrated part in the new layout; a running rebuild counts
// what it has written so far.
std::uint64_t UnreadableBytes(Controller& c, const Volume& v);
// Stripes over `bytes` of the volume: what a verification counts.
std::uint32_t Stripes(const Volume& v, std::size_t members, std::uint64_t bytes);
// Raw array capacity a volume of `size` bytes consumes across `drives` members.
std::uint64_t RawConsumption(std::uint8_t level, std::uint64_t size, std::uint64_t drives);

// Reading and writing topologies. Throws std::runtime_error with a text naming the problem for
// malformed input (unknown fields are ignored; wrong types, unknown identifiers, and values out of
// range are not).
Topology LoadTopology(const std::string& json);
Topology LoadTopologyFile(const std::string& path);
std::string SaveTopology(const Topology& topology);
void SaveTopologyFile(const Topology& topology, const std::string& path);

}  // namespace vesk::sim
