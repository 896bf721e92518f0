// Who is signed in to the console. Opening the console with a token (the one `serve` printed or a
// person's own, ConsoleUsers.h) starts a session: a random value the browser keeps in a cookie,
// so that the token itself never travels again. Sessions live in this process alone (a restart
// ends them all), end when unused for the idle time, and are bounded in number, so that a token
// holder who signs in without end cannot grow the console's memory.
//
// Thread safety: every member may be called from any connection's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace veskctl {

struct SessionHolder {
  std::string user;  // the person's name, or the account that started the console
  // For a personal token, its hash as the users file had it at sign-in: when that entry goes
  // (removed, or replaced by a new token) the session goes with it. Empty for the console's token.
  std::string userHash;
};

class Sessions {
 public:
  using Clock = std::chrono::steady_clock;

  struct Session {
    SessionHolder holder;
    std::string csrf;  // the value its pages send as X-Vesk-Token
  };

  explicit Sessions(Clock::duration idle, std::size_t most = 1000);

  // A new session; answers its value, for the cookie. The least recently used session goes when
  // there are `most` already.
  std::string Start(const SessionHolder& holder);
  // The session of `value`, marked as used now; nothing when there is none or it was idle for
  // longer than the idle time (it is then ended).
  std::optional<Session> Use(const std::string& value);
  void End(const std::string& value);

 private:
  struct Held {
    Session session;
    Clock::time_point used;
  };

  const Clock::duration idle;
  const std::size_t most;
  std::mutex mutex;
  // By the hash of their value: looking a guess up tells nothing of how close it came.
  std::map<std::string, Held> held;
};

}  // namespace veskctl
