// The two faces of veskctl's output: a tree for people and JSON for programs (docs/cli.md).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tools/veskctl/Session.h"

namespace veskctl {

inline constexpr int kJsonSchemaVersion = 2;

// The whole topology of the last refresh.
std::string TopologyTree(const Session& session);
nlohmann::json TopologyJson(const Session& session);

// The status block of every JSON answer.
nlohmann::json SuccessStatus();
nlohmann::json FailureStatus(const std::string& kind, const std::string& message,
                             std::uint32_t status, std::uint32_t errorCode);

}  // namespace veskctl
