#include "tools/veskctl/console/ConsoleUsers.h"

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>

#include "platform/win32.h"
#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Secrets.h"
#include "tools/veskctl/journal/Event.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace veskctl {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kMostNameBytes = 32;

bool PlainName(const std::string& name) {
  if (name.empty() || name.size() > kMostNameBytes) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

std::string HashOf(const std::string& salt, const std::string& token) {
  return Sha1Hex(salt + ":" + token);
}

fs::path FolderMadeFor(const fs::path& path) {
  std::error_code ignored;
  fs::create_directories(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ignored);
  return path;
}

// Two runs that change the users file at once would each write the list they read, and one
// person's token would be lost: the second waits for the first, on a lock file beside it.
class ChangeLock {
 public:
  explicit ChangeLock(const fs::path& users)
      : path(FolderMadeFor(users.string() + ".lock")),
        file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS) {
    OVERLAPPED firstByte = {};
    if (!file.Open() || !LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &firstByte))
      throw StateFileError("cannot lock the console's users file " + path.string() + ": " +
                           FileErrorText(GetLastError()));
    KeepToOwner(path);
  }

 private:
  const fs::path path;
  const SharedFile file;  // closing it lets the lock go
};

void Save(const fs::path& path, const std::vector<ConsoleUser>& users) {
  json list = json::array();
  for (const auto& u : users)
    list.push_back({{"name", u.name}, {"added", u.added}, {"salt", u.salt}, {"hash", u.hash}});
  WritePrivateFile(path, json({{"consoleUsers", list}}).dump(2) + "\n", "the console's users file");
}

}  // namespace

fs::path ConsoleUsersPath(const fs::path& tokenPath) {
  fs::path path = tokenPath;
  return path.replace_extension(".console-users");
}

void WritePrivateFile(const fs::path& path, const std::string& content, const std::string& what) {
  std::error_code ec;
  fs::create_directories(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec);
  // Written aside and renamed over the file: the console, which reads it at any time, sees the
  // old content or the new, never half of it.
  static std::atomic<unsigned> writes{0};
  const fs::path aside = path.string() + ".new." + std::to_string(GetCurrentProcessId()) + "." +
                         std::to_string(++writes);
#ifdef _WIN32
  // Only its owner may open it: a protected list of one entry, for the owner.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    throw StateFileError("cannot make " + what + " private: Windows error " +
                         std::to_string(static_cast<std::uint32_t>(GetLastError())));
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  HANDLE file = CreateFileW(aside.wstring().c_str(), GENERIC_WRITE, 0, &security, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  const auto error = static_cast<std::uint32_t>(GetLastError());
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE)
    throw StateFileError("cannot write " + what + " " + path.string() + ": Windows error " +
                         std::to_string(error));
  DWORD written = 0;
  const bool ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size() && FlushFileBuffers(file);
  CloseHandle(file);
  const std::string reason = "Windows error " + std::to_string(GetLastError());
#else
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool ok =
      fd >= 0 && ::fchmod(fd, 0600) == 0 &&
      ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
      ::fsync(fd) == 0;
  const std::string reason = std::strerror(errno);
  if (fd >= 0) ::close(fd);
#endif
  if (ok) fs::rename(aside, path, ec);
  if (!ok || ec) {
    fs::remove(aside, ec);
    throw StateFileError("cannot write " + what + " " + path.string() + ": " +
                         (ok ? ec.message() : reason));
  }
}

std::vector<ConsoleUser> ReadConsoleUsers(const fs::path& path) {
  const auto text = ReadFileShared(path, "the console's users file");
  if (!text) return {};
  if (!IsPrivateFile(path))
    throw StateFileError("the console's users file " + path.string() +
                         " is another user's, or others may read or write it: make it yours "
                         "alone (chmod 600) or remove it");
  const json document = json::parse(*text, nullptr, false);
  std::vector<ConsoleUser> users;
  const auto list = document.is_object() ? document.find("consoleUsers") : document.end();
  if (list != document.end() && list->is_array()) {
    for (const auto& u : *list) {
      if (!u.is_object() || !u.value("name", json()).is_string() ||
          !u.value("added", json()).is_string() || !u.value("salt", json()).is_string() ||
          !u.value("hash", json()).is_string())
        break;
      users.push_back({u["name"], u["added"], u["salt"], u["hash"]});
    }
    if (users.size() == list->size()) return users;
  }
  throw StateFileError("the console's users file " + path.string() +
                       " is not one veskctl wrote: remove it, and add the users again");
}

std::optional<ConsoleUser> ConsoleUserOf(const std::vector<ConsoleUser>& users,
                                         const std::string& token) {
  for (const auto& user : users)
    if (SameSecret(HashOf(user.salt, token), user.hash)) return user;
  return std::nullopt;
}

std::pair<ConsoleUser, std::string> AddConsoleUser(const fs::path& path, const std::string& name) {
  if (!PlainName(name))
    throw UsageError("console-user: '" + name +
                     "' is not a name for a console user: up to 32 letters, digits, '.', '_' "
                     "and '-'");
  const ChangeLock lock(path);
  auto users = ReadConsoleUsers(path);
  for (const auto& user : users)
    if (user.name == name)
      throw UsageError("console-user: there is a console user named '" + name +
                       "' already (remove them first to give them a new token)");
  const std::string token = RandomHex(kTokenBytes);
  ConsoleUser user{name, EventTime(), RandomHex(kSaltBytes), ""};
  user.hash = HashOf(user.salt, token);
  users.push_back(user);
  Save(path, users);
  return {user, token};
}

ConsoleUser RemoveConsoleUser(const fs::path& path, const std::string& name) {
  const ChangeLock lock(path);
  auto users = ReadConsoleUsers(path);
  const auto it = std::find_if(users.begin(), users.end(),
                               [&](const ConsoleUser& u) { return u.name == name; });
  if (it == users.end())
    throw UsageError("console-user: no console user is named '" + name +
                     "' (see veskctl console-user list)");
  const ConsoleUser removed = *it;
  users.erase(it);
  Save(path, users);
  return removed;
}

}  // namespace veskctl
