// Topology retrieval: reading controllers, arrays, volumes and drives from the driver into native
// records. The answer readers (protocol/QueryReaders.h) check every count against the buffer and
// the controller's limits and widen older layouts; this file adds the status checks, the request
// sizes and the rules of insertion.
#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "core/Implementation.h"
#include "core/RecordBuilders.h"
#include "device/DeviceBuilder.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

namespace Vesk {

namespace {

// Request lengths, from the answer layouts: the fixed part of a list answer (framing and u16
// count), then room for the entries. No request is shorter than the 49-byte scope query record.
constexpr auto kListFixedLength = static_cast<std::uint32_t>(kListEntriesOffset);
constexpr std::uint32_t kMinScopeQueryLength = 49;

std::uint32_t EntrySize(const std::array<std::size_t, kApiVersionCount>& sizes,
                        std::uint32_t apiVersion) {
  return static_cast<std::uint32_t>(sizes.at(apiVersion));
}

static_assert(sizeof(_vesk_controller_info_4_0) == sizeof(ControllerInformation));
static_assert(sizeof(_vesk_array_info_4_0) == sizeof(ArrayInformation));
static_assert(sizeof(_vesk_volume_info_4_0) == sizeof(VolumeInformation));
static_assert(sizeof(_vesk_drive_info_4_0) == sizeof(DriveInformation));
static_assert(sizeof(_vesk_raid_level_descriptor_4_0) == sizeof(RaidLevelDescriptorHeader));
static_assert(sizeof(_vesk_migration_descriptor_4_0) == sizeof(vesk_migration_descriptor));

// The protocol's wire records and the native records share their byte layout (asserted above);
// the native ones add accessors and the library's own fields.
template <class Native, class Wire>
Native As(const Wire& wire) {
  static_assert(sizeof(Native) == sizeof(Wire));
  Native native;
  std::memcpy(static_cast<void*>(&native), &wire, sizeof native);
  return native;
}

template <class Request>
void CheckStatus(const Request& request, std::string_view message) {
  if (request->Status() != VESK_STATUS_SUCCESS) throw VeskException(message, request->Status());
}

// Inserts each record under its identifier unless one is there already; a record that is not
// inserted is freed with its owner.
template <class Record>
void Insert(std::vector<std::unique_ptr<Record>>& records, std::map<vesk_guid, Record*>& target) {
  // Drivers tend to answer in identifier order: each record is then placed right after the one
  // before it without a search.
  auto hint = target.end();
  for (auto& record : records) {
    const std::size_t before = target.size();
    hint = std::next(target.try_emplace(hint, record->id, record.get()));
    if (target.size() != before) record.release();
  }
}

std::uint32_t SpecificationVersion(const _vesk_executor_information& information) {
  std::uint32_t version;
  std::memcpy(&version, &information, sizeof version);
  return version;
}

}  // namespace

void StorageManagement::Implementation::ReadCapabilities(Controller& controller) {
  ControllerCapabilities capabilities;
  DeviceHandle* device = controller.GetDeviceHandle().get();
  if (controller.apiVersion == 0) {
    RequestPtr<GetControllerCapabilitiesLegacyIoctl<SynchronousIoctl>> request;
    communication.GetControllerCapabilitiesLegacy(device, controller.id, request);
    CheckStatus(request, "Unable to retrieve controller capabilities. IOCTL completed with error.");
    capabilities = ReadControllerCapabilitiesLegacy(request->Buffer(), request->BufferLength());
  } else {
    RequestPtr<GetControllerCapabilitiesIoctl<SynchronousIoctl>> request;
    communication.GetControllerCapabilities(device, controller.id, request);
    CheckStatus(request, "Unable to retrieve controller capabilities. IOCTL completed with error.");
    capabilities = ReadControllerCapabilities(request->Buffer(), request->BufferLength());
  }
  std::vector<RaidLevelDescriptor> levels(capabilities.raidLevels.size());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const RaidLevelCapability& read = capabilities.raidLevels[i];
    static_cast<RaidLevelDescriptorHeader&>(levels[i]) =
        As<RaidLevelDescriptorHeader>(read.descriptor);
    for (const auto& migration : read.migrations) {
      levels[i].migrationDescriptors.push_back(As<vesk_migration_descriptor>(migration));
    }
  }
  SetRaidLevelDescriptors(controller, levels);
}

