#include "tools/veskctl/console/Console.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tools/veskctl/base/Account.h"
#include "tools/veskctl/base/Files.h"
#include "tools/veskctl/base/Json.h"
#include "tools/veskctl/base/NumberOption.h"
#include "tools/veskctl/base/Program.h"
#include "tools/veskctl/base/Secrets.h"
#include "tools/veskctl/base/Stop.h"
#include "tools/veskctl/console/ConsoleAssets.h"
#include "tools/veskctl/console/ConsoleUsers.h"
#include "tools/veskctl/monitor/Metrics.h"
#include "tools/veskctl/session/Session.h"
#include "tools/veskctl/session/StateFile.h"

namespace veskctl {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMaxArguments = 64;
constexpr std::size_t kMaxArgumentBytes = 4096;
// How often the journal's end is looked at for records of other runs.
constexpr int kJournalLookMs = 50;

bool WellFormedToken(const std::string& text) {
  if (text.size() != kTokenBytes * 2) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c)) ||
        std::isupper(static_cast<unsigned char>(c)))
      return false;
  return true;
}

std::string NewToken() { return RandomHex(kTokenBytes); }

HttpResponse Failure(int status, const std::string& message, const std::string& kind = "http") {
  const json body = {{"schemaVersion", kJsonSchemaVersion},
                     {"status", FailureStatus(kind, message, 0, 0)}};
  return {status,
          "application/json",
          body.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
          {}};
}

HttpResponse Json(const json& body, int status = 200) {
  return {status,
          "application/json",
          body.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
          {}};
}

// The values of every cookie of that name in a Cookie header ("a=1; vesk_session_80=..."): a
// cookie another service of this host set under the same name may come first.
std::vector<std::string> CookieValues(const std::string& header, const std::string& name) {
  std::vector<std::string> values;
  std::size_t at = 0;
  while (at < header.size()) {
    const auto end = header.find(';', at);
    std::string pair = header.substr(at, end == std::string::npos ? std::string::npos : end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size() + 1, name + "=") == 0)
      values.push_back(pair.substr(name.size() + 1));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return values;
}

// The host a Host header names, without its port ("localhost", "127.0.0.1", "[::1]"); nothing
// unless the whole header is host[:port] with a name, an IPv4 address or a bracketed IPv6 address.
std::optional<std::string> HostOf(const std::string& header) {
  std::size_t end = 0;
  if (!header.empty() && header.front() == '[') {
    end = header.find(']');
    if (end == std::string::npos || end == 1 ||
        header.find_first_not_of("0123456789abcdefABCDEF:.", 1) != end)
      return std::nullopt;
    ++end;
  } else {
    end = std::min(header.find(':'), header.size());
    const std::string name = header.substr(0, end);
    if (name.empty() ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789.-") != std::string::npos)
      return std::nullopt;
  }
  if (end < header.size()) {
    const std::string port = header.substr(end + 1);
    if (header[end] != ':' || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535)
      return std::nullopt;
  }
  return header.substr(0, end);
}

// application/json, with parameters or none ("application/json; charset=utf-8").
bool IsJson(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  type.erase(type.find_last_not_of(" \t") + 1);
  type.erase(0, type.find_first_not_of(" \t"));
  for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type == "application/json";
}

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A journal identifier as a query or a Last-Event-ID header gives it.
std::optional<std::uint64_t> Identifier(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoull(text);
}

// Progress records of one element that come faster than a page can show them: only the last of a
// batch is sent.
bool IsProgress(const json& record) {
  return record.value("kind", "") == "changed" && record.value("property", json()).is_string() &&
         record["property"].get<std::string>() == "MigrationProgress";
}

std::string ElementIdOf(const json& record) {
  const auto element = record.find("element");
  if (element == record.end() || !element->is_object()) return "";
  return element->value("id", "");
}

std::string ServerSent(const json& record) {
  return "id: " + std::to_string(record.value("id", std::uint64_t{0})) +
         "\ndata: " + record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
}

}  // namespace

fs::path ConsoleTokenPath(const fs::path& statePath, bool simulate) {
  fs::path path = Journal::PathFor(statePath, simulate);
  return path.replace_extension(".console-token");
}

