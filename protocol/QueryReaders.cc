#include "protocol/QueryReaders.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "vesk/Exceptions.h"

namespace Vesk {

// Records are read by copying their bytes; the wire is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

using namespace QueryMessages;

[[noreturn]] void Reject(std::string_view message) {
  throw TaluException(message, kAnswerErrorCode);
}

void CheckApiVersion(std::uint32_t apiVersion) {
  if (apiVersion >= kApiVersionCount)
    throw std::invalid_argument(std::string(kUnsupportedApiVersion));
}

// Copies a record out of the answer; the caller has checked that its bytes are inside.
template <class T>
T Load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Fills `records` (already sized) from the answer; an empty vector has no storage to copy to.
template <class T>
void CopyEntries(std::vector<T>& records, const std::uint8_t* from, std::size_t bytes) {
  if (bytes != 0) std::memcpy(records.data(), from, bytes);
}

std::uint16_t ListCount(const std::uint8_t* buffer, std::size_t length) {
  if (buffer == nullptr || length < kListEntriesOffset) Reject(kShortAnswer);
  return Load<std::uint16_t>(buffer + kListCountOffset);
}

// Whether `count` entries of `entrySize` bytes from offset 34 stay inside `length` bytes.
bool EntriesFit(std::size_t count, std::size_t entrySize, std::size_t length) {
  return kListEntriesOffset + count * entrySize <= length;
}

std::vector<vesk_guid> ReadIdentifierList(const std::uint8_t* buffer, std::size_t length,
                                          std::string_view emptyMessage) {
  const std::uint16_t count = ListCount(buffer, length);
  if (count > (length - kListEntriesOffset) / kIdentifierSize) Reject(kIdentifiersPastEnd);
  std::vector<vesk_guid> identifiers(count);
  CopyEntries(identifiers, buffer + kListEntriesOffset, count * kIdentifierSize);
  if (!emptyMessage.empty()) {
    for (const vesk_guid& id : identifiers) {
      if (id.IsEmpty()) Reject(emptyMessage);
    }
  }
  return identifiers;
}

// Records are keyed by their identifier in the snapshot's maps; an all-zero one would collide
// with every other and stands for "no element" elsewhere in the library.
template <class Record>
void RejectEmptyIdentifiers(const std::vector<Record>& records, std::string_view message) {
  for (const Record& record : records) {
    const vesk_guid id = record.id;  // a copy: the packed field may be misaligned
    if (id.IsEmpty()) Reject(message);
  }
}

// The facade asks for the capabilities, arrays and volumes of the controller by this identifier;
// an all-zero one would only come back as a misleading refusal of those requests.
void RejectEmptyIdentifier(const _vesk_controller_info_4_0& info, std::string_view message) {
  const vesk_guid id = info.id;  // a copy: the packed field may be misaligned
  if (id.IsEmpty()) Reject(message);
}

// The first controller entry, widened; the count has been checked against the buffer.
_vesk_controller_info_4_0 FirstControllerInfo(const std::uint8_t* buffer,
                                              std::uint32_t apiVersion) {
  const std::uint8_t* entry = buffer + kListEntriesOffset;
  switch (apiVersion) {
    case 0:
      return WidenControllerInfo(Load<_vesk_controller_info_1_0>(entry));
    case 1:
    case 2:
      return WidenControllerInfo(Load<_vesk_controller_info_2_0>(entry));
    default:
      return Load<_vesk_controller_info_4_0>(entry);
  }
}

// Offsets 0-334 of every layout, keeping only the interpreted bits of bytes 279 and 302.
template <class Old>
_vesk_controller_info_4_0 WidenControllerCommon(const Old& old) {
  _vesk_controller_info_4_0 info;
  std::memset(&info, 0, sizeof info);
  std::memcpy(&info, &old, sizeof(_vesk_controller_info_1_0));
  info.driverFlags &= 0x80;
  info.policyFlags &= 0xC0;
  return info;
}

template <class Old>
void WidenDriveHead(const Old& old, _vesk_drive_info_4_0& drive) {
  std::memset(&drive, 0, sizeof drive);
  // Offsets 0-133 except 32-47, which older forms fill with the controller identifier; the
  // native record takes that from the controller it was read from.
  std::memcpy(&drive, &old, offsetof(_vesk_drive_info_4_0, flags));
  std::memset(drive.controllerBytes, 0, sizeof drive.controllerBytes);
}

// The type-specific part of an older record. Old type 2 is the earlier NVMe form and becomes 3;
// packed link bytes are split into rate (bits 0-2) and width (bits 3-7).
void WidenConnection(std::uint8_t type, const _vesk_legacy_drive_connection& old,
                     _vesk_drive_info_4_0& drive) {
  drive.type = type;
  switch (type) {
    case VESK_DRIVE_SATA_OPTICAL:
      drive.sata.portNumber = old.sata.portNumber;
      break;
    case VESK_DRIVE_SATA_DISK:
      drive.sata.portNumber = old.sata.portNumber;
      drive.sata.linkByte = old.sata.linkByte;
      break;
    case 2: {
      const _vesk_legacy_nvme_drive_info& from = old.nvme;
      _vesk_nvme_drive_info_4_0& to = drive.nvme;
      drive.type = VESK_DRIVE_NVME;
      to.vendorId = from.vendorId;
      to.flags = from.flags & 0xE0;
      std::memcpy(to.carried141, from.carried141, sizeof to.carried141);
      to.negotiatedLinkRate = from.link & 0x07;
      to.negotiatedLinkWidth = from.link >> 3;
      to.secondLinkRate = from.secondLink & 0x07;
      to.secondLinkWidth = from.secondLink >> 3;
      to.carried167 = from.carried151;
      to.carried168 = from.carried152;
      break;
    }
    case VESK_DRIVE_NVME: {
      const _vesk_legacy_dorn_drive_info& from = old.dorn;
      _vesk_nvme_drive_info_4_0& to = drive.nvme;
      to.vendorId = from.vendorId;
      to.flags = from.flags & 0xE0;
      std::memcpy(to.carried141, from.carried141, sizeof to.carried141);
      to.socketNumber = from.socketNumber;
      to.dornControllerNumber = from.dornControllerNumber;
      to.rootPortOffset = from.rootPortOffset;
      to.physicalSlotNumber = from.physicalSlotNumber;
      to.negotiatedLinkRate = from.link & 0x07;
      to.negotiatedLinkWidth = from.link >> 3;
      to.secondLinkRate = from.secondLink & 0x07;
      to.secondLinkWidth = from.secondLink >> 3;
      to.carried167 = from.carried165;
      to.carried168 = from.carried166;
      break;
    }
    default:
      // A type this library does not know: nothing of its part can be placed, so it stays zero.
      break;
  }
}

// 2.0 and 3.0 share everything but the byte at 206.
template <class Old>
void WidenDrive2x(const Old& old, _vesk_drive_info_4_0& drive) {
  WidenDriveHead(old, drive);
  drive.flags = old.flags & 0xFC;
  drive.volumeLocation0 = old.volumeLocation0;
  drive.volumeLocation1 = old.volumeLocation1;
  WidenConnection(old.type, old.connection, drive);
  drive.carried185 = old.carried169;
  drive.carried217 = old.carried201;
  drive.carried218 = old.carried202;
}

// One entry of the given version, widened.
_vesk_drive_info_4_0 ReadDriveEntry(const std::uint8_t* entry, std::uint32_t apiVersion) {
  switch (apiVersion) {
    case 0:
      return WidenDriveInfo(Load<_vesk_drive_info_1_0>(entry));
    case 1:
      return WidenDriveInfo(Load<_vesk_drive_info_2_0>(entry));
    case 2:
      return WidenDriveInfo(Load<_vesk_drive_info_3_0>(entry));
    default:
      return Load<_vesk_drive_info_4_0>(entry);
  }
}

std::vector<_vesk_drive_info_4_0> ReadDriveEntries(const std::uint8_t* entries, std::size_t count,
                                                   std::uint32_t apiVersion) {
  const std::size_t entrySize = kDriveInfoSize[apiVersion];
  std::vector<_vesk_drive_info_4_0> drives;
  drives.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    drives.push_back(ReadDriveEntry(entries + i * entrySize, apiVersion));
  }
  return drives;
}

