// What every JSON answer of veskctl has: the schema version and the status block
// (docs/schema/veskctl.schema.json).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace veskctl {

// Raised whenever a field changes meaning (docs/schema/veskctl.schema.json pins it).
inline constexpr int kJsonSchemaVersion = 3;

// The status block of every JSON answer.
nlohmann::json SuccessStatus();
nlohmann::json FailureStatus(const std::string& kind, const std::string& message,
                             std::uint32_t status, std::uint32_t errorCode);

}  // namespace veskctl
