// veskctl run as a process against a temporary state file: the fixture of the veskctl tests.
#pragma once

#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Watchdog.h"

namespace veskctl::testing {

namespace fs = std::filesystem;

// Makes the calling process (a child of the test just forked) die with the test program, however
// that ends: a failed assertion, an exception, a watchdog's abort or a crash. The death signal
// follows the thread that forked, which is the test's own.
inline void DieWithTheTest(pid_t test) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != test) ::_exit(1);  // the test ended before the signal was set
}

// A process the test started, in a process group of its own: ended with everything it started
// when the guard goes out of scope, whatever way the test leaves it, and killed by the kernel if
// the test program dies first.
class ChildProcess {
 public:
  // Runs `body` in the child; it should exec or _exit. Not running it is a failed expectation.
  explicit ChildProcess(const std::function<void()>& body) {
    const pid_t test = ::getpid();
    pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      DieWithTheTest(test);
      body();
      ::_exit(127);
    }
    EXPECT_GT(pid, 0) << "cannot fork";
    if (pid > 0) ::setpgid(pid, pid);  // as the child does: whichever runs first
  }
  ~ChildProcess() {
    if (pid > 0) Stop(SIGKILL);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Sends `signal` to the process (its group only for SIGKILL: a signal it handles is its own to
  // pass on) and returns its exit status as waitpid gives it.
  int Stop(int signal) {
    ::kill(signal == SIGKILL ? -pid : pid, signal);
    return Wait();
  }
  int Wait() {
    int status = -1;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return status;
  }

  pid_t pid = -1;
};

struct Result {
  int exitCode = -1;
  std::string out;
};

class VeskctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("veskctl-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    state = dir / "state.json";
  }
  void TearDown() override {
    ::unsetenv("VESK_SIM_CLOCK");
    if (!dir.empty()) fs::remove_all(dir);
  }

  static std::string Veskctl() { return VESKCTL_PATH; }
  std::string Command(const std::string& arguments) const {
    return Veskctl() + " --state '" + state.string() + "' " + arguments;
  }

  // Runs veskctl with the test's state file; stdout and stderr together unless `stdoutOnly`.
  Result Run(const std::string& arguments, bool stdoutOnly = false) {
    return Exec(Command(arguments), stdoutOnly);
  }
  // Runs a shell command line.
  static Result Exec(const std::string& commandLine, bool stdoutOnly = false) {
    Result result;
    const std::string command = commandLine + (stdoutOnly ? " 2>/dev/null" : " 2>&1");
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
      result.out.append(buffer.data(), n);
    }
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  // Runs veskctl on a terminal of its own, typing `input`; what the terminal shows.
  Result RunOnTerminal(const std::string& arguments, const std::string& input) {
    Vesk::test::Watchdog watchdog("veskctl on a terminal");
    Result result;
    int terminal = -1;
    const pid_t test = ::getpid();
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
      DieWithTheTest(test);
      ::execl("/bin/sh", "sh", "-c", Command(arguments).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    EXPECT_GT(pid, 0);
    if (pid <= 0) return result;
    EXPECT_EQ(::write(terminal, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    char buffer[4096];
    for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;)
      result.out.append(buffer, n);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(terminal);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  // The JSON object on stdout (discarded when stdout is not exactly one JSON value).
  nlohmann::json RunJson(const std::string& arguments, int expectedExit = 0) {
    Result r = Run("--json " + arguments, true);
    EXPECT_EQ(r.exitCode, expectedExit) << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
  }

  static std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  // The volume of that name, or null.
  nlohmann::json Volume(const std::string& name) {
    for (auto& v : All(RunJson("show"), "volumes"))
      if (v["name"] == name) return v;
    return nullptr;
  }

  // Every element of `kind` ("volumes", "drives") of every controller.
  static std::vector<nlohmann::json> All(const nlohmann::json& topology, const char* kind) {
    std::vector<nlohmann::json> all;
    for (auto& c : topology["controllers"]) all.insert(all.end(), c[kind].begin(), c[kind].end());
    return all;
  }

  fs::path dir, state;
};

}  // namespace veskctl::testing
