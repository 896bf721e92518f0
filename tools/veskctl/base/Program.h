// The program `monitor --program` runs once per event. Starting and ending another program is the
// one thing veskctl does that the platform seam does not offer, so it has one source per system
// (Program.cc on POSIX, ProgramWindows.cc on Windows), chosen by the build.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace veskctl {

// Waits up to the milliseconds given for the monitor to be told to stop; true when it was.
using StopWait = std::function<bool(long long milliseconds)>;

// Runs `program` with `arguments` and `input` on its standard input, its standard output going
// to the monitor's standard error so that the monitor's own output stays events only. No shell:
// the event's words are arguments as they are. A program still running after `timeoutSeconds`,
// or when the monitor is told to stop, is killed with the programs it started. Returns what went
// wrong, or nothing (also when it was killed because the monitor stops).
std::optional<std::string> RunProgram(const std::string& program,
                                      const std::vector<std::string>& arguments,
                                      const std::string& input, double timeoutSeconds,
                                      const StopWait& stopped);

// Tests only: replaces the call that puts a started program into the job object that a time-out
// kills (Windows' AssignProcessToJobObject; POSIX has no job and ignores it), so that a test can
// make the assignment fail. Null restores the system's.
using JobAssignment = int (*)(void* job, void* process);
void AssignToJobForTests(JobAssignment assign);

// A program that does not read its standard input must not end the monitor (POSIX: SIGPIPE).
void IgnoreBrokenPipes();

// What a run of veskctl itself printed, and how it ended (-1: killed at its time-out).
struct Captured {
  int exitCode = -1;
  std::string out, err;
};

// What a run of veskctl for the console exits with when the console's confirm value is missing or
// not for what the command would do now: nothing was done.
inline constexpr int kExitNotConfirmed = 5;

// The runs of RunSelf in flight for one owner (the console), so that the owner's end ends them,
// with the programs they started, rather than wait for them up to their time-out.
class RunningCommands {
 public:
  // Kills every run in flight, and every run started from now on as soon as it starts.
  void EndAll();

  // For RunSelf: a run started (a POSIX process group, or a Windows job or process handle).
  // False when EndAll came first: the caller kills it.
  bool Add(std::uintptr_t run) {
    std::lock_guard lock(mutex);
    if (ended) return false;
    runs.insert(run);
    return true;
  }
  void Remove(std::uintptr_t run) {
    std::lock_guard lock(mutex);
    runs.erase(run);
  }

 private:
  std::mutex mutex;
  std::set<std::uintptr_t> runs;
  bool ended = false;
};

// Runs this very veskctl executable with `arguments` (no shell) and `input` on its standard input,
// and captures what it prints: the console carries commands out as the command line does, each in
// a process of its own, so that a command that fails badly cannot take the console with it. A run
// still going after `timeoutSeconds` is killed, and so is one `running` is told to end. The run
// gets no descriptor or handle of this process but its standard input, output and error. Throws
// std::runtime_error when it cannot start.
Captured RunSelf(const std::vector<std::string>& arguments, double timeoutSeconds,
                 const std::string& input = "", RunningCommands* running = nullptr);

}  // namespace veskctl
