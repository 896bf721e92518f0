#include "tools/veskctl/monitor/Metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/session/Jobs.h"
#include "tools/veskctl/session/Session.h"

namespace veskctl {

namespace {

using nlohmann::json;
using prometheus::Gauge;
using prometheus::Labels;

std::string LabelValue(const json& value) {
  return value.is_string() ? value.get<std::string>() : value.is_null() ? "" : value.dump();
}

prometheus::Family<Gauge>& GaugeFamily(prometheus::Registry& registry, const char* name,
                                       const char* help) {
  return prometheus::BuildGauge().Name(name).Help(help).Register(registry);
}

// The identifiers and names that tell one element from another, as `show --json` prints them
// (`nameField` is "name", or "serial" for a drive).
Labels Identity(const json& element, const char* nameField) {
  Labels labels{{"id", LabelValue(element.at("id"))},
                {nameField, LabelValue(element.at(nameField))}};
  if (element.contains("controllerId"))
    labels["controller_id"] = LabelValue(element["controllerId"]);
  return labels;
}

Labels With(Labels labels, const std::string& key, const json& value) {
  labels[key] = LabelValue(value);
  return labels;
}

// The topology as the managed face holds it, in the shape of `show --json` (the fields read
// above). The facade's native records are not those: a diff leaves the records of elements that
// stay as they were first read, and brings only the managed objects up to date.
json ManagedTopology(VESK_Managed::StorageManagementBase& facade, const Roster& roster) {
  using VESK_Managed::Guid;
  auto id = [](const Guid& guid) { return Narrow(guid.ToString()); };
  auto number = [](auto value) { return static_cast<std::uint8_t>(value); };
  // Controllers that share a PCI device identifier share one managed object.
  std::map<std::string, json> controllers;
  for (const auto& [guid, deviceId] : facade.ControllerGuidToDeviceId()) {
    std::shared_ptr<VESK_Managed::Controller> c;
    if (!facade.Controllers().TryGetValue(deviceId, c)) continue;
    controllers[id(guid)] = {{"id", id(guid)},
                             {"name", Narrow(c->Name())},
                             {"typeName", ControllerTypeName(number(c->Type()))},
                             {"osDriverVersion", c->OsDriverVersion().ToString()},
                             {"arrays", json::array()},
                             {"volumes", json::array()},
                             {"drives", json::array()}};
  }
  auto put = [&](const Guid& controllerId, const char* kind, json element) {
    auto at = controllers.find(id(controllerId));
    if (at != controllers.end()) at->second[kind].push_back(std::move(element));
  };
  for (const auto& [key, a] : facade.Arrays().Snapshot()) {
    put(a->ControllerId(), "arrays",
        {{"id", id(a->Id())},
         {"controllerId", id(a->ControllerId())},
         {"name", Narrow(a->Name())},
         {"totalSize", a->TotalSize()},
         {"freeSize", a->FreeSize()}});
  }
  for (const auto& [key, v] : facade.Volumes().Snapshot()) {
    const std::uint8_t state = number(v->State());
    // States 3 to 7 are background work, as show tells it.
    const bool working = v->Migrating() || (state >= 3 && state <= 7);
    put(v->ControllerId(), "volumes",
        {{"id", id(v->Id())},
         {"controllerId", id(v->ControllerId())},
         {"arrayId", id(v->ArrayId())},
         {"name", Narrow(v->Name())},
         {"size", v->Size()},
         {"state", state},
         {"stateName", VolumeStateName(state)},
         {"raidLevel", number(v->RaidLevel())},
         {"raidLevelName", RaidLevelName(number(v->RaidLevel()))},
         {"progress", working ? json(v->MigrationProgress()) : json(nullptr)},
         {"verifyErrors", v->VerifyErrors()},
         {"verifyBadBlocks", v->VerifyBadBlocks()}});
  }
  for (const auto& [key, d] : facade.Drives().Snapshot()) {
    // A drive forgotten is gone for good: no series says it is missing.
    if (roster.Forgotten(id(d->Id()), number(d->Status()))) continue;
    put(d->ControllerId(), "drives",
        {{"id", id(d->Id())},
         {"controllerId", id(d->ControllerId())},
         {"serial", Narrow(d->SerialNumber())},
         {"totalSize", d->TotalSize()},
         {"status", number(d->Status())},
         {"statusName", DriveStatusName(number(d->Status()))},
         {"usage", number(d->Usage())},
         {"usageName", DriveUsageName(number(d->Usage()))}});
  }
  json list = json::array();
  for (auto& [key, c] : controllers) list.push_back(std::move(c));
  return {{"controllers", list}};
}

}  // namespace

// The topology lives in a registry of its own that every update replaces whole: a series is only
// there while its element is, and a scrape sees the old topology or the new one. Counters and the
// refresh health live as long as the process.
class Metrics::Families : public prometheus::Collectable {
 public:
  Families()
      : refreshSeconds(GaugeFamily(health, "vesk_refresh_duration_seconds",
                                   "How long the last refresh of the topology took")
                           .Add({})),
        lastSuccess(GaugeFamily(health, "vesk_last_successful_refresh_timestamp_seconds",
                                "When the topology was last read in full (Unix time; 0: never)")
                        .Add({})),
        refreshFailures(prometheus::BuildCounter()
                            .Name("vesk_refresh_failures_total")
                            .Help("Refreshes of the topology that failed in the library")
                            .Register(health)
                            .Add({})),
        events(prometheus::BuildCounter()
                   .Name("vesk_events_total")
                   .Help("Events seen by the monitor, by kind")
                   .Register(health)),
        records(prometheus::BuildCounter()
                    .Name("vesk_journal_records_total")
                    .Help("Records the monitor appended to the journal, by kind")
                    .Register(health)),
        unwritten(GaugeFamily(health, "vesk_journal_unwritten_records",
                              "Records the monitor keeps in memory because the journal cannot be "
                              "written (0 when it can)")
                      .Add({})),
        undelivered(GaugeFamily(health, "vesk_undelivered_records",
                                "Records given up after every attempt to deliver them (veskctl "
                                "events --undelivered)")
                        .Add({})) {}

