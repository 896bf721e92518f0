#include "tools/veskctl/cli/Resolve.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "tools/veskctl/base/Names.h"

namespace veskctl {

namespace {

// One way the argument fits one element.
struct Fit {
  const char* kind;
  const char* nameWord;  // what an exact argument other than the identifier is: name or serial
  std::string name;
  std::string id;
  std::string matchedBy;
};

// Every element of `map` that `text` fits, once per element: the strongest way it fits wins
// (identifier, then name, then identifier prefix). `records` receives the elements fitted.
template <typename Map, typename NameOf>
void Candidates(const Map& map, const std::string& text, const char* kind, const char* nameWord,
                NameOf nameOf, std::vector<Fit>& fits,
                std::vector<typename Map::mapped_type>& records) {
  const std::string wanted = Lower(text);
  for (const auto& [id, record] : map) {
    const std::string idText = id.ToString();
    const std::string name = nameOf(*record);
    const char* how = nullptr;
    if (idText == wanted) {
      how = "identifier";
    } else if (!text.empty() && name == text) {
      how = nameWord;
    } else if (!wanted.empty() && idText.rfind(wanted, 0) == 0) {
      how = "identifier prefix";
    }
    if (!how) continue;
    fits.push_back({kind, nameWord, name, idText, how});
    records.push_back(record);
  }
}

// The one element `text` names among `fits`, which may be of several kinds (`kind` is what the
// user was asked for: "volume", or "element" for any kind).
std::size_t Choose(const std::vector<Fit>& fits, const std::string& text, const std::string& kind,
                   Naming naming) {
  // An empty argument is most often a shell variable that was never set.
  if (text.empty())
    throw UsageError("an empty " + kind +
                     " name ('') names nothing; elements are named by identifier, name or serial "
                     "number (see 'veskctl show')");
  if (fits.empty()) {
    throw UsageError("no " + kind + " '" + text + "' (see 'veskctl show')");
  }
  if (fits.size() > 1) {
    std::string message =
        "'" + text + "' is ambiguous: it fits " + std::to_string(fits.size()) + " " + kind + "s";
    nlohmann::json candidates = nlohmann::json::array();
    for (const auto& c : fits) {
      message += "\n  " + std::string(c.kind) + " \"" + c.name + "\"  " + c.id + "  (by " +
                 c.matchedBy + ")";
      candidates.push_back(
          {{"kind", c.kind}, {"name", c.name}, {"id", c.id}, {"matchedBy", c.matchedBy}});
    }
    message += "\nNothing was sent. Name the " + kind + " by its full identifier.";
    throw AmbiguousElement(message, std::move(candidates));
  }
  const Fit& only = fits.front();
  if (naming == Naming::Exact && only.matchedBy == "identifier prefix") {
    throw UsageError("'" + text + "' is only the beginning of the identifier of " + only.kind +
                     " \"" + only.name + "\" (" + only.id +
                     "); this command can destroy data and takes only a full identifier or an "
                     "exact " +
                     only.nameWord);
  }
  return 0;
}

template <typename Map, typename NameOf>
const typename Map::mapped_type Resolve(const Map& map, const std::string& text, const char* kind,
                                        const char* nameWord, Naming naming, NameOf nameOf) {
  std::vector<Fit> fits;
  std::vector<typename Map::mapped_type> records;
  Candidates(map, text, kind, nameWord, nameOf, fits, records);
  return records.at(Choose(fits, text, kind, naming));
}

std::string ControllerName(const Vesk::Controller& c) { return DriverText(c.name, sizeof c.name); }
std::string ArrayName(const Vesk::Array& a) { return DriverText(a.name, sizeof a.name); }
std::string VolumeName(const Vesk::Volume& v) { return DriverText(v.name, sizeof v.name); }
std::string SerialOf(const Vesk::Drive& d) {
  return DriverText(d.serialNumber, sizeof d.serialNumber);
}

}  // namespace

const Vesk::Controller& ResolveController(Session& session, const std::string& text,
                                          Naming naming) {
  return *Resolve(session.Storage().GetControllers().GetControllersById(), text, "controller",
                  "name", naming, ControllerName);
}

const Vesk::Array& ResolveArray(Session& session, const std::string& text, Naming naming) {
  return *Resolve(session.Storage().GetArrays(), text, "array", "name", naming, ArrayName);
}

const Vesk::Volume& ResolveVolume(Session& session, const std::string& text, Naming naming) {
  return *Resolve(session.Storage().GetVolumes(), text, "volume", "name", naming, VolumeName);
}

const Vesk::Drive& ResolveDrive(Session& session, const std::string& text, Naming naming) {
  return *Resolve(session.Storage().GetDrives(), text, "drive", "serial number", naming, SerialOf);
}

Element ResolveElement(Session& session, const std::string& text) {
  auto& storage = session.Storage();
  std::vector<Fit> fits;
  std::vector<Vesk::Controller*> controllers;
  std::vector<Vesk::Array*> arrays;
  std::vector<Vesk::Volume*> volumes;
  std::vector<Vesk::Drive*> drives;
  Candidates(storage.GetControllers().GetControllersById(), text, "controller", "name",
             ControllerName, fits, controllers);
  Candidates(storage.GetArrays(), text, "array", "name", ArrayName, fits, arrays);
  Candidates(storage.GetVolumes(), text, "volume", "name", VolumeName, fits, volumes);
  Candidates(storage.GetDrives(), text, "drive", "serial number", SerialOf, fits, drives);
  Choose(fits, text, "element", Naming::AllowPrefix);
  Element element;
  if (!controllers.empty()) element.controller = controllers.front();
  if (!arrays.empty()) element.array = arrays.front();
  if (!volumes.empty()) element.volume = volumes.front();
  if (!drives.empty()) element.drive = drives.front();
  return element;
}

std::vector<const Vesk::Drive*> ResolveDrives(Session& session,
                                              const std::vector<std::string>& texts,
                                              Naming naming) {
  std::vector<const Vesk::Drive*> drives;
  std::set<Vesk::vesk_guid> seen;
  for (const auto& text : texts) {
    const Vesk::Drive& drive = ResolveDrive(session, text, naming);
    if (!seen.insert(drive.id).second) {
      throw UsageError("drive " + DriverText(drive.serialNumber, sizeof drive.serialNumber) + " (" +
                       drive.id.ToString() + ") is named twice");
    }
    drives.push_back(&drive);
  }
  return drives;
}

}  // namespace veskctl
