// Building native records from answer entries that the protocol readers have already widened to
// the current layout.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "vesk/Records.h"

namespace Vesk {

// A controller record from a 403-byte information block, holding `device`; apiVersion stays 3
// until the caller sets it.
std::unique_ptr<Controller> BuildController(const ControllerInformation& entry,
                                            std::shared_ptr<DeviceHandle> device);

// Fills the controller's RAID-level descriptors; `maxDrivesPerArray` becomes the largest
// maxDrivesCount among them (0 when there are none). At most kMaxRaidLevelDescriptors.
void SetRaidLevelDescriptors(Controller& controller, std::span<const RaidLevelDescriptor> levels);

std::unique_ptr<Array> BuildArray(const ArrayInformation& entry, const vesk_guid& controllerId);
std::unique_ptr<Volume> BuildVolume(const VolumeInformation& entry, const vesk_guid& controllerId);

// `host` is the low byte of the controller device's number; `position` is the drive's place in
// the result (it becomes the SCSI target of NVMe drives).
std::unique_ptr<Drive> BuildDrive(const DriveInformation& entry, const vesk_guid& controllerId,
                                  std::uint8_t host, std::uint8_t position);

}  // namespace Vesk
