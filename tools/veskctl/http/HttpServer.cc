#include "tools/veskctl/http/HttpServer.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>

#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Json.h"

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace veskctl {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
// A concrete executor rather than Asio's type-erased one: the names of the templates it makes
// stay short enough for a Windows object file.
using Executor = net::io_context::executor_type;
using Stream = beast::basic_stream<tcp, Executor, beast::unlimited_rate_policy>;

namespace {

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string Decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 &&
               Hex(text[i + 2]) >= 0) {
      out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// What every answer carries: nothing is cached, nothing framed, nothing sniffed, no referrer
// leaks the address with its token, and the page runs only what the server itself serves.
template <typename Message>
void Guard(Message& m) {
  m.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  m.set("X-Content-Type-Options", "nosniff");
  m.set("Cache-Control", "no-store");
  m.set("Referrer-Policy", "no-referrer");
  m.set(http::field::server, "veskctl");
}

// In the shape of every JSON answer of veskctl's.
std::string ErrorBody(const std::string& message) {
  return nlohmann::json({{"schemaVersion", kJsonSchemaVersion},
                         {"status", FailureStatus("http", message, 0, 0)}})
             .dump(2) +
         "\n";
}

// The commands a handler runs must not get the server's sockets: one that outlives the server
// would keep its port. Asio makes them inheritable (POSIX: without close-on-exec; Windows:
// Winsock's default). RunSelf closes what a child gets anyway; this covers every other program.
void NotInherited(tcp::socket::native_handle_type handle) {
#ifdef _WIN32
  SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(handle)), HANDLE_FLAG_INHERIT,
                       0);
#else
  ::fcntl(handle, F_SETFD, FD_CLOEXEC);
#endif
}

std::chrono::steady_clock::duration Span(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerCaseName) const {
  auto at = headers.find(lowerCaseName);
  return at == headers.end() ? std::string() : at->second;
}

std::pair<std::string, unsigned> SplitListenAddress(const std::string& text,
                                                    const std::string& option) {
  static const std::regex form(R"(^(\[([0-9A-Fa-f:.]+)\]|([0-9.]+)):([0-9]{1,5})$)");
  std::smatch m;
  bool ok = std::regex_match(text, m, form) && std::stoul(m[4]) <= 65535;
  if (ok) {
    boost::system::error_code ec;
    const auto address = net::ip::make_address(m[2].matched ? m[2].str() : m[3].str(), ec);
    ok = !ec && address.is_v6() == m[2].matched;
  }
  if (!ok) {
    throw UsageError(option + ": '" + text +
                     "' is not ADDR:PORT (an IPv4 address, or an IPv6 address in brackets, and a "
                     "port from 0 to 65535)");
  }
  return {m[1].str(), static_cast<unsigned>(std::stoul(m[4]))};
}

namespace {

std::optional<net::ip::address> AddressOf(const std::string& host) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  boost::system::error_code ec;
  const auto address = net::ip::make_address(bare, ec);
  if (ec) return std::nullopt;
  return address;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  const auto address = AddressOf(host);
  return address && address->is_loopback();
}

bool IsAddressHost(const std::string& host) { return AddressOf(host).has_value(); }

bool IsUnspecifiedHost(const std::string& host) {
  const auto address = AddressOf(host);
  return address && address->is_unspecified();
}

class HttpServer::Impl {
 public:
  Impl(const std::string& text, Handler handler, HttpLimits limits)
      : handler(std::move(handler)), limits(limits), acceptor(context) {
    auto [host, port] = SplitListenAddress(text, "--listen");
    const std::string bare = host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    const tcp::endpoint endpoint(net::ip::make_address(bare), static_cast<unsigned short>(port));
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
    // A server started again at once gets its port back though the last one's connections linger
    // (on Windows this option would let another program take a port in use: it is left off).
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error(ec.message());
    NotInherited(acceptor.native_handle());
    this->host = host;
    this->port = acceptor.local_endpoint().port();
    address = host + ":" + std::to_string(this->port);
    Accept();
    thread = std::thread([this] { context.run(); });
  }

  ~Impl() { Stop(); }

