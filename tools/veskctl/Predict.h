// What a mutating command is expected to do, worked out from the records the library read — not
// from the simulated driver — so that a dry run and the question before destructive work say the
// same against a real driver. The model keeps what an administrator weighs before acting: volume
// state, level and size, array capacity, drive roles; a command applies its change to a copy, and
// the difference between the two copies is the prediction.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/veskctl/Session.h"

namespace veskctl {

struct ControllerModel {
  std::string name;
  bool readPatrol = false;
  bool rohi = false;
};

struct ArrayModel {
  Vesk::vesk_guid controllerId;
  std::string name;
  std::uint64_t totalSize = 0;
  std::uint64_t freeSize = 0;
  bool writeCache = false;
};

struct VolumeModel {
  Vesk::vesk_guid controllerId, arrayId;
  std::string name;
  std::uint8_t raidLevel = 0;
  std::uint16_t stripSize = 0;
  std::uint64_t size = 0;
  std::uint8_t state = 0;
  std::uint8_t cachePolicy = 0;
  std::uint8_t rwhPolicy = 0;
  bool systemVolume = false;
  bool initialized = false;
  std::uint32_t logicalBlockSize = 0;
  // Running background work: percent done, and whether it is a layout change.
  std::uint16_t progress = 0;
  bool migrating = false;
};

struct DriveModel {
  Vesk::vesk_guid controllerId, arrayId;
  std::string serial;
  std::uint8_t status = 0;
  std::uint8_t usage = 0;
  std::uint64_t capacity = 0;
  std::uint32_t logicalBlockSize = 0;
  bool writeCache = false;
  bool led = false;
  bool containsPartition = false;
};

// The driver's own numbers the prediction reasons with (the values `show` names).
namespace state {
inline constexpr std::uint8_t kNormal = 0, kDegraded = 1, kFailed = 2, kInitializing = 3,
                              kVerifying = 4, kVerifyingAndFixing = 5, kRebuilding = 6,
                              kMigrating = 7;
}
namespace usage {
inline constexpr std::uint8_t kPassThrough = 0, kMember = 1, kSpare = 2, kJournaling = 3,
                              kForeign = 4;
}
namespace drive_status {
inline constexpr std::uint8_t kNormal = 0, kOffline = 1, kMissing = 2, kFailed = 3;
}

// An element a command would create has no identifier yet; it is filed under this one.
inline const Vesk::vesk_guid kNewElement = Vesk::vesk_invalid_guid;

struct Model {
  std::map<Vesk::vesk_guid, ControllerModel> controllers;
  std::map<Vesk::vesk_guid, ArrayModel> arrays;
  std::map<Vesk::vesk_guid, VolumeModel> volumes;
  std::map<Vesk::vesk_guid, DriveModel> drives;

  static Model Of(Session& session);

  std::vector<Vesk::vesk_guid> MembersOf(const Vesk::vesk_guid& arrayId) const;
  std::vector<Vesk::vesk_guid> VolumesOf(const Vesk::vesk_guid& arrayId) const;
  // The smallest capacity among the array's present members (0 when none is present).
  std::uint64_t SmallestMember(const Vesk::vesk_guid& arrayId) const;
  // Volumes of the array take the health its members leave them (`departed` members no longer
  // listed are counted as lost); health only gets worse here.
  void UpdateHealth(const Vesk::vesk_guid& arrayId, std::size_t departed = 0);

  // The changes of the commands that touch more than one element.
  // A new volume over pass-through drives makes a new array; over exactly the members of an
  // array it is a further volume in that array. Size 0 takes all the room there is.
  void CreateVolume(const std::vector<Vesk::vesk_guid>& drives, VolumeModel volume,
                    bool initialize);
  // Deleting a volume gives its room back; the last volume takes its array with it.
  void DeleteVolume(const Vesk::vesk_guid& volumeId);
  void ExpandVolume(const Vesk::vesk_guid& volumeId, std::uint64_t size);
  // The drives take the places of the missing or failed members; the degraded volumes rebuild.
  void RebuildVolume(const Vesk::vesk_guid& volumeId, const std::vector<Vesk::vesk_guid>& drives);
  // `added` drives join the array; each volume in `layouts` (level, strip) migrates to it.
  void Migrate(const Vesk::vesk_guid& arrayId, const std::vector<Vesk::vesk_guid>& added,
               const std::map<Vesk::vesk_guid, std::pair<std::uint8_t, std::uint16_t>>& layouts);
  // A member leaves its array and a placeholder stays; a drive outside arrays leaves the
  // controller.
  void RemoveDrive(const Vesk::vesk_guid& driveId);
  // The drive loses its RAID role: spare, foreign metadata, or membership of its array.
  void ClearMetadata(const Vesk::vesk_guid& driveId);
};

// Drives holding data: n for RAID 0, 1 for RAID 1, n/2 for RAID 10, n - 1 for RAID 4 and 5.
std::uint64_t DataDrives(std::uint8_t raidLevel, std::uint64_t members);
// Bytes of each member's room a volume of `size` bytes takes, over all `members`.
std::uint64_t Consumption(std::uint8_t raidLevel, std::uint64_t size, std::uint64_t members);
bool Redundant(std::uint8_t raidLevel);

// The elements that differ, each with the fields that differ before and after (null before: the
// command creates it; null after: it goes), and "losses": what the change destroys.
nlohmann::json PredictionJson(const Model& before, const Model& after);
std::string PredictionText(const Model& before, const Model& after);
// What the change destroys, one line each: volumes deleted or failed, redundancy lost, drive
// contents overwritten, foreign metadata erased.
std::vector<std::string> Losses(const Model& before, const Model& after);

}  // namespace veskctl
