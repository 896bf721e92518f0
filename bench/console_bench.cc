// `veskctl serve`, the web console, in this process (listening on 127.0.0.1, any port), with pages
// played by plain sockets that hold `GET /api/events` open as a browser's EventSource does:
//
// - ChangeToPage/pages:N/watcher:1: a record appended to the machine's journal and handed to the
//   console as serve's own watcher does (the monitor's observer), then the time until every page
//   has read it. Counters: meanMs (the pages' mean), slowestMs (the slowest page's, which is also
//   the iteration time), worstMs (the slowest of all), appendMs (the append alone, which flushes
//   the journal to disk).
// - ChangeToPage/pages:N/watcher:0: the same record appended by another process's hand (a
//   command, a job): the console sees it only when it next looks at the journal's end.
// - MemoryPerPage: the resident set size before and after 50 pages open their event streams,
//   divided by 50; counter kiB.
// - ServeEndToEnd/pages:N: `veskctl serve --interval 0.5` as a process, N pages, and a volume
//   renamed by the command line. Medians over the iterations, from the command's start: the time
//   until it ended (cliMs), until every page holds the command's own record (commandMs) and the
//   change serve's watcher saw (changeMs); and changeAfterExitMs, from the command's end.
//   Skipped when veskctl is not built next to this program (or named by VESKCTL).
//
// Each change comes a random time after the last (up to 0.1 s, up to 0.5 s end to end), so that
// changes are not in step with the console's or the watcher's looks.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/veskctl/console/Console.h"
#include "tools/veskctl/journal/Journal.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using veskctl::Console;
using veskctl::ConsoleOptions;
using veskctl::Journal;

double ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stod(line.substr(6));
  return 0;
}

fs::path Folder(const char* name) {
  const fs::path folder =
      fs::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

// Sleeps a random time from 0 to `seconds`.
void Pause(std::mt19937& random, double seconds) {
  std::this_thread::sleep_for(
      std::chrono::duration<double>(std::uniform_real_distribution<double>(0, seconds)(random)));
}

// A page's event stream: a socket that sent the request and reads what comes.
class Page {
 public:
  Page(unsigned port, const std::string& token) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to the console");
    const std::string request =
        "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAuthorization: Bearer " + token + "\r\nAccept: text/event-stream\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
      throw std::runtime_error("cannot send to the console");
  }
  ~Page() { ::close(fd); }
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  // Waits until the console began the stream. Pages open one after another, as tabs do: a burst
  // of connections that have not sent a request yet is what the console takes for a flood.
  void AwaitBegun() {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (received.find("retry: 1000") == std::string::npos) {
      pollfd one{fd, POLLIN, 0};
      if (Clock::now() > deadline || ::poll(&one, 1, 1000) < 0)
        throw std::runtime_error("a page's stream did not begin");
      if (one.revents) Receive();
    }
  }

  // Adds what is there to `received`.
  void Receive() {
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) throw std::runtime_error("the console closed a page's stream");
    if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
  }

  // Reads what is there; whether `text` has come (what came before it is dropped).
  bool Read(const std::string& text) {
    Receive();
    const auto at = received.find(text);
    if (at == std::string::npos) return false;
    received.erase(0, at + text.size());
    return true;
  }

  // The records of the whole `data:` lines received, which are taken out.
  std::vector<nlohmann::json> Records() {
    std::vector<nlohmann::json> records;
    std::size_t at;
    while ((at = received.find("data: ")) != std::string::npos) {
      const auto end = received.find('\n', at);
      if (end == std::string::npos) break;
      records.push_back(
          nlohmann::json::parse(received.substr(at + 6, end - at - 6), nullptr, false));
      received.erase(0, end + 1);
    }
    return records;
  }

  int fd = -1;
  std::string received;
};