void StorageManagement::Implementation::SetControllers(Controllers& target) {
  DeviceHandles devices;
  ControllerDeviceBuilder builder;
  builder.Enumerate(devices);
  if (devices.empty()) return;
  const auto deviceCount = static_cast<std::uint32_t>(devices.size());

  for (const std::shared_ptr<DeviceHandle>& device : devices) {
    RequestPtr<GetExecutorInformationIoctl<SynchronousIoctl>> executor;
    communication.GetExecutorInformation(device.get(), executor);
    CheckStatus(executor, "Unable to retrieve executor information. IOCTL completed with error.");
    const _vesk_executor_information information =
        ReadExecutorInformation(executor->Buffer(), executor->BufferLength());
    const std::uint32_t specification = SpecificationVersion(information);
    const std::uint32_t requestVersion = RequestApiVersion(specification);

    RequestPtr<GetControllerInfoIoctl<SynchronousIoctl>> request;
    communication.GetControllerInfo(
        device.get(), device->GetControllerId(), VESK_SCOPE_CONTROLLER,
        EntrySize(kControllerInfoSize, requestVersion) * deviceCount + kListFixedLength,
        requestVersion, request);
    CheckStatus(request, "Unable to retrieve controller information. IOCTL completed with error.");
    const std::uint32_t recordVersion = RecordApiVersion(specification);
    const _vesk_controller_info_4_0 entry =
        ReadControllerInfo(request->Buffer(), request->BufferLength(), recordVersion, deviceCount);

    std::unique_ptr<Controller> controller =
        BuildController(As<ControllerInformation>(entry), device);
    controller->apiVersion = recordVersion;
    std::memcpy(controller->executorInformation, &information,
                sizeof controller->executorInformation);
    ReadCapabilities(*controller);  // on failure the record is freed on the way out
    target.AddController(std::move(controller));
  }
}

std::unique_ptr<Controller> StorageManagement::Implementation::GetSingleController(
    const std::shared_ptr<DeviceHandle>& device, vesk_guid controllerId) {
  RequestPtr<GetExecutorInformationIoctl<SynchronousIoctl>> executor;
  communication.GetExecutorInformation(device.get(), executor);
  CheckStatus(executor, "Unable to retrieve executor information. IOCTL completed with error.");
  const _vesk_executor_information information =
      ReadExecutorInformation(executor->Buffer(), executor->BufferLength());
  const std::uint32_t version = RecordApiVersion(SpecificationVersion(information));

  RequestPtr<GetControllerInfoIoctl<SynchronousIoctl>> request;
  communication.GetControllerInfo(device.get(), controllerId, VESK_SCOPE_CONTROLLER,
                                  EntrySize(kControllerInfoSize, version) + kListFixedLength,
                                  version, request);
  CheckStatus(request, "Unable to retrieve controller information. IOCTL completed with error.");
  const _vesk_controller_info_4_0 entry =
      ReadSingleControllerInfo(request->Buffer(), request->BufferLength(), version);

  std::unique_ptr<Controller> controller =
      BuildController(As<ControllerInformation>(entry), device);
  controller->apiVersion = version;
  std::memcpy(controller->executorInformation, &information,
              sizeof controller->executorInformation);
  ReadCapabilities(*controller);
  return controller;
}

void StorageManagement::Implementation::SetArrays(const Controller& controller, ArrayMap& target) {
  const std::uint16_t maxVolumes = controller.maxVolumesPerController;
  const std::uint32_t length =
      std::max(static_cast<std::uint32_t>(kArrayInfoSize) * maxVolumes + kListFixedLength,
               kMinScopeQueryLength);
  RequestPtr<GetArrayInfoIoctl<SynchronousIoctl>> request;
  communication.GetArrayInfo(controller.GetDeviceHandle().get(), controller.id,
                             VESK_SCOPE_CONTROLLER, length, request);
  CheckStatus(request, "Unable to retrieve array information. IOCTL completed with error.");
  std::vector<std::unique_ptr<Array>> arrays;
  for (const auto& entry : ReadArrayList(request->Buffer(), request->BufferLength(), maxVolumes)) {
    arrays.push_back(BuildArray(As<ArrayInformation>(entry), controller.id));
  }
  Insert(arrays, target);
}

