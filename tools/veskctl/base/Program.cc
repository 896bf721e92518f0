// Programs on POSIX: fork and exec, a process group to kill, SIGPIPE ignored.
#include "tools/veskctl/base/Program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace veskctl {

using Clock = std::chrono::steady_clock;

namespace {

std::string Seconds(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

// Between fork and exec: closes every descriptor from `first` up to `last`. A descriptor another
// thread opened without close-on-exec (a socket the console just accepted, say) must not live on
// in a program that may outlast the console and keep its port. `openMax` is sysconf's, asked
// before the fork.
void CloseRange(int first, int last, long openMax) {
  if (first > last) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0)
    return;
#endif
  for (long fd = first; fd <= std::min<long>(last, openMax - 1); ++fd)
    ::close(static_cast<int>(fd));
}

// Every descriptor above standard error but `keep`.
void CloseInheritedDescriptors(long openMax, int keep = -1) {
  if (keep > 2) {
    CloseRange(3, keep - 1, openMax);
    CloseRange(keep + 1, INT_MAX, openMax);
  } else {
    CloseRange(3, INT_MAX, openMax);
  }
}

}  // namespace

void RunningCommands::EndAll() {
  std::lock_guard lock(mutex);
  ended = true;
  for (const auto group : runs) ::kill(-static_cast<pid_t>(group), SIGKILL);
}

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
  const long openMax = ::sysconf(_SC_OPEN_MAX);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own, so that a program killed for taking too long takes its children along.
    ::setpgid(0, 0);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    CloseInheritedDescriptors(openMax, failed[1]);
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

Captured RunSelf(const std::vector<std::string>& arguments, double timeoutSeconds,
                 const std::string& input, RunningCommands* running) {
  IgnoreBrokenPipes();
  // Everything the child needs is made before the fork: a process with threads may only make
  // async-signal-safe calls between fork and exec.
  static const char self[] = "/proc/self/exe";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("veskctl"));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot make a pipe: " + std::string(std::strerror(errno)));
  if (::pipe2(out, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("cannot make a pipe: " + std::string(std::strerror(error)));
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    const int error = errno;
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    throw std::runtime_error("cannot make a pipe: " + std::string(std::strerror(error)));
  }
  const long openMax = ::sysconf(_SC_OPEN_MAX);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    CloseInheritedDescriptors(openMax);
    ::execv(self, argv.data());
    ::_exit(127);
  }
  if (pid > 0) {
    ::setpgid(pid, pid);
    // Ended at once when the owner ends first: the group is the child's from here on.
    if (running && !running->Add(static_cast<std::uintptr_t>(pid))) ::kill(-pid, SIGKILL);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    const int error = errno;
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("cannot start veskctl: " + std::string(std::strerror(error)));
  }
  // The input is a line or two, far smaller than a pipe's buffer: this does not wait for the
  // child, and a child that does not read it gets an end of file after it.
  [[maybe_unused]] auto written = ::write(in[1], input.data(), input.size());
  ::close(in[1]);
  Captured captured;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&captured.out, &captured.err};
  bool killed = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      ::kill(-pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000))) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  // The child leaves the list while it is still there to be waited for (not reaped), so that
  // its number cannot be another's by the time EndAll kills the group.
  siginfo_t ended{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  if (running) running->Remove(static_cast<std::uintptr_t>(pid));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!killed && WIFEXITED(status)) captured.exitCode = WEXITSTATUS(status);
  if (killed)
    captured.err += "veskctl: the command did not finish within " + Seconds(timeoutSeconds) +
                    " s and was killed\n";
  return captured;
}

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace veskctl
