// What could not be delivered from the journal. A target (a monitor's program) that does not take
// a record keeps its cursor before it and gets it again, in order, at the next attempt; the failed
// attempts are counted in JOURNAL.retries. After kDeliveryAttempts the record is given up: it goes
// to the list of undelivered records, JOURNAL.undelivered (JSON Lines), which `events
// --undelivered` shows, and the target goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace veskctl {

// Attempts at one record before it is given up.
inline constexpr int kDeliveryAttempts = 10;

// How long a following monitor waits after the `attempts`-th failed attempt: a second, doubling,
// at most five minutes (all ten attempts take about eight and a half minutes).
std::chrono::milliseconds DeliveryBackoff(int attempts);

// The failed attempts of each target, as JOURNAL.retries keeps them between runs. Used under the
// delivery lock.
class DeliveryFailures {
 public:
  explicit DeliveryFailures(std::filesystem::path journal);

  // Counts a failed attempt to deliver `record` to `target`; returns the attempts at it so far.
  int Failed(const std::string& target, std::uint64_t record, const std::string& why);
  // The target took its record: its failed attempts are forgotten.
  void Delivered(const std::string& target);
  // Puts `record` on the list of undelivered records, with what its last attempt said.
  void GiveUp(const std::string& target, const nlohmann::json& record, int attempts,
              const std::string& why);
  // Writes JOURNAL.retries when it changed. Throws StateFileError.
  void Save() const;

  // The targets that have records on the list, and how many records it holds: read at once.
  struct Undelivered {
    std::vector<std::string> targets;
    std::size_t count = 0;
  };
  Undelivered UndeliveredNow() const;

 private:
  std::filesystem::path journal;
  nlohmann::json retries;  // target -> {record, attempts, error}
  bool changed = false;
};

// The list of undelivered records, oldest first: {time, target, record, kind, attempts, error}.
std::vector<nlohmann::json> UndeliveredRecords(const std::filesystem::path& journal);
// Empties the list (an administrator has seen to its records); returns how many it held.
std::size_t ClearUndelivered(const std::filesystem::path& journal);

}  // namespace veskctl
