#include "tools/veskctl/Metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <mutex>
#include <sstream>

#include "tools/veskctl/Jobs.h"

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
                   .Register(health)) {}

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

 private:
  mutable std::mutex mutex;
  std::shared_ptr<prometheus::Registry> topology = std::make_shared<prometheus::Registry>();
};

Metrics::Metrics() : families(std::make_shared<Families>()) {}
Metrics::~Metrics() = default;

void Metrics::Update(const json& topology) {
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
    info["specification_version"] = LabelValue(c.at("specificationVersion"));
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

void Metrics::RefreshSucceeded(double seconds, double unixSeconds) {
  families->refreshSeconds.Set(seconds);
  families->lastSuccess.Set(unixSeconds);
}

void Metrics::RefreshFailed(double seconds) {
  families->refreshSeconds.Set(seconds);
  families->refreshFailures.Increment();
}

void Metrics::CountEvent(const std::string& kind) {
  families->events.Add({{"kind", kind}}).Increment();
}

std::string Metrics::Text() const {
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, families->Collect());
  return out.str();
}

std::shared_ptr<prometheus::Collectable> Metrics::Exposition() const { return families; }

}  // namespace veskctl
