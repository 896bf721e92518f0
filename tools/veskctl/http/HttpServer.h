// The one HTTP server in veskctl: the console (`serve`) and the metrics of `monitor
// --metrics-listen`. Boost.Beast parses and writes the messages; each connection is served on a
// thread of its own, up to a limit, so that a long answer (an event stream, a command that takes a
// while) never holds up the others. The server knows nothing of routes or tokens: what a request
// may do is its handler's business. What it does itself is what every answer needs: the limits on
// size, connections and idleness, and the headers that keep a browser from misusing an answer.
//
// Connections are kept in two pools, so that anyone who can open a socket cannot crowd out those
// who can sign in: every connection starts in the small pool of connections nobody vouched for,
// and moves to its own pool once its handler vouches for it (HttpExchange::Vouch: the request
// showed the token). Running out of descriptors or threads refuses connections for a moment; it
// never ends the process.
//
// Thread safety: the handler is called on the connections' threads, several at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veskctl {

struct HttpRequest {
  std::string method;                          // "GET"
  std::string target;                          // as sent: "/api/events?after=3"
  std::string path;                            // "/api/events"
  std::map<std::string, std::string> query;    // decoded ("after" -> "3")
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  unsigned version = 11;  // HTTP/1.1 as 11, HTTP/1.0 as 10
  // The header's value, empty when it was not sent.
  std::string Header(const std::string& lowerCaseName) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// One request being answered.
class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  virtual void Answer(HttpResponse response) = 0;
  // Starts an answer whose body follows in pieces (chunked), for an event stream. Each returns
  // false once the client is gone or the server stops.
  virtual bool Begin(HttpResponse head) = 0;
  virtual bool Write(const std::string& piece) = 0;
  // The handler knows the client (it showed the token): its connection moves to the pool of
  // connections a flood of others cannot take (HttpLimits::connections), while there is room.
  virtual void Vouch() {}
  // Whether the client closed its end, asked between the pieces of a long answer: an event stream
  // that waits for something to send gives its connection back at once rather than at its next
  // write.
  virtual bool Gone() { return false; }
};

struct HttpLimits {
  std::size_t connections = 64;  // vouched for: more stay in the pool below
  // Not vouched for (yet), and of those from one address. A new connection past either takes the
  // place of the oldest of them waiting for a request, or is answered 503 and closed when all of
  // them are busy.
  std::size_t anonymous = 32;
  std::size_t perAddress = 16;
  std::size_t bodyBytes = 64 * 1024;  // a larger body: 413
  std::size_t headerBytes = 16 * 1024;
  // A connection not vouched for is closed when it has not sent a whole request this long after
  // it opened or after its last answer; one vouched for, after idleSeconds.
  double requestSeconds = 5;
  double idleSeconds = 60;
};

class HttpServer {
 public:
  using Handler = std::function<void(const HttpRequest&, HttpExchange&)>;

  // Listens at `address`, as SplitListenAddress takes it, and serves at once. std::runtime_error
  // when nothing can listen there.
  HttpServer(const std::string& address, Handler handler, HttpLimits limits = {});
  ~HttpServer();  // stops
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // The address it listens at, with the port it got: "127.0.0.1:9842", "[::1]:9842".
  const std::string& Address() const;
  const std::string& Host() const;  // "127.0.0.1", "[::1]"
  unsigned Port() const;
  // Ends every connection and stops listening; event streams see Write fail.
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl;
};

// Splits ADDR:PORT (an IPv4 address or an IPv6 address in brackets; numeric only, since nothing
// looks names up) into the address as written and the port. UsageError naming `option` when it is
// not that.
std::pair<std::string, unsigned> SplitListenAddress(const std::string& text,
                                                    const std::string& option);

// Whether the host part of an address ("127.0.0.1", "[::1]") is this machine's loopback.
bool IsLoopbackHost(const std::string& host);
// Whether it is an address at all (not a name), and whether it is 0.0.0.0 or [::].
bool IsAddressHost(const std::string& host);
bool IsUnspecifiedHost(const std::string& host);

}  // namespace veskctl