std::string ConsoleToken(const fs::path& path, bool fresh) {
  std::error_code ec;
  if (!fresh && fs::exists(path, ec)) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    std::getline(in, text);
    if (in && WellFormedToken(text) && IsPrivateFile(path)) return text;
  }
  const std::string token = NewToken();
  WritePrivateFile(path, token + "\n", "the console's token file");
  return token;
}

Console::Console(const ConsoleOptions& options, const CLI::App& app, std::string token)
    : options(options),
      app(app),
      token(std::move(token)),
      owner(AccountName()),
      usersPath(ConsoleUsersPath(ConsoleTokenPath(options.statePath, options.simulate))),
      sessions(std::chrono::duration_cast<Sessions::Clock::duration>(
          std::chrono::duration<double>(options.idleSeconds))),
      bearerKey(RandomHex(kTokenBytes)),
      confirmKey(RandomHex(kTokenBytes)),
      journal(Journal::PathFor(options.statePath, options.simulate), options.journalMaxBytes) {
  try {
    metrics = std::make_unique<Metrics>();
  } catch (const std::exception&) {
    // Built without metrics: /metrics says so.
  }
}

Console::~Console() { Stop(); }

void Console::Start() {
  const auto [host, port] = SplitListenAddress(options.listen, "--listen");
  if (!IsLoopbackHost(host) && !options.allowRemote) {
    throw UsageError("--listen: " + host +
                     " is not a loopback address: the console would be open to the network. Add "
                     "--allow-remote to mean it, and put TLS in front (see docs/console.md)");
  }
  lastId = journal.LastId();
  try {
    server = std::make_unique<HttpServer>(
        options.listen, [this](const HttpRequest& r, HttpExchange& e) { Handle(r, e); });
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(
        "cannot serve the console at " + options.listen +
        " (the port is taken, or the address is not this machine's): " + e.what());
  }
  journalWatch = std::thread([this] { WatchJournal(); });
}

void Console::Stop() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  // The requests in flight end at once: a command would otherwise hold the stop up to its
  // time-out.
  commands.EndAll();
  if (server) server->Stop();
  if (journalWatch.joinable()) journalWatch.join();
}

const std::string& Console::Address() const { return server->Address(); }

std::string Console::OpeningAddress() const {
  return "http://" + server->Address() + "/?token=" + token;
}

// Records come from this process's watcher and from every other run (commands, jobs): the
// journal's end is looked at a few times a second, and every stream waiting is woken by a change.
void Console::WatchJournal() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    lock.unlock();
    std::uint64_t now = 0;
    try {
      now = journal.LastId();
    } catch (const std::exception&) {
    }
    lock.lock();
    if (now > lastId) {
      lastId = now;
      othersWrote = true;
      changed.notify_all();
    }
    changed.wait_for(lock, std::chrono::milliseconds(kJournalLookMs), [this] { return stopping; });
  }
}

bool Console::Pause(double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
  std::unique_lock lock(mutex);
  // In slices: a stop signal sets its own flag and wakes nothing here.
  while (!othersWrote && !stopping && !StopRequested()) {
    const auto now = Clock::now();
    if (now >= until) break;
    changed.wait_for(lock, std::min<Clock::duration>(until - now, std::chrono::milliseconds(200)));
  }
  othersWrote = false;
  return !stopping && !StopRequested();
}

// A page that closed its stream is noticed within a slice: its connection is freed at once, not
// at the next heartbeat.
std::uint64_t Console::WaitForRecords(std::uint64_t after, double seconds, HttpExchange& page) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
  std::unique_lock lock(mutex);
  for (;;) {
    const auto slice = std::min(until, Clock::now() + std::chrono::milliseconds(250));
    if (changed.wait_until(lock, slice, [&] { return stopping || lastId > after; }) ||
        Clock::now() >= until)
      break;
    lock.unlock();
    const bool gone = page.Gone();
    lock.lock();
    if (gone) break;
  }
  return lastId;
}

void Console::Refreshed(VESK_Managed::StorageManagementBase& facade,
                        std::chrono::duration<double> took, const std::string& failure,
                        const Roster& roster) {
  if (!metrics) return;
  MetricsListener::Observe(*metrics, facade, took, failure, journal, roster, &lost);
}

