// The management operations of the managed facade: convert the arguments, resolve the controller,
// call the native operation, translate its failures.
#include <algorithm>
#include <cstring>
#include <vector>

#include "managed/Translation.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {

using detail::Translate;
using System::Runtime::InteropServices::StringToAnsi;

namespace {

vesk_status ToManaged(Vesk::vesk_status status) { return static_cast<vesk_status>(status); }

std::vector<Vesk::vesk_guid> ToNative(std::span<const Guid> guids) {
  std::vector<Vesk::vesk_guid> native;
  native.reserve(guids.size());
  for (const Guid& guid : guids) native.push_back(guid.ToNative());
  return native;
}

// Empty identifiers travel as vesk_invalid_guid, whatever the managed object holds.
Vesk::vesk_guid ToNativeOrNone(const Guid& guid) {
  return guid.IsEmpty() ? Vesk::vesk_invalid_guid : guid.ToNative();
}

template <typename Enum>
auto ByNumber(Enum value) {
  return static_cast<std::underlying_type_t<Enum>>(value);
}

}  // namespace

vesk_status StorageManagementBase::ActivateDriveLed(const Controller& controller,
                                                    const Guid& driveId, bool enable) {
  return Translate([&] {
    return ToManaged(
        Native().ActivateDriveLed(*CopyNativeController(controller), driveId.ToNative(), enable));
  });
}

