#include "vesk_managed/Volume.h"

#include "managed/Text.h"

namespace VESK_Managed {

using detail::DecodeText;
using detail::Trim;

Volume::Volume(const Vesk::Volume& record)
    : id(record.id),
      arrayId(record.arrayId),
      controllerId(record.controllerId),
      arrayOrdinal(record.arrayOrdinal),
      name(DecodeText(record.name, Trim::StartOnly)),
      size(record.size),
      stripSize(static_cast<vesk_strip_size>(record.stripSize)),
      numberOfDrives(record.numberOfDrives),
      migrationProgress(record.migrationProgress),
      rwhPolicy(static_cast<vesk_rwh_policy>(record.rwhPolicy())),
      systemVolume(record.systemVolume()),
      migrating(record.migrating()),
      initialized(record.initialized()),
      verifyErrors(record.verifyErrors),
      verifyBadBlocks(record.verifyBadBlocks),
      logicalBlockSize(record.logicalBlockSize),
      journalingDriveId(record.journalingDriveId) {
  // Through the setters: they derive PreviousState, RaidLevelNumeric and CacheEnabled. Nobody
  // can have subscribed yet, so nothing is observed.
  SetState(static_cast<vesk_volume_state>(record.state));
  SetRaidLevel(static_cast<vesk_raid_level>(record.raidLevel));
  SetCachePolicy(static_cast<vesk_volume_cache_policy>(record.cachePolicy()));
}

Volume::Volume(const Guid& id) : id(id) {}

void Volume::SetState(vesk_volume_state value) {
  SetProperty(previousState, state, "PreviousState");
  SetProperty(state, value, "State");
}

void Volume::SetRaidLevel(vesk_raid_level value) {
  raidLevel = value;
  std::uint8_t numeric;
  switch (value) {
    case vesk_raid_level::Raid0:
      numeric = 0;
      break;
    case vesk_raid_level::Raid1:
      numeric = 1;
      break;
    case vesk_raid_level::Raid10:
      numeric = 10;
      break;
    case vesk_raid_level::Raid5:
      numeric = 5;
      break;
    case vesk_raid_level::Raid4:
      numeric = 4;
      break;
    default:
      throw System::NotSupportedException();
  }
  SetProperty(raidLevelNumeric, numeric, "RaidLevelNumeric");
  OnPropertyChanged("RaidLevel");
}

void Volume::SetCachePolicy(vesk_volume_cache_policy value) {
  SetProperty(cachePolicy, value, "CachePolicy");
  SetProperty(cacheEnabled, static_cast<std::uint8_t>(value) > 1, "CacheEnabled");
}

void Volume::Update(const Vesk::Volume& record) {
  UpdateProperty(arrayId, Guid(record.arrayId), "ArrayId");
  UpdateProperty(controllerId, Guid(record.controllerId), "ControllerId");
  UpdateProperty(arrayOrdinal, std::uint8_t{record.arrayOrdinal}, "ArrayOrdinal");
  UpdateProperty(name, DecodeText(record.name, Trim::StartOnly), "Name");
  if (const auto fresh = static_cast<vesk_volume_state>(record.state); fresh != state) {
    SetState(fresh);
  }
  if (const auto fresh = static_cast<vesk_raid_level>(record.raidLevel); fresh != raidLevel) {
    SetRaidLevel(fresh);
  }
  UpdateProperty(size, std::uint64_t{record.size}, "Size");
  UpdateProperty(stripSize, static_cast<vesk_strip_size>(record.stripSize), "StripSize");
  UpdateProperty(numberOfDrives, std::uint8_t{record.numberOfDrives}, "NumberOfDrives");
  UpdateProperty(migrationProgress, std::uint16_t{record.migrationProgress}, "MigrationProgress");
  UpdateProperty(initialized, record.initialized(), "Initialized");
  UpdateProperty(migrating, record.migrating(), "Migrating");
  UpdateProperty(systemVolume, record.systemVolume(), "SystemVolume");
  UpdateProperty(verifyErrors, std::uint32_t{record.verifyErrors}, "VerifyErrors");
  UpdateProperty(verifyBadBlocks, std::uint32_t{record.verifyBadBlocks}, "VerifyBadBlocks");
  UpdateProperty(logicalBlockSize, std::uint32_t{record.logicalBlockSize}, "LogicalBlockSize");
  if (const auto fresh = static_cast<vesk_volume_cache_policy>(record.cachePolicy());
      fresh != cachePolicy) {
    SetCachePolicy(fresh);
  }
  UpdateProperty(rwhPolicy, static_cast<vesk_rwh_policy>(record.rwhPolicy()), "RwhPolicy");
  UpdateProperty(journalingDriveId, Guid(record.journalingDriveId), "JournalingDriveId");
}

}  // namespace VESK_Managed
