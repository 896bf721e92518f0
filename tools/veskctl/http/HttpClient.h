// The one HTTP client in veskctl: the monitor's posts to a webhook. Plain HTTP only: there is no
// TLS library in every build (the Windows build has none), so a receiver that must be reached
// over TLS sits behind a local relay. One request per connection, no redirects followed: what
// the receiver answers is what counts.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veskctl {

struct HttpUrl {
  std::string host;    // as written: "127.0.0.1", "[::1]", "alerts.example"
  std::string port;    // "80" when the URL has none
  std::string target;  // "/hooks/vesk?x=1"; "/" when the URL has no path
};

// Parses `http://HOST[:PORT][/PATH]`. UsageError naming `option` and what is wrong with it
// otherwise (another scheme, user information, no host, a bad port, a fragment).
HttpUrl ParseHttpUrl(const std::string& text, const std::string& option);

struct HttpPosted {
  bool stopped = false;                // `stopRequested` said so before an answer came
  std::optional<std::string> failure;  // empty: the receiver answered 2xx
};

// Posts `body` as application/json with `headers` and waits up to `timeoutSeconds` for the
// answer's status line and headers (a body is not waited for). A failure is what went wrong, in
// words: "cannot connect to HOST:PORT: ...", "HOST:PORT answered 503 Service Unavailable", "no
// answer from HOST:PORT within 2 s". `stopRequested` is asked every few tens of milliseconds.
HttpPosted HttpPost(const HttpUrl& url,
                    const std::vector<std::pair<std::string, std::string>>& headers,
                    const std::string& body, double timeoutSeconds,
                    const std::function<bool()>& stopRequested);

}  // namespace veskctl
