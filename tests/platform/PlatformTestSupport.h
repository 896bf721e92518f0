// Shared pieces of the platform tests: names of machine-wide objects that no other test, test run
// or process on the machine uses, their shared-memory segments, and simulated devices.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "simulator/Machine.h"

namespace vesk::test {

inline std::wstring UniqueName(const std::wstring& prefix = L"Global\\VeskTest") {
  static std::atomic<int> counter{0};
  return prefix + L"_" + std::to_wstring(getpid()) + L"_" + std::to_wstring(++counter);
}

inline std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// Entries of /dev/shm whose name ends with `part`.
inline std::vector<std::string> ShmEntries(const std::string& part) {
  std::vector<std::string> found;
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir))
      // The segment's name ends with the part: a longer name from an earlier process with the
      // same id (ids are reused, and killed processes leave segments) must not count.
      if (const std::string name = entry->d_name;
          name.size() >= part.size() &&
          name.compare(name.size() - part.size(), part.size(), part) == 0)
        found.push_back(name);
    closedir(dir);
  }
  return found;
}

// The part of a segment name that identifies `name` ("Global\X" lives in "vesk.global.X").
inline std::string ShmPart(const std::wstring& name) {
  const auto slash = name.find(L'\\');
  return "." + Narrow(slash == std::wstring::npos ? name : name.substr(slash + 1));
}

// The last error of a call that failed (`ok` false); 0 for a call that succeeded.
inline DWORD FailureOf(BOOL ok) { return ok ? 0 : GetLastError(); }

inline std::wstring PathOf(const std::wstring& pdo) { return L"\\\\?\\Global\\GlobalRoot" + pdo; }

inline HANDLE Open(const std::wstring& path) {
  return CreateFile2(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     OPEN_EXISTING, nullptr);
}

// A device call without buffers.
inline BOOL Bare(HANDLE device) {
  DWORD returned = 0;
  return DeviceIoControl(device, 1, nullptr, 0, nullptr, 0, &returned, nullptr);
}

// A RAID controller device with this PDO name and backend.
inline vesk::sim::DeviceSpec Controller(std::wstring pdo,
                                        std::shared_ptr<vesk::sim::DeviceBackend> backend = {}) {
  vesk::sim::DeviceSpec description;
  description.manufacturer = L"Korva Corporation";
  description.service = L"zrTalu";
  description.pdoName = std::move(pdo);
  description.backend = std::move(backend);
  return description;
}

}  // namespace vesk::test
