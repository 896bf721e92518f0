#include "tools/veskctl/session/StateFile.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <thread>

#include "platform/win32.h"
#include "tools/veskctl/base/Files.h"

namespace veskctl {

namespace fs = std::filesystem;

namespace {

// A path as the user would type it again in a shell.
std::string ShellWord(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_./:@%+=,-") == std::string::npos)
    return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Line and column of the byte a JSON parser stopped at (1-based, as the parser counts bytes).
std::string Position(const std::string& text, std::size_t byte) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    column = text[i] == '\n' ? 1 : column + 1;
    line += text[i] == '\n' ? 1 : 0;
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

fs::path StateFile::DefaultPath() {
  if (const char* explicitPath = std::getenv("VESK_STATE"); explicitPath && *explicitPath) {
    return explicitPath;
  }
  fs::path base;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path(home) / ".local" / "state";
  } else if (const char* local = std::getenv("LOCALAPPDATA"); local && *local) {
    base = local;  // Windows: the user's own application data
  } else {
    // A shared folder such as /tmp would let any user of the machine replace the state.
    throw StateFileError(
        "there is no place for the state file: HOME is not set (nor VESK_STATE, XDG_STATE_HOME "
        "or LOCALAPPDATA); name the file with --state PATH or VESK_STATE");
  }
  return base / "vesk" / "veskctl.json";
}

StateFile::StateFile(fs::path path, const Options& options)
    : path(std::move(path)), options(options) {
  if (fs::is_directory(this->path)) {
    throw StateFileError("the state file " + this->path.string() +
                         " is a directory; name a file, such as " +
                         (this->path / "veskctl.json").string());
  }
  if (options.readOnly) return;
  std::error_code ignored;
  if (this->path.has_parent_path()) fs::create_directories(this->path.parent_path(), ignored);
  Lock();
}

StateFile::~StateFile() { Unlock(); }

void StateFile::Unlock() {
  if (lockFile != nullptr) CloseHandle(lockFile);  // closing releases the lock
  lockFile = nullptr;
}

// The lock is the first byte of a file of its own beside the state file: a locked range cannot
// be read through other handles on Windows, and readers never take the lock; and replacing the
// state by rename keeps it. It is polled rather than waited for, so that the run can say that it
// waits and can give up. The system lets it go when the run ends, however it ends.
void StateFile::Lock() {
  if (options.readOnly || lockFile != nullptr) return;
  const double timeoutSeconds = options.lockTimeoutSeconds;
  const std::string lockPath = path.string() + ".lock";
  HANDLE file = CreateFileW(fs::path(lockPath).wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw StateFileError("cannot open the lock file " + lockPath + ": " +
                         FileErrorText(GetLastError()));
  lockFile = file;
  KeepToOwner(lockPath);
  const auto start = std::chrono::steady_clock::now();
  bool told = false;
  for (;;) {
    OVERLAPPED firstByte = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &firstByte))
      return;
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION) {
      Unlock();
      throw StateFileError("cannot lock " + lockPath + ": " + FileErrorText(error));
    }
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    if (!told && waited.count() >= 1.0) {
      std::cerr << "veskctl: waiting for another veskctl run to finish with " << path.string()
                << " (lock " << lockPath << ")\n";
      told = true;
    }
    if (timeoutSeconds >= 0 && waited.count() >= timeoutSeconds) {
      Unlock();
      std::ostringstream seconds;
      seconds << timeoutSeconds;
      throw StateFileBusy("another veskctl run still holds " + lockPath + "; gave up after " +
                          seconds.str() + " s (--lock-timeout)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kLockPollMs));
  }
}

StateFileUnusable StateFile::Unusable(const std::string& why) const {
  const std::string again = options.pathGiven
                                ? "veskctl --state " + ShellWord(path.string()) + " sim reset"
                                : "veskctl sim reset";
  const std::string reason = "the state file " + path.string() + " " + why;
  return StateFileUnusable(reason + "; it was left untouched. Run '" + again + "' to start over.",
                           reason);
}

std::optional<std::string> StateFile::Read() const {
  return ReadFileShared(path, "the state file");
}

std::optional<nlohmann::json> StateFile::Parse(const std::optional<std::string>& text) const {
  if (!text) return std::nullopt;
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(*text);
  } catch (const nlohmann::json::parse_error& e) {
    throw Unusable("is not valid JSON (" + Position(*text, e.byte) + ")");
  }
  if (!document.is_object() || !document.contains("formatVersion") ||
      !document["formatVersion"].is_number_integer() || !document.contains("machine") ||
      !document["machine"].is_string()) {
    throw Unusable("is not a veskctl state file");
  }
  const auto version = document["formatVersion"].get<long long>();
  if (version != kFormatVersion) {
    throw Unusable("has format version " + std::to_string(version) +
                   ", this veskctl reads version " + std::to_string(kFormatVersion));
  }
  if (document.contains("savedAtMs") && document["savedAtMs"].is_number_integer())
    savedAtMs = document["savedAtMs"].get<long long>();
  if (document.contains("jobs")) savedJobs = document["jobs"];
  return document["machine"];
}

std::optional<nlohmann::json> StateFile::Load() const { return Parse(Read()); }

void StateFile::Save(const nlohmann::json& machine, const nlohmann::json& jobs) const {
  if (options.readOnly) throw std::logic_error("a read-only run saves nothing");
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  nlohmann::json document = {{"format", "veskctl-state"},
                             {"formatVersion", kFormatVersion},
                             {"savedAtMs", now},
                             {"machine", machine},
                             {"jobs", jobs}};
  const std::string text =
      document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';

  WriteFileAtomically(path, text, "the state file");
}

}  // namespace veskctl
