// The two faces of veskctl's output: a tree for people and JSON for programs (docs/cli.md).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "simulator/Topology.h"
#include "tools/veskctl/base/Json.h"
#include "tools/veskctl/cli/Resolve.h"
#include "tools/veskctl/session/Session.h"

namespace veskctl {

// The whole topology of the last refresh.
std::string TopologyTree(const Session& session);
nlohmann::json TopologyJson(const Session& session);
// One element in detail: everything the library read about it and the elements it relates to.
std::string ElementText(Session& session, const Element& element);
nlohmann::json ElementJson(Session& session, const Element& element);  // {"kind", "<kind>": {...}}

// A volume's members as the administrator weighs them: in array order where that is known, each
// with its role (in sync, stale, rebuilding, joining, missing, failed, offline, or not known),
// and the commands that would bring the volume back to health.
struct Member {
  const Vesk::Drive* drive = nullptr;  // none: the array lists a drive the library does not
  std::string id;
  std::string role;
};
struct Advice {
  std::string command;  // a veskctl command line, without "veskctl"
  std::string why;
};
struct Members {
  std::vector<Member> members;
  bool arrayOrder = false;  // else in the order of their identifiers
  std::vector<Advice> advice;
};
// `machine` is the simulated driver's own topology, which knows the array's order and which
// members are stale; the RAID driver's answers carry neither (null: only drive status counts).
// `roster`: what veskctl remembers of the controller's spares, for advice on a spare gone.
Members VolumeMembers(Vesk::StorageManagement& storage, const Vesk::Volume& v,
                      const vesk::sim::Topology* machine, const Roster* roster = nullptr);

}  // namespace veskctl
