#include "tools/veskctl/console/Sessions.h"

#include <algorithm>

#include "tools/veskctl/base/Secrets.h"

namespace veskctl {

namespace {

constexpr std::size_t kSessionBytes = 32;

}  // namespace

Sessions::Sessions(Clock::duration idle, std::size_t most) : idle(idle), most(most) {}

std::string Sessions::Start(const SessionHolder& holder) {
  const std::string value = RandomHex(kSessionBytes);
  const auto now = Clock::now();
  std::lock_guard lock(mutex);
  for (auto it = held.begin(); it != held.end();)
    it = now - it->second.used > idle ? held.erase(it) : std::next(it);
  if (held.size() >= most) {
    held.erase(std::min_element(held.begin(), held.end(), [](const auto& a, const auto& b) {
      return a.second.used < b.second.used;
    }));
  }
  held[Sha1Hex(value)] = {{holder, RandomHex(20)}, now};
  return value;
}

std::optional<Sessions::Session> Sessions::Use(const std::string& value) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex);
  const auto it = held.find(Sha1Hex(value));
  if (it == held.end()) return std::nullopt;
  if (now - it->second.used > idle) {
    held.erase(it);
    return std::nullopt;
  }
  it->second.used = now;
  return it->second.session;
}

void Sessions::End(const std::string& value) {
  std::lock_guard lock(mutex);
  held.erase(Sha1Hex(value));
}

}  // namespace veskctl
