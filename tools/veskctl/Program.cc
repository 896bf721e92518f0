// Programs on POSIX: fork and exec, a process group to kill, SIGPIPE ignored.
#include "tools/veskctl/Program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>

namespace veskctl {

using Clock = std::chrono::steady_clock;

namespace {

std::string Seconds(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

}  // namespace

std::optional<std::string> RunProgram(const std::string& program,
                                      const std::vector<std::string>& arguments,
                                      const std::string& input, double timeoutSeconds,
                                      const StopWait& stopped) {
  // A program that ends without reading its input must not end the process that ran it.
  IgnoreBrokenPipes();
  int in[2], failed[2];
  if (::pipe2(in, O_CLOEXEC) != 0)
    return "cannot make a pipe: " + std::string(std::strerror(errno));
  if (::pipe2(failed, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(in[0]);
    ::close(in[1]);
    return "cannot make a pipe: " + std::string(std::strerror(error));
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own, so that a program killed for taking too long takes its children along.
    ::setpgid(0, 0);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(program.c_str(), argv.data());
    const int error = errno;
    [[maybe_unused]] auto ignored = ::write(failed[1], &error, sizeof error);
    ::_exit(127);
  }
  if (pid > 0) ::setpgid(pid, pid);  // as the child does: whichever runs first
  ::close(in[0]);
  ::close(failed[1]);
  if (pid < 0) {
    const int error = errno;
    ::close(in[1]);
    ::close(failed[0]);
    return "cannot start '" + program + "': " + std::strerror(error);
  }
  // The record is far smaller than a pipe's buffer: this does not wait for the reader.
  [[maybe_unused]] auto written = ::write(in[1], input.data(), input.size());
  ::close(in[1]);
  int execError = 0;
  const bool notRun = ::read(failed[0], &execError, sizeof execError) == sizeof execError;
  ::close(failed[0]);

  int status = 0;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0) {
    const bool stop = stopped(10);
    if (Clock::now() >= deadline || stop) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      if (stop) return std::nullopt;
      return "'" + program + "' did not finish within " + Seconds(timeoutSeconds) +
             " s and was killed";
    }
  }
  if (notRun) return "cannot run '" + program + "': " + std::strerror(execError);
  if (WIFSIGNALED(status))
    return "'" + program + "' was killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    return "'" + program + "' exited with status " + std::to_string(WEXITSTATUS(status));
  return std::nullopt;
}

void AssignToJobForTests(JobAssignment) {}

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace veskctl
