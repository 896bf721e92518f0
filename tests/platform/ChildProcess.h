// Runs a scenario of this test program in a second process, for what only another process can
// show: a machine-wide mutex, an owner that dies, a caller with fewer rights.
//
// The child is this executable started again (posix_spawn, never a bare fork of a multithreaded
// process) with VESK_PLATFORM_CHILD naming the scenario; a static initializer runs the scenario
// before the test framework starts and exits with its result. The child reports through a pipe,
// one line per report.
#pragma once

#include <sys/types.h>

#include <string>

namespace vesk::test {

class ChildProcess {
 public:
  ChildProcess(const std::string& scenario, const std::string& argument);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the child reported, without its newline; empty after `timeoutMs` or at EOF.
  std::string ReadLine(int timeoutMs = 10000);
  void Kill();
  // Waits for the child to end; its exit code, or 128 + signal.
  int Wait();

 private:
  pid_t pid = -1;
  int readFd = -1;
  std::string buffered;
};

}  // namespace vesk::test
