// People's own tokens for the console (`veskctl console-user`), so that the journal says who did
// what through it. A token is shown once, when it is made; the users file beside the console's
// token file keeps only a salted hash of it, readable by the user who runs the console alone. The
// console reads the file whenever a token is presented, so a person added or removed while it
// runs is honoured at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veskctl {

struct ConsoleUser {
  std::string name;
  std::string added;  // "2024-05-01T12:00:00.123Z"
  std::string salt, hash;
};

// Beside the console's token file: "s.json.console-token" -> "s.json.console-users".
std::filesystem::path ConsoleUsersPath(const std::filesystem::path& tokenPath);

// The users in the file, as added; none without the file. StateFileError for a file that cannot
// be read, is not the users file, or (on POSIX) that another user owns or others may read or write.
std::vector<ConsoleUser> ReadConsoleUsers(const std::filesystem::path& path);
// The user whose token `token` is.
std::optional<ConsoleUser> ConsoleUserOf(const std::vector<ConsoleUser>& users,
                                         const std::string& token);
// Adds `name` with a new token; answers the user and the token. UsageError for a name that is not
// a plain short name, or that is taken.
std::pair<ConsoleUser, std::string> AddConsoleUser(const std::filesystem::path& path,
                                                   const std::string& name);
// UsageError when there is no such user.
ConsoleUser RemoveConsoleUser(const std::filesystem::path& path, const std::string& name);

// Replaces `path` with `content` atomically, readable and writable by its owner alone (mode 0600;
// on Windows a protected access list of one entry, for the owner). StateFileError naming `what`.
void WritePrivateFile(const std::filesystem::path& path, const std::string& content,
                      const std::string& what);

}  // namespace veskctl
