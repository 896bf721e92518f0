// The machine's health in one word, for `veskctl check` and the first line of `show`: what a
// script or a Nagios-style checker acts on, worked out from the topology as `show --json` gives it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace veskctl {

// The exit codes of `check`, as Nagios-style checkers read them.
inline constexpr int kHealthOk = 0;       // all well
inline constexpr int kHealthAtRisk = 1;   // degraded or at risk: it works, but one more fault...
inline constexpr int kHealthFailed = 2;   // a volume failed: data cannot be read
inline constexpr int kHealthUnknown = 3;  // could not tell (no controller, the state unreadable)

struct Problem {
  int severity = kHealthAtRisk;  // kHealthAtRisk or kHealthFailed
  nlohmann::json element;        // {kind, id, name}
  std::string text;              // `volume "Data" is degraded`
};

struct Health {
  int code = kHealthOk;  // the worst severity found
  std::vector<Problem> problems;
  std::string counts;  // "2 controllers, 2 arrays, 3 volumes, 10 drives"

  const char* Word() const;  // OK, AT RISK, FAILED
  std::string Line() const;  // "AT RISK: volume "Data" is degraded; drive KN2K00004101 has failed"
  nlohmann::json Json() const;
};

// The health of `topology` (the document of `show --json`).
Health HealthOf(const nlohmann::json& topology);

// The roll-up of one controller of that document: the worst of the problems of its volumes, its
// drives and its own, or with `arrayId` of that array's volumes and member drives alone.
int RollUp(const nlohmann::json& controller, const std::string& arrayId = "");
const char* HealthWord(int code);  // OK, AT RISK, FAILED: as the line says it
const char* HealthName(int code);  // ok, at-risk, failed: as JSON says it

}  // namespace veskctl
