#include "tools/veskctl/monitor/LastKnown.h"

#include <iostream>

#include "tools/veskctl/base/Files.h"

namespace veskctl {

namespace {

constexpr const char* kFormat = "veskctl-last-known";
constexpr int kFormatVersion = 1;

// A record as the journal holds it, without the identifier the append gave it.
std::string Unnumbered(nlohmann::json record) {
  record.erase("id");
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

LastKnownFile::LastKnownFile(const Journal& journal)
    : journal(journal), path(journal.Path().string() + ".last-known") {}

std::optional<LastKnown> LastKnownFile::Read() const {
  const auto text = ReadFileShared(path, "the last-known state");
  if (!text) return std::nullopt;
  const auto document = nlohmann::json::parse(*text, nullptr, false);
  std::string why;
  if (document.is_discarded()) {
    why = "is not valid JSON";
  } else if (!document.is_object() || document.value("format", "") != kFormat ||
             document.value("formatVersion", 0) != kFormatVersion) {
    why = "is not a last-known state of this veskctl";
  } else {
    LastKnown state;
    state.machine = document.value("machine", nlohmann::json());
    if (!state.machine.is_object()) state.machine = nullptr;
    state.faults = document.value("faults", nlohmann::json::array());
    state.failure = document.value("refreshFailure", "");
    state.clockMs = document.value("clockMs", std::int64_t{0});
    state.journalId = document.value("journalId", std::uint64_t{0});
    if (auto pending = document.find("pending"); pending != document.end() && pending->is_array())
      for (const auto& record : *pending)
        if (record.is_object()) state.pending.push_back(record);
    return state;
  }
  std::cerr << "veskctl: the last-known state " << path.string() << " " << why
            << "; reporting the machine as it is now\n";
  return std::nullopt;
}

std::vector<std::uint64_t> LastKnownFile::Commit(LastKnown state,
                                                 std::vector<nlohmann::json> records) const {
  state.journalId = journal.LastId();
  const nlohmann::json document = {{"format", kFormat},
                                   {"formatVersion", kFormatVersion},
                                   {"journalId", state.journalId},
                                   {"pending", records},
                                   {"machine", state.machine},
                                   {"faults", state.faults},
                                   {"refreshFailure", state.failure},
                                   {"clockMs", state.clockMs}};
  WriteFileAtomically(
      path, document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
      "the last-known state");
  KeepToOwner(path);
  if (records.empty()) return {};
  return journal.Append(std::move(records));
}

std::vector<nlohmann::json> LastKnownFile::Recover(const LastKnown& state) const {
  if (state.pending.empty()) return {};
  const auto slice = journal.After(state.journalId);
  std::vector<nlohmann::json> missing;
  std::size_t found = 0;
  if (!slice.gap) {
    // The pending records went in in one append, in order: the journal holds a first run of them
    // (all, none, or those before a line torn as the watcher died).
    for (const auto& record : slice.records)
      if (found < state.pending.size() && Unnumbered(record) == Unnumbered(state.pending[found]))
        ++found;
  }
  for (std::size_t i = found; i < state.pending.size(); ++i) {
    missing.push_back(state.pending[i]);
    if (slice.gap) missing.back()["maybeRepeated"] = true;
  }
  if (missing.empty()) return {};
  const auto ids = journal.Append(missing);
  for (std::size_t i = 0; i < missing.size(); ++i) missing[i]["id"] = ids[i];
  return missing;
}

}  // namespace veskctl
