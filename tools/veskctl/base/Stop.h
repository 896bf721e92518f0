// How the commands that run until they are stopped (monitor, events --follow) hear that they
// should stop: Ctrl+C (SIGINT), a request to close (SIGTERM), or the service control manager.
#pragma once

#include <optional>
#include <string>

namespace veskctl {

// From now on a stop only sets a flag that every wait below also waits for. Throws
// std::runtime_error when the signals cannot be caught.
void CatchStopSignals();
bool StopRequested();
// A stop asked for by the program itself (the Windows service's STOP), as a signal would.
void RequestStop();
// Waits up to `milliseconds` for a stop; true when one came.
bool Stopped(long long milliseconds);
// Sleeps up to `seconds`; false when a stop came meanwhile.
bool SleepUnlessStopped(double seconds);
// A line of standard input (without its newline; empty at its end), or nothing when a stop came
// first. Needs CatchStopSignals. The line is read on a thread of its own, which a stop leaves
// waiting until the process ends.
std::optional<std::string> ReadLineUnlessStopped();

}  // namespace veskctl