// Waits until every page has read `text`; each page's time since `start`, in milliseconds.
std::vector<double> AwaitAll(std::vector<std::unique_ptr<Page>>& pages, const std::string& text,
                             Clock::time_point start) {
  std::vector<double> took(pages.size(), -1);
  std::size_t left = pages.size();
  // What came with an earlier read.
  for (std::size_t i = 0; i < pages.size(); ++i)
    if (pages[i]->Read(text)) {
      took[i] = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      --left;
    }
  const auto deadline = start + std::chrono::seconds(30);
  while (left > 0) {
    std::vector<pollfd> waiting;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < pages.size(); ++i)
      if (took[i] < 0) {
        waiting.push_back({pages[i]->fd, POLLIN, 0});
        which.push_back(i);
      }
    if (::poll(waiting.data(), waiting.size(), 1000) < 0 || Clock::now() > deadline)
      throw std::runtime_error("the pages did not all get '" + text + "'");
    const auto now = Clock::now();
    for (std::size_t k = 0; k < waiting.size(); ++k) {
      if (!(waiting[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (!pages[which[k]]->Read(text)) continue;
      took[which[k]] = std::chrono::duration<double, std::milli>(now - start).count();
      --left;
    }
  }
  return took;
}

// A console on an empty simulated machine's journal, without its watcher: the benchmark is the
// watcher.
struct Served {
  explicit Served(const char* name) : folder(Folder(name)) {
    options.statePath = folder / "state.json";
    options.pathGiven = true;
    token = veskctl::ConsoleToken(veskctl::ConsoleTokenPath(options.statePath, true));
    console = std::make_unique<Console>(options, app, token);
    console->Start();
    const std::string& address = console->Address();
    port = static_cast<unsigned>(std::stoul(address.substr(address.rfind(':') + 1)));
  }
  ~Served() {
    console->Stop();
    fs::remove_all(folder);
  }

  // Opens `n` pages and waits until each stream has begun.
  std::vector<std::unique_ptr<Page>> Open(std::size_t n) {
    std::vector<std::unique_ptr<Page>> pages;
    for (std::size_t i = 0; i < n; ++i) {
      pages.push_back(std::make_unique<Page>(port, token));
      pages.back()->AwaitBegun();
    }
    return pages;
  }

  fs::path folder;
  ConsoleOptions options;
  CLI::App app;
  std::unique_ptr<Console> console;
  std::string token;
  unsigned port = 0;
};

nlohmann::json Change(std::uint64_t i) {
  return {
      {"schemaVersion", 1},
      {"kind", "changed"},
      {"element",
       {{"kind", "drive"}, {"id", "5f1c2a9e-3b4d-4e6f-8a7b-0c1d2e3f4a5b"}, {"name", "NVME-X0"}}},
      {"property", "State"},
      {"old", 2},
      {"oldName", "Online"},
      {"new", 4},
      {"newName", "Failed"},
      {"detail", "change " + std::to_string(i)}};
}

void ChangeToPage(benchmark::State& state) {
  const auto pageCount = static_cast<std::size_t>(state.range(0));
  const bool watcher = state.range(1) == 1;
  Served served("console-bench");
  auto pages = served.Open(pageCount);
  const Journal journal(Journal::PathFor(served.options.statePath, true));
  double appendMs = 0, meanMs = 0, slowestMs = 0, worstMs = 0;
  std::uint64_t i = 0;
  std::mt19937 random(7);
  for (auto _ : state) {
    // Changes come at any moment, not in step with the console's looks at the journal.
    Pause(random, 0.1);
    auto record = Change(++i);
    const auto start = Clock::now();
    record["id"] = journal.Append(record);
    appendMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (watcher) served.console->Journaled(record);
    const auto took =
        AwaitAll(pages, "id: " + std::to_string(record["id"].get<std::uint64_t>()) + "\n", start);
    const double slowest = *std::max_element(took.begin(), took.end());
    double sum = 0;
    for (double t : took) sum += t;
    meanMs += sum / static_cast<double>(took.size());
    slowestMs += slowest;
    worstMs = std::max(worstMs, slowest);
    state.SetIterationTime(slowest / 1000);
  }
  state.counters["appendMs"] = benchmark::Counter(appendMs, benchmark::Counter::kAvgIterations);
  state.counters["meanMs"] = benchmark::Counter(meanMs, benchmark::Counter::kAvgIterations);
  state.counters["slowestMs"] = benchmark::Counter(slowestMs, benchmark::Counter::kAvgIterations);
  state.counters["worstMs"] = worstMs;
}
BENCHMARK(ChangeToPage)
    ->ArgNames({"pages", "watcher"})
    ->Args({1, 1})
    ->Args({50, 1})
    ->Args({1, 0})
    ->Args({50, 0})
    ->Iterations(50)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void MemoryPerPage(benchmark::State& state) {
  Served served("console-bench-memory");
  // What the first stream costs once (the journal read for the first time, the server's first
  // thread) is not a page's.
  auto first = served.Open(1);
  for (auto _ : state) {
    const double before = ResidentKiB();
    auto pages = served.Open(50);
    const double after = ResidentKiB();
    state.counters["kiB"] = (after - before) / 50;
  }
}
BENCHMARK(MemoryPerPage)->Iterations(1)->Unit(benchmark::kMillisecond);

// A program run with its output read through a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(const std::vector<std::string>& arguments) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeEnds[1], 1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  return {pid, pipeEnds[0]};
}

// Runs a program to its end; its output.
std::string Run(const std::vector<std::string>& arguments) {
  const Child child = Spawn(arguments);
  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = ::read(child.out, chunk, sizeof chunk)) > 0;)
    out.append(chunk, static_cast<std::size_t>(n));
  ::close(child.out);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(arguments.back() + " failed: " + out);
  return out;
}

