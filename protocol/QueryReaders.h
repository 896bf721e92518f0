// Readers of query answers: they check an answer against the buffer that holds it and against the
// library's limits, and return its records widened to the current (4.0) layouts.
//
// Every reader takes the whole request buffer as the request object hands it out (from offset 0,
// the start of the SRB_IO_CONTROL header) and its length, so that the offsets here are those on
// the wire: counts at 32, entries from 34 (capability descriptors from 33). The answer is
// untrusted: every count is checked against the buffer before anything behind it is read.
//
// A violation throws TaluException with one of the fixed texts below and the error code
// ERROR_INVALID_DATA (13). An API version index outside 0..3 is a caller's error and throws
// std::invalid_argument. Readers keep no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/QueryRecords.h"
#include "vesk/Types.h"

namespace Vesk {

inline constexpr std::uint32_t kAnswerErrorCode = 13;  // ERROR_INVALID_DATA

// Texts of the answer checks.
namespace QueryMessages {
inline constexpr std::string_view kShortAnswer =
    "Answer retrieved from the driver is shorter than its fixed part.";
inline constexpr std::string_view kEntriesPastEnd =
    "Entry count retrieved from the driver is greater than the answer holds.";
inline constexpr std::string_view kIdentifiersPastEnd =
    "Identifier count retrieved from the driver is greater than the answer holds.";
inline constexpr std::string_view kDescriptorsPastEnd =
    "RAID level descriptors retrieved from the driver run past the end of the answer.";
inline constexpr std::string_view kNoDrive =
    "Drive count retrieved with the value of 0 for a single drive.";
inline constexpr std::string_view kUnsupportedApiVersion = "Unsupported API version index.";

inline constexpr std::string_view kZeroControllerCount =
    "Invalid controller count retrieved with the value of 0.";
inline constexpr std::string_view kControllerCountAboveExpected =
    "Controller count retrieved is greater than expected.";
inline constexpr std::string_view kControllerCountNotOne =
    "Expected a count of 1 for retrieving a single Controller";
inline constexpr std::string_view kZeroMaxDrives =
    "Maximum number of drives supported by controller is 0.";
inline constexpr std::string_view kZeroMaxVolumesPerArray =
    "Controller returned maximum volumes per array with the value of 0.";
inline constexpr std::string_view kTooManyDescriptors =
    "RAID level descriptors count retrieved from the driver is grater than maximum supported.";
inline constexpr std::string_view kTooManyArrays =
    "Array count retrieved from the driver is grater than maximum supported.";
inline constexpr std::string_view kTooManyVolumes =
    "Volume count retrieved from the driver is grater than maximum supported.";
inline constexpr std::string_view kTooManyDrives =
    "Drives count retrieved from the driver is grater than maximum supported.";
inline constexpr std::string_view kEmptyControllerIdentifier =
    "Empty controller identifier retrieved";
inline constexpr std::string_view kEmptyDriveIdentifier = "Empty drive identifier retrieved";
inline constexpr std::string_view kEmptyArrayIdentifier = "Empty array identifier retrieved";
inline constexpr std::string_view kEmptyVolumeIdentifier = "Empty volume identifier retrieved";
}  // namespace QueryMessages

// One RAID level a controller offers, with the layout changes allowed from it.
struct RaidLevelCapability {
  _vesk_raid_level_descriptor_4_0 descriptor;  // supportedStripSizes never has bit 15
  std::vector<_vesk_migration_descriptor_4_0> migrations;
};

struct ControllerCapabilities {
  std::vector<RaidLevelCapability> raidLevels;  // at most 5, in answer order
  std::uint16_t maxDrivesPerArray = 0;          // largest maxDrivesCount, 0 when none
};

// Executor information (72-byte buffer): the 40 bytes from 32, unchanged. The version is not
// judged here; the caller maps it to an API version and rejects what it does not speak.
_vesk_executor_information ReadExecutorInformation(const std::uint8_t* buffer, std::size_t length);

// Identifier lists. The count may not exceed (length - 34) / 16; an all-zero identifier among the
// counted ones is rejected with the text for its kind. A count of 0 gives an empty list.
std::vector<vesk_guid> ReadControllerIdentifiers(const std::uint8_t* buffer, std::size_t length);
std::vector<vesk_guid> ReadDriveIdentifiers(const std::uint8_t* buffer, std::size_t length);
// Array and volume identifier lists have no text of their own; an all-zero entry is kept.
std::vector<vesk_guid> ReadIdentifiers(const std::uint8_t* buffer, std::size_t length);

// Controller information of one controller (buffer 369/404/404/437): count 0, count above 1,
// maxDrivesPerController 0 and maxVolumesPerArray 0 are rejected, in that order.
_vesk_controller_info_4_0 ReadSingleControllerInfo(const std::uint8_t* buffer, std::size_t length,
                                                   std::uint32_t apiVersion);
// Controller information during a full refresh, sized for `expectedCount` entries: count 0, count
// above expectedCount and maxVolumesPerArray 0 are rejected. Only the first entry is returned.
_vesk_controller_info_4_0 ReadControllerInfo(const std::uint8_t* buffer, std::size_t length,
                                             std::uint32_t apiVersion, std::size_t expectedCount);

// Capabilities, current form (343-byte buffer, sent with API version 1) and legacy form (83 bytes,
// API version 0, migrations supplied from the level).
ControllerCapabilities ReadControllerCapabilities(const std::uint8_t* buffer, std::size_t length);
ControllerCapabilities ReadControllerCapabilitiesLegacy(const std::uint8_t* buffer,
                                                        std::size_t length);

// Arrays and volumes of a controller; the count may not exceed maxVolumesPerController. Array,
// volume and drive records with an all-zero identifier are refused, each with its kind's text.
std::vector<_vesk_array_info_4_0> ReadArrayList(const std::uint8_t* buffer, std::size_t length,
                                                std::uint16_t maxVolumesPerController);
std::vector<_vesk_volume_info_4_0> ReadVolumeList(const std::uint8_t* buffer, std::size_t length,
                                                  std::uint32_t apiVersion,
                                                  std::uint16_t maxVolumesPerController);

// Drives of a controller: 34 + count * entry size may not exceed 131072 (nor the buffer).
std::vector<_vesk_drive_info_4_0> ReadDriveList(const std::uint8_t* buffer, std::size_t length,
                                                std::uint32_t apiVersion);
// One drive (buffer 201/240/241/292): a count of 0 is rejected; the first entry is returned.
_vesk_drive_info_4_0 ReadSingleDriveInfo(const std::uint8_t* buffer, std::size_t length,
                                         std::uint32_t apiVersion);

// The widening rules, for records already checked and copied out of an answer.
_vesk_controller_info_4_0 WidenControllerInfo(const _vesk_controller_info_1_0& old);
_vesk_controller_info_4_0 WidenControllerInfo(const _vesk_controller_info_2_0& old);
_vesk_volume_info_4_0 WidenVolumeInfo(const _vesk_volume_info_1_0& old);
_vesk_drive_info_4_0 WidenDriveInfo(const _vesk_drive_info_1_0& old);
_vesk_drive_info_4_0 WidenDriveInfo(const _vesk_drive_info_2_0& old);
_vesk_drive_info_4_0 WidenDriveInfo(const _vesk_drive_info_3_0& old);

}  // namespace Vesk
