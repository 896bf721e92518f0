// What the user typed, read and checked before anything is sent. Each function throws UsageError
// with a message that says what is wrong and what would be right.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/veskctl/Session.h"

namespace veskctl {

// "100G", "1.5T", "4096": binary multiples (K, M, G, T, P, E, optionally followed by i and B).
// The result is a whole number of bytes, above 0 and below 2^64.
std::uint64_t ParseByteSize(const std::string& text);
void CheckWholeBlocks(std::uint64_t size, std::uint32_t blockSize);

// A volume name as the driver stores it: at most 16 bytes, not empty, no surrounding blanks.
void CheckVolumeName(const std::string& name);

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

// Every drive must be on `controllerId`, the controller of `whose` (the element they would join).
void CheckSameController(Session& session, const std::vector<const Vesk::Drive*>& drives,
                         const Vesk::vesk_guid& controllerId, const std::string& whose);

}  // namespace veskctl
