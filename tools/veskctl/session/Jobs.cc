#include "tools/veskctl/session/Jobs.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/session/Predict.h"

namespace veskctl {

namespace {

// Kept beside the jobs, under keys no volume identifier can be. The marks of earlier versions,
// of volumes forced online only, are read as such.
constexpr char kLossKey[] = "dataLost";
constexpr char kAcknowledgedKey[] = "acknowledgedFailed";
constexpr char kForcedKey[] = "forcedOnline";
constexpr char kDisplacedKey[] = "displaced";
constexpr char kVerifiedKey[] = "lastVerify";

nlohmann::json MarkJson(const JobBook::DataLossMark& mark) {
  return {{"members", mark.members},
          {"atMs", mark.atMs},
          {"bytes", mark.bytes},
          {"failed", mark.failed},
          {"forced", mark.forced}};
}

std::string TargetText(const std::pair<std::uint8_t, std::uint16_t>& target) {
  return RaidLevelName(target.first) + ", strip " + StripSizeText(target.second);
}

// ", found 7 errors and 2 bad blocks, all repaired" after a verification; nothing after other
// work.
std::string FoundText(const Job& job) {
  if (!job.verifyErrors) return "";
  if (!job.FoundErrors()) return ", found no errors";
  return ", found " + std::to_string(*job.verifyErrors) + " errors and " +
         std::to_string(job.verifyBadBlocks.value_or(0)) + " bad blocks" +
         (job.verifyRepaired ? ", all repaired" : ", none repaired");
}

// The members whose loss stops work: failed, missing or offline, in the volume's array or among
// the members that hold none of its data.
std::string LostMembers(const Model& model, const VolumeModel& v) {
  std::string lost;
  for (const auto& [id, d] : model.drives) {
    const bool member = (!v.arrayId.IsEmpty() && d.arrayId == v.arrayId) ||
                        std::find(v.noData.begin(), v.noData.end(), id) != v.noData.end();
    if (!member || d.status == drive_status::kNormal || d.status == drive_status::kSmartEvent)
      continue;
    lost += (lost.empty() ? "" : ", ") + d.serial + " " +
            (d.status == drive_status::kFailed    ? "failed"
             : d.status == drive_status::kMissing ? "went missing"
                                                  : "went offline");
  }
  return lost;
}

// A rebuild's targets: members that hold none of the data yet are there.
std::vector<std::string> RebuildTargets(const Model& model, const VolumeModel& v) {
  std::vector<std::string> serials;
  if (v.state != state::kRebuilding || !v.membersKnown) return serials;
  for (const auto& driveId : v.noData) {
    auto d = model.drives.find(driveId);
    if (d != model.drives.end() && d->second.status == drive_status::kNormal)
      serials.push_back(d->second.serial);
  }
  return serials;
}

}  // namespace

std::string WorkKind(std::uint8_t volumeState) {
  switch (volumeState) {
    case state::kInitializing:
      return "initialize";
    case state::kVerifying:
      return "verify";
    case state::kVerifyingAndFixing:
      return "verify and repair";
    case state::kRebuilding:
      return "rebuild";
    default:
      return "layout change";
  }
}

std::string WorkKind(const VolumeModel& v) {
  if (v.migrating && v.target && v.target->first == v.raidLevel && v.target->second == v.stripSize)
    return "adding drives";
  return WorkKind(v.migrating ? state::kMigrating : v.state);
}

std::optional<WorkEnd> WorkEndedBy(
    std::uint8_t wasState, const std::string& kind,
    const std::optional<std::pair<std::uint8_t, std::uint16_t>>& target, const Model& model,
    const VolumeModel* now) {
  if (now == nullptr) return WorkEnd{"failed", "the volume is gone"};
  const std::string lost = LostMembers(model, *now);
  if (WorkRunning(*now)) {
    if (now->state == wasState) return std::nullopt;
    std::string why = "a " + WorkKind(*now);
    std::string onto;
    for (const auto& serial : RebuildTargets(model, *now))
      onto += (onto.empty() ? " onto " : ", ") + serial;
    why += onto + " took its place";
    if (!lost.empty()) why += " (" + lost + ")";
    return WorkEnd{"interrupted", why};
  }
  if (now->state == state::kNormal) return std::nullopt;
  const std::string left = "the volume is " + VolumeStateName(now->state);
  // The layout reached, however it ended: what the volume holds is laid out the new way.
  if (kind == "layout change" && target && now->raidLevel == target->first &&
      now->stripSize == target->second)
    return WorkEnd{"failed", "applied, but " + left};
  return WorkEnd{"interrupted", lost.empty() ? left : lost + "; " + left};
}

bool WorkRunning(const VolumeModel& v) {
  return v.migrating || (v.state >= state::kInitializing && v.state <= state::kMigrating);
}

JobBook::Entry JobBook::EntryOf(const nlohmann::json& j) {
  Entry e;
  e.name = j.at("name").get<std::string>();
  e.kind = j.at("kind").get<std::string>();
  e.state = j.at("state").get<std::uint8_t>();
  if (j.contains("target"))
    e.target = {j["target"].at("raidLevel").get<std::uint8_t>(),
                j["target"].at("stripSize").get<std::uint16_t>()};
  e.fromStart = j.at("fromStart").get<bool>();
  e.startedAtMs = j.at("startedAtMs").get<std::uint64_t>();
  e.firstAtMs = j.at("firstAtMs").get<std::uint64_t>();
  e.lastAtMs = j.at("lastAtMs").get<std::uint64_t>();
  e.firstPercent = j.at("firstPercent").get<unsigned>();
  e.lastPercent = j.at("lastPercent").get<unsigned>();
  e.outcome = j.value("outcome", "");
  e.why = j.value("why", "");
  e.drives = j.value("drives", std::vector<std::string>{});
  return e;
}

nlohmann::json JobBook::EntryJson(const Entry& e) {
  nlohmann::json j = {{"name", e.name},
                      {"kind", e.kind},
                      {"state", e.state},
                      {"fromStart", e.fromStart},
                      {"startedAtMs", e.startedAtMs},
                      {"firstAtMs", e.firstAtMs},
                      {"lastAtMs", e.lastAtMs},
                      {"firstPercent", e.firstPercent},
                      {"lastPercent", e.lastPercent}};
  if (e.target) j["target"] = {{"raidLevel", e.target->first}, {"stripSize", e.target->second}};
  if (!e.drives.empty()) j["drives"] = e.drives;
  if (!e.outcome.empty()) {
    j["outcome"] = e.outcome;
    j["why"] = e.why;
  }
  return j;
}

JobBook::JobBook(const nlohmann::json& saved) {
  if (!saved.is_object()) return;
  try {
    for (const auto& [idText, j] : saved.items()) {
      if (idText == kDisplacedKey) {
        for (const auto& d : j)
          displaced.emplace_back(d.at("volumeId").get<std::string>(), EntryOf(d));
        continue;
      }
      if (idText == kVerifiedKey) {
        for (const auto& [volumeId, v] : j.items())
          verified[volumeId] = {v.at("errors").get<std::uint32_t>(),
                                v.at("badBlocks").get<std::uint32_t>(),
                                v.at("repaired").get<bool>()};
        continue;
      }
      if (idText == kForcedKey || idText == kLossKey) {
        for (const auto& [volumeId, mark] : j.items())
          losses[volumeId] = {mark.at("members").get<std::vector<std::string>>(),
                              mark.at("atMs").get<std::uint64_t>(), mark.value("bytes", 0ull),
                              mark.value("failed", false), mark.value("forced", true)};
        continue;
      }
      if (idText == kAcknowledgedKey) {
        acknowledgedFailed = j.get<std::set<std::string>>();
        continue;
      }
      entries[idText] = EntryOf(j);
    }
  } catch (const std::exception&) {
    entries.clear();
    displaced.clear();
    verified.clear();
    losses.clear();
    acknowledgedFailed.clear();
  }
}

void JobBook::MarkDataLost(const std::string& volumeId, const std::string& volumeName,
                           std::uint64_t volumeSize, DataLossMark mark) {
  auto [at, made] = losses.try_emplace(volumeId, mark);
  DataLossMark& kept = at->second;
  if (!made) {
    const DataLossMark was = kept;
    kept.bytes = std::max(kept.bytes, mark.bytes);
    kept.failed = kept.failed || mark.failed;
    kept.forced = kept.forced || mark.forced;
    for (const auto& m : mark.members)
      if (std::find(kept.members.begin(), kept.members.end(), m) == kept.members.end())
        kept.members.push_back(m);
    if (kept.bytes == was.bytes && kept.failed == was.failed && kept.forced == was.forced &&
        kept.members == was.members)
      return;
  }
  newLosses.push_back(DataLossRecord(volumeId, volumeName, volumeSize, kept));
}

const JobBook::DataLossMark* JobBook::DataLost(const std::string& volumeId) const {
  auto found = losses.find(volumeId);
  return found == losses.end() ? nullptr : &found->second;
}

void JobBook::AcknowledgeDataLoss(const std::string& volumeId) {
  auto found = losses.find(volumeId);
  if (found == losses.end()) return;
  if (found->second.failed) acknowledgedFailed.insert(volumeId);
  losses.erase(found);
}

void JobBook::LearnLosses(const std::vector<nlohmann::json>& records) {
  for (const auto& r : records) {
    const auto element = r.value("element", nlohmann::json());
    if (r.value("kind", "") == "volume-data-lost" && element.is_object() &&
        element.value("id", nlohmann::json()).is_string() && r.contains("dataLost")) {
      try {
        const auto& m = r["dataLost"];
        const std::string id = element["id"];
        losses[id] = {m.at("members").get<std::vector<std::string>>(),
                      m.at("atMs").get<std::uint64_t>(),
                      m.at("bytes").is_null() ? 0 : m.at("bytes").get<std::uint64_t>(),
                      m.at("failed").get<bool>(), m.at("forced").get<bool>()};
        acknowledgedFailed.erase(id);
      } catch (const nlohmann::json::exception&) {
        // A record of another shape says nothing of a mark.
      }
      continue;
    }
    const auto command = r.value("command", nlohmann::json());
    if (r.value("kind", "") != "command" || !command.is_object() ||
        command.value("outcome", "") != "ok")
      continue;
    const auto request = command.value("request", nlohmann::json());
    if (!request.is_object() || request.value("operation", "") != "acknowledge-data-loss" ||
        !request.value("volumeId", nlohmann::json()).is_string())
      continue;
    AcknowledgeDataLoss(request["volumeId"].get<std::string>());
  }
}

std::vector<nlohmann::json> JobBook::TakeNewLosses() { return std::exchange(newLosses, {}); }

void JobBook::FollowLosses(const Model& model, std::uint64_t nowMs) {
  for (const auto& [guid, v] : model.volumes) {
    const std::string id = guid.ToString();
    std::vector<std::string> serials;
    for (const auto& driveId : v.loss ? v.loss->members : v.noData) {
      auto d = model.drives.find(driveId);
      serials.push_back(d != model.drives.end() ? d->second.serial : driveId.ToString());
    }
    if (v.membersKnown) {
      // The simulated driver keeps its own mark: it is what the machine holds.
      if (!v.loss) {
        losses.erase(id);
        continue;
      }
      MarkDataLost(id, v.name, v.size,
                   {serials, v.loss->atMs, v.loss->bytes, v.loss->failed, v.loss->forced});
      continue;
    }
    if (v.state != state::kFailed) {
      acknowledgedFailed.erase(id);
      continue;
    }
    if (!acknowledgedFailed.contains(id))
      MarkDataLost(id, v.name, v.size, {serials, nowMs, 0, true, false});
  }
}

nlohmann::json JobBook::Save() const {
  nlohmann::json saved = nlohmann::json::object();
  for (const auto& [id, e] : entries) saved[id] = EntryJson(e);
  for (const auto& [id, e] : displaced) {
    nlohmann::json j = EntryJson(e);
    j["volumeId"] = id;
    saved[kDisplacedKey].push_back(std::move(j));
  }
  for (const auto& [id, v] : verified)
    saved[kVerifiedKey][id] = {
        {"errors", v.errors}, {"badBlocks", v.badBlocks}, {"repaired", v.repaired}};
  for (const auto& [id, mark] : losses) saved[kLossKey][id] = MarkJson(mark);
  if (!acknowledgedFailed.empty()) saved[kAcknowledgedKey] = acknowledgedFailed;
  return saved;
}

void JobBook::Observe(const Model& model, std::uint64_t nowMs, const Model* predicted) {
  std::set<std::string> present;
  for (const auto& [guid, v] : model.volumes) {
    const std::string id = guid.ToString();
    present.insert(id);
    auto found = entries.find(id);
    const bool known = found != entries.end() && found->second.outcome.empty();
    if (WorkRunning(v)) {
      // Other work, or the same kind started over, since the last look: a new job.
      if (known && found->second.state == v.state && v.progress >= found->second.lastPercent) {
        found->second.lastAtMs = nowMs;
        found->second.lastPercent = v.progress;
        continue;
      }
      // Work of another kind in its place: the driver dropped the earlier work for it.
      if (known) {
        if (auto stop = WorkEndedBy(found->second.state, found->second.kind, found->second.target,
                                    model, &v)) {
          Entry& e = found->second;
          e.outcome = stop->outcome;
          e.why = stop->why;
          e.lastAtMs = nowMs;
          Ended(id, e, &v);
          displaced.emplace_back(id, e);
        }
      }
      Entry e;
      e.name = v.name;
      e.kind = WorkKind(v.state);
      e.state = v.state;
      e.startedAtMs = e.firstAtMs = e.lastAtMs = nowMs;
      e.firstPercent = e.lastPercent = v.progress;
      e.fromStart = predicted != nullptr;
      // The members a rebuild writes still hold none of the data but are there; only the
      // simulated driver tells them from members that merely came back.
      e.drives = RebuildTargets(model, v);
      if (predicted && predicted->volumes.contains(guid) && v.state == state::kMigrating) {
        const VolumeModel& to = predicted->volumes.at(guid);
        e.target = to.target.value_or(std::pair{to.raidLevel, to.stripSize});
        if (e.target->first == v.raidLevel && e.target->second == v.stripSize)
          e.kind = "adding drives";
      }
      entries[id] = e;
      continue;
    }
    if (!known) continue;
    Entry& e = found->second;
    e.name = v.name;
    if (auto stop = WorkEndedBy(e.state, e.kind, e.target, model, &v)) {
      e.outcome = stop->outcome;
      e.why = stop->why;
    } else if (e.target && (v.raidLevel != e.target->first || v.stripSize != e.target->second)) {
      e.outcome = "failed";
      e.why = "the volume is still " + TargetText({v.raidLevel, v.stripSize});
    } else {
      // Nothing but a cancellation stops work and leaves the volume normal.
      e.outcome = predicted ? "cancelled" : "finished";
      if (e.outcome == "finished") e.lastPercent = 100;
    }
    e.lastAtMs = nowMs;
    Ended(id, e, &v);
  }
  std::erase_if(losses, [&](const auto& mark) { return !present.contains(mark.first); });
  std::erase_if(acknowledgedFailed, [&](const auto& id) { return !present.contains(id); });
  std::erase_if(verified, [&](const auto& v) { return !present.contains(v.first); });
  FollowLosses(model, nowMs);
  for (auto& [id, e] : entries) {
    if (e.outcome.empty() && !present.contains(id)) {
      const WorkEnd stop = *WorkEndedBy(e.state, e.kind, e.target, model, nullptr);
      e.outcome = stop.outcome;
      e.why = stop.why;
      e.lastAtMs = nowMs;
      Ended(id, e, nullptr);
    }
  }
}

Job JobBook::JobOf(const std::string& id, const Entry& e) {
  Job job;
  job.volumeId = id;
  job.volumeName = e.name;
  job.kind = e.kind;
  job.state = e.state;
  job.target = e.target;
  job.percent = e.lastPercent;
  job.elapsedMs = e.lastAtMs - e.startedAtMs;
  job.fromStart = e.fromStart;
  // Readings less than a second apart are too close for a rate: progress comes in whole
  // percents.
  if (e.lastAtMs >= e.firstAtMs + 1000 && e.lastPercent >= e.firstPercent) {
    const double perMinute =
        (e.lastPercent - e.firstPercent) * 60000.0 / static_cast<double>(e.lastAtMs - e.firstAtMs);
    job.percentPerMinute = perMinute;
    if (perMinute > 0 && e.outcome.empty())
      job.remainingMs = static_cast<std::uint64_t>((100.0 - e.lastPercent) / perMinute * 60000.0);
  }
  job.outcome = e.outcome;
  job.why = e.why;
  if (e.fromStart) job.startedMs = e.startedAtMs;
  if (!e.outcome.empty()) job.endedMs = e.lastAtMs;
  job.drives = e.drives;
  return job;
}

void JobBook::Ended(const std::string& id, const Entry& e, const VolumeModel* v) {
  Job job = JobOf(id, e);
  if (v && job.outcome == "finished" && job.kind.rfind("verify", 0) == 0) {
    job.verifyErrors = v->verifyErrors;
    job.verifyBadBlocks = v->verifyBadBlocks;
    job.verifyRepaired = job.kind == "verify and repair";
    verified[id] = {v->verifyErrors, v->verifyBadBlocks, job.verifyRepaired};
  }
  ended.push_back(std::move(job));
}

const JobBook::Verified* JobBook::LastVerify(const std::string& volumeId, std::uint32_t errors,
                                             std::uint32_t badBlocks) const {
  auto found = verified.find(volumeId);
  // Counts that differ are another verification's, one that no run saw end.
  if (found == verified.end() || found->second.errors != errors ||
      found->second.badBlocks != badBlocks)
    return nullptr;
  return &found->second;
}

void JobBook::LearnVerified(const nlohmann::json& history) {
  for (const auto& job : history) {
    const std::string kind = job.value("kind", "");
    if (job.value("outcome", "") != "finished" || kind.rfind("verify", 0) != 0 ||
        !job.value("volumeId", nlohmann::json()).is_string() ||
        !job.value("verifyErrors", nlohmann::json()).is_number_unsigned() ||
        !job.value("verifyBadBlocks", nlohmann::json()).is_number_unsigned())
      continue;
    verified[job["volumeId"].get<std::string>()] = {job["verifyErrors"].get<std::uint32_t>(),
                                                    job["verifyBadBlocks"].get<std::uint32_t>(),
                                                    kind == "verify and repair"};
  }
}

std::vector<Job> JobBook::TakeEnded() { return std::exchange(ended, {}); }

std::vector<Job> JobBook::Jobs(const std::set<std::string>& volumes, bool forget) {
  std::vector<Job> jobs;
  for (auto it = displaced.begin(); it != displaced.end();) {
    if (!volumes.empty() && !volumes.contains(it->first)) {
      ++it;
      continue;
    }
    jobs.push_back(JobOf(it->first, it->second));
    it = forget ? displaced.erase(it) : std::next(it);
  }
  for (auto it = entries.begin(); it != entries.end();) {
    const auto& [id, e] = *it;
    if (!volumes.empty() && !volumes.contains(id)) {
      ++it;
      continue;
    }
    jobs.push_back(JobOf(id, e));
    it = forget && !e.outcome.empty() ? entries.erase(it) : std::next(it);
  }
  return jobs;
}

std::string DurationText(std::uint64_t ms) {
  const std::uint64_t s = (ms + 500) / 1000;
  char text[48];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%llu h %02llu min", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>(s / 60 % 60));
  } else if (s >= 60) {
    std::snprintf(text, sizeof text, "%llu min %02llu s", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>(s));
  }
  return text;
}

