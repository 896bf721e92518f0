// The console's event stream, driven without a socket: what a page that connects, or connects
// again, gets from the journal.
#include "tools/veskctl/console/Console.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "VeskctlTest.h"
#include "tools/veskctl/console/ConsoleUsers.h"

namespace {

using nlohmann::json;
using veskctl::Console;
using veskctl::HttpExchange;
using veskctl::HttpRequest;
using veskctl::HttpResponse;
using veskctl::Journal;
using veskctl::testing::VeskctlTest;

// Takes the stream's pieces until the first that holds a record, then says the page left.
class Page : public HttpExchange {
 public:
  void Answer(HttpResponse r) override { answer = std::move(r); }
  bool Begin(HttpResponse head) override {
    answer = std::move(head);
    return true;
  }
  bool Write(const std::string& piece) override {
    text += piece;
    return piece.find("data: ") == std::string::npos;
  }

  // The ids of the messages, in order; a resync as "resync@ID".
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    std::istringstream lines(text);
    bool resync = false;
    for (std::string line; std::getline(lines, line);) {
      if (line == "event: resync") resync = true;
      if (line.rfind("id: ", 0) == 0) {
        out.push_back((resync ? "resync@" : "") + line.substr(4));
        resync = false;
      }
    }
    return out;
  }

  HttpResponse answer;
  std::string text;
};

class ConsoleStream : public VeskctlTest {
 protected:
  Console& Open(std::uint64_t journalBytes = Journal::kDefaultMaxBytes) {
    options.statePath = state;
    options.journalMaxBytes = journalBytes;
    console = std::make_unique<Console>(options, app, token);
    return *console;
  }

  Page Stream(const std::string& target, const std::string& lastEventId = "") {
    HttpRequest r;
    r.method = "GET";
    r.path = "/api/events";
    r.target = target;
    const auto question = target.find('?');
    if (question != std::string::npos) r.query["after"] = target.substr(target.find('=') + 1);
    r.headers = {{"host", "127.0.0.1:1"}, {"authorization", "Bearer " + token}};
    if (!lastEventId.empty()) r.headers["last-event-id"] = lastEventId;
    Page page;
    console->Handle(r, page);
    return page;
  }

  static json Progress(const std::string& volume, int percent) {
    return {{"kind", "changed"},
            {"element", {{"kind", "volume"}, {"id", volume}, {"name", volume}}},
            {"property", "MigrationProgress"},
            {"new", percent}};
  }

  veskctl::ConsoleOptions options;
  CLI::App app;
  const std::string token = std::string(64, 'a');
  std::unique_ptr<Console> console;
};

TEST_F(ConsoleStream, RapidProgressOfOneElementIsMergedAndNothingElseIs) {
  Open();
  const Journal journal(Journal::PathFor(state, true));
  journal.Append(std::vector<json>{Progress("v1", 10), Progress("v2", 10),
                                   json{{"kind", "changed"}, {"property", "State"}},
                                   Progress("v1", 20), Progress("v1", 30)});
  const Page page = Stream("/api/events?after=0");
  EXPECT_EQ(page.answer.status, 200);
  EXPECT_EQ(page.answer.contentType, "text/event-stream; charset=utf-8");
  EXPECT_EQ(page.Messages(), (std::vector<std::string>{"2", "3", "5"})) << page.text;
  EXPECT_NE(page.text.find("\"new\":30"), std::string::npos);
}

TEST_F(ConsoleStream, APageResumesAfterItsLastEventAndResyncsWhenThatRotatedAway) {
  Open(2048);
  const Journal journal(Journal::PathFor(state, true), 2048);
  for (int i = 0; i < 5; ++i) journal.Append(json{{"kind", "changed"}, {"detail", i}});
  // The header EventSource sends on reconnecting wins over the address it first opened.
  EXPECT_EQ(Stream("/api/events?after=1", "3").Messages(), (std::vector<std::string>{"4", "5"}));
  EXPECT_EQ(Stream("/api/events?after=4").Messages(), (std::vector<std::string>{"5"}));
  // Two rotations: the first records are gone from both generations.
  for (int i = 0; i < 60; ++i)
    journal.Append(json{{"kind", "changed"}, {"detail", std::string(64, 'x')}});
  const auto oldest = journal.After(0, 1).oldestHeld;
  ASSERT_GT(oldest, 2u);
  const auto messages = Stream("/api/events?after=1").Messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], "resync@" + std::to_string(oldest - 1));
  EXPECT_EQ(messages[1], std::to_string(oldest));
}

