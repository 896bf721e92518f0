#include "tools/veskctl/Resolve.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "tools/veskctl/Names.h"

namespace veskctl {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

template <typename Record>
struct Candidate {
  Record record;
  std::string name;
  std::string id;
  std::string matchedBy;
};

// Every element of `map` that `text` fits, once per element: the strongest way it fits wins
// (identifier, then name, then identifier prefix).
template <typename Map, typename NameOf>
std::vector<Candidate<typename Map::mapped_type>> Candidates(const Map& map,
                                                             const std::string& text, NameOf nameOf,
                                                             const char* nameWord) {
  const std::string wanted = Lower(text);
  std::vector<Candidate<typename Map::mapped_type>> found;
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
    if (how) found.push_back({record, name, idText, how});
  }
  return found;
}

template <typename Map, typename NameOf>
const typename Map::mapped_type Resolve(const Map& map, const std::string& text, const char* kind,
                                        const char* nameWord, Naming naming, NameOf nameOf) {
  const auto found = Candidates(map, text, nameOf, nameWord);
  if (found.empty()) {
    throw UsageError(std::string("no ") + kind + " '" + text + "' (see 'veskctl show')");
  }
  if (found.size() > 1) {
    std::string message =
        "'" + text + "' is ambiguous: it fits " + std::to_string(found.size()) + " " + kind + "s";
    nlohmann::json candidates = nlohmann::json::array();
    for (const auto& c : found) {
      message += "\n  " + std::string(kind) + " \"" + c.name + "\"  " + c.id + "  (by " +
                 c.matchedBy + ")";
      candidates.push_back(
          {{"kind", kind}, {"name", c.name}, {"id", c.id}, {"matchedBy", c.matchedBy}});
    }
    message += "\nNothing was sent. Name the " + std::string(kind) + " by its full identifier.";
    throw AmbiguousElement(message, std::move(candidates));
  }
  const auto& only = found.front();
  if (naming == Naming::Exact && only.matchedBy == std::string("identifier prefix")) {
    throw UsageError("'" + text + "' is only the beginning of the identifier of " + kind + " \"" +
                     only.name + "\" (" + only.id +
                     "); this command can destroy data and takes only a full identifier or an "
                     "exact " +
                     nameWord);
  }
  return only.record;
}

}  // namespace

const Vesk::Controller& ResolveController(Session& session, const std::string& text,
                                          Naming naming) {
  return *Resolve(session.Storage().GetControllers().GetControllersById(), text, "controller",
                  "name", naming,
                  [](const Vesk::Controller& c) { return DriverText(c.name, sizeof c.name); });
}

const Vesk::Array& ResolveArray(Session& session, const std::string& text, Naming naming) {
  return *Resolve(session.Storage().GetArrays(), text, "array", "name", naming,
                  [](const Vesk::Array& a) { return DriverText(a.name, sizeof a.name); });
}

const Vesk::Volume& ResolveVolume(Session& session, const std::string& text, Naming naming) {
  return *Resolve(session.Storage().GetVolumes(), text, "volume", "name", naming,
                  [](const Vesk::Volume& v) { return DriverText(v.name, sizeof v.name); });
}

const Vesk::Drive& ResolveDrive(Session& session, const std::string& text, Naming naming) {
  return *Resolve(
      session.Storage().GetDrives(), text, "drive", "serial number", naming,
      [](const Vesk::Drive& d) { return DriverText(d.serialNumber, sizeof d.serialNumber); });
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