std::string JobText(const Job& job) {
  std::string text = "volume \"" + job.volumeName + "\" (" + job.volumeId + ")  " + job.kind +
                     (job.target ? " to " + TargetText(*job.target) : "");
  const std::string elapsed = (job.fromStart ? "" : "at least ") + DurationText(job.elapsedMs);
  if (job.outcome == "finished") return text + ": finished after " + elapsed + FoundText(job);
  if (!job.outcome.empty())
    return text + ": " + job.outcome + " at " + std::to_string(job.percent) + "%" +
           (job.why.empty() ? "" : " (" + job.why + ")");
  char rate[32] = "not known yet";
  if (job.percentPerMinute) std::snprintf(rate, sizeof rate, "%.1f %%/min", *job.percentPerMinute);
  return text + "  " + std::to_string(job.percent) + "%  rate " + rate + "  elapsed " + elapsed +
         "  left " + (job.remainingMs ? DurationText(*job.remainingMs) : "not known yet");
}

nlohmann::json JobJson(const Job& job) {
  nlohmann::json j = {
      {"volumeId", job.volumeId},
      {"volumeName", job.volumeName},
      {"kind", job.kind},
      {"state", job.state},
      {"stateName", VolumeStateName(job.state)},
      {"target", nullptr},
      {"percent", job.percent},
      {"ratePercentPerMinute", nullptr},
      {"elapsedMs", job.elapsedMs},
      {"elapsedFrom", job.fromStart ? "start" : "firstSeen"},
      {"remainingMs", nullptr},
  };
  if (job.target)
    j["target"] = {{"raidLevel", job.target->first},
                   {"raidLevelName", RaidLevelName(job.target->first)},
                   {"stripSize", StripBytes(job.target->second)}};
  if (job.percentPerMinute) j["ratePercentPerMinute"] = *job.percentPerMinute;
  if (job.remainingMs) j["remainingMs"] = *job.remainingMs;
  if (!job.outcome.empty()) {
    j["outcome"] = job.outcome;
    j["why"] = job.why;
  }
  if (job.verifyErrors) {
    j["verifyErrors"] = *job.verifyErrors;
    j["verifyBadBlocks"] = job.verifyBadBlocks.value_or(0);
    j["verifyRepaired"] = job.verifyRepaired;
  }
  return j;
}

