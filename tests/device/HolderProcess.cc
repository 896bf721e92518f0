// The second process of the cross-process lock tests: this test program re-run with only
// HolderProcess.Run, told by its environment which device mutex to hold and for how long.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceTestSupport.h"

extern char** environ;

namespace Vesk::test {

HolderProcess::HolderProcess(const std::wstring& pdoName, int holdMs) {
  int fds[2];
  if (pipe(fds) != 0) return;
  readFd = fds[0];
  // Device paths in these tests are ASCII.
  const std::string pdo(pdoName.begin(), pdoName.end());
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back("VESK_HOLDER_PDO=" + pdo);
  environment.push_back("VESK_HOLDER_FD=" + std::to_string(fds[1]));
  environment.push_back("VESK_HOLDER_MS=" + std::to_string(holdMs));
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=HolderProcess.Run";
  char* argv[] = {program.data(), filter.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
}

HolderProcess::~HolderProcess() {
  Kill();
  if (readFd >= 0) close(readFd);
}

bool HolderProcess::WaitHolding() {
  if (pid <= 0) return false;
  pollfd ready = {readFd, POLLIN, 0};
  if (poll(&ready, 1, 10000) != 1) return false;
  char state = 0;
  return read(readFd, &state, 1) == 1 && state == '1';
}

void HolderProcess::Kill() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

namespace {

TEST(HolderProcess, Run) {
  const char* pdo = std::getenv("VESK_HOLDER_PDO");
  const char* fd = std::getenv("VESK_HOLDER_FD");
  const char* holdMs = std::getenv("VESK_HOLDER_MS");
  if (pdo == nullptr || fd == nullptr || holdMs == nullptr) {
    GTEST_SKIP() << "runs only as the second process of the cross-process lock tests";
  }
  vesk::sim::Machine machine;
  const std::wstring pdoName(pdo, pdo + std::strlen(pdo));
  AddController(machine, pdoName, std::make_shared<ScriptedBackend>());
  auto handle = OpenController(pdoName);
  const char state = WaitForSingleObject(handle->mutex, 5000) == WAIT_OBJECT_0 ? '1' : '0';
  ASSERT_EQ(write(std::atoi(fd), &state, 1), 1);
  Sleep(static_cast<DWORD>(std::atoi(holdMs)));
  ReleaseMutex(handle->mutex);
}

}  // namespace
}  // namespace Vesk::test
