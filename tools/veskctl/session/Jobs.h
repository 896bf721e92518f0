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
  // Empty while it runs; then finished, failed, cancelled, or interrupted: other work took its
  // place, or a member's loss left the volume degraded or failed before it ended.
  std::string outcome;
  std::string why;  // what stopped it, or what the volume was left with, when it did not finish
  // A verification that finished: what it found, as the volume reports it, and whether it
  // repaired it (a repairing one mends all it finds; the driver counts only what was found).
  std::optional<std::uint32_t> verifyErrors, verifyBadBlocks;
  bool verifyRepaired = false;
  // On the machine's clock: the start when it is known (fromStart), and the end once it ended.
  std::optional<std::uint64_t> startedMs;
  std::uint64_t endedMs = 0;
  // A rebuild's target drives (serial numbers), where the driver tells which they are.
  std::vector<std::string> drives;
  bool FoundErrors() const { return verifyErrors.value_or(0) || verifyBadBlocks.value_or(0); }
  // Errors or bad blocks found and left as they were.
  bool LeftErrors() const { return FoundErrors() && !verifyRepaired; }
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
    displaced.clear();
    verified.clear();
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
  // The administrator has dealt with the loss: the mark goes. A volume the RAID driver still
  // reports failed is not marked again until it has been well in between.
  void AcknowledgeDataLoss(const std::string& volumeId);
  // Marks what a look shows of lost data: the simulated driver's own marks, and volumes the RAID
  // driver reports failed (Observe does it too).
  void FollowLosses(const Model& model, std::uint64_t nowMs);
  // Takes the marks from the journal (every record, oldest first): its volume-data-lost records
  // and the acknowledgements after them. Against the RAID driver, which keeps no mark and gives
  // veskctl no state file, the journal is where they last.
  void LearnLosses(const std::vector<nlohmann::json>& records);
  // The marks made or grown since the last call, each once: for the journal.
  std::vector<nlohmann::json> TakeNewLosses();

  // The last verification of a volume that a run of veskctl saw end: what it found and whether
  // it repaired that. The driver keeps the counts only; null when no run saw the verification
  // that left the counts the volume now reports (`errors`, `badBlocks`).
  struct Verified {
    std::uint32_t errors = 0, badBlocks = 0;
    bool repaired = false;
  };
  const Verified* LastVerify(const std::string& volumeId, std::uint32_t errors,
                             std::uint32_t badBlocks) const;
  // Takes the last verifications from the journal's job records (JobHistory, oldest first).
  void LearnVerified(const nlohmann::json& history);

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
  static Entry EntryOf(const nlohmann::json& saved);
  static nlohmann::json EntryJson(const Entry& e);
  // Notes the end of the work of `e` (its outcome set) for TakeEnded; `v`: the volume as it is.
  void Ended(const std::string& id, const Entry& e, const VolumeModel* v);

  std::map<std::string, Entry> entries;  // by volume identifier
  // Work that other work took the place of, kept for `wait` and `jobs` as entries are.
  std::vector<std::pair<std::string, Entry>> displaced;
  std::map<std::string, Verified> verified;
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
// The kind of work `v` runs, with "adding drives" for a layout change to the layout it has where
// the driver tells where a layout change goes.
std::string WorkKind(const VolumeModel& v);
// How work of `kind` that a volume in state `wasState` ran, going to `target` (a layout change),
// ended when it did not end by itself, as `now` shows the volume (null: gone; `model` holds it):
// interrupted when other work took its place or a member's loss left the volume degraded or failed
// on the way; failed when the volume is gone, or a layout change was applied and the volume ended
// degraded or failed. Nothing when its end or a cancellation may have stopped it.
struct WorkEnd {
  std::string outcome, why;
};
std::optional<WorkEnd> WorkEndedBy(
    std::uint8_t wasState, const std::string& kind,
    const std::optional<std::pair<std::uint8_t, std::uint16_t>>& target, const Model& model,
    const VolumeModel* now);
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
