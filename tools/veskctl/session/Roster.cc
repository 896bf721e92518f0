#include "tools/veskctl/session/Roster.h"

#include <iostream>
#include <optional>

#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Names.h"

namespace veskctl {

namespace {

constexpr const char* kFormat = "veskctl-roster";
constexpr int kFormatVersion = 1;

std::string SerialOf(const Vesk::Drive& d) {
  return DriverText(d.serialNumber, sizeof d.serialNumber);
}

}  // namespace

bool UsableSpare(const Vesk::Drive& d) {
  return d.usage == usage::kSpare && d.status == drive_status::kNormal;
}

std::filesystem::path Roster::PathFor(const std::filesystem::path& journalPath) {
  return journalPath.string() + ".roster";
}

Roster Roster::Read(const std::filesystem::path& journalPath) {
  Roster roster;
  const auto path = PathFor(journalPath);
  std::optional<std::string> text;
  try {
    text = ReadFileShared(path, "the roster");
  } catch (const StateFileError& e) {
    std::cerr << "veskctl: " << e.what()
              << "; veskctl starts it afresh: forgotten drives count as missing again\n";
    return roster;
  }
  if (!text) return roster;
  const auto document = nlohmann::json::parse(*text, nullptr, false);
  if (document.is_discarded() || !document.is_object() || document.value("format", "") != kFormat ||
      document.value("formatVersion", 0) != kFormatVersion) {
    std::cerr << "veskctl: the roster " << path.string()
              << " is not one of this veskctl; veskctl starts it afresh: forgotten drives count as "
                 "missing again\n";
    return roster;
  }
  const auto forgotten = document.value("forgotten", nlohmann::json::object());
  const auto spares = document.value("spares", nlohmann::json::object());
  for (const auto& [id, gone] : forgotten.items())
    if (gone.is_object())
      roster.forgotten[id] = {gone.value("serial", ""), gone.value("atMs", std::uint64_t{0})};
  for (const auto& [id, serials] : spares.items())
    if (serials.is_array())
      for (const auto& s : serials)
        if (s.is_string()) roster.spares[id].insert(s.get<std::string>());
  return roster;
}

void Roster::Write(const std::filesystem::path& journalPath) {
  if (!changed) return;
  nlohmann::json gone = nlohmann::json::object(), had = nlohmann::json::object();
  for (const auto& [id, g] : forgotten) gone[id] = {{"serial", g.serial}, {"atMs", g.atMs}};
  for (const auto& [id, serials] : spares)
    if (!serials.empty()) had[id] = serials;
  const nlohmann::json document = {
      {"format", kFormat}, {"formatVersion", kFormatVersion}, {"forgotten", gone}, {"spares", had}};
  WriteFileAtomically(PathFor(journalPath), document.dump(1) + "\n", "the roster");
  changed = false;
}

void Roster::Clear() {
  forgotten.clear();
  spares.clear();
  changed = true;
}

void Roster::Forget(const Vesk::vesk_guid& driveId, const std::string& serial, std::uint64_t atMs) {
  forgotten[driveId.ToString()] = {serial, atMs};
  for (auto& [controller, serials] : spares) serials.erase(serial);
  changed = true;
}

bool Roster::Forgotten(const Vesk::Drive& d) const { return Forgotten(d.id.ToString(), d.status); }

bool Roster::Forgotten(const std::string& driveId, std::uint8_t status) const {
  return status == drive_status::kMissing && forgotten.count(driveId) > 0;
}

void Roster::Observe(Vesk::StorageManagement& storage) {
  std::map<std::string, std::set<std::string>> usable;
  for (const auto& [id, d] : storage.GetDrives()) {
    if (d->status != drive_status::kMissing && forgotten.erase(id.ToString()) > 0) changed = true;
    if (UsableSpare(*d)) usable[d->controllerId.ToString()].insert(SerialOf(*d));
  }
  for (auto& [controller, serials] : usable) {
    if (spares[controller] == serials) continue;
    spares[controller] = std::move(serials);
    changed = true;
  }
}

void Roster::SpareUnmarked(const Vesk::vesk_guid& controllerId, const std::string& serial) {
  if (spares[controllerId.ToString()].erase(serial) > 0) changed = true;
}

std::vector<std::string> Roster::SparesGone(Vesk::StorageManagement& storage,
                                            const Vesk::vesk_guid& c) const {
  const auto had = spares.find(c.ToString());
  if (had == spares.end()) return {};
  for (const auto& [id, d] : storage.GetDrives())
    if (d->controllerId == c && UsableSpare(*d)) return {};
  return {had->second.begin(), had->second.end()};
}

}  // namespace veskctl