  void Stop() {
    {
      std::lock_guard lock(mutex);
      if (stopping) {
        if (thread.joinable()) thread.join();
        return;
      }
      stopping = true;
      for (auto& c : connections) c->Close();
    }
    net::post(context, [this] {
      boost::system::error_code ignored;
      acceptor.close(ignored);
      retry.cancel();
    });
    if (thread.joinable()) thread.join();
    std::list<std::shared_ptr<Connection>> all;
    {
      std::lock_guard lock(mutex);
      all.swap(connections);
    }
    for (auto& c : all)
      if (c->thread.joinable()) c->thread.join();
  }

  std::string host, address;
  unsigned port = 0;

 private:
  class Connection : public HttpExchange {
   public:
    explicit Connection(Impl& server) : server(server), stream(context.get_executor()) {}

    void Answer(HttpResponse r) override {
      if (answered) return;
      answered = true;
      http::response<http::string_body> res{static_cast<http::status>(r.status), 11};
      Guard(res);
      res.set(http::field::content_type, r.contentType);
      for (const auto& [name, value] : r.headers) res.set(name, value);
      res.keep_alive(keepAlive && !server.Stopping());
      res.body() = std::move(r.body);
      res.prepare_payload();
      stream.expires_after(std::chrono::seconds(30));
      if (Await([&](auto done) { http::async_write(stream, res, done); })) keepAlive = false;
    }

    bool Begin(HttpResponse r) override {
      if (answered) return false;
      answered = true;
      keepAlive = false;  // an event stream ends with its connection
      http::response<http::empty_body> res{static_cast<http::status>(r.status), 11};
      Guard(res);
      res.set(http::field::content_type, r.contentType);
      for (const auto& [name, value] : r.headers) res.set(name, value);
      res.chunked(true);
      http::response_serializer<http::empty_body> serializer(res);
      stream.expires_after(std::chrono::seconds(30));
      streaming = !Await([&](auto done) { http::async_write_header(stream, serializer, done); });
      return streaming;
    }

    bool Write(const std::string& piece) override {
      if (!streaming || server.Stopping()) return false;
      stream.expires_after(std::chrono::seconds(30));
      streaming = !Await(
          [&](auto done) { net::async_write(stream, http::make_chunk(net::buffer(piece)), done); });
      return streaming;
    }

    void Vouch() override { server.Vouch(*this); }

    // Called on the connection's own thread, while nothing else uses the socket: a peek that does
    // not wait.
    bool Gone() override {
      auto& socket = beast::get_lowest_layer(stream).socket();
      boost::system::error_code ec;
      socket.non_blocking(true, ec);
      char byte = 0;
      const std::size_t n = socket.receive(net::buffer(&byte, 1), tcp::socket::message_peek, ec);
      if (ec == net::error::would_block || ec == net::error::try_again) return false;
      return ec || n == 0;  // an end of file or a reset; bytes sent early are no sign of leaving
    }

    // Takes the connection's place for a newer one, if it is still waiting for a request: the
    // read is cancelled on the connection's own thread, which then says why and closes. The
    // server's mutex is held.
    void Evict() {
      evicted = true;
      net::post(context, [this] {
        if (reading) stream.cancel();
      });
    }

    // Ends the connection from another thread: what it waits for fails at once.
    void Close() {
      net::post(context, [this] {
        boost::system::error_code ignored;
        beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(stream).close();
      });
    }

