// Runs a scenario in a second process, for what only another process can show: a machine-wide
// mutex, an owner that dies, a caller with fewer rights.
//
// The child is the test program started again (posix_spawn, never a bare fork of a multithreaded
// process) with VESK_CHILD naming the scenario. A test program that starts children holds one
// `const int childHook = vesk::test::RunChildIfAsked();` at namespace scope: it runs the scenario
// before the test framework starts and exits with its result. The child reports through a pipe,
// one line per report.
#pragma once

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"

extern char** environ;

namespace vesk::test {

// Each scenario reports on `fd` and returns the exit code; `name` names a mutex.
inline int RunScenario(const std::string& scenario, const std::wstring& name, int fd) {
  auto report = [fd](const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] auto written = write(fd, text.data(), text.size());
  };
  if (scenario == "hold") {
    // Takes the mutex, says so, and waits to be killed.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return 10;
    report("created " + std::to_string(GetLastError()));
    if (WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 11;
    report("owned");
    for (;;) pause();
  }
  if (scenario == "hold-then-exec") {
    // Takes the mutex and becomes a new program in the same process (same pid) without closing
    // it, as a process id reused by a later process would look.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 10;
    setenv("VESK_CHILD", "reopen", 1);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    execve(self, argv, environ);
    return 13;
  }
  if (scenario == "reopen") {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    report("created " + std::to_string(GetLastError()));
    report("wait " + std::to_string(WaitForSingleObject(mutex, 0)));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
  }
  if (scenario == "open-unprivileged") {
    // Drops to an unprivileged user (root passes every permission check) and opens the name.
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (setgid(nobody ? nobody->pw_gid : 65534) != 0) return 12;
      if (setuid(nobody ? nobody->pw_uid : 65534) != 0) return 12;
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    report(std::string(mutex ? "handle " : "null ") + std::to_string(GetLastError()));
    return 0;
  }
  return 99;
}

inline int RunChildIfAsked() {
  const char* scenario = std::getenv("VESK_CHILD");
  if (scenario == nullptr) return 0;
  const char* argument = std::getenv("VESK_CHILD_ARG");
  const char* fd = std::getenv("VESK_CHILD_FD");
  const std::string name = argument ? argument : "";
  std::_Exit(RunScenario(scenario, std::wstring(name.begin(), name.end()), fd ? std::atoi(fd) : 2));
}

class ChildProcess {
 public:
  // `argument` is ASCII.
  ChildProcess(const std::string& scenario, const std::string& argument) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    readFd = fds[0];
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "VESK_CHILD", 10) != 0) env.emplace_back(*e);
    env.push_back("VESK_CHILD=" + scenario);
    env.push_back("VESK_CHILD_ARG=" + argument);
    env.push_back("VESK_CHILD_FD=" + std::to_string(fds[1]));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    char* argv[] = {self.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
  }

  ~ChildProcess() {
    Kill();
    Wait();
    close(readFd);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the child reported, without its newline; empty after `timeoutMs` or at EOF.
  std::string ReadLine(int timeoutMs = 10000) {
    std::string line;
    for (char c;; line += c) {
      pollfd p{readFd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0 || read(readFd, &c, 1) != 1) return {};
      if (c == '\n') return line;
    }
  }

  void Kill() {
    if (pid > 0) kill(pid, SIGKILL);
  }

  // Waits for the child to end; its exit code, or 128 + signal.
  int Wait() {
    if (pid <= 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid = -1;
  int readFd = -1;
};

}  // namespace vesk::test
