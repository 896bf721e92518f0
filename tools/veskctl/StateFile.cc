#include "tools/veskctl/StateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>
#include <thread>

namespace veskctl {

namespace fs = std::filesystem;

namespace {

std::string Why(int error) { return std::generic_category().message(error); }

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

void WriteAll(int fd, const std::string& text, const fs::path& file, const std::string& what) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      throw StateFileError("cannot write " + what + " " + file.string() + ": " + Why(errno));
    done += static_cast<std::size_t>(n);
  }
}

void Flush(int fd, const fs::path& what) {
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    throw StateFileError("cannot flush " + what.string() + " to disk: " + Why(error));
  }
}

}  // namespace

void WriteFileAtomically(const fs::path& path, const std::string& text, const std::string& what) {
  const fs::path aside = path.string() + ".new";
  int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw StateFileError("cannot write " + what + " " + aside.string() + ": " + Why(errno));
  try {
    WriteAll(fd, text, aside, what);
  } catch (...) {
    ::close(fd);
    throw;
  }
  // The content must be on disk before the name points at it, or a crash could leave an empty
  // file under the file's name.
  Flush(fd, aside);
  ::close(fd);
  if (::rename(aside.c_str(), path.c_str()) != 0) {
    throw StateFileError("cannot replace " + what + " " + path.string() + ": " + Why(errno));
  }
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) throw StateFileError("cannot open " + folder.string() + ": " + Why(errno));
  Flush(folderFd, folder);
  ::close(folderFd);
}

fs::path StateFile::DefaultPath() {
  if (const char* explicitPath = std::getenv("VESK_STATE"); explicitPath && *explicitPath) {
    return explicitPath;
  }
  fs::path base;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path(home) / ".local" / "state";
  } else {
    // A shared folder such as /tmp would let any user of the machine replace the state.
    throw StateFileError(
        "there is no place for the state file: HOME is not set (nor VESK_STATE or "
        "XDG_STATE_HOME); name the file with --state PATH or VESK_STATE");
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
  Lock(options.lockTimeoutSeconds);
}

StateFile::~StateFile() { Unlock(); }

void StateFile::Unlock() {
  if (lockFd >= 0) ::close(lockFd);  // closing releases the lock
  lockFd = -1;
}

// The lock lives beside the state file, so that replacing the state by rename keeps it. It is
// polled rather than waited for, so that the run can say that it waits and can give up.
void StateFile::Lock(double timeoutSeconds) {
  const std::string lockPath = path.string() + ".lock";
  lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0) throw StateFileError("cannot open the lock file " + lockPath + ": " + Why(errno));
  const auto start = std::chrono::steady_clock::now();
  bool told = false;
  for (;;) {
    if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) return;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      const int error = errno;
      ::close(lockFd);
      lockFd = -1;
      throw StateFileError("cannot lock " + lockPath + ": " + Why(error));
    }
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    if (!told && waited.count() >= 1.0) {
      std::cerr << "veskctl: waiting for another veskctl run to finish with " << path.string()
                << " (lock " << lockPath << ")\n";
      told = true;
    }
    if (timeoutSeconds >= 0 && waited.count() >= timeoutSeconds) {
      ::close(lockFd);
      lockFd = -1;
      std::ostringstream seconds;
      seconds << timeoutSeconds;
      throw StateFileBusy("another veskctl run still holds " + lockPath + "; gave up after " +
                          seconds.str() + " s (--lock-timeout)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

StateFileError StateFile::Unusable(const std::string& why) const {
  const std::string again = options.pathGiven
                                ? "veskctl --state " + ShellWord(path.string()) + " sim reset"
                                : "veskctl sim reset";
  return StateFileError("the state file " + path.string() + " " + why +
                        "; it was left untouched. Run '" + again + "' to start over.");
}

std::optional<nlohmann::json> StateFile::Load() const {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (!fs::exists(path)) return std::nullopt;
    throw StateFileError("cannot read the state file " + path.string() + ": " + Why(errno));
  }
  std::stringstream read;
  read << in.rdbuf();
  const std::string text = read.str();
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw Unusable("is not valid JSON (" + Position(text, e.byte) + ")");
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