void Console::Reported(const MonitorEvent& event) {
  if (metrics) metrics->CountEvent(event.kind);
}

void Console::Journaled(const json& record) {
  if (metrics) metrics->CountRecord(record.value("kind", ""));
  const std::uint64_t id = record.value("id", std::uint64_t{0});
  std::lock_guard lock(mutex);
  if (id > lastId) {
    lastId = id;
    changed.notify_all();
  }
}

std::string Console::CookieName() const {
  // Browsers keep cookies by host, not by port: each console's name is its own, so that consoles
  // on other ports of this host neither read nor overwrite its cookie.
  return "vesk_session_" + std::to_string(server ? server->Port() : 0);
}

std::vector<std::string> Console::SessionCookies(const HttpRequest& request) const {
  return CookieValues(request.Header("cookie"), CookieName());
}

std::optional<SessionHolder> Console::HolderOf(const std::string& presented) const {
  if (SameSecret(presented, token)) return SessionHolder{owner, ""};
  try {
    if (const auto user = ConsoleUserOf(ReadConsoleUsers(usersPath), presented))
      return SessionHolder{user->name, user->hash};
  } catch (const StateFileError& e) {
    // Nobody's own token can be checked; the console's still opens it.
    std::cerr << "veskctl: " << e.what() << std::endl;
  }
  return std::nullopt;
}

bool Console::StillHolds(const SessionHolder& holder) const {
  if (holder.userHash.empty()) return true;
  try {
    for (const auto& user : ReadConsoleUsers(usersPath))
      if (user.name == holder.user && user.hash == holder.userHash) return true;
  } catch (const StateFileError& e) {
    std::cerr << "veskctl: " << e.what() << std::endl;
  }
  return false;
}

std::optional<Console::Visitor> Console::SignedIn(const HttpRequest& request) {
  const std::string authorization = request.Header("authorization");
  if (authorization.compare(0, 7, "Bearer ") == 0) {
    const auto holder = HolderOf(authorization.substr(7));
    if (!holder) return std::nullopt;
    return Visitor{holder->user, Sha1Hex(bearerKey + ":" + holder->user + ":" + holder->userHash)};
  }
  for (const auto& value : SessionCookies(request)) {
    const auto session = sessions.Use(value);
    if (!session) continue;
    if (StillHolds(session->holder)) return Visitor{session->holder.user, session->csrf};
    sessions.End(value);  // the person was removed, or given a new token
  }
  return std::nullopt;
}

HttpResponse Console::SignIn(const HttpRequest& request) {
  if (!IsJson(request.Header("content-type")))
    return Failure(415, "the body must be JSON (Content-Type: application/json)");
  const json body = json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.value("token", json()).is_string())
    return Failure(400, R"(the body must be {"token": "TOKEN"})");
  const auto holder = HolderOf(body["token"].get<std::string>());
  if (!holder)
    return Failure(401,
                   "the token is not this console's, nor a console user's: see the token "
                   "file, or ask for your own (veskctl console-user add)");
  const std::string value = sessions.Start(*holder);
  HttpResponse r = Json(
      {{"csrf", sessions.Use(value)->csrf}, {"user", holder->user}, {"version", VESKCTL_VERSION}});
  r.headers.emplace_back("Set-Cookie",
                         CookieName() + "=" + value + "; Path=/; HttpOnly; SameSite=Strict");
  return r;
}