  std::vector<prometheus::MetricFamily> Collect() const override {
    std::lock_guard lock(mutex);
    auto all = topology->Collect();
    for (auto& family : health.Collect()) all.push_back(std::move(family));
    return all;
  }

  void Replace(std::shared_ptr<prometheus::Registry> fresh) {
    std::lock_guard lock(mutex);
    topology = std::move(fresh);
  }

  prometheus::Registry health;
  Gauge& refreshSeconds;
  Gauge& lastSuccess;
  prometheus::Counter& refreshFailures;
  prometheus::Family<prometheus::Counter>& events;
  prometheus::Family<prometheus::Counter>& records;
  Gauge& unwritten;
  Gauge& undelivered;

  // The last verification of each volume the journal tells of: whether it repaired what it found,
  // and the counts it left where the record says them.
  struct Verified {
    bool repaired = false;
    std::optional<std::pair<double, double>> counts;  // errors, bad blocks
  };
  std::mutex learning;
  std::map<std::string, Verified> verified;
  std::uint64_t journalRead = 0;  // the last record read

 private:
  mutable std::mutex mutex;
  std::shared_ptr<prometheus::Registry> topology = std::make_shared<prometheus::Registry>();
};

Metrics::Metrics() : families(std::make_shared<Families>()) {}
Metrics::~Metrics() = default;

void Metrics::Learn(const Journal& journal) {
  std::lock_guard hold(families->learning);
  for (const json& record : journal.After(families->journalRead).records) {
    families->journalRead = std::max(families->journalRead, record.value("id", std::uint64_t{0}));
    const std::string kind = record.value("kind", "");
    const json element = record.value("element", json());
    if (!element.is_object() || !element.value("id", json()).is_string()) continue;
    const std::string volumeId = element["id"].get<std::string>();
    if (kind == "removed" || kind == "added") {
      // Another volume may come under the same identifier (a topology started over).
      families->verified.erase(volumeId);
    } else if (kind == "job") {
      const json job = record.value("job", json::object());
      const std::string work = job.value("kind", "");
      if (job.value("outcome", "") != "finished" || work.rfind("verify", 0) != 0 ||
          !job.value("verifyErrors", json()).is_number() ||
          !job.value("verifyBadBlocks", json()).is_number())
        continue;
      families->verified[volumeId] = {
          job.value("verifyRepaired", json()).is_boolean() ? job["verifyRepaired"].get<bool>()
                                                           : work == "verify and repair",
          std::pair{job["verifyErrors"].get<double>(), job["verifyBadBlocks"].get<double>()}};
    } else if (kind == "job-finished") {
      // A watcher saw it run and end; the counts it left come with the volume's next reading.
      const std::string work = record.value("detail", json()).is_string()
                                   ? record["detail"].get<std::string>()
                                   : std::string();
      // Only an end with the volume normal is the verification's own: one that other work took
      // the place of (a spare's rebuild) is told as finished too, and repaired nothing for sure.
      if (work.rfind("verify", 0) == 0 && record.value("new", json()) == state::kNormal)
        families->verified[volumeId] = {work == "verify and repair", std::nullopt};
    }
  }
}

void Metrics::Update(const json& topology) {
  std::map<std::string, Families::Verified> repaired;
  {
    std::lock_guard hold(families->learning);
    repaired = families->verified;
  }
  auto fresh = std::make_shared<prometheus::Registry>();
  auto& controllerInfo = GaugeFamily(*fresh, "vesk_controller_info",
                                     "A RAID controller (always 1); its identity in the labels");
  auto& arraySize = GaugeFamily(*fresh, "vesk_array_size_bytes", "Total size of an array");
  auto& arrayFree = GaugeFamily(*fresh, "vesk_array_free_bytes", "Room left in an array");
  auto& volumeSize = GaugeFamily(*fresh, "vesk_volume_size_bytes", "Size of a volume");
  auto& volumeState = GaugeFamily(
      *fresh, "vesk_volume_state",
      "The driver's state of a volume (0 normal, 1 degraded, 2 failed, 3-7 background work); "
      "its name in the label state");
  auto& volumeLevel = GaugeFamily(*fresh, "vesk_volume_raid_level",
                                  "The driver's RAID level code of a volume; its name in the "
                                  "label raid_level");
  auto& volumeProgress = GaugeFamily(
      *fresh, "vesk_volume_progress_ratio",
      "Part done of a volume's background work, whose kind is in the label kind; no series "
      "while no work runs");
  auto& verifyErrors = GaugeFamily(
      *fresh, "vesk_volume_verify_errors",
      "Errors the last verification of a volume found and did not repair (0 before one)");
  auto& verifyBadBlocks = GaugeFamily(
      *fresh, "vesk_volume_verify_bad_blocks",
      "Bad blocks the last verification of a volume found and did not repair (0 before one)");
  auto& dataLost = GaugeFamily(
      *fresh, "vesk_volume_data_lost",
      "1 while a volume carries a data-loss mark (it failed or was forced online over members "
      "holding none of its data, until the loss is acknowledged; against the RAID driver, while "
      "it is failed), else 0");
  auto& driveStatus = GaugeFamily(
      *fresh, "vesk_drive_status",
      "The driver's status of a drive (0 normal, 1 offline, 2 missing, 3 failed, 4 SMART event); "
      "its name in the label status");
  auto& driveUsage = GaugeFamily(*fresh, "vesk_drive_usage",
                                 "The driver's usage code of a drive (0 pass-through, 1 array "
                                 "member, 2 spare, 3 journaling, 4 foreign metadata); its name in "
                                 "the label usage");
  auto& driveSize = GaugeFamily(*fresh, "vesk_drive_size_bytes", "Size of a drive");

  for (const json& c : topology.at("controllers")) {
    Labels info = Identity(c, "name");
    info["type"] = LabelValue(c.at("typeName"));
    info["driver_version"] = LabelValue(c.at("osDriverVersion"));
    controllerInfo.Add(info).Set(1);
    for (const json& a : c.at("arrays")) {
      arraySize.Add(Identity(a, "name")).Set(a.at("totalSize").get<double>());
      arrayFree.Add(Identity(a, "name")).Set(a.at("freeSize").get<double>());
    }
    for (const json& v : c.at("volumes")) {
      const Labels id = With(Identity(v, "name"), "array_id", v.at("arrayId"));
      volumeSize.Add(id).Set(v.at("size").get<double>());
      volumeState.Add(With(id, "state", v.at("stateName"))).Set(v.at("state").get<double>());
      volumeLevel.Add(With(id, "raid_level", v.at("raidLevelName")))
          .Set(v.at("raidLevel").get<double>());
      if (!v.at("progress").is_null()) {
        volumeProgress.Add(With(id, "kind", WorkKind(v.at("state").get<std::uint8_t>())))
            .Set(v.at("progress").get<double>() / 100);
      }
      // What is left to repair: a repairing verification mended all it found.
      std::pair<double, double> found{v.at("verifyErrors").get<double>(),
                                      v.at("verifyBadBlocks").get<double>()};
      // Known from the journal here, or from the memory of the run that reads the topology.
      auto known = repaired.find(LabelValue(v.at("id")));
      if ((known != repaired.end() && known->second.repaired &&
           known->second.counts.value_or(found) == found) ||
          v.value("verifyRepaired", json()) == true)
        found = {0, 0};
      verifyErrors.Add(id).Set(found.first);
      verifyBadBlocks.Add(id).Set(found.second);
      // A mark as show gives it, or the monitor's yes or no.
      const json lost = v.value("dataLost", json());
      dataLost.Add(id).Set(lost.is_object() || (lost.is_boolean() && lost.get<bool>()) ? 1 : 0);
    }
    for (const json& d : c.at("drives")) {
      const Labels id = Identity(d, "serial");
      driveStatus.Add(With(id, "status", d.at("statusName"))).Set(d.at("status").get<double>());
      driveUsage.Add(With(id, "usage", d.at("usageName"))).Set(d.at("usage").get<double>());
      driveSize.Add(id).Set(d.at("totalSize").get<double>());
    }
  }
  families->Replace(std::move(fresh));
}

void Metrics::RefreshSucceeded(double seconds) {
  families->refreshSeconds.Set(seconds);
  families->lastSuccess.Set(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

void Metrics::RefreshFailed(double seconds) {
  families->refreshSeconds.Set(seconds);
  families->refreshFailures.Increment();
}

void Metrics::CountEvent(const std::string& kind) {
  families->events.Add({{"kind", kind}}).Increment();
}

void Metrics::CountRecord(const std::string& kind) {
  families->records.Add({{"kind", kind}}).Increment();
}

std::string Metrics::Text() const {
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, families->Collect());
  return out.str();
}

std::shared_ptr<prometheus::Collectable> Metrics::Exposition() const { return families; }

MetricsListener::MetricsListener(const std::string& text, const std::filesystem::path& journal)
    : journal(journal) {
  SplitListenAddress(text, "--metrics-listen");
  auto serve = [this](const HttpRequest& request, HttpExchange& exchange) {
    if (request.path != "/metrics") {
      exchange.Answer({404, "text/plain", "veskctl serves /metrics only here\n", {}});
    } else if (request.method != "GET") {
      exchange.Answer({405, "text/plain", "/metrics takes GET only\n", {{"Allow", "GET"}}});
    } else {
      exchange.Answer({200, "text/plain; version=0.0.4; charset=utf-8", metrics.Text(), {}});
    }
  };
  try {
    server = std::make_unique<HttpServer>(text, serve);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(
        "cannot serve metrics at " + text +
        " (the port is taken, or the address is not this machine's): " + e.what());
  }
  address = server->Address();
}

MetricsListener::~MetricsListener() = default;

void MetricsListener::Refreshed(VESK_Managed::StorageManagementBase& facade,
                                std::chrono::duration<double> took, const std::string& failure,
                                const Roster& roster) {
  Observe(metrics, facade, took, failure, journal, roster, &lost);
}

void MetricsListener::Observe(Metrics& metrics, VESK_Managed::StorageManagementBase& facade,
                              std::chrono::duration<double> took, const std::string& failure,
                              const Journal& journal, const Roster& roster,
                              const std::set<std::string>* lost) {
  if (!failure.empty()) {
    metrics.RefreshFailed(took.count());
    return;
  }
  // A journal that cannot be read leaves what was learnt: the counts read as not repaired.
  try {
    metrics.Learn(journal);
  } catch (const std::exception&) {
  }
  // A controller's arrival or removal changes the collections on another thread, under the
  // facade's I/O semaphore.
  struct Held {
    explicit Held(VESK_Managed::System::Threading::SemaphoreSlim& s) : semaphore(s) { s.Wait(); }
    ~Held() { semaphore.Release(); }
    VESK_Managed::System::Threading::SemaphoreSlim& semaphore;
  };
  {
    Held held(facade.GetIoSemaphore());
    json topology = ManagedTopology(facade, roster);
    for (auto& c : topology.at("controllers"))
      for (auto& v : c.at("volumes"))
        v["dataLost"] = lost != nullptr && lost->contains(v.at("id").get<std::string>());
    metrics.Update(topology);
  }
  metrics.RefreshSucceeded(took.count());
}

void MetricsListener::Reported(const MonitorEvent& event) { metrics.CountEvent(event.kind); }

void Metrics::SetUndelivered(std::size_t count) {
  families->undelivered.Set(static_cast<double>(count));
}

void MetricsListener::Undelivered(std::size_t count) { metrics.SetUndelivered(count); }

void Metrics::SetUnwritten(std::size_t count) {
  families->unwritten.Set(static_cast<double>(count));
}

void MetricsListener::Unwritten(std::size_t count) { metrics.SetUnwritten(count); }

void MetricsListener::Journaled(const nlohmann::json& record) {
  metrics.CountRecord(record.value("kind", ""));
}

}  // namespace veskctl