TEST_F(ConsoleStream, AQuietStreamSaysItIsAlive) {
  options.heartbeatSeconds = 0.05;
  Open();
  class Quiet : public Page {
   public:
    bool Write(const std::string& piece) override {
      text += piece;
      return piece.find("heartbeat") == std::string::npos;
    }
  } page;
  HttpRequest r;
  r.method = "GET";
  r.path = "/api/events";
  r.headers = {{"host", "localhost:1"}, {"authorization", "Bearer " + token}};
  console->Handle(r, page);
  EXPECT_EQ(page.text, "retry: 1000\n\n: heartbeat\n\n");
}

TEST_F(ConsoleStream, AnIdentifierThatIsNoNumberIsRefused) {
  Open();
  for (const char* bad : {"x", "-1", "99999999999999999999"}) {
    const Page page = Stream("/api/events", bad);
    EXPECT_EQ(page.answer.status, 400) << bad;
    EXPECT_EQ(json::parse(page.answer.body)["status"]["message"],
              "'" + std::string(bad) + "' is not a journal identifier");
  }
}

// serve's watcher looks at the machine as soon as another run (a command) journaled a change,
// rather than at its next tick; the console's stop ends its pause as well.
TEST_F(ConsoleStream, TheWatchersPauseEndsWithAnotherRunsRecordOrTheStop) {
  using namespace std::chrono_literals;
  Open().Start();
  auto paused = std::async(std::launch::async, [&] { return console->Pause(60); });
  EXPECT_EQ(paused.wait_for(300ms), std::future_status::timeout);
  Journal(Journal::PathFor(state, true)).Append(json{{"kind", "command"}});
  ASSERT_EQ(paused.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(paused.get());

  auto stopped = std::async(std::launch::async, [&] { return console->Pause(60); });
  console->Stop();
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(stopped.get());
}

// A page that stays: it takes every piece until the console ends its stream.
class Staying : public HttpExchange {
 public:
  void Answer(HttpResponse) override {}
  bool Begin(HttpResponse) override { return begun = true; }
  bool Write(const std::string&) override { return true; }
  std::atomic<bool> begun{false};
};

TEST_F(ConsoleStream, AStreamEndsWithItsSessionSignedOutOrItsPersonRemoved) {
  options.heartbeatSeconds = 0.05;
  Open();
  const auto users = veskctl::ConsoleUsersPath(veskctl::ConsoleTokenPath(state, true));
  const std::string alice = veskctl::AddConsoleUser(users, "alice").second;
  auto ask = [&](const std::string& method, const std::string& path,
                 std::map<std::string, std::string> headers, HttpExchange& page) {
    HttpRequest r;
    r.method = method;
    r.path = path.substr(0, path.find('?'));
    if (r.path != path) r.query["token"] = path.substr(path.find('=') + 1);
    r.headers = std::move(headers);
    r.headers["host"] = "127.0.0.1:1";
    console->Handle(r, page);
  };
  auto signIn = [&](const std::string& with) {
    Page page;
    ask("GET", "/?token=" + with, {}, page);
    EXPECT_EQ(page.answer.status, 303);
    const auto& cookie = page.answer.headers.at(1).second;
    return cookie.substr(0, cookie.find(';'));
  };
  // Whether the stream of `cookie`'s session ends once `end` has run.
  auto ends = [&](const std::string& cookie, const std::function<void()>& end) {
    Staying page;
    auto stream = std::async(std::launch::async, [&] {
      ask("GET", "/api/events", {{"cookie", cookie}}, page);
    });
    while (!page.begun) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    end();
    const bool ended = stream.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended) console->Stop();  // ends the stream, so that the test ends
    return ended;
  };
  const std::string mine = signIn(token), hers = signIn(alice);
  EXPECT_TRUE(ends(mine, [&] {
    Page session, out;
    ask("GET", "/api/session", {{"cookie", mine}}, session);
    ask("POST", "/api/sign-out",
        {{"cookie", mine},
         {"origin", "http://127.0.0.1:1"},
         {"x-vesk-token", json::parse(session.answer.body)["csrf"]}},
        out);
    EXPECT_EQ(out.answer.status, 200) << out.answer.body;
  }));
  EXPECT_TRUE(ends(hers, [&] { veskctl::RemoveConsoleUser(users, "alice"); }));
}

}  // namespace