void Console::Handle(const HttpRequest& request, HttpExchange& exchange) {
  if (request.version != 11) {
    exchange.Answer(Failure(400, "the console speaks HTTP/1.1 only"));
    return;
  }
  // A page of another site whose name was made to point here sends that name: refused, so that
  // no other site's script can talk to the console through the browser.
  // Listening on every address, the console is reached by any of the machine's addresses, and
  // an address is no name another site could rebind.
  const std::string host = Lower(HostOf(request.Header("host")).value_or(""));
  const std::string ours = server ? server->Host() : "127.0.0.1";
  const bool named =
      !host.empty() && (host == "localhost" || host == Lower(ours) || IsLoopbackHost(host) ||
                        (IsUnspecifiedHost(ours) && IsAddressHost(host)));
  if (!named) {
    exchange.Answer(Failure(
        403, "the Host header '" + request.Header("host") + "' names no address of this console"));
    return;
  }
  const std::string& path = request.path;
  // Opening the address serve printed (or a person's own): the token starts a session, whose
  // value the cookie holds, and the address loses the token (nor is it kept in the history).
  if (path == "/" && request.query.count("token")) {
    const auto holder = HolderOf(request.query.at("token"));
    if (!holder) {
      exchange.Answer(Failure(401,
                              "the token is not this console's: open the address veskctl "
                              "serve printed, or read the token file"));
      return;
    }
    HttpResponse r{303, "text/plain", "", {}};
    r.headers.emplace_back("Location", "/");
    r.headers.emplace_back("Set-Cookie", CookieName() + "=" + sessions.Start(*holder) +
                                             "; Path=/; HttpOnly; SameSite=Strict");
    exchange.Answer(r);
    return;
  }
  // Anything that changes the machine, or signs someone in, comes from a page of this console:
  // the browser names the page's origin.
  const std::string origin = request.Header("origin");
  const bool sameOrigin =
      !origin.empty() && Lower(origin) == "http://" + Lower(request.Header("host"));
  if (request.method == "POST" && !sameOrigin) {
    exchange.Answer(Failure(
        403, "the request comes from another site (Origin '" + origin + "'), or names none"));
    return;
  }
  if (path == "/api/sign-in" && request.method == "POST") {
    exchange.Answer(SignIn(request));
    return;
  }
  // The page and its files hold nothing of the machine: a page that is not signed in shows its
  // sign-in form.
  const bool page = path == "/" || path.compare(0, 8, "/static/") == 0;
  const auto visitor = page ? std::nullopt : SignedIn(request);
  if (!page && !visitor) {
    exchange.Answer(Failure(401,
                            "not signed in: open the address veskctl serve printed (it "
                            "holds the token), or send Authorization: Bearer TOKEN"));
    return;
  }
  exchange.Vouch();
  if (request.method != "GET") {
    if (request.method != "POST") {
      HttpResponse r = Failure(405, "the console takes GET and POST only");
      r.headers.emplace_back("Allow", "GET, POST");
      exchange.Answer(r);
      return;
    }
    // Only this console's pages can read the session's value of X-Vesk-Token.
    if (!visitor || !SameSecret(request.Header("x-vesk-token"), visitor->csrf)) {
      exchange.Answer(Failure(403, "the X-Vesk-Token header is missing or wrong: reload the page"));
      return;
    }
  }
  auto only = [&](const char* method) {
    if (request.method == method) return true;
    HttpResponse r = Failure(405, request.path + " takes " + method + " only");
    r.headers.emplace_back("Allow", method);
    exchange.Answer(r);
    return false;
  };
  if (page) {
    if (!only("GET")) return;
    const auto* asset = FindConsoleAsset(path == "/" ? "index.html" : path.substr(8));
    if (!asset) {
      exchange.Answer(Failure(404, "no such file: " + path));
      return;
    }
    exchange.Answer({200, std::string(asset->contentType), std::string(asset->content), {}});
  } else if (path == "/api/session") {
    if (only("GET"))
      exchange.Answer(
          Json({{"csrf", visitor->csrf}, {"user", visitor->user}, {"version", VESKCTL_VERSION}}));
  } else if (path == "/api/sign-in") {
    only("POST");  // a POST was answered above
  } else if (path == "/api/sign-out") {
    if (!only("POST")) return;
    for (const auto& value : SessionCookies(request)) sessions.End(value);
    HttpResponse r = Json({{"signedIn", false}});
    r.headers.emplace_back("Set-Cookie",
                           CookieName() + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    exchange.Answer(r);
  } else if (path == "/api/topology") {
    if (only("GET")) exchange.Answer(Topology());
  } else if (path == "/api/events") {
    if (only("GET")) Events(request, exchange);
  } else if (path == "/api/journal") {
    if (only("GET")) exchange.Answer(JournalTail(request));
  } else if (path == "/api/commands") {
    exchange.Answer(request.method == "POST" ? Command(request, visitor->user) : CommandTable());
  } else if (path == "/metrics") {
    if (!only("GET")) return;
    if (!metrics) {
      exchange.Answer(Failure(404,
                              "metrics are not built in: this veskctl was built without "
                              "prometheus-cpp"));
      return;
    }
    exchange.Answer({200, "text/plain; version=0.0.4; charset=utf-8", metrics->Text(), {}});
  } else {
    exchange.Answer(Failure(404, "no such page: " + path));
  }
}

std::vector<std::string> Console::BaseArguments() const {
  std::vector<std::string> base = {options.simulate ? "--simulate" : "--driver"};
  if (options.simulate) {
    base.push_back("--state");
    base.push_back(options.statePath.string());
  }
  base.push_back("--journal-size");
  base.push_back(std::to_string(options.journalMaxBytes));
  base.push_back("--json");
  return base;
}

// The topology is read again when the journal moved on or a moment passed: fifty pages that
// reload after the same event cost one reading.
HttpResponse Console::Topology() {
  std::lock_guard lock(topologyMutex);
  const std::uint64_t id = journal.LastId();
  const auto now = std::chrono::steady_clock::now();
  if (topology && topology->first == id && now - topologyAt < std::chrono::milliseconds(500))
    return topology->second;
  auto arguments = BaseArguments();
  arguments.push_back("show");
  const Captured run = RunSelf(arguments, options.commandTimeoutSeconds, "", &commands);
  json document = json::parse(run.out, nullptr, false);
  if (run.exitCode != 0 || !document.is_object())
    return Failure(
        502, "the topology could not be read: " +
                 (document.is_object() ? document["status"].value("message", std::string("failed"))
                                       : run.err));
  document["journalId"] = id;
  HttpResponse r = Json(document);
  topology.emplace(id, r);
  topologyAt = now;
  return r;
}

HttpResponse Console::JournalTail(const HttpRequest& request) {
  std::size_t limit = 200;
  if (request.query.count("limit")) {
    const auto n = Identifier(request.query.at("limit"));
    if (!n || *n == 0 || *n > 5000)
      return Failure(400, "limit: '" + request.query.at("limit") +
                              "' is not a number from 1 to "
                              "5000");
    limit = static_cast<std::size_t>(*n);
  }
  const std::uint64_t last = journal.LastId();
  const auto slice = journal.After(last > limit ? last - limit : 0, limit);
  return Json({{"records", slice.records}, {"lastId", last}});
}

void Console::Events(const HttpRequest& request, HttpExchange& exchange) {
  const std::string resume = request.Header("last-event-id");
  const std::string given = !resume.empty()                ? resume
                            : request.query.count("after") ? request.query.at("after")
                                                           : std::to_string(journal.LastId());
  const auto after = Identifier(given);
  if (!after) {
    exchange.Answer(Failure(400, "'" + given + "' is not a journal identifier"));
    return;
  }
  HttpResponse head{200, "text/event-stream; charset=utf-8", "", {}};
  head.headers.emplace_back("X-Accel-Buffering", "no");
  if (!exchange.Begin(head)) return;
  // A page that lost its connection tries again after a second.
  if (!exchange.Write("retry: 1000\n\n")) return;
  std::uint64_t cursor = *after;
  for (;;) {
    // A stream lasts as long as its session, and keeps it in use: signing out, or the person's
    // removal, ends it by the next heartbeat.
    if (!SignedIn(request)) return;
    const auto slice = journal.After(cursor, 1000);
    std::string out;
    if (slice.gap) {
      // What the page has is older than anything the journal still holds: it must read the
      // topology afresh. The id lets a page that reconnects now go on from here.
      const std::uint64_t from = cursor + 1;
      cursor = slice.oldestHeld - 1;
      out += "event: resync\nid: " + std::to_string(cursor) +
             "\ndata: " + json({{"from", from}, {"oldestHeld", slice.oldestHeld}}).dump() + "\n\n";
    }
    // The last progress record of each element in the batch stands for the ones before it.
    std::map<std::string, std::size_t> lastProgress;
    for (std::size_t i = 0; i < slice.records.size(); ++i)
      if (IsProgress(slice.records[i])) lastProgress[ElementIdOf(slice.records[i])] = i;
    for (std::size_t i = 0; i < slice.records.size(); ++i) {
      const auto& record = slice.records[i];
      if (IsProgress(record) && lastProgress[ElementIdOf(record)] != i) continue;
      out += ServerSent(record);
    }
    if (!slice.records.empty()) cursor = slice.records.back().value("id", cursor);
    if (!out.empty() && !exchange.Write(out)) return;
    if (slice.records.size() == 1000) continue;
    const auto before = cursor;
    if (WaitForRecords(cursor, options.heartbeatSeconds, exchange) <= before) {
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
      }
      if (exchange.Gone() || !exchange.Write(": heartbeat\n\n")) return;
    }
  }
}

