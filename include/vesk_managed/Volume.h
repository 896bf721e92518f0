// The managed volume. Not synchronized (see Drive.h).
#pragma once

#include <cstdint>
#include <string>

#include "vesk/Records.h"
#include "vesk_managed/Guid.h"
#include "vesk_managed/Shared.h"
#include "vesk_managed/System.h"

namespace VESK_Managed {

class Volume : public System::ComponentModel::INotifyPropertyChanged {
 public:
  static constexpr int MaxNameLength = 16;

  // Throws NotSupportedException when the record's RAID level has no numeric form (see
  // RaidLevel).
  explicit Volume(const Vesk::Volume& record);
  explicit Volume(const Guid& id);

  const Guid& Id() const { return id; }
  const Guid& ArrayId() const { return arrayId; }
  const Guid& ControllerId() const { return controllerId; }
  std::uint8_t ArrayOrdinal() const { return arrayOrdinal; }
  const std::wstring& Name() const { return name; }
  vesk_volume_state State() const { return state; }
  vesk_volume_state PreviousState() const { return previousState; }
  vesk_raid_level RaidLevel() const { return raidLevel; }
  // 0, 1, 10, 5 or 4 for RAID 0, 1, 10, 5 and 4.
  std::uint8_t RaidLevelNumeric() const { return raidLevelNumeric; }
  std::uint64_t Size() const { return size; }
  vesk_strip_size StripSize() const { return stripSize; }
  std::uint8_t NumberOfDrives() const { return numberOfDrives; }
  std::uint16_t MigrationProgress() const { return migrationProgress; }
  vesk_rwh_policy RwhPolicy() const { return rwhPolicy; }
  vesk_volume_cache_policy CachePolicy() const { return cachePolicy; }
  // Whether the cache policy's value is above 1.
  bool CacheEnabled() const { return cacheEnabled; }
  bool SystemVolume() const { return systemVolume; }
  bool Migrating() const { return migrating; }
  bool Initialized() const { return initialized; }
  std::uint32_t VerifyErrors() const { return verifyErrors; }
  std::uint32_t VerifyBadBlocks() const { return verifyBadBlocks; }
  std::uint32_t LogicalBlockSize() const { return logicalBlockSize; }
  const Guid& JournalingDriveId() const { return journalingDriveId; }

  void Update(const Vesk::Volume& record);

 private:
  // "PreviousState" (the old state moves there), then "State".
  void SetState(vesk_volume_state value);
  // "RaidLevelNumeric", then "RaidLevel". A level without a numeric form is stored and then
  // NotSupportedException thrown before anything is raised.
  void SetRaidLevel(vesk_raid_level value);
  // "CachePolicy", then "CacheEnabled".
  void SetCachePolicy(vesk_volume_cache_policy value);

  Guid id;
  Guid arrayId;
  Guid controllerId;
  std::uint8_t arrayOrdinal = 0;
  std::wstring name;
  vesk_volume_state state{};
  vesk_volume_state previousState{};
  vesk_raid_level raidLevel{};
  std::uint8_t raidLevelNumeric = 0;
  std::uint64_t size = 0;
  vesk_strip_size stripSize{};
  std::uint8_t numberOfDrives = 0;
  std::uint16_t migrationProgress = 0;
  vesk_rwh_policy rwhPolicy{};
  vesk_volume_cache_policy cachePolicy{};
  bool cacheEnabled = false;
  bool systemVolume = false;
  bool migrating = false;
  bool initialized = false;
  std::uint32_t verifyErrors = 0;
  std::uint32_t verifyBadBlocks = 0;
  std::uint32_t logicalBlockSize = 0;
  Guid journalingDriveId;
};

}  // namespace VESK_Managed