    void Serve() {
      beast::flat_buffer buffer;
      while (keepAlive && !server.Stopping()) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(server.limits.bodyBytes);
        parser.header_limit(static_cast<std::uint32_t>(server.limits.headerBytes));
        // The time-out covers the whole request, not each piece: a client that sends a byte now
        // and then keeps no connection past it.
        const bool known = server.Waiting(*this);
        stream.expires_after(
            Span(known ? server.limits.idleSeconds : server.limits.requestSeconds));
        reading = true;
        const auto ec = Await([&](auto done) { http::async_read(stream, buffer, parser, done); });
        reading = false;
        if (server.Evicted(*this)) {
          Refuse(503,
                 "too many connections: this connection was idle and made room for a newer "
                 "one");
          break;
        }
        if (ec == http::error::body_limit) {
          Refuse(413, "the request's body is larger than " +
                          std::to_string(server.limits.bodyBytes) + " bytes");
          break;
        }
        if (ec == http::error::header_limit) {
          Refuse(431, "the request's header is too large");
          break;
        }
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::eof ||
            ec == net::error::connection_reset || ec == net::error::bad_descriptor)
          break;
        if (ec) {
          Refuse(400, "the request is not HTTP/1.1 as this server reads it");
          break;
        }
        const auto& message = parser.get();
        keepAlive = message.keep_alive();
        HttpRequest request;
        request.method = std::string(message.method_string());
        request.version = message.version();
        request.target = std::string(message.target());
        const auto question = request.target.find('?');
        request.path = request.target.substr(0, question);
        if (question != std::string::npos) {
          std::string rest = request.target.substr(question + 1);
          std::size_t at = 0;
          while (at <= rest.size()) {
            const auto amp = rest.find('&', at);
            const std::string pair =
                rest.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
            const auto eq = pair.find('=');
            if (!pair.empty())
              request.query[Decoded(pair.substr(0, eq))] =
                  eq == std::string::npos ? "" : Decoded(pair.substr(eq + 1));
            if (amp == std::string::npos) break;
            at = amp + 1;
          }
        }
        for (const auto& field : message)
          request.headers[Lower(std::string(field.name_string()))] = std::string(field.value());
        request.body = message.body();
        answered = streaming = false;
        try {
          server.handler(request, *this);
        } catch (const std::exception& e) {
          if (!answered) Refuse(500, std::string("the server failed: ") + e.what());
        }
        if (!answered) Refuse(500, "the server gave no answer");
        if (streaming) {
          if (!server.Stopping())
            Await([&](auto done) { net::async_write(stream, http::make_chunk_last(), done); });
          break;
        }
      }
      boost::system::error_code ignored;
      beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_send, ignored);
      beast::get_lowest_layer(stream).close();
      done = true;
      // Its thread and descriptors go now rather than at the next accept, which may be a while
      // off when descriptors ran out. (Nothing ends this connection before its thread ended.)
      Impl& owner = server;
      net::post(owner.context, [&owner] {
        std::lock_guard lock(owner.mutex);
        owner.Reap();
      });
    }

    void Refuse(int status, const std::string& message) {
      keepAlive = false;
      answered = false;
      HttpResponse r{status, "application/json", ErrorBody(message), {}};
      if (status == 503) r.headers.emplace_back("Retry-After", "1");
      Answer(std::move(r));
    }

    // Runs one operation to its end on the connection's own context. Returns its error.
    template <typename Start>
    beast::error_code Await(Start start) {
      beast::error_code result = net::error::operation_aborted;
      start([&result](beast::error_code ec, std::size_t) { result = ec; });
      context.restart();
      context.run();
      return result;
    }

    Impl& server;
    net::io_context context;
    Stream stream;
    std::thread thread;
    std::atomic<bool> done{false};
    bool keepAlive = true, answered = false, streaming = false;
    bool reading = false;  // the connection's own thread's, and what it runs
    // The server's, under its mutex: where the connection stands in the pools.
    std::string from;  // the client's address
    bool vouched = false, waiting = true, evicted = false;
    std::uint64_t waitingSince = 0;  // an order, not a time: the smaller waits the longer
  };

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  // Before it reads a request: whether it was vouched for.
  bool Waiting(Connection& c) {
    std::lock_guard lock(mutex);
    // A new connection keeps the place it got when accepted: its thread may start after a later
    // one's, and the oldest is the one to make room.
    if (!c.waiting) c.waitingSince = ++order;
    c.waiting = true;
    return c.vouched;
  }

  // Once it read one (or failed to): whether it was evicted meanwhile.
  bool Evicted(Connection& c) {
    std::lock_guard lock(mutex);
    c.waiting = false;
    return c.evicted;
  }

  void Vouch(Connection& c) {
    std::lock_guard lock(mutex);
    if (c.vouched) return;
    std::size_t vouched = 0;
    for (const auto& other : connections) vouched += other->vouched && !other->done;
    c.vouched = vouched < limits.connections;
  }

  // Joins the threads of the connections that ended, and lets their descriptors go. The mutex is
  // held.
  void Reap() {
    connections.remove_if([](const std::shared_ptr<Connection>& c) {
      if (!c->done) return false;
      c->thread.join();
      return true;
    });
  }

  // Out of descriptors, memory or threads the server stops accepting for a moment: the clients
  // wait in the listen queue (or give up), the connections it has go on, and so does the process.
  void Accept() {
    std::shared_ptr<Connection> connection;
    try {
      {
        std::lock_guard lock(mutex);
        Reap();
      }
      connection = std::make_shared<Connection>(*this);
    } catch (const std::exception&) {
      AcceptLater();
      return;
    }
    acceptor.async_accept(beast::get_lowest_layer(connection->stream).socket(),
                          [this, connection](boost::system::error_code ec) {
                            if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
                            if (ec && ec != net::error::connection_aborted) {
                              AcceptLater();
                              return;
                            }
                            try {
                              if (!ec) Start(connection);
                            } catch (const std::exception&) {
                              AcceptLater();
                              return;
                            }
                            Accept();
                          });
  }

  void AcceptLater() {
    retry.expires_after(std::chrono::milliseconds(100));
    retry.async_wait([this](boost::system::error_code ec) {
      if (!ec && acceptor.is_open()) Accept();
    });
  }

  void Start(const std::shared_ptr<Connection>& connection) {
    auto& socket = beast::get_lowest_layer(connection->stream).socket();
    NotInherited(socket.native_handle());
    boost::system::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec) return;  // gone already
    std::lock_guard lock(mutex);
    if (stopping) return;
    connection->from = remote.address().to_string();
    connection->waitingSince = ++order;
    // Past a limit, the newcomer takes the place of the connection that has waited longest for
    // a request, rather than being refused: a flood of idle sockets then holds no slot for long,
    // and a page that sends its request as soon as it connects gets in. Refusing the newcomer
    // would lock every page out for as long as the flood is kept up. Only when all are busy
    // (answers being made, streams) is the newcomer refused.
    std::size_t anonymous = 0, fromThere = 0;
    Connection *oldest = nullptr, *oldestThere = nullptr;
    for (const auto& c : connections) {
      if (c->vouched || c->evicted || c->done) continue;
      const bool there = c->from == connection->from;
      ++anonymous;
      fromThere += there;
      if (!c->waiting) continue;
      if (!oldest || c->waitingSince < oldest->waitingSince) oldest = c.get();
      if (there && (!oldestThere || c->waitingSince < oldestThere->waitingSince))
        oldestThere = c.get();
    }
    std::string refusal;
    if (fromThere >= limits.perAddress) {
      if (oldestThere)
        oldestThere->Evict();
      else
        refusal = "too many connections from " + connection->from + ": at most " +
                  std::to_string(limits.perAddress) + " at a time before signing in";
    } else if (anonymous >= limits.anonymous) {
      if (oldest)
        oldest->Evict();
      else
        refusal = "too many connections: at most " + std::to_string(limits.anonymous) +
                  " at a time before signing in";
    }
    if (!refusal.empty()) {
      // Said at once and plainly: the client is not kept waiting for a slot. The socket does not
      // wait either: the answer fits in its buffer, or the client does not read.
      http::response<http::string_body> res{http::status::service_unavailable, 11};
      Guard(res);
      res.set(http::field::content_type, "application/json");
      res.set(http::field::retry_after, "1");
      res.keep_alive(false);
      res.body() = ErrorBody(refusal);
      res.prepare_payload();
      boost::system::error_code ignored;
      socket.non_blocking(true, ignored);
      http::write(socket, res, ignored);
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(ignored);
      return;
    }
    Connection* c = connection.get();
    try {
      c->thread = std::thread([c] { c->Serve(); });
    } catch (const std::system_error&) {
      return;  // no thread to be had: the connection closes with its socket
    }
    connections.push_back(connection);
  }

  Handler handler;
  HttpLimits limits;
  net::io_context context;
  tcp::acceptor acceptor;
  net::steady_timer retry{context};
  std::thread thread;
  std::mutex mutex;
  bool stopping = false;
  std::uint64_t order = 0;
  std::list<std::shared_ptr<Connection>> connections;
};

HttpServer::HttpServer(const std::string& address, Handler handler, HttpLimits limits)
    : impl(std::make_unique<Impl>(address, std::move(handler), limits)) {}
HttpServer::~HttpServer() = default;
const std::string& HttpServer::Address() const { return impl->address; }
const std::string& HttpServer::Host() const { return impl->host; }
unsigned HttpServer::Port() const { return impl->port; }
void HttpServer::Stop() { impl->Stop(); }

}  // namespace veskctl