HttpResponse Console::CommandTable() const {
  json commands = json::array();
  std::function<void(const CLI::App&, std::vector<std::string>)> walk =
      [&](const CLI::App& command, std::vector<std::string> path) {
        const auto subs = command.get_subcommands([](const CLI::App*) { return true; });
        if (!path.empty()) {
          static const std::set<std::string> kept = {"monitor", "events", "serve", "completion",
                                                     "console-user"};
          if (kept.count(path.front())) return;
        }
        if (!subs.empty()) {
          for (const auto* sub : subs) {
            auto deeper = path;
            deeper.push_back(sub->get_name());
            walk(*sub, deeper);
          }
          return;
        }
        json positionals = json::array(), flags = json::array();
        for (const auto* option : command.get_options()) {
          if (option == command.get_help_ptr() || option->get_group().empty() ||
              option->get_name(false, true) == "--help-all")
            continue;
          json o = {{"name",
                     option->get_positional() ? option->get_name() : option->get_name(false, true)},
                    {"description", option->get_description()},
                    {"required", option->get_required()},
                    {"flag", option->get_expected_max() == 0 && !option->get_positional()},
                    {"value", option->get_option_text()}};
          (option->get_positional() ? positionals : flags).push_back(o);
        }
        std::string name;
        for (const auto& p : path) name += (name.empty() ? "" : " ") + p;
        commands.push_back({{"name", name},
                            {"path", path},
                            {"description", command.get_description()},
                            {"destructive", options.destroys && options.destroys(command)},
                            {"positionals", positionals},
                            {"options", flags}});
      };
  walk(app, {});
  return Json({{"commands", commands}});
}

