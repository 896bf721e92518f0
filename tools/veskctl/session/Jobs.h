// Background work (initialize, verify, rebuild, layout change, adding drives) as the library reads
// it — a volume's state, migrating flag and percent done — followed from one run to the next.
//
// One reading gives the percent only. The rate and the time left need two readings at known
// times, so every run that saves remembers, per volume, the first and the latest reading with the
// machine's clock; the rate is the progress between them over the time between them. Work that a
// run of veskctl started is remembered from its start (elapsed time exact, and a layout change
// with the level and strip it goes to, which the driver does not report); work first seen running
// counts its elapsed time from then and has no rate until a later look.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vesk/Types.h"

namespace veskctl {

struct Model;
struct VolumeModel;

struct Job {
  std::string volumeId;
  std::string volumeName;
  std::string kind;  // initialize, verify, verify and repair, rebuild, layout change, adding drives
  std::uint8_t state = 0;
  std::optional<std::pair<std::uint8_t, std::uint16_t>> target;  // level and strip it goes to
  unsigned percent = 0;
  std::uint64_t elapsedMs = 0;
  bool fromStart = false;  // elapsed from the start, not from the first look
  std::optional<double> percentPerMinute;
  std::optional<std::uint64_t> remainingMs;
  std::string outcome;  // empty while it runs; then finished, failed or cancelled
  std::string why;      // what the volume was left with, when it did not finish
  // A verification that finished: what it found, as the volume reports it.
  std::optional<std::uint32_t> verifyErrors, verifyBadBlocks;
  // On the machine's clock: the start when it is known (fromStart), and the end once it ended.
  std::optional<std::uint64_t> startedMs;
  std::uint64_t endedMs = 0;
  // A rebuild's target drives (serial numbers), where the driver tells which they are.
  std::vector<std::string> drives;
  bool FoundErrors() const { return verifyErrors.value_or(0) || verifyBadBlocks.value_or(0); }
};

class JobBook {
 public:
  JobBook() = default;
  // The memory saved by an earlier run (null: none). A memory that cannot be read is dropped:
  // it only holds earlier readings, and the next look starts a new one.
  explicit JobBook(const nlohmann::json& saved);
  nlohmann::json Save() const;
  void Clear() {
    entries.clear();
    losses.clear();
  }

  // Takes the reading of `model` at `nowMs` on the machine's clock: running work gets a new
  // reading, work that stopped since the last look gets its outcome. `predicted` is the
  // prediction of the command just carried out: work that is new now was started by it, and work
  // that stopped with its volume normal was cancelled by it.
  void Observe(const Model& model, std::uint64_t nowMs, const Model* predicted = nullptr);

  // Work on `volumes` (all volumes when empty): what runs, and what ended since it was last
  // reported. Reporting ended work with `forget` lets it go.
  std::vector<Job> Jobs(const std::set<std::string>& volumes = {}, bool forget = false);

  // The work whose end Observe found since the last call, each once, with what a verification
  // found: for the journal. Reporting or forgetting ended work does not touch it.
  std::vector<Job> TakeEnded();

  // Data a volume lost: it failed, or was forced online while members held none of its data.
  // The mark lasts until the volume is deleted or the loss is acknowledged: no rebuild,
  // initialization or repair brings lost data back.
  struct DataLossMark {
    std::vector<std::string> members;  // serial numbers of the members that held none of it
    std::uint64_t atMs = 0;            // on the machine's clock
    std::uint64_t bytes = 0;           // 0: not known (the RAID driver does not say how much)
    bool failed = false;               // the volume failed
    bool forced = false;               // forced online: what the members held is taken as data
  };
  // Keeps `mark` for the volume, merged into the one it has (members and bytes add up, the first
  // time stays); a mark that says something new is handed to the journal by TakeNewLosses.
  void MarkDataLost(const std::string& volumeId, const std::string& volumeName,
                    std::uint64_t volumeSize, DataLossMark mark);
  const DataLossMark* DataLost(const std::string& volumeId) const;
  // The administrator has dealt with the loss; false when the volume has no mark. A volume the
  // RAID driver still reports failed is not marked again until it has been well in between.
  bool AcknowledgeDataLoss(const std::string& volumeId);
  // Marks what a look shows of lost data: the simulated driver's own marks, and volumes the RAID
  // driver reports failed (Observe does it too).
  void FollowLosses(const Model& model, std::uint64_t nowMs);
  // The marks made or grown since the last call, each once: for the journal.
  std::vector<nlohmann::json> TakeNewLosses();

 private:
  struct Entry {
    std::string name, kind;
    std::uint8_t state = 0;
    std::optional<std::pair<std::uint8_t, std::uint16_t>> target;
    bool fromStart = false;
    std::uint64_t startedAtMs = 0, firstAtMs = 0, lastAtMs = 0;
    unsigned firstPercent = 0, lastPercent = 0;
    std::string outcome, why;
    std::vector<std::string> drives;  // a rebuild's targets
  };
  static Job JobOf(const std::string& id, const Entry& e);
  // Notes the end of the work of `e` (its outcome set) for TakeEnded; `v`: the volume as it is.
  void Ended(const std::string& id, const Entry& e, const VolumeModel* v);

  std::map<std::string, Entry> entries;  // by volume identifier
  std::map<std::string, DataLossMark> losses;
  std::set<std::string> acknowledgedFailed;
  std::vector<nlohmann::json> newLosses;
  std::vector<Job> ended;
};

bool WorkRunning(const VolumeModel& v);
// The kind of work a volume in this state runs: initialize, verify, verify and repair, rebuild,
// layout change.
std::string WorkKind(std::uint8_t volumeState);
// "1 h 02 min", "4 min 05 s", "30 s"
std::string DurationText(std::uint64_t ms);
std::string JobText(const Job& job);  // one line for people
nlohmann::json JobJson(const Job& job);

// The journal's record of the end of `job` (docs/cli.md, The journal).
nlohmann::json JobRecord(const Job& job);

// What a data-loss mark says, in one line: how much, when, which members.
std::string DataLossText(const JobBook::DataLossMark& mark, std::uint64_t volumeSize,
                         const std::string& volumeName);
// The journal's record of a loss (kind volume-data-lost) and of its acknowledgement.
nlohmann::json DataLossRecord(const std::string& volumeId, const std::string& volumeName,
                              std::uint64_t volumeSize, const JobBook::DataLossMark& mark);

}  // namespace veskctl
