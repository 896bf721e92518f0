// The journal: one append-only record of what happened to a machine — the events watchers derive,
// the configuration commands veskctl carried out (and who ran them), the outcomes of background
// work and the reminders of faults that last. It is what `veskctl events` lists and what the
// monitor delivers from.
//
// The file is JSON Lines. Its first line is a header that carries the format and the identifier
// of the file's first record; every other line is one record, an object with an `id` that only
// grows and is never given twice, also across rotation. Writers of any process append under the
// journal's own lock (JOURNAL.lock, not the state file's), so that a writer never waits for a
// command that holds the state file. A writer that dies mid-append leaves at most one line
// without its newline: readers never look past the last newline, and the next writer cuts the
// torn line off before it appends.
//
// The journal is bounded: once the file would pass its size limit it is renamed to JOURNAL.1
// (replacing the older generation) and a new file starts. So it holds between one and two times
// the limit, and readers read both generations.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace veskctl {

class Journal {
 public:
  static constexpr int kFormatVersion = 1;
  static constexpr std::uint64_t kDefaultMaxBytes = 16ull << 20;

  // The journal of the machine the state file holds: STATE.journal. The RAID driver's, which has
  // no state file, lives in the same folder as driver.journal.
  static std::filesystem::path PathFor(const std::filesystem::path& statePath, bool simulate);

  explicit Journal(std::filesystem::path path, std::uint64_t maxBytes = kDefaultMaxBytes);

  const std::filesystem::path& Path() const { return path; }

  // Appends `records` (objects) in one go, under the lock, and returns the identifier each was
  // given (in `id`; a record without `time` gets the time of the append). Throws StateFileError
  // when the journal cannot be written.
  std::vector<std::uint64_t> Append(std::vector<nlohmann::json> records) const;
  std::uint64_t Append(nlohmann::json record) const;

  // The identifier of the newest record; 0 for a journal with none yet.
  std::uint64_t LastId() const;

  struct Slice {
    std::vector<nlohmann::json> records;  // oldest first
    // The oldest identifier the journal still holds records from (its first file's first id):
    // records below it have rotated away.
    std::uint64_t oldestHeld = 1;
    // Records after the one asked for were rotated away before they could be read.
    bool gap = false;
    // Lines among those read that hold no record (damaged on disk), passed over.
    std::uint64_t damaged = 0;
    // Of those, the lines after the last record returned: a reader that asks again from that
    // record reads them again.
    std::uint64_t trailingDamaged = 0;
  };
  // The records after identifier `after` (0: all), at most `limit` of them. Found by bisection,
  // so that the cost does not grow with the records before `after`.
  Slice After(std::uint64_t after, std::size_t limit = SIZE_MAX) const;
  // The identifier of the last record written before `unixMs` (0: none), by bisection over the
  // records' times.
  std::uint64_t LastBefore(std::int64_t unixMs) const;

 private:
  std::filesystem::path path;
  std::uint64_t maxBytes;
};

struct MonitorEvent;

// A text field of a record (or of an object in it); empty when it is missing or not a text, as
// in a record written by another veskctl.
std::string RecordField(const nlohmann::json& object, const char* key);

// A record as the event it carries (every record has the event's fields), so that records print,
// and go to programs, as events do.
MonitorEvent RecordEvent(const nlohmann::json& record);
// One line for people: "#ID " and the event's text line.
std::string RecordText(const nlohmann::json& record);

// "2026-12-07T14:05:00.123Z" as milliseconds since the epoch; nothing for another text.
std::optional<std::int64_t> ParseEventTime(const std::string& text);

}  // namespace veskctl
