// What veskctl remembers of a machine's drives that no driver keeps: the drives an administrator
// forgot (gone for good, so no longer missing), and the spares each controller had, so that a
// controller whose spare was used up or lost is known to have had one.
//
// The roster lives beside the journal (JOURNAL.roster), for the simulated machine and the RAID
// driver alike: the RAID driver keeps a drive that left as missing for as long as it runs, and
// only veskctl can stop counting it. A run that saves writes it whole, by a rename, so a watcher
// that reads it without the state file's lock sees one complete roster.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "vesk/StorageManagement.h"

namespace veskctl {

class Roster {
 public:
  Roster() = default;

  // The roster beside the journal at `journalPath`; an empty one when there is none or it cannot
  // be used (it only spares the administrator reminders: a damaged one is said on stderr).
  static Roster Read(const std::filesystem::path& journalPath);
  // Writes it beside the journal when it changed since it was read or last written. Throws
  // StateFileError.
  void Write(const std::filesystem::path& journalPath);
  static std::filesystem::path PathFor(const std::filesystem::path& journalPath);

  // Forgets everything: the machine started over.
  void Clear();

  // A drive forgotten counts as gone for good only while it is missing: one that comes back is
  // a drive like any other again.
  void Forget(const Vesk::vesk_guid& driveId, const std::string& serial, std::uint64_t atMs);
  bool Forgotten(const Vesk::Drive& d) const;
  bool Forgotten(const std::string& driveId, std::uint8_t status) const;

  // Takes a look at the drives the library read: a controller with usable spares has those, and
  // forgotten drives that came back are remembered again.
  void Observe(Vesk::StorageManagement& storage);
  // The spare an administrator took away was not lost.
  void SpareUnmarked(const Vesk::vesk_guid& controllerId, const std::string& serial);
  // The spares controller `c` had (serial numbers) when it has none usable now; empty when it has
  // one, or never had one.
  std::vector<std::string> SparesGone(Vesk::StorageManagement& storage,
                                      const Vesk::vesk_guid& c) const;

 private:
  struct Gone {
    std::string serial;
    std::uint64_t atMs = 0;
  };
  // By identifier (as text, as the file has them).
  std::map<std::string, Gone> forgotten;
  std::map<std::string, std::set<std::string>> spares;  // by controller
  bool changed = false;
};

// A drive a controller can give a failed member's place to: a spare in good health.
bool UsableSpare(const Vesk::Drive& d);

}  // namespace veskctl