fs::path Veskctl() {
  if (const char* given = std::getenv("VESKCTL")) return given;
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools/veskctl/veskctl";
}

void ServeEndToEnd(benchmark::State& state) {
  const std::string veskctl = Veskctl().string();
  if (!fs::exists(veskctl)) {
    state.SkipWithError(("no veskctl at " + veskctl + " (set VESKCTL)").c_str());
    return;
  }
  const fs::path folder = Folder("console-bench-serve");
  const std::string statePath = (folder / "state.json").string();
  const std::vector<std::string> base = {veskctl, "--simulate", "--state", statePath};
  auto with = [&](std::vector<std::string> more) {
    auto all = base;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  Run(with({"sim", "reset"}));
  const auto shown = nlohmann::json::parse(Run(with({"--json", "show"})));
  std::string volume = shown["controllers"][0]["volumes"][0]["name"];

  const Child serve = Spawn(with({"serve", "--interval", "0.5"}));
  std::string line;
  for (char c; ::read(serve.out, &c, 1) == 1 && c != '\n';) line += c;
  const auto colon = line.rfind(':'), slash = line.find('/', colon);
  const auto tokenAt = line.find("token=");
  if (colon == std::string::npos || slash == std::string::npos || tokenAt == std::string::npos) {
    state.SkipWithError(("serve printed no address: " + line).c_str());
    ::kill(serve.pid, SIGTERM);
    ::waitpid(serve.pid, nullptr, 0);
    return;
  }
  const auto port = static_cast<unsigned>(std::stoul(line.substr(colon + 1, slash - colon - 1)));
  const std::string token = line.substr(tokenAt + 6);
  std::vector<std::unique_ptr<Page>> pages;
  for (long n = 0; n < state.range(0); ++n) {
    pages.push_back(std::make_unique<Page>(port, token));
    pages.back()->AwaitBegun();
  }
  // What the watcher records when it starts (every element present) is not part of a change.
  const auto settle = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < settle) {
    for (auto& page : pages) {
      pollfd one{page->fd, POLLIN, 0};
      if (::poll(&one, 1, 20) > 0) page->Receive();
    }
  }
  for (auto& page : pages) page->Records();

  // Per iteration, the slowest page's times: a change has reached every page when it reached the
  // last one.
  std::vector<double> commands, changes, afterExit, clis;
  int i = 0;
  std::mt19937 random(7);
  for (auto _ : state) {
    // Changes come at any moment, not in step with the watcher's looks.
    Pause(random, 0.5);
    const std::string name = "Bench" + std::to_string(++i);
    const auto start = Clock::now();
    Run(with({"rename-volume", volume, name}));
    const auto ran = Clock::now();
    volume = name;
    std::vector<double> command(pages.size(), -1), change(pages.size(), -1);
    std::size_t left = pages.size() * 2;
    const auto deadline = start + std::chrono::seconds(10);
    while (left > 0 && Clock::now() < deadline) {
      std::vector<pollfd> fds;
      for (auto& page : pages) fds.push_back({page->fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
      const double now = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      for (std::size_t k = 0; k < pages.size(); ++k) {
        if (!(fds[k].revents & POLLIN)) continue;
        pages[k]->Receive();
        for (const auto& record : pages[k]->Records()) {
          if (command[k] < 0 && record.value("kind", "") == "command" &&
              record.dump().find(name) != std::string::npos) {
            command[k] = now;
            --left;
          }
          if (change[k] < 0 && record.value("kind", "") == "changed" &&
              record.value("property", "") == "Name" &&
              record.value("new", nlohmann::json()) == name) {
            change[k] = now;
            --left;
          }
        }
      }
    }
    if (left > 0) {
      state.SkipWithError("the pages did not all get the rename within 10 s");
      break;
    }
    const double cli = std::chrono::duration<double, std::milli>(ran - start).count();
    commands.push_back(*std::max_element(command.begin(), command.end()));
    changes.push_back(*std::max_element(change.begin(), change.end()));
    afterExit.push_back(changes.back() - cli);
    clis.push_back(cli);
    state.SetIterationTime(std::max(commands.back(), changes.back()) / 1000);
  }
  auto median = [](std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  state.counters["cliMs"] = median(clis);
  state.counters["commandMs"] = median(commands);
  state.counters["changeMs"] = median(changes);
  state.counters["changeAfterExitMs"] = median(afterExit);
  pages.clear();
  ::kill(serve.pid, SIGINT);
  ::waitpid(serve.pid, nullptr, 0);
  ::close(serve.out);
  fs::remove_all(folder);
}
BENCHMARK(ServeEndToEnd)
    ->ArgName("pages")
    ->Arg(1)
    ->Arg(50)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
