#include "ChildProcess.h"

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"

extern char** environ;

namespace vesk::test {

namespace {

std::wstring Wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

void Report(int fd, const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] auto written = write(fd, text.data(), text.size());
}

// Scenarios, run in the child. Each reports on the pipe and returns the exit code.
int RunScenario(const std::string& scenario, const std::wstring& name, int fd) {
  if (scenario == "hold") {
    // Takes the mutex, says so, and waits to be killed.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return 10;
    Report(fd, "created " + std::to_string(GetLastError()));
    if (WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 11;
    Report(fd, "owned");
    for (;;) pause();
  }
  if (scenario == "take-release") {
    // Opens the mutex, waits for it, holds it for a moment, releases it.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) return 10;
    Report(fd, "opened " + std::to_string(GetLastError()));
    const DWORD result = WaitForSingleObject(mutex, 20000);
    Report(fd, "wait " + std::to_string(result));
    if (result != WAIT_OBJECT_0) return 11;
    Sleep(50);
    Report(fd, ReleaseMutex(mutex) ? "released" : "release failed");
    CloseHandle(mutex);
    return 0;
  }
  if (scenario == "open-unprivileged") {
    // Drops to an unprivileged user (root passes every permission check) and opens the name.
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      const uid_t uid = nobody ? nobody->pw_uid : 65534;
      const gid_t gid = nobody ? nobody->pw_gid : 65534;
      if (setgid(gid) != 0 || setuid(uid) != 0) return 12;
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    Report(fd, std::string(mutex ? "handle " : "null ") + std::to_string(GetLastError()));
    return 0;
  }
  return 99;
}

int RunChildIfAsked() {
  const char* scenario = std::getenv("VESK_PLATFORM_CHILD");
  if (scenario == nullptr) return 0;
  const char* argument = std::getenv("VESK_PLATFORM_CHILD_ARG");
  const char* fd = std::getenv("VESK_PLATFORM_CHILD_FD");
  const int code = RunScenario(scenario, Wide(argument ? argument : ""), fd ? std::atoi(fd) : 2);
  std::_Exit(code);
}

const int childHook = RunChildIfAsked();

}  // namespace

ChildProcess::ChildProcess(const std::string& scenario, const std::string& argument) {
  (void)childHook;
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  readFd = fds[0];
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "VESK_PLATFORM_CHILD", 19) != 0) env.emplace_back(*e);
  env.push_back("VESK_PLATFORM_CHILD=" + scenario);
  env.push_back("VESK_PLATFORM_CHILD_ARG=" + argument);
  env.push_back("VESK_PLATFORM_CHILD_FD=" + std::to_string(fds[1]));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
}

ChildProcess::~ChildProcess() {
  if (pid > 0) {
    Kill();
    Wait();
  }
  if (readFd >= 0) close(readFd);
}

std::string ChildProcess::ReadLine(int timeoutMs) {
  for (;;) {
    const auto newline = buffered.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered.substr(0, newline);
      buffered.erase(0, newline + 1);
      return line;
    }
    pollfd p{readFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    char chunk[256];
    const ssize_t n = read(readFd, chunk, sizeof chunk);
    if (n <= 0) return {};
    buffered.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::Kill() {
  if (pid > 0) kill(pid, SIGKILL);
}

int ChildProcess::Wait() {
  if (pid <= 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vesk::test