void StorageManagement::Implementation::SetVolumes(const Controller& controller,
                                                   VolumeMap& target) {
  const std::uint16_t maxVolumes = controller.maxVolumesPerController;
  const std::uint32_t version = controller.apiVersion;
  // A controller that allows no volumes still gets a request that holds the query record; its
  // answer may count no volume.
  const std::uint32_t length = std::max(
      EntrySize(kVolumeInfoSize, version) * maxVolumes + kListFixedLength, kMinScopeQueryLength);
  RequestPtr<GetVolumeInfoIoctl<SynchronousIoctl>> request;
  communication.GetVolumeInfo(controller.GetDeviceHandle().get(), controller.id,
                              VESK_SCOPE_CONTROLLER, length, version, request);
  CheckStatus(request, "Unable to retrieve volume information. IOCTL completed with error.");
  std::vector<std::unique_ptr<Volume>> volumes;
  for (const auto& entry :
       ReadVolumeList(request->Buffer(), request->BufferLength(), version, maxVolumes)) {
    volumes.push_back(BuildVolume(As<VolumeInformation>(entry), controller.id));
  }
  Insert(volumes, target);
}

void StorageManagement::Implementation::SetDrives(const Controller& controller, DriveMap& target) {
  DeviceHandle* device = controller.GetDeviceHandle().get();
  const std::uint32_t version = controller.apiVersion;
  // The SCSI host of every drive is the controller device's number from discovery.
  const auto host = static_cast<std::uint8_t>(device ? device->device->id : 0);
  std::vector<std::unique_ptr<Drive>> drives;

  RequestPtr<GetDriveInfoIoctl<SynchronousIoctl>> request;
  communication.GetDriveInfo(device, controller.id, VESK_SCOPE_CONTROLLER,
                             static_cast<std::uint32_t>(kDriveListLength), version, request);
  if (request->Status() == VESK_STATUS_BUFFER_TOO_SMALL) {
    // More drives than one answer holds: read them one at a time.
    request.reset();
    RequestPtr<GetDriveIdentifiersIoctl<SynchronousIoctl>> identifiers;
    communication.GetDriveIdentifiers(
        device, vesk_invalid_guid, VESK_SCOPE_NONE,
        static_cast<std::uint32_t>(kIdentifierSize) * controller.maxDrivesPerController +
            kListFixedLength,
        identifiers);
    CheckStatus(identifiers, "Unable to retrieve drive identifiers. IOCTL completed with error.");
    const std::vector<vesk_guid> driveIds =
        ReadDriveIdentifiers(identifiers->Buffer(), identifiers->BufferLength());
    identifiers.reset();
    drives.reserve(driveIds.size());
    for (const vesk_guid& driveId : driveIds) {
      RequestPtr<GetDriveInfoIoctl<SynchronousIoctl>> single;
      communication.GetDriveInfo(device, driveId, VESK_SCOPE_DRIVE,
                                 EntrySize(kDriveInfoSize, version) + kListFixedLength, version,
                                 single);
      // A drive that went away since the identifiers were read is left out.
      if (single->Status() == VESK_STATUS_DRIVE_NOT_FOUND) continue;
      CheckStatus(single, "Unable to retrieve drive information. IOCTL completed with error.");
      const _vesk_drive_info_4_0 entry =
          ReadSingleDriveInfo(single->Buffer(), single->BufferLength(), version);
      drives.push_back(BuildDrive(As<DriveInformation>(entry), controller.id, host,
                                  static_cast<std::uint8_t>(drives.size())));
    }
  } else {
    CheckStatus(request, "Unable to retrieve drive information. IOCTL completed with error.");
    const std::vector<_vesk_drive_info_4_0> entries =
        ReadDriveList(request->Buffer(), request->BufferLength(), version);
    drives.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      drives.push_back(BuildDrive(As<DriveInformation>(entries[i]), controller.id, host,
                                  static_cast<std::uint8_t>(i)));
    }
  }
  Insert(drives, target);
}

}  // namespace Vesk
