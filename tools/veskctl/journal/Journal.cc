#include "tools/veskctl/journal/Journal.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/win32.h"
#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/journal/Event.h"

namespace veskctl {

namespace fs = std::filesystem;

namespace {

constexpr char kFormat[] = "veskctl-journal";
// Bisection stops when this little is left between its bounds; the rest is read in order.
constexpr std::uint64_t kScanWindow = 16 << 10;
constexpr std::size_t kChunk = 1 << 20;

fs::path Older(const fs::path& path) { return path.string() + ".1"; }

[[noreturn]] void Fail(const std::string& what, const fs::path& path) {
  throw StateFileError("cannot " + what + " the journal " + path.string() + ": " +
                       FileErrorText(GetLastError()));
}

std::uint64_t SizeOf(const SharedFile& file, const fs::path& path) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.handle, &size)) Fail("read", path);
  return static_cast<std::uint64_t>(size.QuadPart);
}

void Seek(const SharedFile& file, std::uint64_t offset, const fs::path& path) {
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<std::int64_t>(offset);
  if (!SetFilePointerEx(file.handle, to, nullptr, FILE_BEGIN)) Fail("read", path);
}

// Up to `length` bytes from `offset` (fewer at the end of the file).
std::string ReadAt(const SharedFile& file, std::uint64_t offset, std::size_t length,
                   const fs::path& path) {
  Seek(file, offset, path);
  std::string bytes(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - got, kChunk));
    if (!ReadFile(file.handle, bytes.data() + got, want, &n, nullptr)) Fail("read", path);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

std::optional<nlohmann::json> ParseLine(std::string_view line) {
  auto record = nlohmann::json::parse(line, nullptr, false);
  if (record.is_discarded() || !record.is_object()) return std::nullopt;
  return record;
}