vesk_status StorageManagementBase::ClearDriveMetadata(const Controller& controller,
                                                      const Guid& driveId) {
  return Translate([&] {
    return ToManaged(Native().ClearDriveMetadata(GetControllerDeviceHandle(controller).get(),
                                                 driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::DisableWriteCacheOnDrive(const Controller& controller,
                                                            const Guid& driveId) {
  return Translate([&] {
    return ToManaged(Native().DisableWriteCacheOnDrive(GetControllerDeviceHandle(controller).get(),
                                                       driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::EnableWriteCacheOnDrive(const Controller& controller,
                                                           const Guid& driveId) {
  return Translate([&] {
    return ToManaged(Native().EnableWriteCacheOnDrive(GetControllerDeviceHandle(controller).get(),
                                                      driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::SetWriteCacheOnDrive(const Controller& controller,
                                                        const Guid& driveId, bool enabled) {
  return Translate([&] {
    return ToManaged(Native().SetWriteCacheOnDrive(GetControllerDeviceHandle(controller).get(),
                                                   driveId.ToNative(), enabled));
  });
}

vesk_status StorageManagementBase::MarkDriveAsNormal(const Controller& controller,
                                                     const Guid& driveId) {
  return Translate([&] {
    return ToManaged(Native().MarkDriveAsNormal(GetControllerDeviceHandle(controller).get(),
                                                driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::MarkDriveAsSpare(const Controller& controller,
                                                    const Guid& driveId) {
  return Translate([&] {
    return ToManaged(
        Native().MarkDriveAsSpare(GetControllerDeviceHandle(controller).get(), driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::UnmarkSpareDrive(const Controller& controller,
                                                    const Guid& driveId) {
  return Translate([&] {
    return ToManaged(
        Native().UnmarkSpareDrive(GetControllerDeviceHandle(controller).get(), driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::RemoveDrive(const Controller& controller, const Guid& driveId) {
  return Translate([&] {
    return ToManaged(
        Native().RemoveDrive(GetControllerDeviceHandle(controller).get(), driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::ResetSmartEvent(const Controller& controller,
                                                   const Guid& driveId) {
  return Translate([&] {
    return ToManaged(
        Native().ResetSmartEvent(GetControllerDeviceHandle(controller).get(), driveId.ToNative()));
  });
}

vesk_status StorageManagementBase::AddDrivesToArray(const Controller& controller,
                                                    const Guid& arrayId,
                                                    std::span<const Guid> selectedDriveGuids) {
  return Translate([&] {
    const auto drives = ToNative(selectedDriveGuids);
    return ToManaged(Native().AddDrivesToArray(GetControllerDeviceHandle(controller).get(),
                                               arrayId.ToNative(), drives));
  });
}

vesk_status StorageManagementBase::SetArrayCachePolicy(const Controller& controller,
                                                       const Guid& arrayId, bool enabled) {
  return Translate([&] {
    return ToManaged(Native().SetArrayCachePolicy(GetControllerDeviceHandle(controller).get(),
                                                  arrayId.ToNative(), enabled));
  });
}

std::pair<vesk_status, Guid> StorageManagementBase::CreateVolume(
    const Controller& controller, std::span<const Guid> selectedDriveGuids,
    const std::wstring& volumeName, vesk_strip_size stripSize, vesk_raid_level raidLevel,
    std::uint64_t size, bool initialize, bool keepExistingData, vesk_rwh_policy rwhPolicy,
    const Guid& keepExistingDriveId, const Guid& journalingDriveId) {
  // A disposed facade says so, whatever else is wrong with the call.
  ThrowIfDisposed();
  // Counted in characters, before any conversion.
  if (volumeName.size() > static_cast<std::size_t>(Volume::MaxNameLength)) {
    return {vesk_status::InvalidNameLength, Guid::Empty()};
  }
  return Translate([&] {
    Vesk::vesk_new_volume_parameters parameters{};
    const std::string name = StringToAnsi(volumeName);  // one byte per character
    std::memcpy(parameters.name, name.data(), std::min(name.size(), sizeof parameters.name));
    parameters.stripSize = static_cast<Vesk::vesk_strip_size>(ByNumber(stripSize));
    parameters.raidLevel = static_cast<Vesk::vesk_raid_level>(ByNumber(raidLevel));
    parameters.size = size;
    parameters.SetInitialize(initialize);
    parameters.SetKeepExistingData(keepExistingData);
    parameters.SetRwhPolicy(static_cast<Vesk::vesk_rwh_policy>(ByNumber(rwhPolicy)));
    parameters.keepExistingDriveId = ToNativeOrNone(keepExistingDriveId);
    parameters.journalingDriveId = ToNativeOrNone(journalingDriveId);
    const auto drives = ToNative(selectedDriveGuids);
    const auto [status, volumeId] =
        Native().CreateVolume(*CopyNativeController(controller), parameters, drives);
    return std::pair<vesk_status, Guid>(ToManaged(status), Guid(volumeId));
  });
}

vesk_status StorageManagementBase::DeleteVolume(const Controller& controller,
                                                const Guid& volumeId) {
  return Translate([&] {
    return ToManaged(
        Native().DeleteVolume(GetControllerDeviceHandle(controller).get(), volumeId.ToNative()));
  });
}

vesk_status StorageManagementBase::ExpandVolume(const Controller& controller, const Guid& volumeId,
                                                std::uint64_t newSize) {
  return Translate([&] {
    return ToManaged(Native().ExpandVolume(GetControllerDeviceHandle(controller).get(),
                                           volumeId.ToNative(), newSize));
  });
}

vesk_status StorageManagementBase::InitializeVolume(const Controller& controller,
                                                    const Guid& volumeId) {
  return Translate([&] {
    return ToManaged(Native().InitializeVolume(GetControllerDeviceHandle(controller).get(),
                                               volumeId.ToNative()));
  });
}

vesk_status StorageManagementBase::InitializeVolumeFromManagedGuid(const Controller& controller,
                                                                   const Guid& volumeId) {
  return StorageManagementBase::InitializeVolume(controller, volumeId);
}

vesk_status StorageManagementBase::MarkVolumeAsNormal(const Controller& controller,
                                                      const Guid& volumeId) {
  return Translate([&] {
    return ToManaged(Native().MarkVolumeAsNormal(GetControllerDeviceHandle(controller).get(),
                                                 volumeId.ToNative()));
  });
}

vesk_status StorageManagementBase::RebuildVolume(const Controller& controller, const Guid& volumeId,
                                                 std::span<const Guid> selectedDriveGuids) {
  return Translate([&] {
    const auto drives = ToNative(selectedDriveGuids);
    return ToManaged(Native().RebuildVolume(GetControllerDeviceHandle(controller).get(),
                                            volumeId.ToNative(), drives));
  });
}

vesk_status StorageManagementBase::RenameVolume(const Controller& controller, const Guid& volumeId,
                                                const std::wstring& newName) {
  return Translate([&] {
    const std::string name = StringToAnsi(newName);
    return ToManaged(Native().RenameVolume(GetControllerDeviceHandle(controller).get(),
                                           volumeId.ToNative(), name.c_str()));
  });
}

vesk_status StorageManagementBase::ChangeRaidLayout(const Controller& controller,
                                                    const Guid& volumeId, vesk_strip_size stripSize,
                                                    vesk_raid_level raidLevel,
                                                    std::span<const Guid> selectedDriveGuids) {
  return Translate([&] {
    const auto drives = ToNative(selectedDriveGuids);
    return ToManaged(
        Native().ChangeRaidLayout(GetControllerDeviceHandle(controller).get(), volumeId.ToNative(),
                                  static_cast<Vesk::vesk_strip_size>(ByNumber(stripSize)),
                                  static_cast<Vesk::vesk_raid_level>(ByNumber(raidLevel)), drives));
  });
}

vesk_status StorageManagementBase::SetVolumeCachePolicy(const Controller& controller,
                                                        const Guid& volumeId,
                                                        vesk_volume_cache_policy cachePolicy) {
  return Translate([&] {
    return ToManaged(Native().SetVolumeCachePolicy(
        GetControllerDeviceHandle(controller).get(), volumeId.ToNative(),
        static_cast<Vesk::vesk_volume_cache_policy>(ByNumber(cachePolicy))));
  });
}

vesk_status StorageManagementBase::SetVolumeCachePolicyFromManagedGuid(
    const Controller& controller, const Guid& volumeId, vesk_volume_cache_policy cachePolicy) {
  return StorageManagementBase::SetVolumeCachePolicy(controller, volumeId, cachePolicy);
}

vesk_status StorageManagementBase::SetVolumeRaidWriteHolePolicy(const Controller& controller,
                                                                const Guid& volumeId,
                                                                vesk_rwh_policy rwhPolicy,
                                                                const Guid& journalingDriveId) {
  return Translate([&] {
    return ToManaged(Native().SetVolumeRaidWriteHolePolicy(
        GetControllerDeviceHandle(controller).get(), volumeId.ToNative(),
        static_cast<Vesk::vesk_rwh_policy>(ByNumber(rwhPolicy)),
        ToNativeOrNone(journalingDriveId)));
  });
}

vesk_status StorageManagementBase::VerifyVolume(const Controller& controller, const Guid& volumeId,
                                                bool repair) {
  return Translate([&] {
    return ToManaged(Native().VerifyVolume(GetControllerDeviceHandle(controller).get(),
                                           volumeId.ToNative(), repair));
  });
}

vesk_status StorageManagementBase::CancelVerifyVolume(const Controller& controller,
                                                      const Guid& volumeId) {
  return Translate([&] {
    return ToManaged(Native().CancelVerifyVolume(GetControllerDeviceHandle(controller).get(),
                                                 volumeId.ToNative()));
  });
}

vesk_status StorageManagementBase::SetControllerReadPatrolPolicy(const Controller& controller,
                                                                 bool enabled) {
  return Translate([&] {
    return ToManaged(Native().SetControllerReadPatrolPolicy(
        GetControllerDeviceHandle(controller).get(), enabled));
  });
}

vesk_status StorageManagementBase::SetControllerRohiPolicy(const Controller& controller,
                                                           bool enabled) {
  return Translate([&] {
    return ToManaged(
        Native().SetControllerRohiPolicy(GetControllerDeviceHandle(controller).get(), enabled));
  });
}

}  // namespace VESK_Managed
