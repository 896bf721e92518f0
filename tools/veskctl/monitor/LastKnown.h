// The last-known state: the machine as the journal's records last told it, kept beside the journal
// (JOURNAL.last-known) so that every watcher, whichever runs (a following monitor, `--once`,
// `serve`), starts, restarts or takes over, derives its events from the same place. A change made
// while no watcher ran is recorded once, with its kind, by the first watcher that sees it.
//
// A watcher commits each look's records with the state they leave: the state is written first,
// with the records as its pending ones and the journal's last identifier then, and the records are
// appended after it. A watcher killed before the state is written has recorded nothing and the next
// one derives the same changes again from the state before; killed after it, the next one finds
// which pending records the journal holds and appends the others. Only when the journal has
// rotated past that identifier since (two rotations with no watcher running) can it no longer
// tell: it appends them all, marked `maybeRepeated`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/veskctl/journal/Journal.h"

namespace veskctl {

struct LastKnown {
  nlohmann::json machine;                           // EventFeed::Known; null: never seen
  nlohmann::json faults = nlohmann::json::array();  // Reminders::Save
  std::string failure;                              // what the last look failed with
  std::int64_t clockMs = 0;                         // the simulated machine's clock then
  std::uint64_t journalId = 0;                      // the journal's last record before...
  std::vector<nlohmann::json> pending;              // ...the records of the last commit
};

class LastKnownFile {
 public:
  explicit LastKnownFile(const Journal& journal);

  const std::filesystem::path& Path() const { return path; }

  // Nothing when there is none, or none this veskctl can use (said on stderr: the watcher then
  // starts from what it sees, every element present). Throws StateFileError when it cannot be
  // read at all.
  std::optional<LastKnown> Read() const;

  // Writes `state` with `records` pending, then appends them; returns their identifiers. Throws
  // StateFileError when either cannot be written: the records are then not recorded, and a later
  // commit of them (with the state of that time) is due.
  std::vector<std::uint64_t> Commit(LastKnown state, std::vector<nlohmann::json> records) const;

  // Appends the pending records of `state` that the journal does not hold (a watcher died between
  // its state and its records); returns them with their identifiers.
  std::vector<nlohmann::json> Recover(const LastKnown& state) const;

 private:
  const Journal& journal;
  std::filesystem::path path;
};

}  // namespace veskctl
