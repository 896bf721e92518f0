// The two faces of veskctl's output: a tree for people and JSON for programs (docs/cli.md).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tools/veskctl/Resolve.h"
#include "tools/veskctl/Session.h"

namespace veskctl {

// Raised whenever a field changes meaning (docs/schema/veskctl.schema.json pins it).
inline constexpr int kJsonSchemaVersion = 3;

// The whole topology of the last refresh.
std::string TopologyTree(const Session& session);
nlohmann::json TopologyJson(const Session& session);
// One element in detail: everything the library read about it and the elements it relates to.
std::string ElementText(Session& session, const Element& element);
nlohmann::json ElementJson(Session& session, const Element& element);  // {"kind", "<kind>": {...}}

// The status block of every JSON answer.
nlohmann::json SuccessStatus();
nlohmann::json FailureStatus(const std::string& kind, const std::string& message,
                             std::uint32_t status, std::uint32_t errorCode);

}  // namespace veskctl