// Taken by value: std::max would bind a reference to a packed, misaligned field.
void NoteMaxDrives(ControllerCapabilities& capabilities,
                   const _vesk_raid_level_descriptor_4_0& descriptor) {
  const std::uint16_t maxDrives = descriptor.maxDrivesCount;
  if (maxDrives > capabilities.maxDrivesPerArray) capabilities.maxDrivesPerArray = maxDrives;
}

// A legacy driver does not report migrations; they follow from the level.
std::vector<_vesk_migration_descriptor_4_0> LegacyMigrations(std::uint8_t level) {
  switch (level) {
    case VESK_RAID_0:
      return {{VESK_RAID_0, 1}, {VESK_RAID_5, 1}};
    case VESK_RAID_1:
      return {{VESK_RAID_0, 0}, {VESK_RAID_5, 1}};
    case VESK_RAID_10:
      return {{VESK_RAID_5, 0}};
    case VESK_RAID_5:
      return {{VESK_RAID_5, 1}};
    default:
      return {};
  }
}

}  // namespace

_vesk_executor_information ReadExecutorInformation(const std::uint8_t* buffer, std::size_t length) {
  if (buffer == nullptr || length < kExecutorInformationLength) Reject(kShortAnswer);
  return Load<_vesk_executor_information>(buffer + kAnswerOffset);
}

