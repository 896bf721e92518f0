// A child process as a kernel object: signaled once it has ended.
#pragma once

#include <sys/types.h>

#include <mutex>

#include "platform/posix/Handles.h"

namespace vesk::platform {

class ProcessObject final : public KernelObject {
 public:
  explicit ProcessObject(pid_t pid) : KernelObject(Kind::Process), pid(pid) {}
  ~ProcessObject() override;

  // Reaps the child if it has ended; never blocks.
  bool Ended();
  // STILL_ACTIVE while it runs.
  DWORD ExitCode();
  bool Terminate(UINT exitCode);

 private:
  const pid_t pid;
  std::mutex lock;
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
  bool terminated = false;
  UINT terminateCode = 0;
};

}  // namespace vesk::platform
