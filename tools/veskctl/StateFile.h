// The simulated machine's state between two runs of veskctl: one JSON file that carries its own
// format version, read at start and written back after a command that changed the machine, under
// an exclusive lock held for the whole run so that concurrent runs do not lose each other's work.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace veskctl {

// A state file that exists but cannot be used (corrupt, another format version). It is left as
// it is; the message tells the user how to start over.
class StateFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StateFile {
 public:
  static constexpr int kFormatVersion = 1;

  // $VESK_STATE, else $XDG_STATE_HOME/vesk/veskctl.json, else ~/.local/state/vesk/veskctl.json.
  static std::filesystem::path DefaultPath();

  // Creates the folder if needed and takes the lock (blocks while another run holds it).
  explicit StateFile(std::filesystem::path path);
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  const std::filesystem::path& Path() const { return path; }

  // The saved machine, or nothing when there is no state file yet. Throws StateFileError.
  std::optional<nlohmann::json> Load() const;
  // Milliseconds since the epoch at the last save, from the loaded file; 0 when unknown.
  long long SavedAtMs() const { return savedAtMs; }

  // Replaces the file atomically (write aside, then rename).
  void Save(const nlohmann::json& machine) const;
  void Remove() const;

 private:
  std::filesystem::path path;
  int lockFd = -1;
  mutable long long savedAtMs = 0;
};

}  // namespace veskctl