HttpResponse Console::Command(const HttpRequest& request, const std::string& user) {
  if (!IsJson(request.Header("content-type")))
    return Failure(415, "the body must be JSON (Content-Type: application/json)");
  const json body = json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("argv") || !body["argv"].is_array() ||
      body["argv"].empty())
    return Failure(400, R"(the body must be {"argv": ["command", ...], "dryRun": true|false})");
  std::vector<std::string> argv;
  for (const auto& a : body["argv"]) {
    if (!a.is_string() || a.get<std::string>().size() > kMaxArgumentBytes)
      return Failure(400, "argv: every argument must be a string of at most " +
                              std::to_string(kMaxArgumentBytes) + " bytes");
    argv.push_back(a.get<std::string>());
  }
  if (argv.size() > kMaxArguments)
    return Failure(400, "argv: at most " + std::to_string(kMaxArguments) + " arguments");
  if (body.contains("dryRun") && !body["dryRun"].is_boolean())
    return Failure(400, "dryRun must be true or false");
  // The command's name is its first word: what comes before it can only be --system, since the
  // options that take a value are the console's own (below).
  const auto word = std::find_if(argv.begin(), argv.end(),
                                 [](const std::string& a) { return a.empty() || a[0] != '-'; });
  const std::string name = word == argv.end() ? "" : *word;
  static const std::set<std::string> running = {"monitor", "events", "serve", "completion"};
  if (running.count(name))
    return Failure(400, "the console does not run '" + name +
                            "': it runs until it is stopped (the console shows the journal "
                            "itself)");
  if (name == "console-user")
    return Failure(400, "the console does not run '" + name +
                            "': it makes tokens, which are shown once, on the command line");
  static const std::set<std::string> controlled = {
      "--json",   "--dry-run",      "--force",        "--state",   "--simulate",
      "--driver", "--journal-size", "--lock-timeout", "--console", "--confirm"};
  for (const auto& a : argv) {
    if (a == "--") break;
    const std::string name = a.substr(0, a.find('='));
    if (controlled.count(name))
      return Failure(400, "argv: the console sets " + name + " itself (send dryRun and confirm)");
  }
  // The command runs in a veskctl of its own that does everything under one hold of the
  // machine's lock: it resolves the names, predicts, and checks the confirm value against its own
  // prediction before it acts, so that nothing can change the machine between the check and the
  // act. The key that makes confirm values goes on its standard input, never on a command line,
  // and so does the name of the person the journal records as having asked.
  auto run = [&](std::vector<std::string> extra) {
    auto arguments = BaseArguments();
    arguments.push_back("--console");
    for (auto& e : extra) arguments.push_back(std::move(e));
    arguments.insert(arguments.end(), argv.begin(), argv.end());
    return RunSelf(arguments, options.commandTimeoutSeconds, confirmKey + "\n" + user + "\n",
                   &commands);
  };
  auto answer = [](const Captured& c) {
    json document = json::parse(c.out, nullptr, false);
    if (!document.is_object())
      return Failure(500, "veskctl answered no JSON" + (c.err.empty() ? "" : ": " + c.err));
    // Confirmed for something else, or not at all: nothing was done.
    if (c.exitCode == kExitNotConfirmed) return Json(document, 409);
    HttpResponse r = Json(document);
    r.headers.emplace_back("X-Vesk-Exit-Code", std::to_string(c.exitCode));
    return r;
  };
  if (body.value("dryRun", false)) return answer(run({"--dry-run"}));
  const std::string confirm = body.value("confirm", json("")).is_string()
                                  ? body.value("confirm", std::string())
                                  : std::string();
  return answer(run(confirm.empty() ? std::vector<std::string>{}
                                    : std::vector<std::string>{"--confirm=" + confirm}));
}

