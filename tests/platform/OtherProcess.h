// A second process that opens, takes and holds a named mutex with the library's descriptor (or
// locks a file), for what only another process can show: a machine-wide mutex, an owner that is
// killed or exits, a lock held elsewhere.
// It uses nothing but platform/win32.h, so it runs against the emulation and against Win32 alike.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace vesk::test {

// The descriptor the library gives its machine-wide mutexes.
inline constexpr const wchar_t* kLibrarySddl = L"D:(A;;GA;;;WD)(A;;GA;;;AN)S:(ML;;NW;;;HI)";
inline constexpr DWORD kChildTimeout = 10000;

// Creates a named mutex with the library's descriptor.
inline HANDLE CreateLibraryMutex(const std::wstring& name, BOOL initialOwner,
                                 const wchar_t* sddl = kLibrarySddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  HANDLE mutex = CreateMutexW(&attributes, initialOwner, name.c_str());
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  SetLastError(error);
  return mutex;
}

// The child is this program started again with VESK_CONTRACT_CHILD naming what it does to the
// mutex VESK_CONTRACT_NAME. It runs before the test framework starts and answers through its exit
// code and a named event "<name>_owned".

inline std::wstring OwnedEventName(const std::wstring& name) { return name + L"_owned"; }

// The file VESK_CONTRACT_FILE names, opened to be read, written and locked.
inline HANDLE OpenForLocking(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

[[noreturn]] inline void RunChild(const std::string& scenario, const std::wstring& name) {
  if (scenario == "lock") {
    // Locks the first byte of the file and waits to be killed with the lock held.
    const std::string file = std::getenv("VESK_CONTRACT_FILE");
    HANDLE locked = OpenForLocking(std::wstring(file.begin(), file.end()));
    OVERLAPPED at = {};
    if (!LockFileEx(locked, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) std::exit(14);
    SetEvent(CreateEventW(nullptr, TRUE, FALSE, OwnedEventName(name).c_str()));
    Sleep(60000);
    std::exit(13);
  }
  HANDLE mutex = CreateLibraryMutex(name, FALSE);
  const DWORD error = GetLastError();
  // Exit codes are 8 bits on POSIX: 0 for an open that found the mutex, else the error.
  if (scenario == "open")
    std::exit(mutex ? (error == ERROR_ALREADY_EXISTS ? 0 : 98) : error & 0x7F);
  if (mutex == nullptr) std::exit(10);
  if (error != ERROR_ALREADY_EXISTS) std::exit(11);
  HANDLE owned = CreateEventW(nullptr, TRUE, FALSE, OwnedEventName(name).c_str());
  if (WaitForSingleObject(mutex, kChildTimeout) != WAIT_OBJECT_0) std::exit(12);
  SetEvent(owned);
  // "exit" ends the process while its thread owns the mutex; "hold" waits to be killed.
  if (scenario == "exit") std::exit(0);
  Sleep(60000);
  std::exit(13);
}

[[maybe_unused]] inline const int childHook = [] {
  const char* scenario = std::getenv("VESK_CONTRACT_CHILD");
  const char* name = std::getenv("VESK_CONTRACT_NAME");
  if (scenario != nullptr && name != nullptr) {
    RunChild(scenario, std::wstring(name, name + std::char_traits<char>::length(name)));
  }
  return 0;
}();

class Child {
 public:
  Child(const std::wstring& scenario, const std::wstring& name)
      : owned(CreateEventW(nullptr, TRUE, FALSE, OwnedEventName(name).c_str())) {
    std::vector<wchar_t> path(32768);
    GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring commandLine = L"\"" + std::wstring(path.data()) + L"\"";
    SetEnvironmentVariableW(L"VESK_CONTRACT_CHILD", scenario.c_str());
    SetEnvironmentVariableW(L"VESK_CONTRACT_NAME", name.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    started = CreateProcessW(path.data(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info);
    SetEnvironmentVariableW(L"VESK_CONTRACT_CHILD", nullptr);
    SetEnvironmentVariableW(L"VESK_CONTRACT_NAME", nullptr);
    process = info.hProcess;
    if (info.hThread != nullptr) CloseHandle(info.hThread);
  }

  ~Child() {
    if (started) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, kChildTimeout);
      CloseHandle(process);
    }
    CloseHandle(owned);
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Whether the child took the mutex; it ended without (with its exit code) otherwise.
  ::testing::AssertionResult TookTheMutex(DWORD milliseconds = kChildTimeout) {
    if (!started) return ::testing::AssertionFailure() << "CreateProcessW: " << GetLastError();
    HANDLE either[2] = {owned, process};
    const DWORD result = WaitForMultipleObjects(2, either, FALSE, milliseconds);
    if (result == WAIT_OBJECT_0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "wait " << result << ", child exit " << ExitCode();
  }

  // The exit code once the child has ended, STILL_ACTIVE if it runs on past the time-out.
  DWORD Join() {
    WaitForSingleObject(process, kChildTimeout);
    return ExitCode();
  }

  void Kill(UINT exitCode) { EXPECT_TRUE(TerminateProcess(process, exitCode)); }

 private:
  DWORD ExitCode() {
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) ? code : GetLastError();
  }

  HANDLE owned;
  BOOL started = FALSE;
  HANDLE process = nullptr;
};

}  // namespace vesk::test
