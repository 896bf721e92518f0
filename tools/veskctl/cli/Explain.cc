#include "tools/veskctl/cli/Explain.h"

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/session/Jobs.h"

namespace veskctl {

namespace {

// The element of `elements` a request names by its identifier's text.
template <typename Map>
auto Named(const Map& elements, const nlohmann::json& id) {
  if (!id.is_string()) return elements.end();
  for (auto it = elements.begin(); it != elements.end(); ++it)
    if (it->first.ToString() == id.get<std::string>()) return it;
  return elements.end();
}

std::string DriveName(const Model& before, const Vesk::vesk_guid& id) {
  const auto d = before.drives.find(id);
  return d == before.drives.end() || d->second.serial.empty() ? id.ToString() : d->second.serial;
}

bool Gone(std::uint8_t status) {
  return status == drive_status::kFailed || status == drive_status::kMissing ||
         status == drive_status::kOffline;
}

std::string VolumeReason(const Model& before, const VolumeModel& v, const std::string& operation) {
  const std::string name = QuotedArgument(v.name);
  const std::string quoted = "volume \"" + v.name + "\"";
  // A failed member the driver will not take back into a volume: the member comes first.
  std::string failed;
  for (const auto& id : v.noData) {
    const auto d = before.drives.find(id);
    if (d != before.drives.end() && d->second.status == drive_status::kFailed)
      failed += (failed.empty() ? "" : ", ") + DriveName(before, id);
  }
  if (operation == "MarkVolumeAsNormal" && !failed.empty())
    return quoted + " has a failed member, " + failed +
           ", which the driver does not take back into a volume: mark it normal first "
           "(veskctl mark-normal " +
           failed.substr(0, failed.find(',')) + ")";
  if (v.state >= state::kInitializing && v.state <= state::kMigrating)
    return quoted + " is busy: " + WorkKind(v.state) + " at " + std::to_string(v.progress) +
           "%; wait for it first (veskctl wait " + name + ")";
  if (v.state == state::kFailed) return quoted + " has failed: its data cannot be read";
  if (v.state == state::kDegraded) {
    std::string lost;
    for (const auto& id : v.noData) lost += (lost.empty() ? "" : ", ") + DriveName(before, id);
    return quoted + " is degraded" +
           (lost.empty() ? "" : " (" + lost + " holds none of its data)") +
           ": the driver changes it only once it is whole again; rebuild it first (veskctl "
           "rebuild-volume " +
           name + (lost.empty() ? "" : " --drives DRIVE") + ")";
  }
  return "";
}

}  // namespace

std::string ExplainRefusal(const Model& before, const nlohmann::json& request) {
  if (!request.is_object()) return "";
  const std::string operation = request.value("operation", "");
  std::string why;
  const auto add = [&why](const std::string& reason) {
    if (!reason.empty()) why += (why.empty() ? "" : "; ") + reason;
  };
  if (const auto v = Named(before.volumes, request.value("volumeId", nlohmann::json()));
      v != before.volumes.end())
    add(VolumeReason(before, v->second, operation));
  // The drives a request takes in: one that failed or is gone cannot be.
  if (const auto it = request.find("driveIds"); it != request.end() && it->is_array())
    for (const auto& id : *it) {
      const auto d = Named(before.drives, id);
      if (d != before.drives.end() && Gone(d->second.status))
        add("drive " + DriveName(before, d->first) +
            (d->second.status == drive_status::kFailed    ? " has failed"
             : d->second.status == drive_status::kMissing ? " is missing"
                                                          : " is offline") +
            ": choose another drive");
    }
  return why;
}

}  // namespace veskctl
