// The simulated machine's state between two runs of veskctl: one JSON file that carries its own
// format version, read at start and written back after a command that changed the machine.
//
// A run that may change the machine holds an exclusive lock (on STATE.lock beside the file) while
// it reads, acts and writes, so that concurrent runs do not lose each other's work. A run that
// only reads takes no lock and creates nothing: every save replaces the whole file by a rename,
// so a reader always sees one complete save.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

#include "tools/veskctl/base/Files.h"

namespace veskctl {

// A state file whose machine cannot be used (see StateFile::Unusable). `reason` names the file and
// says what is wrong with it, without the way to start over the message ends with.
class StateFileUnusable : public StateFileError {
 public:
  StateFileUnusable(const std::string& message, std::string reason)
      : StateFileError(message), reason(std::move(reason)) {}
  std::string reason;
};

class StateFile {
 public:
  static constexpr int kFormatVersion = 1;

  struct Options {
    bool readOnly = false;   // read the file if there is one; no lock, nothing created or written
    bool pathGiven = false;  // the user named the file (--state): the start-over hint repeats it
    double lockTimeoutSeconds = -1;  // below 0: wait for the lock as long as it takes
  };

  // $VESK_STATE, else $XDG_STATE_HOME/vesk/veskctl.json, else ~/.local/state/vesk/veskctl.json,
  // else %LOCALAPPDATA%\vesk\veskctl.json.
  // Without any of them there is no place that belongs to the user: StateFileError.
  static std::filesystem::path DefaultPath();

  // Unless read-only: creates the folder if needed and takes the lock, waiting for another run
  // (said on stderr after a second) up to the lock time-out.
  StateFile(std::filesystem::path path, const Options& options);
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // How often a run that finds the lock taken tries again.
  static constexpr int kLockPollMs = 20;

  const std::filesystem::path& Path() const { return path; }
  // Lets other runs in before this object ends (a reader that has what it needs, or a run that
  // has nothing to do for a while).
  void Unlock();
  // Takes the lock again after Unlock, as the constructor took it.
  void Lock();

  // The saved machine, or nothing when there is no state file yet: Parse(Read()). Throws
  // StateFileError.
  std::optional<nlohmann::json> Load() const;
  // The file's bytes, or nothing when there is no state file yet: all a reader needs the lock for.
  std::optional<std::string> Read() const;
  // The saved machine in what Read returned (nothing for nothing). Parsing a large machine takes
  // far longer than reading it, so a reader parses after it let the lock go.
  std::optional<nlohmann::json> Parse(const std::optional<std::string>& text) const;
  // Milliseconds since the epoch at the last save, from the loaded file; 0 when unknown.
  long long SavedAtMs() const { return savedAtMs; }
  // What veskctl remembers of background work (see Jobs.h), from the loaded file; null if none.
  const nlohmann::json& SavedJobs() const { return savedJobs; }
  // The error of a saved machine that cannot be used, with the way to start over.
  StateFileUnusable Unusable(const std::string& why) const;

  // Replaces the file atomically and durably (WriteFileAtomically).
  void Save(const nlohmann::json& machine, const nlohmann::json& jobs) const;

 private:
  std::filesystem::path path;
  Options options;
  void* lockFile = nullptr;  // the lock file's HANDLE while the lock is held
  mutable long long savedAtMs = 0;
  mutable nlohmann::json savedJobs;
};

}  // namespace veskctl
