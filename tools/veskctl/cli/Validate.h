// What the user typed, read and checked before anything is sent. Each function throws UsageError
// with a message that says what is wrong and what would be right.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/veskctl/base/NumberOption.h"
#include "tools/veskctl/session/Session.h"

namespace veskctl {

// "100G", "1.5 TiB", "500GB", "4096": KB, MB, GB, TB, PB, EB are powers of 1000; K, M, G, T, P, E
// (also written Ki, KiB, ...) powers of 1024. A blank may stand before the unit. The result is a
// whole number of bytes, above 0 and below 2^64.
std::uint64_t ParseByteSize(const std::string& text);
void CheckWholeBlocks(std::uint64_t size, std::uint32_t blockSize);

// A volume name as the driver takes it: 1 to 16 bytes of printable ASCII (0x20 to 0x7E), and no
// surrounding blanks.
void CheckVolumeName(const std::string& name);
// A name that no later argument could take for something else: not an element's name (another
// volume's: `self` is the volume being renamed), not a drive's serial number, not the beginning of
// any element's identifier.
void CheckNameIsFree(Session& session, const std::string& name, const Vesk::Volume* self);

// The largest volume of `level` over `members` drives when it now has `size` bytes (0: a new one)
// and the array has `rawFree` bytes free over all members, in whole blocks; the driver's own
// arithmetic.
std::uint64_t LargestSize(std::uint8_t level, std::uint64_t members, std::uint64_t rawFree,
                          std::uint64_t size, std::uint32_t blockSize);
// The size create-volume asks for: 0 (all the room) when --size was not `given`, else a size
// that fits on `drives` where the room they have is known.
std::uint64_t NewVolumeSize(Session& session, const std::string& text, bool given,
                            const std::vector<const Vesk::Drive*>& drives,
                            Vesk::vesk_raid_level level);
// The size expand-volume asks for: larger than the volume, within its array's room; "max" is
// the largest there is room for.
std::uint64_t ExpandedSize(Session& session, const Vesk::Volume& v, const std::string& text);
// A verification needs an initialized volume (of a normal volume with no work running: the
// driver refuses any other for its state first).
void CheckInitialized(const Vesk::Volume& v);

// "0", "1", "5", "10", "4", with or without "raid" before them ("raid5", "RAID 10", "raid-1").
Vesk::vesk_raid_level ParseLevel(const std::string& text);
// The controller's capabilities for `level`; the level must be one it offers.
const Vesk::RaidLevelDescriptor& OfferedLevel(const Vesk::Controller& controller,
                                              Vesk::vesk_raid_level level);
// A strip size in KiB ("64", "64K", "1M") that `level` offers.
std::uint16_t ParseStrip(const std::string& text, const Vesk::RaidLevelDescriptor& level);

// How far the simulated clock moves: a whole number of milliseconds that keeps the clock below
// 2^63 ms.
std::uint64_t ParseMilliseconds(const std::string& text, std::uint64_t clockMs);

bool ParseSwitch(const std::string& text);  // on|off

// The items of a comma-separated list option, however many times it was given ("--drives a,b
// --drives c"). An empty item is refused rather than dropped: "a,,b" or "a," is more often a name
// left out than a comma too many.
std::vector<std::string> ListItems(const std::vector<std::string>& values, const char* option);

// Every drive must be on `controllerId`, the controller of `whose` (the element they would join).
void CheckSameController(Session& session, const std::vector<const Vesk::Drive*>& drives,
                         const Vesk::vesk_guid& controllerId, const std::string& whose);

}  // namespace veskctl
