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

#include "tools/veskctl/http/HttpServer.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/Monitor.h"

namespace prometheus {
class Collectable;
}  // namespace prometheus

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
  // Reads the records `journal` gained since the last call for the ends of verifications: the
  // driver counts what a verification found, and only a run of veskctl that saw it end (its job
  // record) or a watcher that saw it run (its job-finished event) tells whether it repaired that.
  // Errors found by a verification the journal does not tell of count as not repaired.
  void Learn(const Journal& journal);
  // A refresh that took `seconds` and succeeded now.
  void RefreshSucceeded(double seconds);
  void RefreshFailed(double seconds);
  void CountEvent(const std::string& kind);
  // A record appended to the journal, by its kind.
  void CountRecord(const std::string& kind);
  // How many records are on the list of undelivered records.
  void SetUndelivered(std::size_t count);
  // How many records wait in memory for the journal to take them.
  void SetUnwritten(std::size_t count);

  // The text exposition format (what node_exporter's textfile collector reads).
  std::string Text() const;
  // For an HTTP exposer.
  std::shared_ptr<prometheus::Collectable> Exposition() const;

 private:
  class Families;
  std::shared_ptr<Families> families;
};

// `monitor --metrics-listen`: serves the metrics at http://ADDR:PORT/metrics while it lives (and
// nothing else: no token, so that Prometheus scrapes it as any exporter),
// brought up to date after each tick of the monitor, with its events and the records it appended
// to the journal counted by kind.
class MetricsListener : public MonitorObserver {
 public:
  // `address` is ADDR:PORT: an IPv4 address or an IPv6 address in brackets, and a port (0: any
  // free one). UsageError when it is not; std::runtime_error when nothing can listen there.
  // `journal`: the machine's journal (Journal::PathFor).
  MetricsListener(const std::string& address, const std::filesystem::path& journal);
  ~MetricsListener() override;

  // The address it serves, with the port it got ("127.0.0.1:9842").
  const std::string& Address() const { return address; }

  void Refreshed(VESK_Managed::StorageManagementBase& facade, std::chrono::duration<double> took,
                 const std::string& failure, const Roster& roster) override;
  void Lost(const std::set<std::string>& volumeIds) override { lost = volumeIds; }
  void Reported(const MonitorEvent& event) override;
  void Journaled(const nlohmann::json& record) override;
  void Undelivered(std::size_t count) override;
  void Unwritten(std::size_t count) override;

  // Brings `metrics` up to date after a refresh of `facade`, with what `journal` says of
  // verifications (what Refreshed does; the console does it too). `lost`: the volumes with a
  // data-loss mark (none when null).
  static void Observe(Metrics& metrics, VESK_Managed::StorageManagementBase& facade,
                      std::chrono::duration<double> took, const std::string& failure,
                      const Journal& journal, const Roster& roster,
                      const std::set<std::string>* lost = nullptr);

 private:
  Metrics metrics;
  Journal journal;
  std::unique_ptr<HttpServer> server;
  std::string address;
  std::set<std::string> lost;
};

}  // namespace veskctl