nlohmann::json JobRecord(const Job& job) {
  nlohmann::json j = {{"kind", job.kind},
                      {"volumeId", job.volumeId},
                      {"volumeName", job.volumeName},
                      {"startedMs", nullptr},
                      {"endedMs", job.endedMs},
                      {"outcome", job.outcome},
                      {"why", job.why.empty() ? nlohmann::json(nullptr) : nlohmann::json(job.why)},
                      {"verifyErrors", nullptr},
                      {"verifyBadBlocks", nullptr},
                      {"verifyRepaired", nullptr},
                      {"drives", job.drives}};
  if (job.startedMs) j["startedMs"] = *job.startedMs;
  if (job.verifyErrors) {
    j["verifyErrors"] = *job.verifyErrors;
    j["verifyBadBlocks"] = job.verifyBadBlocks.value_or(0);
    j["verifyRepaired"] = job.verifyRepaired;
  }
  std::string detail = job.kind + " of " + job.volumeName + " " + job.outcome;
  const std::string found =
      VerifyFoundText(j["verifyErrors"], j["verifyBadBlocks"], j["verifyRepaired"]);
  if (!found.empty()) detail += ": " + found;
  if (!job.why.empty()) detail += ": " + job.why;
  nlohmann::json record =
      JournalRecord("job", RecordElement("volume", job.volumeId, job.volumeName), detail);
  record["job"] = std::move(j);
  return record;
}