std::vector<vesk_guid> ReadControllerIdentifiers(const std::uint8_t* buffer, std::size_t length) {
  return ReadIdentifierList(buffer, length, kEmptyControllerIdentifier);
}

std::vector<vesk_guid> ReadDriveIdentifiers(const std::uint8_t* buffer, std::size_t length) {
  return ReadIdentifierList(buffer, length, kEmptyDriveIdentifier);
}

std::vector<vesk_guid> ReadIdentifiers(const std::uint8_t* buffer, std::size_t length) {
  return ReadIdentifierList(buffer, length, {});
}

_vesk_controller_info_4_0 ReadSingleControllerInfo(const std::uint8_t* buffer, std::size_t length,
                                                   std::uint32_t apiVersion) {
  CheckApiVersion(apiVersion);
  const std::uint16_t count = ListCount(buffer, length);
  if (count == 0) Reject(kZeroControllerCount);
  if (count > 1) Reject(kControllerCountNotOne);
  if (!EntriesFit(count, kControllerInfoSize[apiVersion], length)) Reject(kEntriesPastEnd);
  _vesk_controller_info_4_0 info = FirstControllerInfo(buffer, apiVersion);
  if (info.maxDrivesPerController == 0) Reject(kZeroMaxDrives);
  if (info.maxVolumesPerArray == 0) Reject(kZeroMaxVolumesPerArray);
  RejectEmptyIdentifier(info, kEmptyControllerIdentifier);
  return info;
}

_vesk_controller_info_4_0 ReadControllerInfo(const std::uint8_t* buffer, std::size_t length,
                                             std::uint32_t apiVersion, std::size_t expectedCount) {
  CheckApiVersion(apiVersion);
  const std::uint16_t count = ListCount(buffer, length);
  if (count == 0) Reject(kZeroControllerCount);
  if (count > expectedCount) Reject(kControllerCountAboveExpected);
  if (!EntriesFit(count, kControllerInfoSize[apiVersion], length)) Reject(kEntriesPastEnd);
  _vesk_controller_info_4_0 info = FirstControllerInfo(buffer, apiVersion);
  if (info.maxVolumesPerArray == 0) Reject(kZeroMaxVolumesPerArray);
  RejectEmptyIdentifier(info, kEmptyControllerIdentifier);
  return info;
}

