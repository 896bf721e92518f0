#include "tools/veskctl/journal/Intent.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "platform/win32.h"
#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Json.h"
#include "tools/veskctl/journal/Event.h"

namespace veskctl {

namespace fs = std::filesystem;

namespace {

constexpr char kAside[] = ".new";

// The folder is the owner's alone, as the files in it are; it needs its x bit to be entered.
void MakeFolder(const fs::path& folder) {
  std::error_code ignored;
  if (!fs::create_directories(folder, ignored)) return;
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ignored);
}

// Closers never wait for an intent's lock; its writer does, for a closer that looks into the file
// it has just made (and finds it empty) holds it only that long.
bool Lock(const SharedFile& file, bool wait = false) {
  OVERLAPPED firstByte = {};
  return LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY),
                    0, 1, 0, &firstByte);
}

// Empties an intent under its lock before its name goes: see Intent.h.
void Empty(const SharedFile& file) {
  LARGE_INTEGER zero{};
  if (SetFilePointerEx(file.handle, zero, nullptr, FILE_BEGIN)) SetEndOfFile(file.handle);
}

void Remove(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

std::string ReadAll(const SharedFile& file) {
  std::string text;
  char buffer[4096];
  for (DWORD n = 0; ReadFile(file.handle, buffer, sizeof buffer, &n, nullptr) && n > 0;)
    text.append(buffer, n);
  return text;
}

// An intent's name: "MS-PID", when it was made (milliseconds since the epoch) and by which
// process. Anything else in the folder is not an intent.
struct Name {
  std::uint64_t madeMs = 0, pid = 0;
  bool aside = false;  // "MS-PID.new": written, not yet in place
  fs::path path;
  bool operator<(const Name& o) const {
    return std::tie(madeMs, pid, path) < std::tie(o.madeMs, o.pid, o.path);
  }
};

std::optional<Name> ParseName(const fs::path& path) {
  std::string text = path.filename().string();
  Name name{.path = path};
  if (text.ends_with(kAside)) {
    name.aside = true;
    text.resize(text.size() - (sizeof kAside - 1));
  }
  const auto dash = text.find('-');
  const auto digits = [](const std::string& s) {
    return !s.empty() && s.size() <= 19 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (dash == std::string::npos || !digits(text.substr(0, dash)) || !digits(text.substr(dash + 1)))
    return std::nullopt;
  name.madeMs = std::stoull(text.substr(0, dash));
  name.pid = std::stoull(text.substr(dash + 1));
  return name;
}

std::uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

fs::path IntentsFolder(const Journal& journal) { return journal.Path().string() + ".intents"; }

Intent::Intent(const Journal& journal, CommandAudit audit) {
  audit.outcome = "unknown";
  audit.message = std::string("veskctl ended before it recorded how the command ended ") +
                  "(it was carried out from " + EventTime() +
                  " on); the machine may or may not have changed: check with `veskctl show`";
  audit.status = FailureStatus("error", audit.message, 0, 0);
  const std::string text =
      CommandRecord(audit).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

  const fs::path folder = IntentsFolder(journal);
  MakeFolder(folder);
  path = folder / (std::to_string(NowMs()) + "-" + std::to_string(GetCurrentProcessId()));
  // Not WriteFileAtomically: the lock must be held before the name appears, or a closer could
  // take it in between and journal a live run as one that died.
  const fs::path aside = path.string() + kAside;
  file = std::make_unique<SharedFile>(aside, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  if (file->Open()) KeepToOwner(aside);
  DWORD written = 0;
  if (!file->Open() || !Lock(*file, true) ||
      !WriteFile(file->handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      !FlushFileBuffers(file->handle) ||
      !MoveFileExW(aside.wstring().c_str(), path.wstring().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string failure = FileErrorText(GetLastError());
    // Renamed but not flushed, it may be in place: it must not outlive a command never carried out.
    if (file->Open()) Empty(*file);
    Remove(aside);
    Remove(path);
    file.reset();
    throw StateFileError("cannot write the command's intent into " + folder.string() + ": " +
                         failure);
  }
}

Intent::~Intent() = default;

void Intent::Close() {
  if (!file) return;
  Empty(*file);
  Remove(path);
  file.reset();
}

std::size_t CloseAbandonedIntents(const Journal& journal) {
  const fs::path folder = IntentsFolder(journal);
  std::vector<Name> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (auto name = ParseName(it->path())) names.push_back(std::move(*name));
  // A folder that cannot be listed whole is left for a later writer: what it holds stays there,
  // and closing only some of it could journal a later intent before an earlier one. The run that
  // would write an intent into it says why it cannot.
  if (error) return 0;
  std::sort(names.begin(), names.end());

  std::size_t closed = 0;
  for (const Name& name : names) {
    SharedFile file(name.path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    // Gone meanwhile (its run, or another closer, finished with it), or its run still lives.
    if (!file.Open() || !Lock(file)) continue;
    const std::string text = ReadAll(file);
    // Written aside and never put in place: its run died before it acted. An empty one may be
    // one that its run has just made and not yet locked, and is left alone.
    if (name.aside) {
      if (!text.empty()) {
        Empty(file);
        Remove(name.path);
      }
      continue;
    }
    if (text.empty()) {  // closed by another since this one listed it
      Remove(name.path);
      continue;
    }
    auto record = nlohmann::json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object() || record.value("kind", "") != "command")
      continue;
    journal.Append(std::move(record));
    Empty(file);
    Remove(name.path);
    ++closed;
  }
  return closed;
}

}  // namespace veskctl
