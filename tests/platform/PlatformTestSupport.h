// Names of machine-wide objects that no other test, test run or process on the machine uses.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

namespace vesk::test {

inline std::wstring UniqueName(const std::wstring& prefix = L"Global\\VeskTest") {
  static std::atomic<int> counter{0};
  return prefix + L"_" + std::to_wstring(getpid()) + L"_" + std::to_wstring(++counter);
}

inline std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// Entries of /dev/shm whose name contains `part`.
inline std::vector<std::string> ShmEntries(const std::string& part) {
  std::vector<std::string> found;
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir))
      if (std::string(entry->d_name).find(part) != std::string::npos)
        found.push_back(entry->d_name);
    closedir(dir);
  }
  return found;
}

// The part of a segment name that identifies `name` ("Global\X" lives in "vesk.global.X").
inline std::string ShmPart(const std::wstring& name) {
  const auto slash = name.find(L'\\');
  return "." + Narrow(slash == std::wstring::npos ? name : name.substr(slash + 1));
}

}  // namespace vesk::test