std::string DataLossText(const JobBook::DataLossMark& mark, std::uint64_t volumeSize,
                         const std::string& volumeName) {
  std::string members;
  for (const auto& m : mark.members) members += (members.empty() ? "" : ", ") + m;
  const std::string held = members.empty() ? "" : " (members " + members + " held none of it)";
  const std::string how =
      mark.bytes != 0 ? HumanBytes(mark.bytes) : "up to " + HumanBytes(volumeSize);
  std::string text;
  if (mark.failed)
    text = "data lost: " + how + " when it failed" + held;
  else
    text = "forced online" + held + ": " + how + " may read wrong data";
  if (mark.failed && mark.forced) text += ", then forced online";
  return text +
         "; no rebuild or repair brings lost data back: restore it from a backup, then "
         "acknowledge with `veskctl acknowledge-data-loss " +
         volumeName + "`";
}

nlohmann::json DataLossRecord(const std::string& volumeId, const std::string& volumeName,
                              std::uint64_t volumeSize, const JobBook::DataLossMark& mark) {
  nlohmann::json record =
      JournalRecord("volume-data-lost", RecordElement("volume", volumeId, volumeName),
                    DataLossText(mark, volumeSize, volumeName));
  record["dataLost"] = MarkJson(mark);
  record["dataLost"]["bytes"] =
      mark.bytes != 0 ? nlohmann::json(mark.bytes) : nlohmann::json(nullptr);
  return record;
}

}  // namespace veskctl