std::optional<std::uint64_t> IdOf(const nlohmann::json& record) {
  auto it = record.find("id");
  if (it == record.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<std::uint64_t>();
}

// The record a line holds: an object with an identifier. Anything else is a damaged line.
std::optional<nlohmann::json> Record(std::string_view line) {
  auto record = ParseLine(line);
  if (record && !IdOf(*record)) return std::nullopt;
  return record;
}

// One generation of the journal as a reader sees it: the complete lines after its header.
struct Generation {
  Generation(const fs::path& path, std::uint32_t access, std::uint32_t disposition)
      : path(path), file(path, access, disposition) {}

  // Reads the header and finds the end of the last complete line. False when the file holds no
  // journal header: `unstarted` tells whether it is empty or torn while it was started, rather
  // than a file of another kind.
  bool Scan() {
    size = SizeOf(file, path);
    const std::string head = ReadAt(file, 0, std::min<std::uint64_t>(size, 4096), path);
    const auto newline = head.find('\n');
    unstarted = newline == std::string::npos && size < 4096;
    if (newline == std::string::npos) return false;
    const auto header = ParseLine(std::string_view(head).substr(0, newline));
    if (!header || header->value("format", "") != kFormat || !header->contains("firstId") ||
        !(*header)["firstId"].is_number_unsigned())
      return false;
    firstId = (*header)["firstId"].get<std::uint64_t>();
    recordsStart = newline + 1;
    // Back to the last newline: a line without one is a writer's unfinished append.
    end = AfterLastNewline(size, recordsStart);
    return true;
  }

  // Just after the last newline in [floor, at); floor when there is none.
  std::uint64_t AfterLastNewline(std::uint64_t at, std::uint64_t floor) const {
    while (at > floor) {
      const std::uint64_t from = at - floor > kScanWindow ? at - kScanWindow : floor;
      const std::string chunk = ReadAt(file, from, at - from, path);
      const auto newline = chunk.rfind('\n');
      if (newline != std::string::npos) return from + newline + 1;
      at = from;
    }
    return floor;
  }

  // The line that starts at `offset`: its text (without the newline) and where the next starts.
  std::pair<std::string, std::uint64_t> LineAt(std::uint64_t offset) const {
    std::string line;
    for (std::uint64_t at = offset; at < end;) {
      const std::string chunk =
          ReadAt(file, at, static_cast<std::size_t>(std::min<std::uint64_t>(end - at, 4096)), path);
      const auto newline = chunk.find('\n');
      if (newline != std::string::npos) {
        line += chunk.substr(0, newline);
        return {line, at + newline + 1};
      }
      line += chunk;
      at += chunk.size();
    }
    return {line, end};
  }

  // Where the first line at or after byte `offset` starts (end when none).
  std::uint64_t NextLineStart(std::uint64_t offset) const {
    if (offset <= recordsStart) return recordsStart;
    return LineAt(offset - 1).second;
  }

  // The offset of the first record for which `after` holds, given that it holds for every record
  // after one for which it holds. Bisection narrows the range down; the end of it is read in order.
  std::uint64_t First(const std::function<bool(const nlohmann::json&)>& holds) const {
    std::uint64_t lo = recordsStart, hi = end;
    while (hi - lo > kScanWindow) {
      const std::uint64_t start = NextLineStart(lo + (hi - lo) / 2);
      if (start >= hi) {
        hi = lo + (hi - lo) / 2;
        continue;
      }
      // A damaged line tells nothing of where it stands: the first record after it decides for
      // both, so that the records before a damaged line are never taken to lie before the target.
      std::optional<nlohmann::json> record;
      std::uint64_t next = start;
      while (!record && next < hi) {
        const auto [line, after] = LineAt(next);
        record = Record(line);
        next = after;
      }
      if (!record || holds(*record))
        hi = start;
      else
        lo = next;
    }
    // The rest in order, a window at a time. Damaged lines just before the first record that
    // holds are part of what comes after: a reader from here passes over them and says so.
    std::uint64_t after = lo;  // just after the last record seen that does not hold
    for (std::uint64_t at = lo; at < end;) {
      const std::string window = ReadAt(
          file, at, static_cast<std::size_t>(std::min<std::uint64_t>(end - at, 4 * kScanWindow)),
          path);
      std::size_t begin = 0;
      for (auto newline = window.find('\n'); newline != std::string::npos;
           newline = window.find('\n', begin)) {
        const auto record = Record(std::string_view(window).substr(begin, newline - begin));
        if (record && holds(*record)) return after;
        begin = newline + 1;
        if (record) after = at + begin;
      }
      if (begin > 0) {
        at += begin;
        continue;
      }
      // A line longer than the window is read whole, and tested like any other.
      const auto [line, next] = LineAt(at);
      const auto record = Record(line);
      if (record && holds(*record)) return after;
      at = next;
      if (record) after = at;
    }
    return after;
  }

  // The records from `offset` on, each passed to `take` until it returns false. Lines that are
  // not records (damaged on disk) are passed over, each counted in `damaged`.
  void Read(std::uint64_t offset, const std::function<bool(nlohmann::json)>& take,
            std::uint64_t& damaged) const {
    std::string pending;
    for (std::uint64_t at = offset; at < end;) {
      const std::string chunk = ReadAt(
          file, at, static_cast<std::size_t>(std::min<std::uint64_t>(end - at, kChunk)), path);
      if (chunk.empty()) return;
      at += chunk.size();
      pending += chunk;
      std::size_t begin = 0;
      for (auto newline = pending.find('\n'); newline != std::string::npos;
           newline = pending.find('\n', begin)) {
        auto record = Record(std::string_view(pending).substr(begin, newline - begin));
        begin = newline + 1;
        // A line that is not a record (damaged on disk) is passed over alone, not fatal.
        if (!record) {
          ++damaged;
          continue;
        }
        if (!take(std::move(*record))) return;
      }
      pending.erase(0, begin);
    }
  }

  // The identifier of the last record; firstId - 1 when there is none.
  std::uint64_t LastId() const {
    std::uint64_t at = end;
    while (at > recordsStart) {
      // Back over one line: to the newline before the one that ends it.
      const std::uint64_t start = AfterLastNewline(at - 1, recordsStart);
      const auto record = ParseLine(LineAt(start).first);
      if (record && IdOf(*record)) return *IdOf(*record);
      at = start;
    }
    return firstId - 1;
  }

  fs::path path;
  SharedFile file;
  std::uint64_t size = 0, end = 0, recordsStart = 0, firstId = 1;
  bool unstarted = false;
};

// The journal's lock, held while this object lives: a byte of a file of its own, so that readers,
// who take no lock, can read the journal itself on Windows. The file also keeps the last
// identifier given, so that none is given twice even when the journal's files were removed.
class WriteLock {
 public:
  explicit WriteLock(const fs::path& journal)
      : path(journal.string() + ".lock"), file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS) {
    if (!file.Open()) Fail("lock", path);
    KeepToOwner(path);
    OVERLAPPED firstByte = {};
    if (!LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &firstByte)) Fail("lock", path);
  }

  std::uint64_t LastGiven() const {
    const std::string text = ReadAt(file, 0, 32, path);
    return std::strtoull(text.c_str(), nullptr, 10);
  }
  void Given(std::uint64_t id) const {
    Seek(file, 0, path);
    char text[24];
    const int length =
        std::snprintf(text, sizeof text, "%-20llu\n", static_cast<unsigned long long>(id));
    DWORD written = 0;
    if (!WriteFile(file.handle, text, static_cast<DWORD>(length), &written, nullptr))
      Fail("write", path);
  }

 private:
  fs::path path;
  SharedFile file;  // closing it lets the lock go
};

