// How the commands that run until they are stopped (monitor, events --follow) hear that they
// should stop: Ctrl+C (SIGINT) or a request to close (SIGTERM).
#pragma once

namespace veskctl {

// From now on a stop only sets a flag that every wait below also waits for. Throws
// std::runtime_error when the signals cannot be caught.
void CatchStopSignals();
bool StopRequested();
// Waits up to `milliseconds` for a stop; true when one came.
bool Stopped(long long milliseconds);
// Sleeps up to `seconds`; false when a stop came meanwhile.
bool SleepUnlessStopped(double seconds);

}  // namespace veskctl
