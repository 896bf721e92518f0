#include "tools/veskctl/StateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace veskctl {

namespace fs = std::filesystem;

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
    base = fs::temp_directory_path();
  }
  return base / "vesk" / "veskctl.json";
}

StateFile::StateFile(fs::path path) : path(std::move(path)) {
  std::error_code ignored;
  if (this->path.has_parent_path()) fs::create_directories(this->path.parent_path(), ignored);
  // The lock lives beside the state file, so that replacing the state by rename keeps it.
  const std::string lockPath = this->path.string() + ".lock";
  lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0) {
    throw StateFileError("cannot open the lock file " + lockPath + ": " +
                         std::generic_category().message(errno));
  }
  while (::flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(lockFd);
      throw StateFileError("cannot lock " + lockPath + ": " +
                           std::generic_category().message(errno));
    }
  }
}

StateFile::~StateFile() {
  if (lockFd >= 0) ::close(lockFd);  // closing releases the lock
}

std::optional<nlohmann::json> StateFile::Load() const {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (!fs::exists(path)) return std::nullopt;
    throw StateFileError("cannot read the state file " + path.string());
  }
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::exception& e) {
    throw StateFileError("the state file " + path.string() + " is corrupt (" + e.what() +
                         "); it was left untouched. Run 'veskctl sim reset' to start over.");
  }
  if (!document.is_object() || !document.contains("formatVersion") ||
      !document["formatVersion"].is_number_integer() || !document.contains("machine")) {
    throw StateFileError("the state file " + path.string() +
                         " is not a veskctl state file; it was left untouched. Run 'veskctl "
                         "sim reset' to start over.");
  }
  const int version = document["formatVersion"].get<int>();
  if (version != kFormatVersion) {
    throw StateFileError("the state file " + path.string() + " has format version " +
                         std::to_string(version) + ", this veskctl reads version " +
                         std::to_string(kFormatVersion) +
                         "; it was left untouched. Run 'veskctl sim reset' to start over.");
  }
  savedAtMs = document.value("savedAtMs", 0LL);
  return document["machine"];
}

void StateFile::Save(const nlohmann::json& machine) const {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  nlohmann::json document = {{"format", "veskctl-state"},
                             {"formatVersion", kFormatVersion},
                             {"savedAtMs", now},
                             {"machine", machine}};
  const fs::path aside = path.string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << document.dump(2) << '\n';
    out.flush();
    if (!out) throw StateFileError("cannot write the state file " + aside.string());
  }
  std::error_code error;
  fs::rename(aside, path, error);
  if (error) {
    throw StateFileError("cannot replace the state file " + path.string() + ": " + error.message());
  }
}

void StateFile::Remove() const {
  std::error_code ignored;
  fs::remove(path, ignored);
}

}  // namespace veskctl