void WriteAll(const SharedFile& file, const std::string& bytes, const fs::path& path) {
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(file.handle, zero, nullptr, FILE_END)) Fail("write", path);
  DWORD written = 0;
  if (!WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    Fail("write", path);
  if (!FlushFileBuffers(file.handle)) Fail("write", path);
}

std::string HeaderLine(std::uint64_t firstId) {
  return nlohmann::json{
             {"format", kFormat}, {"formatVersion", Journal::kFormatVersion}, {"firstId", firstId}}
             .dump() +
         "\n";
}

// The last identifier the older generation gave, 0 when there is none.
std::uint64_t OlderLastId(const fs::path& path) {
  Generation older(Older(path), GENERIC_READ, OPEN_EXISTING);
  if (!older.file.Open() || !older.Scan()) return 0;
  return older.LastId();
}

}  // namespace

fs::path Journal::PathFor(const fs::path& statePath, bool simulate) {
  if (simulate) return statePath.string() + ".journal";
  return statePath.parent_path() / "driver.journal";
}

Journal::Journal(fs::path path, std::uint64_t maxBytes)
    : path(std::move(path)), maxBytes(maxBytes) {}

std::uint64_t Journal::Append(nlohmann::json record) const {
  std::vector<nlohmann::json> one;
  one.push_back(std::move(record));
  return Append(std::move(one)).front();
}

