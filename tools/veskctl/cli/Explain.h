// Why the driver refuses a request, in the terms of the machine veskctl read before it sent it: a
// driver's status says what it will not do ("initialize an initialized volume"), not which state
// of the machine stood in the way nor what to do about it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tools/veskctl/session/Predict.h"

namespace veskctl {

// What in `before` stands in the way of `request` (a degraded, failed or busy volume; a member
// or drive that failed or is gone), with what to do first; empty when nothing is known to.
std::string ExplainRefusal(const Model& before, const nlohmann::json& request);

}  // namespace veskctl
