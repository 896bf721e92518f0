// What a command is about to do, on disk before it does it. The record of a command is appended
// once its outcome is known; a run killed between acting and that append (SIGKILL, power loss)
// would leave a machine that changed and a journal that says nothing. So before it acts the run
// writes the record as it stands, its outcome unknown, into a file of its own in JOURNAL.intents/
// and holds that file's lock while it lives. Once the outcome is appended the file goes. A file
// whose lock anyone can take is a run that died: the next writer of the journal appends its record
// (outcome "unknown") and removes it.
//
// Whoever removes an intent first empties it under its lock: a closer that opened the file before
// it went, and takes the lock after, finds it empty and appends nothing. A closer that dies
// between its append and emptying the file leaves the record to be appended again: an intent is
// journaled at least once and, unless a closer dies mid-way, exactly once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/journal/Journal.h"

namespace veskctl {

class SharedFile;

class Intent {
 public:
  // Writes the record of `audit` as it stands, outcome "unknown", atomically and durably, and
  // holds it. Throws StateFileError when it cannot be written.
  Intent(const Journal& journal, CommandAudit audit);
  ~Intent();  // lets the lock go; an intent not closed stays for the next writer to journal
  Intent(const Intent&) = delete;
  Intent& operator=(const Intent&) = delete;

  // The command's outcome is in the journal: the intent goes.
  void Close();

 private:
  std::filesystem::path path;
  std::unique_ptr<SharedFile> file;  // holds the lock
};

// The folder of the journal's intents: JOURNAL.intents.
std::filesystem::path IntentsFolder(const Journal& journal);

// Appends the record of every intent whose run is gone, in the order they were made, and removes
// them; returns how many. An intent that cannot be read as a record, and a folder that cannot be
// listed, are left where they are. Throws StateFileError when the journal cannot be written (the
// intents stay for the next writer).
std::size_t CloseAbandonedIntents(const Journal& journal);

}  // namespace veskctl