std::vector<std::uint64_t> Journal::Append(std::vector<nlohmann::json> records) const {
  if (records.empty()) return {};
  std::error_code ignored;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ignored);
  WriteLock lock(path);
  auto current = std::make_unique<Generation>(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  if (!current->file.Open()) Fail("open", path);
  KeepToOwner(path);
  std::uint64_t last;
  if (current->Scan()) {
    // A line without its newline is an append that died midway: it goes before this one starts.
    if (current->end < current->size) {
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<std::int64_t>(current->end);
      if (!SetFilePointerEx(current->file.handle, at, nullptr, FILE_BEGIN) ||
          !SetEndOfFile(current->file.handle))
        Fail("repair", path);
    }
    last = current->LastId();
  } else if (!current->unstarted) {
    throw StateFileError("the journal " + path.string() +
                         " does not start as a veskctl journal does; it was left untouched. Move "
                         "it away to start a new one.");
  } else {
    // New, or torn before its header was whole: it starts where the older generation ended.
    last = std::max(OlderLastId(path), lock.LastGiven());
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(current->file.handle, zero, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(current->file.handle))
      Fail("repair", path);
    WriteAll(current->file, HeaderLine(last + 1), path);
    current->Scan();
  }

  last = std::max(last, lock.LastGiven());
  std::vector<std::uint64_t> ids;
  std::string lines;
  const std::string now = EventTime();
  for (auto& record : records) {
    record["id"] = ++last;
    if (!record.contains("time")) record["time"] = now;
    ids.push_back(last);
    lines += record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  lock.Given(last);
  if (current->end > current->recordsStart && current->end + lines.size() > maxBytes) {
    // Rotation that fails (a reader on Windows holding the older generation open without leave
    // to delete) is tried again by the next append; the journal is then only over its bound.
    current.reset();
    if (MoveFileExW(path.wstring().c_str(), Older(path).wstring().c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      SharedFile fresh(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
      if (!fresh.Open()) Fail("start", path);
      WriteAll(fresh, HeaderLine(ids.front()) + lines, path);
      return ids;
    }
    current = std::make_unique<Generation>(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    KeepToOwner(path);
    if (!current->file.Open()) Fail("open", path);
  }
  WriteAll(current->file, lines, path);
  return ids;
}

std::uint64_t Journal::LastId() const {
  for (int attempt = 0; attempt < 3; ++attempt) {
    Generation current(path, GENERIC_READ, OPEN_EXISTING);
    if (!current.file.Open()) {
      if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
        Fail("read", path);
      return OlderLastId(path);
    }
    if (current.Scan()) return current.LastId();
  }
  return OlderLastId(path);
}

Journal::Slice Journal::After(std::uint64_t after, std::size_t limit) const {
  // A rotation between opening the two generations would skip the records it moved: read again.
  for (int attempt = 0;; ++attempt) {
    Slice slice;
    Generation older(Older(path), GENERIC_READ, OPEN_EXISTING);
    Generation current(path, GENERIC_READ, OPEN_EXISTING);
    if (!current.file.Open() && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
      Fail("read", path);
    const bool hasOlder = older.file.Open() && older.Scan();
    const bool hasCurrent = current.file.Open() && current.Scan();
    slice.oldestHeld = hasOlder ? older.firstId : hasCurrent ? current.firstId : after + 1;
    std::uint64_t last = after, damagedBefore = 0;
    const auto take = [&](nlohmann::json record) {
      const std::uint64_t id = *IdOf(record);
      if (id <= last) return true;  // read twice across a rotation
      last = id;
      damagedBefore = slice.damaged;
      slice.records.push_back(std::move(record));
      return slice.records.size() < limit;
    };
    const auto laterThan = [after](const nlohmann::json& r) { return IdOf(r) > after; };
    if (hasOlder && (!hasCurrent || after + 1 < current.firstId))
      older.Read(older.First(laterThan), take, slice.damaged);
    if (hasCurrent && slice.records.size() < limit) {
      const bool continuous = last + 1 >= current.firstId || !hasOlder;
      if (!continuous && attempt < 3) continue;
      current.Read(current.First(laterThan), take, slice.damaged);
    }
    slice.gap = after + 1 < slice.oldestHeld;
    slice.trailingDamaged = slice.damaged - damagedBefore;
    return slice;
  }
}

std::uint64_t Journal::LastBefore(std::int64_t unixMs) const {
  const auto notBefore = [unixMs](const nlohmann::json& r) {
    auto time = r.find("time");
    if (time == r.end() || !time->is_string()) return false;
    const auto ms = ParseEventTime(time->get<std::string>());
    return ms && *ms >= unixMs && IdOf(r);
  };
  for (const fs::path& file : {Older(path), path}) {
    Generation generation(file, GENERIC_READ, OPEN_EXISTING);
    if (!generation.file.Open() || !generation.Scan()) continue;
    // The first record from where the search ended, past damaged lines.
    for (std::uint64_t at = generation.First(notBefore); at < generation.end;) {
      const auto [line, next] = generation.LineAt(at);
      if (const auto record = Record(line)) return *IdOf(*record) - 1;
      at = next;
    }
  }
  return LastId();
}

std::string RecordField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

MonitorEvent RecordEvent(const nlohmann::json& record) {
  const auto text = RecordField;
  const auto value = [&](const char* key, const char* nameKey) -> std::optional<EventValue> {
    auto it = record.find(key);
    const std::string name = text(record, nameKey);
    // A value of nothing that has a name ("none") was there; one without a name was not.
    if (it == record.end() || (it->is_null() && name.empty())) return std::nullopt;
    EventValue v{*it, name};
    // An enumeration's name is a word; a number's own name (a size: "1.8 TB") starts with digits.
    v.enumeration =
        it->is_number() && !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
    return v;
  };
  MonitorEvent e;
  e.time = text(record, "time");
  e.kind = text(record, "kind");
  if (auto element = record.find("element"); element != record.end() && element->is_object()) {
    e.elementKind = text(*element, "kind");
    e.elementId = text(*element, "id");
    e.elementName = text(*element, "name");
  }
  e.property = text(record, "property");
  e.oldValue = value("old", "oldName");
  e.newValue = value("new", "newName");
  e.detail = text(record, "detail");
  return e;
}

std::string RecordText(const nlohmann::json& record) {
  const auto id = IdOf(record);
  return "#" + (id ? std::to_string(*id) : std::string("?")) + "  " +
         EventText(RecordEvent(record));
}

std::optional<std::int64_t> ParseEventTime(const std::string& text) {
  int year, month, day, hour, minute;
  double second = 0;
  char zone = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%c%n", &year, &month, &day, &hour, &minute,
                  &second, &zone, &used) != 7 ||
      zone != 'Z' || static_cast<std::size_t>(used) != text.size())
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second < 0 ||
      second >= 61)
    return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month),
                                         std::chrono::day(day)};
  if (!date.ok()) return std::nullopt;
  const auto days = std::chrono::sys_days(date).time_since_epoch().count();
  return (static_cast<std::int64_t>(days) * 86400 + hour * 3600 + minute * 60) * 1000 +
         static_cast<std::int64_t>(second * 1000 + 0.5);
}

}  // namespace veskctl