ControllerCapabilities ReadControllerCapabilities(const std::uint8_t* buffer, std::size_t length) {
  if (buffer == nullptr || length < kCapabilitiesDescriptorsOffset) Reject(kShortAnswer);
  const std::uint8_t count = buffer[kCapabilitiesCountOffset];
  if (count > kMaxCapabilityDescriptors) Reject(kTooManyDescriptors);
  ControllerCapabilities capabilities;
  std::size_t offset = kCapabilitiesDescriptorsOffset;
  for (std::uint8_t i = 0; i < count; ++i) {
    // Each descriptor is 12 bytes and its migration list; both must lie inside the answer.
    if (length - offset < kMigrationListOffset) Reject(kDescriptorsPastEnd);
    RaidLevelCapability level{Load<_vesk_raid_level_descriptor_4_0>(buffer + offset), {}};
    const std::uint16_t migrations = Load<std::uint16_t>(buffer + offset + kMigrationCountOffset);
    offset += kMigrationListOffset;
    const std::size_t listBytes = migrations * sizeof(_vesk_migration_descriptor_4_0);
    if (length - offset < listBytes) Reject(kDescriptorsPastEnd);
    level.migrations.resize(migrations);
    CopyEntries(level.migrations, buffer + offset, listBytes);
    offset += listBytes;
    level.descriptor.supportedStripSizes &= 0x7FFF;
    NoteMaxDrives(capabilities, level.descriptor);
    capabilities.raidLevels.push_back(std::move(level));
  }
  return capabilities;
}

ControllerCapabilities ReadControllerCapabilitiesLegacy(const std::uint8_t* buffer,
                                                        std::size_t length) {
  if (buffer == nullptr || length < kCapabilitiesDescriptorsOffset) Reject(kShortAnswer);
  const std::uint8_t count = buffer[kCapabilitiesCountOffset];
  if (count > kMaxCapabilityDescriptors) Reject(kTooManyDescriptors);
  const std::size_t descriptorSize = sizeof(_vesk_raid_level_descriptor_4_0);
  if (kCapabilitiesDescriptorsOffset + count * descriptorSize > length) Reject(kDescriptorsPastEnd);
  ControllerCapabilities capabilities;
  for (std::uint8_t i = 0; i < count; ++i) {
    RaidLevelCapability level{Load<_vesk_raid_level_descriptor_4_0>(
                                  buffer + kCapabilitiesDescriptorsOffset + i * descriptorSize),
                              {}};
    level.descriptor.supportedStripSizes &= 0x7FFF;
    level.migrations = LegacyMigrations(level.descriptor.level);
    NoteMaxDrives(capabilities, level.descriptor);
    capabilities.raidLevels.push_back(std::move(level));
  }
  return capabilities;
}

std::vector<_vesk_array_info_4_0> ReadArrayList(const std::uint8_t* buffer, std::size_t length,
                                                std::uint16_t maxVolumesPerController) {
  const std::uint16_t count = ListCount(buffer, length);
  if (count > maxVolumesPerController) Reject(kTooManyArrays);
  if (!EntriesFit(count, kArrayInfoSize, length)) Reject(kEntriesPastEnd);
  std::vector<_vesk_array_info_4_0> arrays(count);
  CopyEntries(arrays, buffer + kListEntriesOffset, count * kArrayInfoSize);
  RejectEmptyIdentifiers(arrays, kEmptyArrayIdentifier);
  return arrays;
}

std::vector<_vesk_volume_info_4_0> ReadVolumeList(const std::uint8_t* buffer, std::size_t length,
                                                  std::uint32_t apiVersion,
                                                  std::uint16_t maxVolumesPerController) {
  CheckApiVersion(apiVersion);
  const std::uint16_t count = ListCount(buffer, length);
  if (count > maxVolumesPerController) Reject(kTooManyVolumes);
  const std::size_t entrySize = kVolumeInfoSize[apiVersion];
  if (!EntriesFit(count, entrySize, length)) Reject(kEntriesPastEnd);
  const std::uint8_t* entries = buffer + kListEntriesOffset;
  std::vector<_vesk_volume_info_4_0> volumes;
  volumes.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (entrySize == sizeof(_vesk_volume_info_4_0)) {
      volumes.push_back(Load<_vesk_volume_info_4_0>(entries + i * entrySize));
    } else {
      volumes.push_back(WidenVolumeInfo(Load<_vesk_volume_info_1_0>(entries + i * entrySize)));
    }
  }
  RejectEmptyIdentifiers(volumes, kEmptyVolumeIdentifier);
  return volumes;
}

