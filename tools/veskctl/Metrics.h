// Prometheus metrics of a Vesk machine (docs/monitoring.md): the topology as `show --json` gives
// it, events counted by kind, and the health of the refreshes that read it. prometheus-cpp stays
// out of this header, so that veskctl builds without it (Metrics.cc, or NoMetrics.cc then).
//
// Thread safety: every member may be called from any thread; a scrape (Exposition) sees one
// topology whole, never part of an update.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace prometheus {
class Collectable;
}

namespace veskctl {

class Metrics {
 public:
  // Throws std::runtime_error when metrics are not built in.
  Metrics();
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // Replaces every series of the topology with those of `topology`, a document in the shape of
  // `show --json` ({"controllers": [...]}): an element that is gone leaves no series behind.
  void Update(const nlohmann::json& topology);
  void RefreshSucceeded(double seconds, double unixSeconds);
  void RefreshFailed(double seconds);
  void CountEvent(const std::string& kind);

  // The text exposition format (what node_exporter's textfile collector reads).
  std::string Text() const;
  // For an HTTP exposer.
  std::shared_ptr<prometheus::Collectable> Exposition() const;

 private:
  class Families;
  std::shared_ptr<Families> families;
};

}  // namespace veskctl
