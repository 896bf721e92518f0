// `veskctl serve`: the web console. A client of the managed face like any desktop UI: the
// process follows the machine with the monitor's watcher (every change a journal record), and
// answers the page over HTTP (HttpServer.h) with the topology as `show --json` gives it, the
// journal as Server-Sent Events, and the command line's own commands: each request runs veskctl
// itself, with the same table, checks, prediction and JSON, so the console can do nothing the
// command line would not.
//
// Who may ask: a session started with the token `serve` prints and keeps in TOKEN_FILE, or with a
// person's own token (ConsoleUsers.h), whose random value the browser keeps in a cookie of this
// console's port (Sessions.h), or a bearer header with either token; through a Host that names
// this console (a page of another site that rebinds its name to this address is refused), and,
// for anything that changes the machine, from a page of this console (its Origin and the
// session's X-Vesk-Token value only its own pages can read). A destructive command is carried out
// only with the `confirm` value its dry run returned, which binds the request, the state of what it
// acts on and --system: the veskctl that carries it out checks the value against its own prediction
// under the machine's lock (cli/Operation.h), so a page that shows stale data cannot destroy what
// changed meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/veskctl/base/Program.h"
#include "tools/veskctl/console/Sessions.h"
#include "tools/veskctl/http/HttpServer.h"
#include "tools/veskctl/journal/Journal.h"
#include "tools/veskctl/monitor/Monitor.h"

namespace CLI {
class App;
}

namespace veskctl {

class Metrics;

struct ConsoleOptions {
  std::string listen = "127.0.0.1:0";
  bool allowRemote = false;
  double intervalSeconds = 0.5;  // how often the machine is looked at
  // Set by main from the global options.
  bool simulate = true;
  std::filesystem::path statePath;
  bool pathGiven = false;
  std::uint64_t journalMaxBytes = Journal::kDefaultMaxBytes;
  double commandTimeoutSeconds = 300;
  // A stream that has nothing to send says it is alive this often, so that proxies keep it and a
  // page notices a connection that died silently.
  double heartbeatSeconds = 15;
  // A session unused for this long ends (VESK_CONSOLE_IDLE_SECONDS sets it, for tests).
  double idleSeconds = 30 * 60;
  bool newToken = false;  // replace the token file's token
  // Whether a command of the table destroys data whatever its prediction says (the command
  // line's own mark), so that the page marks it before anything is dry run.
  std::function<bool(const CLI::App&)> destroys;
  // The Windows service's console: what its monitor delivers besides (a program, the system log,
  // reminders), since one process has one monitor; and who hears that the console serves.
  MonitorOptions delivery;
  std::function<void()> serving;
};

CLI::App* AddServeCommand(CLI::App& app, ConsoleOptions& options);

// The token that opens the console, kept in `path` readable by the user only: the one there when
// it is well formed and private and not `fresh`, a new one otherwise.
std::string ConsoleToken(const std::filesystem::path& path, bool fresh = false);
std::filesystem::path ConsoleTokenPath(const std::filesystem::path& statePath, bool simulate);

class Console : public MonitorObserver {
 public:
  // `app` is the command line the commands table is read from.
  Console(const ConsoleOptions& options, const CLI::App& app, std::string token);
  ~Console() override;

  // Serves at options.listen until Stop. UsageError for a listen address that is not one, or
  // not loopback without allowRemote; std::runtime_error when nothing can listen there.
  void Start();
  void Stop();
  // "http://127.0.0.1:8080/?token=..."
  std::string OpeningAddress() const;
  const std::string& Address() const;

  // The page's handler, for the server (and for tests, without a socket).
  void Handle(const HttpRequest& request, HttpExchange& exchange);

  void Refreshed(VESK_Managed::StorageManagementBase& facade, std::chrono::duration<double> took,
                 const std::string& failure, const Roster& roster) override;
  void Lost(const std::set<std::string>& volumeIds) override { lost = volumeIds; }
  void Reported(const MonitorEvent& event) override;
  void Journaled(const nlohmann::json& record) override;
  bool Pause(double seconds) override;

 private:
  // Who sent a request, as far as the console knows.
  struct Visitor {
    std::string user;
    std::string csrf;
  };
  // The holder of a token: the console's own or a person's; nothing for another value.
  std::optional<SessionHolder> HolderOf(const std::string& token) const;
  // Whether a personal token's entry is still the one a session started with.
  bool StillHolds(const SessionHolder& holder) const;
  std::optional<Visitor> SignedIn(const HttpRequest& request);
  std::vector<std::string> SessionCookies(const HttpRequest& request) const;
  std::string CookieName() const;  // "vesk_session_8080"
  HttpResponse SignIn(const HttpRequest& request);
  HttpResponse Topology();
  void Events(const HttpRequest& request, HttpExchange& exchange);
  HttpResponse JournalTail(const HttpRequest& request);
  HttpResponse CommandTable() const;
  HttpResponse Command(const HttpRequest& request, const std::string& user);
  std::vector<std::string> BaseArguments() const;
  // Waits until the journal holds a record after `after`, or `seconds` pass, or the console
  // stops, or the page went away; returns the journal's last identifier.
  std::uint64_t WaitForRecords(std::uint64_t after, double seconds, HttpExchange& page);
  void WatchJournal();

  ConsoleOptions options;
  const CLI::App& app;
  const std::string token;
  const std::string owner;  // the account that started the console: the token's holder
  const std::filesystem::path usersPath;
  Sessions sessions;
  // Makes the X-Vesk-Token value of a bearer, who has no session.
  const std::string bearerKey;
  // Makes the confirm values of this console's dry runs: its commands get it on standard input.
  const std::string confirmKey;
  Journal journal;
  std::unique_ptr<Metrics> metrics;
  std::set<std::string> lost;  // the volumes with a data-loss mark, as the last look saw them
  std::unique_ptr<HttpServer> server;
  RunningCommands commands;  // ended with the console, rather than waited for
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t lastId = 0;
  // Another run (a command, a job) wrote to the journal since the watcher last looked: what it
  // changed is looked at now rather than at the next tick.
  bool othersWrote = false;
  bool stopping = false;
  std::thread journalWatch;
  std::mutex topologyMutex;
  std::optional<std::pair<std::uint64_t, HttpResponse>> topology;  // by journal identifier
  std::chrono::steady_clock::time_point topologyAt;
};

// Runs `serve`: prints the opening address, follows the machine until SIGINT or SIGTERM.
int RunServe(const ConsoleOptions& options, const CLI::App& app);

}  // namespace veskctl