std::vector<_vesk_drive_info_4_0> ReadDriveList(const std::uint8_t* buffer, std::size_t length,
                                                std::uint32_t apiVersion) {
  CheckApiVersion(apiVersion);
  const std::uint16_t count = ListCount(buffer, length);
  const std::size_t entrySize = kDriveInfoSize[apiVersion];
  if (!EntriesFit(count, entrySize, kDriveListLength)) Reject(kTooManyDrives);
  if (!EntriesFit(count, entrySize, length)) Reject(kEntriesPastEnd);
  std::vector<_vesk_drive_info_4_0> drives =
      ReadDriveEntries(buffer + kListEntriesOffset, count, apiVersion);
  RejectEmptyIdentifiers(drives, kEmptyDriveIdentifier);
  return drives;
}

_vesk_drive_info_4_0 ReadSingleDriveInfo(const std::uint8_t* buffer, std::size_t length,
                                         std::uint32_t apiVersion) {
  CheckApiVersion(apiVersion);
  const std::uint16_t count = ListCount(buffer, length);
  if (count == 0) Reject(kNoDrive);
  if (!EntriesFit(count, kDriveInfoSize[apiVersion], length)) Reject(kEntriesPastEnd);
  const _vesk_drive_info_4_0 drive = ReadDriveEntry(buffer + kListEntriesOffset, apiVersion);
  const vesk_guid id = drive.id;  // a copy: the packed field may be misaligned
  if (id.IsEmpty()) Reject(kEmptyDriveIdentifier);
  return drive;
}

_vesk_controller_info_4_0 WidenControllerInfo(const _vesk_controller_info_1_0& old) {
  return WidenControllerCommon(old);
}

_vesk_controller_info_4_0 WidenControllerInfo(const _vesk_controller_info_2_0& old) {
  _vesk_controller_info_4_0 info = WidenControllerCommon(old);
  // The text is taken up to its first zero and at most 29 characters, so it always ends in one.
  const char* text = old.carriedText;
  const std::size_t textLength = std::find(text, text + sizeof old.carriedText - 1, '\0') - text;
  std::memcpy(info.carriedText, old.carriedText, textLength);
  info.carried365 = old.carried365;
  info.carried366 = old.carried366;
  return info;
}

_vesk_volume_info_4_0 WidenVolumeInfo(const _vesk_volume_info_1_0& old) {
  _vesk_volume_info_4_0 volume;
  std::memcpy(&volume, &old, sizeof old);
  std::memset(volume.carried94, 0, sizeof volume.carried94);
  return volume;
}

_vesk_drive_info_4_0 WidenDriveInfo(const _vesk_drive_info_1_0& old) {
  _vesk_drive_info_4_0 drive;
  WidenDriveHead(old, drive);
  // 1.0 has neither containsPartition nor ledActive, nor the volume-location bytes.
  drive.flags = old.flags & 0xF0;
  drive.volumeLocation0 = 0xFF;
  WidenConnection(old.type, old.connection, drive);
  drive.carried238 = 0xFF;
  return drive;
}

_vesk_drive_info_4_0 WidenDriveInfo(const _vesk_drive_info_2_0& old) {
  _vesk_drive_info_4_0 drive;
  WidenDrive2x(old, drive);
  drive.carried238 = 0xFF;
  return drive;
}

_vesk_drive_info_4_0 WidenDriveInfo(const _vesk_drive_info_3_0& old) {
  _vesk_drive_info_4_0 drive;
  WidenDrive2x(old, drive);
  drive.carried238 = old.carried206;
  return drive;
}

}  // namespace Vesk
