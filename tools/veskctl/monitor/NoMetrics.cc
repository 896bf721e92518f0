// veskctl built without prometheus-cpp: every way to metrics says so.
#include <stdexcept>

#include "tools/veskctl/monitor/Metrics.h"

namespace veskctl {

class Metrics::Families {};

Metrics::Metrics() {
  throw std::runtime_error(
      "metrics are not built in: this veskctl was built without prometheus-cpp (Debian's "
      "prometheus-cpp-dev; scripts/setup.sh installs it)");
}
Metrics::~Metrics() = default;
void Metrics::Update(const nlohmann::json&) {}
void Metrics::Learn(const Journal&) {}
void Metrics::RefreshSucceeded(double) {}
void Metrics::RefreshFailed(double) {}
void Metrics::CountEvent(const std::string&) {}
void Metrics::CountRecord(const std::string&) {}
void Metrics::SetUndelivered(std::size_t) {}
void Metrics::SetUnwritten(std::size_t) {}
void MetricsListener::Unwritten(std::size_t) {}
void MetricsListener::Undelivered(std::size_t) {}
std::string Metrics::Text() const { return ""; }
std::shared_ptr<prometheus::Collectable> Metrics::Exposition() const { return nullptr; }

MetricsListener::MetricsListener(const std::string&, const std::filesystem::path& journal)
    : journal(journal) {}
MetricsListener::~MetricsListener() = default;
void MetricsListener::Refreshed(VESK_Managed::StorageManagementBase&, std::chrono::duration<double>,
                                const std::string&, const Roster&) {}
void MetricsListener::Reported(const MonitorEvent&) {}
void MetricsListener::Journaled(const nlohmann::json&) {}
void MetricsListener::Observe(Metrics&, VESK_Managed::StorageManagementBase&,
                              std::chrono::duration<double>, const std::string&, const Journal&,
                              const Roster&, const std::set<std::string>*) {}

}  // namespace veskctl