CLI::App* AddServeCommand(CLI::App& app, ConsoleOptions& options) {
  auto* serve = app.add_subcommand(
      "serve",
      "Serve the web console: the topology, the journal live and every command, in a browser; "
      "prints the address to open (with its token) and runs until stopped; see docs/console.md");
  serve
      ->add_option("--listen", options.listen,
                   "Listen at ADDR:PORT (default 127.0.0.1:0: loopback, any free port; ADDR: an "
                   "IPv4 address or an IPv6 address in brackets)")
      ->option_text("ADDR:PORT");
  serve->add_flag("--allow-remote", options.allowRemote,
                  "Allow an address that is not loopback (put TLS in front: see docs/console.md)");
  serve->add_flag("--new-token", options.newToken,
                  "Make a new token and write it to the token file: the old one no longer opens "
                  "the console");
  serve
      ->add_option("--interval", options.intervalSeconds,
                   "Seconds between two looks at the machine (default 0.5)")
      ->option_text("S")
      ->check(NumberOption("a number of seconds", false, "0.5 or 2"));
  return serve;
}

int RunServe(const ConsoleOptions& options, const CLI::App& app) {
  CatchStopSignals();
  ConsoleOptions given = options;
  // For tests, which cannot wait half an hour for a session to end.
  if (const char* idle = std::getenv("VESK_CONSOLE_IDLE_SECONDS")) {
    char* end = nullptr;
    given.idleSeconds = std::strtod(idle, &end);
    if (end == idle || *end != '\0' || !(given.idleSeconds > 0))
      throw UsageError("VESK_CONSOLE_IDLE_SECONDS: '" + std::string(idle) +
                       "' is not a number of seconds");
  }
  Console console(
      given, app,
      ConsoleToken(ConsoleTokenPath(options.statePath, options.simulate), options.newToken));
  console.Start();
  std::cerr << "veskctl: serving the console at http://" << console.Address()
            << "/ (the token is in "
            << ConsoleTokenPath(options.statePath, options.simulate).string() << ")" << std::endl;
  std::cout << console.OpeningAddress() << std::endl;
  if (options.serving) options.serving();
  MonitorOptions monitor = options.delivery;
  monitor.intervalSeconds = options.intervalSeconds;
  monitor.quiet = true;
  monitor.simulate = options.simulate;
  monitor.statePath = options.statePath;
  monitor.pathGiven = options.pathGiven;
  monitor.journalMaxBytes = options.journalMaxBytes;
  monitor.observer = &console;
  const int exitCode = RunMonitor(monitor);
  console.Stop();
  return exitCode;
}

}  // namespace veskctl
