#include "tools/veskctl/Audit.h"

#include <cstdlib>

#include "platform/win32.h"
#include "tools/veskctl/Jobs.h"
#include "tools/veskctl/Predict.h"
#include "tools/veskctl/Render.h"

namespace veskctl {

namespace {

// A record with the fields every journal record has; `time` and `id` come with the append.
nlohmann::json Record(const char* kind, nlohmann::json element, const std::string& detail) {
  return {{"schemaVersion", kJsonSchemaVersion},
          {"kind", kind},
          {"element", std::move(element)},
          {"property", nullptr},
          {"old", nullptr},
          {"oldName", nullptr},
          {"new", nullptr},
          {"newName", nullptr},
          {"detail", detail}};
}

nlohmann::json ElementJson(const char* kind, const std::string& id, const std::string& name) {
  return {{"kind", kind}, {"id", id}, {"name", name}};
}

std::string UserName() {
  for (const char* variable : {"USER", "USERNAME"}) {
    const char* user = std::getenv(variable);
    if (user != nullptr && *user != '\0') return user;
  }
  return "unknown";
}

std::string Counted(std::uint64_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// "3 errors, 1 bad block"; nothing unless a verification finished.
std::string FoundText(const nlohmann::json& errors, const nlohmann::json& badBlocks) {
  if (!errors.is_number_unsigned()) return "";
  return Counted(errors.get<std::uint64_t>(), "error") + ", " +
         Counted(badBlocks.is_number_unsigned() ? badBlocks.get<std::uint64_t>() : 0, "bad block");
}

// The name `map` (of the model) gives the element whose identifier is `id`.
template <typename Map, typename Name>
std::string NameIn(const Map& map, const std::string& id, Name name) {
  for (const auto& [guid, element] : map)
    if (guid.ToString() == id) return name(element);
  return "";
}

}  // namespace

nlohmann::json CommandRecord(const CommandAudit& audit) {
  const std::string user = UserName();
  std::string detail = audit.name + " by " + user + ": " + audit.outcome;
  // One line: a refusal's message may list what would have been lost below its first line.
  if (!audit.message.empty()) detail += ": " + audit.message.substr(0, audit.message.find('\n'));
  nlohmann::json record = Record("command", audit.element, detail);
  record["command"] = {
      {"user", user},           {"pid", GetCurrentProcessId()}, {"argv", audit.argv},
      {"name", audit.name},     {"request", audit.request},     {"outcome", audit.outcome},
      {"status", audit.status}, {"exitCode", audit.exitCode}};
  return record;
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
                      {"drives", job.drives}};
  if (job.startedMs) j["startedMs"] = *job.startedMs;
  if (job.verifyErrors) {
    j["verifyErrors"] = *job.verifyErrors;
    j["verifyBadBlocks"] = job.verifyBadBlocks.value_or(0);
  }
  std::string detail = job.kind + " of " + job.volumeName + " " + job.outcome;
  const std::string found = FoundText(j["verifyErrors"], j["verifyBadBlocks"]);
  if (!found.empty()) detail += ": " + found;
  if (!job.why.empty()) detail += ": " + job.why;
  nlohmann::json record =
      Record("job", ElementJson("volume", job.volumeId, job.volumeName), detail);
  record["job"] = std::move(j);
  return record;
}

nlohmann::json RequestElement(const nlohmann::json& request, const nlohmann::json& result,
                              const Model& before) {
  if (!request.is_object()) return nullptr;
  const auto text = RecordField;
  if (const std::string id = text(request, "volumeId"); !id.empty())
    return ElementJson("volume", id, NameIn(before.volumes, id, [](auto& v) { return v.name; }));
  if (const std::string id = text(request, "arrayId"); !id.empty())
    return ElementJson("array", id, NameIn(before.arrays, id, [](auto& a) { return a.name; }));
  if (const std::string id = text(request, "driveId"); !id.empty())
    return ElementJson("drive", id, NameIn(before.drives, id, [](auto& d) { return d.serial; }));
  if (result.is_object()) {
    if (const std::string id = text(result, "volumeId"); !id.empty())
      return ElementJson("volume", id,
                         text(request.value("parameters", nlohmann::json::object()), "name"));
  }
  if (const std::string id = text(request, "controllerId"); !id.empty())
    return ElementJson("controller", id,
                       NameIn(before.controllers, id, [](auto& c) { return c.name; }));
  return nullptr;
}

nlohmann::json JobHistory(const Journal& journal) {
  nlohmann::json history = nlohmann::json::array();
  for (auto& record : journal.After(0).records) {
    auto job = record.find("job");
    if (record["kind"] != "job" || job == record.end() || !job->is_object()) continue;
    nlohmann::json entry = std::move(*job);
    entry["id"] = record["id"];
    entry["time"] = record["time"];
    history.push_back(std::move(entry));
  }
  return history;
}

std::string JobHistoryText(const nlohmann::json& history) {
  const auto text = RecordField;  // a field of another type shows as nothing
  std::string lines;
  for (const auto& job : history) {
    lines += text(job, "time") + "  volume \"" + text(job, "volumeName") + "\" (" +
             text(job, "volumeId") + ")  " + text(job, "kind") + "  " + text(job, "outcome");
    const std::string found = FoundText(job.value("verifyErrors", nlohmann::json()),
                                        job.value("verifyBadBlocks", nlohmann::json()));
    if (!found.empty()) lines += "  " + found;
    if (const std::string why = text(job, "why"); !why.empty()) lines += " (" + why + ")";
    std::string drives;
    for (const auto& serial : job.value("drives", nlohmann::json::array()))
      if (serial.is_string()) drives += (drives.empty() ? "" : ", ") + serial.get<std::string>();
    if (!drives.empty()) lines += "  onto " + drives;
    lines += "\n";
  }
  return lines.empty() ? "No background work has ended, as far as the journal holds.\n" : lines;
}

}  // namespace veskctl
