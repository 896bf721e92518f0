// How an element named on the command line is found among the records of the last refresh.
//
// An argument may be an element's full identifier, its exact name (controllers, arrays, volumes)
// or serial number (drives), or the beginning of its identifier. An argument that fits more than
// one element, in whatever ways, names none of them: the user is shown every candidate and
// nothing is sent. Commands that destroy data take no identifier prefixes at all, so that a typo
// or a later rename cannot turn them onto another element.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/veskctl/session/Session.h"

namespace veskctl {

enum class Naming {
  AllowPrefix,  // a unique identifier prefix is enough
  Exact,        // full identifier, exact name or serial number only
};

// The argument fits several elements; `candidates` lists them (kind, name, id, matchedBy).
class AmbiguousElement : public UsageError {
 public:
  AmbiguousElement(const std::string& message, nlohmann::json candidates)
      : UsageError(message), candidates(std::move(candidates)) {}
  nlohmann::json candidates;
};

const Vesk::Controller& ResolveController(Session& session, const std::string& text, Naming naming);
const Vesk::Array& ResolveArray(Session& session, const std::string& text, Naming naming);
const Vesk::Volume& ResolveVolume(Session& session, const std::string& text, Naming naming);
const Vesk::Drive& ResolveDrive(Session& session, const std::string& text, Naming naming);
// Any element: exactly one of the pointers is set.
struct Element {
  const Vesk::Controller* controller = nullptr;
  const Vesk::Array* array = nullptr;
  const Vesk::Volume* volume = nullptr;
  const Vesk::Drive* drive = nullptr;
};
// A controller, array, volume or drive, named in any of the ways above; an argument that fits
// elements of several kinds is ambiguous like any other.
Element ResolveElement(Session& session, const std::string& text);

// Several drives; the same drive named twice (in whatever way) is refused.
std::vector<const Vesk::Drive*> ResolveDrives(Session& session,
                                              const std::vector<std::string>& texts, Naming naming);

}  // namespace veskctl
