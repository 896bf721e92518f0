// Child processes, environment and the program's own path: what a test needs to start a second
// copy of itself.
#include "platform/posix/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/posix/Errors.h"
#include "platform/simulated/Host.h"

extern char** environ;

namespace vesk::platform {

ProcessObject::~ProcessObject() {
  // A closed handle does not end the child; only reap it if it is already gone.
  Ended();
}

bool ProcessObject::Ended() {
  std::lock_guard guard(lock);
  if (ended) return true;
  int status = 0;
  const pid_t rc = waitpid(pid, &status, WNOHANG);
  if (rc == 0 || (rc < 0 && errno == EINTR)) return false;
  ended = true;
  if (rc < 0) {
    exitCode = ERROR_GEN_FAILURE;
  } else if (terminated) {
    exitCode = terminateCode;
  } else {
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return true;
}

DWORD ProcessObject::ExitCode() {
  Ended();
  std::lock_guard guard(lock);
  return exitCode;
}

bool ProcessObject::Terminate(UINT code) {
  std::lock_guard guard(lock);
  if (ended) return false;
  if (!terminated) {
    terminated = true;
    terminateCode = code;
  }
  return kill(pid, SIGKILL) == 0;
}

}  // namespace vesk::platform

using namespace vesk::platform;

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                    LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation) {
  // Only the plain form: a program path, this process's environment and directory.
  if (applicationName == nullptr || creationFlags != 0 || environment != nullptr ||
      currentDirectory != nullptr || startupInfo == nullptr || processInformation == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  // The command line is not passed on: the child gets the program path as its only argument.
  std::string path = ToUtf8(applicationName);
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  if (const int rc = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ); rc != 0) {
    return Fail(WinErrorFromErrno(rc), FALSE);
  }
  *processInformation = {InsertHandle(std::make_shared<ProcessObject>(pid)), nullptr,
                         static_cast<DWORD>(pid), 0};
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  auto object = LookupHandleAs<ProcessObject>(process, KernelObject::Kind::Process);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return object->Terminate(exitCode) ? TRUE : Fail(ERROR_ACCESS_DENIED, FALSE);
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  auto object = LookupHandleAs<ProcessObject>(process, KernelObject::Kind::Process);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (exitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *exitCode = object->ExitCode();
  return TRUE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  if (module != nullptr) return Fail(ERROR_INVALID_HANDLE, 0u);
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) return Fail(WinErrorFromErrno(errno), 0u);
  const std::wstring wide = FromUtf8(std::string_view(path, static_cast<std::size_t>(length)));
  if (size == 0) return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  // As on Windows: a short buffer gets the truncated, terminated path and the buffer's size.
  if (wide.size() >= size) {
    wide.copy(fileName, size - 1);
    fileName[size - 1] = L'\0';
    return Fail(ERROR_INSUFFICIENT_BUFFER, size);
  }
  wide.copy(fileName, wide.size());
  fileName[wide.size()] = L'\0';
  return static_cast<DWORD>(wide.size());
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (name == nullptr || *name == L'\0') return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::string key = ToUtf8(name);
  const int rc = value ? setenv(key.c_str(), ToUtf8(value).c_str(), 1) : unsetenv(key.c_str());
  return rc == 0 ? TRUE : Fail(WinErrorFromErrno(errno), FALSE);
}
