#include "tools/veskctl/http/HttpClient.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <regex>
#include <sstream>

#include "tools/veskctl/base/Files.h"

namespace veskctl {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

HttpUrl ParseHttpUrl(const std::string& text, const std::string& option) {
  const auto refuse = [&](const std::string& why) {
    throw UsageError(option + ": '" + text + "' " + why);
  };
  const auto scheme = text.find("://");
  if (scheme == std::string::npos) refuse("is not a URL (http://HOST[:PORT][/PATH])");
  std::string name = text.substr(0, scheme);
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "https")
    refuse("is https: veskctl posts plain HTTP only; reach a TLS receiver through a local relay");
  if (name != "http") refuse("is not an http:// URL");
  const std::string rest = text.substr(scheme + 3);
  const auto slash = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, slash);
  std::string target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (target.find('#') != std::string::npos)
    refuse("has a fragment (#...), which HTTP never sends");
  if (target.front() == '?') target.insert(0, "/");
  for (const char c : target)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
      refuse("has a space or control character in its path");
  if (authority.find('@') != std::string::npos)
    refuse("has user information (USER@): put a secret in --webhook-secret instead");
  static const std::regex form(R"(^(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+)(:([0-9]{1,5}))?$)");
  std::smatch m;
  if (!std::regex_match(authority, m, form)) refuse("has no host, or a host that is not one");
  HttpUrl url{m[1].str(), m[3].matched ? m[3].str() : "80", target};
  if (std::stoul(url.port) == 0 || std::stoul(url.port) > 65535)
    refuse("has a port outside 1 to 65535");
  return url;
}

HttpPosted HttpPost(const HttpUrl& url,
                    const std::vector<std::pair<std::string, std::string>>& headers,
                    const std::string& body, double timeoutSeconds,
                    const std::function<bool()>& stopRequested) {
  const std::string where = url.host + ":" + url.port;
  net::io_context io;
  tcp::resolver resolver(io);
  beast::tcp_stream stream(io);
  http::request<http::string_body> request{http::verb::post, url.target, 11};
  request.set(http::field::host, url.port == "80" ? url.host : where);
  request.set(http::field::content_type, "application/json");
  request.set(http::field::connection, "close");
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = body;
  request.prepare_payload();
  beast::flat_buffer buffer;
  http::response_parser<http::empty_body> answer;
  answer.skip(false);

  HttpPosted posted;
  bool done = false;
  const auto fail = [&](const std::string& failure) {
    posted.failure = failure;
    done = true;
  };
  const std::string bare =
      url.host.front() == '[' ? url.host.substr(1, url.host.size() - 2) : url.host;
  resolver.async_resolve(
      bare, url.port, [&](beast::error_code ec, tcp::resolver::results_type found) {
        if (ec) return fail("cannot find " + url.host + ": " + ec.message());
        stream.async_connect(found, [&](beast::error_code ec, const tcp::endpoint&) {
          if (ec) return fail("cannot connect to " + where + ": " + ec.message());
          http::async_write(stream, request, [&](beast::error_code ec, std::size_t) {
            if (ec) return fail("cannot post to " + where + ": " + ec.message());
            http::async_read_header(stream, buffer, answer, [&](beast::error_code ec, std::size_t) {
              if (ec) return fail(where + " gave no answer: " + ec.message());
              const auto& head = answer.get();
              const unsigned status = head.result_int();
              if (status < 200 || status > 299) {
                std::ostringstream text;
                text << where << " answered " << status;
                if (!head.reason().empty()) text << " " << head.reason();
                return fail(text.str());
              }
              done = true;
            });
          });
        });
      });

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  while (!done) {
    io.run_for(std::chrono::milliseconds(25));
    if (done) break;
    const bool stop = stopRequested && stopRequested();
    if (stop || std::chrono::steady_clock::now() >= deadline) {
      resolver.cancel();
      beast::error_code ignored;
      stream.socket().close(ignored);
      io.run();  // the handlers see their operations cancelled
      posted = {};
      if (stop)
        posted.stopped = true;
      else {
        std::ostringstream seconds;
        seconds << timeoutSeconds;
        posted.failure = "no answer from " + where + " within " + seconds.str() + " s";
      }
      break;
    }
  }
  return posted;
}

}  // namespace veskctl
