// Programs on Windows: CreateProcessW with a pipe for standard input, in a job object so that a
// program killed for taking too long takes the programs it started along.
//
// What a program inherits: a handle is inherited only when it is marked inheritable and the
// program is started with bInheritHandles. veskctl marks its pipes' ends for the program alone,
// and the server marks its sockets (which Winsock makes inheritable) not inheritable. RunSelf,
// which the console calls from several threads at once, also names the three handles its program
// gets (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), so that a command never holds the pipes of another
// one started at the same moment. RunProgram runs one program at a time, with the monitor's own
// standard error, which may be a console handle that such a list does not take.
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tools/veskctl/base/Program.h"
#include "tools/veskctl/base/WindowsText.h"

namespace veskctl {

namespace {

std::string Seconds(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

JobAssignment assignToJob = nullptr;

std::string Why(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "no such program";
  return "Windows error " + std::to_string(error);
}

}  // namespace

// A run is its job, or its process when no job took it: TerminateJobObject fails on a process's
// handle, and TerminateProcess ends it then.
void RunningCommands::EndAll() {
  std::lock_guard lock(mutex);
  ended = true;
  for (const auto run : runs) {
    const auto handle = reinterpret_cast<HANDLE>(run);
    if (!TerminateJobObject(handle, 1)) TerminateProcess(handle, 1);
  }
}

std::optional<std::string> RunProgram(const std::string& program,
                                      const std::vector<std::string>& arguments,
                                      const std::string& input, double timeoutSeconds,
                                      const StopWait& stopped) {
  std::wstring commandLine = QuotedArgument(Utf16(program));
  for (const auto& argument : arguments) commandLine += L" " + QuotedArgument(Utf16(argument));
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0))
    return "cannot make a pipe: " + Why(GetLastError());
  SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);  // the program gets the read end only
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = readEnd;
  startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  CloseHandle(readEnd);
  if (!started) {
    CloseHandle(writeEnd);
    if (job) CloseHandle(job);
    return "cannot run '" + program + "': " + Why(startError);
  }
  // A program the job does not hold (the monitor runs in a job that forbids another, say) is
  // killed by itself at its time-out: terminating an empty job would kill nothing.
  if (job && !(assignToJob ? assignToJob(job, process.hProcess)
                           : AssignProcessToJobObject(job, process.hProcess))) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  // The record is far smaller than a pipe's buffer: this does not wait for the reader.
  DWORD written = 0;
  WriteFile(writeEnd, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  CloseHandle(writeEnd);

  std::optional<std::string> failure;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
    const bool stop = stopped(10);
    if (std::chrono::steady_clock::now() < deadline && !stop) continue;
    if (!job || !TerminateJobObject(job, 1)) TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!stop)
      failure = "'" + program + "' did not finish within " + Seconds(timeoutSeconds) +
                " s and was killed";
    CloseHandle(process.hProcess);
    if (job) CloseHandle(job);
    return failure;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  if (exitCode != 0) failure = "'" + program + "' exited with status " + std::to_string(exitCode);
  CloseHandle(process.hProcess);
  if (job) CloseHandle(job);
  return failure;
}

void AssignToJobForTests(JobAssignment assign) { assignToJob = assign; }

Captured RunSelf(const std::vector<std::string>& arguments, double timeoutSeconds,
                 const std::string& input, RunningCommands* running) {
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  std::wstring commandLine = QuotedArgument(self);
  for (const auto& argument : arguments) commandLine += L" " + QuotedArgument(Utf16(argument));
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherited, 0))
    throw std::runtime_error("cannot make a pipe: " + Why(GetLastError()));
  if (!CreatePipe(&errRead, &errWrite, &inherited, 0)) {
    const DWORD error = GetLastError();
    CloseHandle(outRead);
    CloseHandle(outWrite);
    throw std::runtime_error("cannot make a pipe: " + Why(error));
  }
  HANDLE inRead = nullptr, inWrite = nullptr;
  if (!CreatePipe(&inRead, &inWrite, &inherited, 0)) {
    const DWORD error = GetLastError();
    for (HANDLE h : {outRead, outWrite, errRead, errWrite}) CloseHandle(h);
    throw std::runtime_error("cannot make a pipe: " + Why(error));
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inRead;
  startup.StartupInfo.hStdOutput = outWrite;
  startup.StartupInfo.hStdError = errWrite;
  HANDLE inheritedOnly[] = {inRead, outWrite, errWrite};
  SIZE_T listBytes = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listBytes);
  std::vector<char> list(listBytes);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  DWORD flags = CREATE_SUSPENDED;
  const bool listed = InitializeProcThreadAttributeList(attributes, 1, 0, &listBytes);
  if (listed && UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                          inheritedOnly, sizeof inheritedOnly, nullptr, nullptr)) {
    startup.lpAttributeList = attributes;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags,
                                      nullptr, nullptr, &startup.StartupInfo, &process);
  const DWORD startError = GetLastError();
  if (listed) DeleteProcThreadAttributeList(attributes);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CloseHandle(inRead);
  // The input is a line or two, far smaller than a pipe's buffer: this does not wait for the
  // child, and a child that does not read it gets an end of file after it.
  DWORD written = 0;
  if (started)
    WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  CloseHandle(inWrite);
  if (!started) {
    CloseHandle(outRead);
    CloseHandle(errRead);
    if (job) CloseHandle(job);
    throw std::runtime_error("cannot start veskctl: " + Why(startError));
  }
  if (job && !AssignProcessToJobObject(job, process.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  const auto run = reinterpret_cast<std::uintptr_t>(job ? job : process.hProcess);
  // Ended at once when the owner ends first.
  if (running && !running->Add(run) && !(job && TerminateJobObject(job, 1)))
    TerminateProcess(process.hProcess, 1);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  // Each pipe is read on a thread of its own: a child that fills one while this waits on the
  // other would never end.
  Captured captured;
  auto drain = [](HANDLE pipe, std::string& into) {
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) into.append(buffer, n);
  };
  std::thread outReader(drain, outRead, std::ref(captured.out));
  std::thread errReader(drain, errRead, std::ref(captured.err));
  const auto ms = static_cast<DWORD>(timeoutSeconds * 1000);
  const bool killed = WaitForSingleObject(process.hProcess, ms) == WAIT_TIMEOUT;
  if (killed) {
    if (!job || !TerminateJobObject(job, 1)) TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  outReader.join();
  errReader.join();
  if (running) running->Remove(run);
  CloseHandle(outRead);
  CloseHandle(errRead);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  if (job) CloseHandle(job);
  if (killed) {
    captured.err += "veskctl: the command did not finish within " + Seconds(timeoutSeconds) +
                    " s and was killed\n";
  } else {
    captured.exitCode = static_cast<int>(exitCode);
  }
  return captured;
}

// Windows sends no signal for a broken pipe: the write fails.
void IgnoreBrokenPipes() {}

}  // namespace veskctl
