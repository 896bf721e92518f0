// What a mutating command will do, found by doing it: the command is carried out on a private
// simulated RAID driver that starts from the topology as it stands (the saved simulated machine,
// or what the library read from the RAID driver), and the topology read back from it is the
// prediction. There is one model of RAID behaviour, the simulated driver's; the dry run, the
// question before destructive work and the list of losses all come from it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/veskctl/base/Names.h"
#include "tools/veskctl/session/Session.h"

namespace veskctl {

struct ControllerModel {
  std::string name;
  bool readPatrol = false;
  bool rohi = false;
};

struct ArrayModel {
  Vesk::vesk_guid controllerId;
  std::string name;
  std::uint64_t totalSize = 0;
  std::uint64_t freeSize = 0;
  bool writeCache = false;
};

struct VolumeModel {
  Vesk::vesk_guid controllerId, arrayId;
  std::string name;
  std::uint8_t raidLevel = 0;
  std::uint16_t stripSize = 0;
  std::uint64_t size = 0;
  std::uint8_t state = 0;
  std::uint8_t cachePolicy = 0;
  std::uint8_t rwhPolicy = 0;
  bool systemVolume = false;
  bool initialized = false;
  std::uint32_t logicalBlockSize = 0;
  // Running background work: percent done, and whether it is a layout change.
  std::uint16_t progress = 0;
  bool migrating = false;
  // The members that hold none of the volume's data: gone, broken or stale. Only the simulated
  // driver says which members are stale; from the RAID driver's answers `membersKnown` is false
  // and only gone or broken members are listed.
  std::vector<Vesk::vesk_guid> noData;
  bool membersKnown = false;
  // The level and strip a running layout change goes to (the driver reports the old layout
  // until it ends); known from the simulated driver only.
  std::optional<std::pair<std::uint8_t, std::uint16_t>> target;
  // What the last verification found.
  std::uint32_t verifyErrors = 0, verifyBadBlocks = 0;
  // The data it lost for good, as the simulated driver marks it (only the simulated driver says).
  struct Loss {
    std::uint64_t bytes = 0, atMs = 0;
    std::vector<Vesk::vesk_guid> members;
    bool failed = false, forced = false;
  };
  std::optional<Loss> loss;
};

struct DriveModel {
  Vesk::vesk_guid controllerId, arrayId;
  std::string serial;
  std::uint8_t status = 0;
  std::uint8_t usage = 0;
  std::uint64_t capacity = 0;
  std::uint32_t logicalBlockSize = 0;
  bool writeCache = false;
  bool led = false;
  bool containsPartition = false;
  bool systemDrive = false;
};

struct Model {
  std::map<Vesk::vesk_guid, ControllerModel> controllers;
  std::map<Vesk::vesk_guid, ArrayModel> arrays;
  std::map<Vesk::vesk_guid, VolumeModel> volumes;
  std::map<Vesk::vesk_guid, DriveModel> drives;

  static Model Of(Session& session);

  std::vector<Vesk::vesk_guid> VolumesOf(const Vesk::vesk_guid& arrayId) const;
};

// What the driver answered a command with when it refused it, as the real run would report it.
struct Refusal {
  std::string kind;  // VeskException, TaluException or UsageError
  std::string message;
  std::uint32_t status = 0, errorCode = 0;
};

struct Prediction {
  Model before, after;  // as the private driver shows them before and after the command
  std::optional<Refusal> refusal;
  // Started from the simulated machine itself: what it says is what the command will do.
  bool exact = false;
  // What the prediction could not know from the driver's answers, one line each.
  std::vector<std::string> notKnown;
  // The command started the machine over (`sim reset`): `after` is the topology's machine, laid
  // out afresh, not one the command made out of `before` (see Losses).
  bool startsOver = false;
};

// Carries `send` out on a private simulated driver started from `session`'s topology, and reads
// the topology back. Against the simulated machine the private driver is a copy of the machine's
// own, so the prediction is what the command will do; against the RAID driver it is built from
// the records the library read, and what those do not tell is listed in `notKnown`. The session's
// own records are read afresh afterwards: references into them do not survive.
// `fromRecords` starts from what the library read even on the simulated machine, as it must on
// the real driver. A session whose saved machine could not be used (SavedMachine::StartingOver)
// starts from no machine, and `notKnown` says why.
Prediction Predict(Session& session, const std::function<void(Session&)>& send,
                   bool fromRecords = false);

// The simulated driver's model of the machine the library read: what a RAID driver's answers
// tell, with the rest left at what a driver would report for an element without history (no
// stale members, work at its start).
vesk::sim::Topology TopologyOf(Session& session);

// Drives holding data: n for RAID 0, 1 for RAID 1, n/2 for RAID 10, n - 1 for RAID 4 and 5.
std::uint64_t DataDrives(std::uint8_t raidLevel, std::uint64_t members);
// Bytes of each member's room a volume of `size` bytes takes, over all `members`.
std::uint64_t Consumption(std::uint8_t raidLevel, std::uint64_t size, std::uint64_t members);
bool Redundant(std::uint8_t raidLevel);

// The elements that differ, each with the fields that differ before and after (null before: the
// command creates it; null after: it goes), and "losses": what the change destroys.
nlohmann::json PredictionJson(const Model& before, const Model& after);
std::string PredictionText(const Model& before, const Model& after);
// The same for a prediction, with the refusal (null when the driver takes the command) and what
// is not known; the text lists the losses and what is not known too.
nlohmann::json PredictionJson(const Prediction& prediction);
std::string PredictionText(const Prediction& prediction);
// What the change destroys, one line each: volumes deleted or failed, redundancy lost (also by a
// sibling volume of the array), volumes forced online over members that hold none of their data,
// drive contents overwritten, foreign metadata erased. When the machine `startsOver`, a volume the
// topology lays out otherwise under the same identifier is replaced, its data lost like a deleted
// one's, and none is forced online: the topology's volumes start as it describes them.
std::vector<std::string> Losses(const Model& before, const Model& after, bool startsOver = false);
std::vector<std::string> Losses(const Prediction& prediction);
// Whether the change destroys or endangers the system (boot) volume: deletes it, fails it, takes
// its redundancy, forces it online, or gives a drive that holds it another role.
bool EndangersSystem(const Model& before, const Model& after);
// A volume that comes back normal while members held none of its data and no rebuild wrote them:
// what those members hold is taken as its data.
bool Forced(const VolumeModel& was, const VolumeModel& now);

// The element a request acts on: its volume, array or drive, else the volume it created (named in
// `result`), else its controller; null when it names none. Names as `before` has them.
nlohmann::json RequestElement(const nlohmann::json& request, const nlohmann::json& result,
                              const Model& before);

}  // namespace veskctl
