#include "tools/veskctl/cli/Health.h"

#include <algorithm>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/journal/Audit.h"
#include "tools/veskctl/journal/Event.h"

namespace veskctl {

namespace {

std::string Plural(std::size_t n, const char* one) {
  return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

nlohmann::json Element(const char* kind, const nlohmann::json& e, const char* nameKey) {
  return RecordElement(kind, e.value("id", ""), e.value(nameKey, ""));
}

void VolumeProblems(const nlohmann::json& v, std::vector<Problem>& problems) {
  const auto add = [&](int severity, const std::string& what) {
    problems.push_back({severity, Element("volume", v, "name"),
                        "volume \"" + Printable(v.value("name", "")) + "\" " + what});
  };
  const auto state = v.value("state", 0);
  if (state == state::kFailed) add(kHealthFailed, "has failed");
  if (state == state::kDegraded) add(kHealthAtRisk, "is degraded");
  // A rebuild running means the volume does not survive another loss until it ends.
  if (state == state::kRebuilding) add(kHealthAtRisk, "is rebuilding: not redundant until it ends");
  // Lost data stays lost whatever the state says now; a volume only forced online may read wrong.
  if (v.contains("dataLost") && v["dataLost"].is_object()) {
    const auto& lost = v["dataLost"];
    const std::string how = lost["bytes"].is_number()
                                ? HumanBytes(lost["bytes"].get<std::uint64_t>())
                                : "up to " + HumanBytes(v.value("size", std::uint64_t{0}));
    if (lost.value("failed", false))
      add(kHealthFailed, "lost " + how + " of its data");
    else
      add(kHealthAtRisk, "was forced online: " + how + " may read wrong data");
  }
  // Errors a repairing verification found are mended.
  if (v.value("verifyErrors", 0) > 0 && v.value("verifyRepaired", nlohmann::json()) != true)
    add(kHealthAtRisk,
        "had " + Plural(v.value("verifyErrors", 0u), "error") + " at its last verification");
}

void DriveProblems(const nlohmann::json& d, std::vector<Problem>& problems) {
  const auto add = [&](const std::string& what) {
    problems.push_back({kHealthAtRisk, Element("drive", d, "serial"),
                        "drive " + Printable(d.value("serial", "")) + " " + what});
  };
  const auto status = d.value("status", 0);
  if (status == drive_status::kFailed) add("has failed");
  if (status == drive_status::kMissing) add("is missing");
  if (status == drive_status::kSmartEvent) add("reports a SMART event");
}

// A controller that had a spare and has none usable now: the next member to fail leaves its
// volume degraded until someone comes.
void ControllerProblems(const nlohmann::json& c, std::vector<Problem>& problems) {
  const auto gone = c.value("sparesGone", nlohmann::json::array());
  if (gone.empty()) return;
  std::string serials;
  for (std::size_t i = 0; i < gone.size(); ++i)
    serials += (i == 0                 ? ""
                : i + 1 == gone.size() ? " and "
                                       : ", ") +
               Printable(gone[i].get<std::string>());
  problems.push_back({kHealthAtRisk, Element("controller", c, "name"),
                      "controller \"" + Printable(c.value("name", "")) +
                          "\" has no usable spare: " + serials +
                          (gone.size() == 1 ? " was one" : " were")});
}

std::vector<Problem> ProblemsOf(const nlohmann::json& c, const std::string& arrayId) {
  std::vector<Problem> problems;
  if (arrayId.empty()) ControllerProblems(c, problems);
  for (const auto& v : c.value("volumes", nlohmann::json::array()))
    if (arrayId.empty() || v.value("arrayId", "") == arrayId) VolumeProblems(v, problems);
  for (const auto& d : c.value("drives", nlohmann::json::array()))
    if (arrayId.empty() || (d["arrayId"].is_string() && d["arrayId"] == arrayId))
      DriveProblems(d, problems);
  return problems;
}

}  // namespace

const char* HealthWord(int code) {
  return code == kHealthOk ? "OK" : code == kHealthAtRisk ? "AT RISK" : "FAILED";
}

const char* HealthName(int code) {
  return code == kHealthOk ? "ok" : code == kHealthAtRisk ? "at-risk" : "failed";
}

int RollUp(const nlohmann::json& controller, const std::string& arrayId) {
  int code = kHealthOk;
  for (const auto& p : ProblemsOf(controller, arrayId)) code = std::max(code, p.severity);
  return code;
}

const char* Health::Word() const { return HealthWord(code); }

std::string Health::Line() const {
  std::string line = std::string(Word()) + ": ";
  if (problems.empty()) return line + counts;
  for (std::size_t i = 0; i < problems.size(); ++i) line += (i > 0 ? "; " : "") + problems[i].text;
  return line;
}

nlohmann::json Health::Json() const {
  auto list = nlohmann::json::array();
  for (const auto& p : problems)
    list.push_back({{"severity", p.severity == kHealthFailed ? "failed" : "at-risk"},
                    {"element", p.element},
                    {"text", p.text}});
  return {
      {"health", HealthName(code)}, {"exitCode", code}, {"summary", Line()}, {"problems", list}};
}

Health HealthOf(const nlohmann::json& topology) {
  Health health;
  std::size_t controllers = 0, arrays = 0, volumes = 0, drives = 0;
  for (const auto& c : topology.value("controllers", nlohmann::json::array())) {
    ++controllers;
    arrays += c.value("arrays", nlohmann::json::array()).size();
    volumes += c.value("volumes", nlohmann::json::array()).size();
    drives += c.value("drives", nlohmann::json::array()).size();
    for (auto& p : ProblemsOf(c, "")) health.problems.push_back(std::move(p));
  }
  // The worst first: what fails before what is at risk.
  std::stable_sort(health.problems.begin(), health.problems.end(),
                   [](const Problem& a, const Problem& b) { return a.severity > b.severity; });
  for (const auto& p : health.problems) health.code = std::max(health.code, p.severity);
  health.counts = Plural(controllers, "controller") + ", " + Plural(arrays, "array") + ", " +
                  Plural(volumes, "volume") + ", " + Plural(drives, "drive");
  return health;
}

}  // namespace veskctl
