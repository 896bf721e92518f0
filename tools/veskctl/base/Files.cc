#include "tools/veskctl/base/Files.h"

#include <atomic>

#include "platform/win32.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veskctl {

namespace fs = std::filesystem;

namespace {

// Reads, writes and replaces go through handles that let others read, replace and remove the
// file meanwhile: a reader must never keep a save from replacing the file.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

using File = SharedFile;

}  // namespace

std::string FileErrorText(std::uint32_t error) {
  const char* words = error == ERROR_FILE_NOT_FOUND      ? "no such file"
                      : error == ERROR_PATH_NOT_FOUND    ? "no such folder"
                      : error == ERROR_ACCESS_DENIED     ? "access denied"
                      : error == ERROR_SHARING_VIOLATION ? "in use by another program"
                      : error == 112                     ? "the disk is full"
                                                         : "failed";
  return std::string(words) + " (Windows error " + std::to_string(error) + ")";
}

SharedFile::SharedFile(const fs::path& path, std::uint32_t access, std::uint32_t disposition)
    : handle(CreateFileW(path.wstring().c_str(), access, kShareAll, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr)) {}

SharedFile::~SharedFile() {
  if (Open()) CloseHandle(handle);
}

bool SharedFile::Open() const { return handle != INVALID_HANDLE_VALUE; }

void WriteFileAtomically(const fs::path& path, const std::string& text, const std::string& what) {
  // A name of this writer's own: two writers of one file (two `monitor --once`, say) must not
  // write into, or rename away, each other's half-written file. The last rename wins whole.
  static std::atomic<unsigned> writes{0};
  const fs::path aside = path.string() + ".new." + std::to_string(GetCurrentProcessId()) + "." +
                         std::to_string(++writes);
  // Once renamed the name is gone; before, a failure leaves nothing behind under it.
  struct Leftover {
    const fs::path& file;
    ~Leftover() {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  } leftover{aside};
  {
    File out(aside, GENERIC_WRITE, CREATE_ALWAYS);
    if (!out.Open())
      throw StateFileError("cannot write " + what + " " + aside.string() + ": " +
                           FileErrorText(GetLastError()));
    KeepToOwner(aside);
    DWORD written = 0;
    if (!WriteFile(out.handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
      throw StateFileError("cannot write " + what + " " + aside.string() + ": " +
                           FileErrorText(GetLastError()));
    // The content must be on disk before the name points at it, or a crash could leave an empty
    // file under the file's name.
    if (!FlushFileBuffers(out.handle))
      throw StateFileError("cannot flush " + aside.string() +
                           " to disk: " + FileErrorText(GetLastError()));
  }
  // Write-through: the move itself is on disk (the folder flushed) when the call returns.
  if (!MoveFileExW(aside.wstring().c_str(), path.wstring().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw StateFileError("cannot replace " + what + " " + path.string() + ": " +
                         FileErrorText(GetLastError()));
  }
}

std::optional<std::string> ReadFileShared(const fs::path& path, const std::string& what) {
  File in(path, GENERIC_READ, OPEN_EXISTING);
  if (!in.Open()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw StateFileError("cannot read " + what + " " + path.string() + ": " + FileErrorText(error));
  }
  std::string text;
  char buffer[65536];
  for (DWORD n = 0;; text.append(buffer, n)) {
    if (!ReadFile(in.handle, buffer, sizeof buffer, &n, nullptr))
      throw StateFileError("cannot read " + what + " " + path.string() + ": " +
                           FileErrorText(GetLastError()));
    if (n == 0) break;
  }
  return text;
}

void KeepToOwner(const fs::path& path) {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                  ignored);
}

bool IsPrivateFile(const fs::path& path) {
#ifdef _WIN32
  (void)path;
  return true;
#else
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & 077) == 0 &&
         info.st_uid == ::geteuid();
#endif
}

}  // namespace veskctl
