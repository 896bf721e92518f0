// Regular files, their byte-range locks, and console control: what veskctl needs for its state
// file and to hear that it should stop.
//
// A lock is a Win32 byte-range lock held by one handle; other handles, of this process or
// another, cannot lock an overlapping range while it is held. Here a handle with any range locked
// holds flock() on its own open file description: that excludes every other handle, is given up
// with the handle and dies with the process, which is what callers rely on. The ranges themselves
// are kept per handle only to fail as Windows fails (a range locked twice, unlocking a range that
// is not locked); flock() knows no ranges, so two handles locking different ranges of one file
// also exclude each other here.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/Errors.h"
#include "platform/posix/Handles.h"

namespace vesk::platform {

namespace {

class DiskFileObject final : public KernelObject {
 public:
  explicit DiskFileObject(int fd) : KernelObject(Kind::DiskFile), fd(fd) {}
  ~DiskFileObject() override { ::close(fd); }  // also lets go of the lock

  struct Range {
    std::uint64_t offset, length;
    bool exclusive;
    bool Overlaps(std::uint64_t o, std::uint64_t l) const {
      return o < offset + length && offset < o + l;
    }
  };

  const int fd;
  std::mutex lock;
  std::vector<Range> ranges;  // what this handle has locked
};

std::shared_ptr<DiskFileObject> LookupFile(HANDLE handle) {
  return LookupHandleAs<DiskFileObject>(handle, KernelObject::Kind::DiskFile);
}

// ENOENT is 2 for a missing file and 3 for a missing folder on the way to it.
DWORD MissingError(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ignored;
  return parent.empty() || std::filesystem::is_directory(parent, ignored) ? ERROR_FILE_NOT_FOUND
                                                                          : ERROR_PATH_NOT_FOUND;
}

DWORD PathError(int error, const std::string& path) {
  return error == ENOENT ? MissingError(path) : WinErrorFromErrno(error);
}

std::uint64_t Offset(const OVERLAPPED& overlapped) {
  return (static_cast<std::uint64_t>(overlapped.OffsetHigh) << 32) | overlapped.Offset;
}

}  // namespace

}  // namespace vesk::platform

using namespace vesk::platform;

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                   LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  int flags = O_CLOEXEC;
  const bool reads = desiredAccess & (GENERIC_READ | GENERIC_ALL);
  const bool writes = desiredAccess & (GENERIC_WRITE | GENERIC_ALL);
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  switch (creationDisposition) {
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case OPEN_EXISTING:
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  const std::string path = ToUtf8(fileName);
  struct stat before {};
  const bool existed = ::stat(path.c_str(), &before) == 0;
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return Fail(PathError(errno, path), INVALID_HANDLE_VALUE);
  struct stat opened {};
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder is not a file to open.
  if (::fstat(fd, &opened) != 0 || S_ISDIR(opened.st_mode)) {
    ::close(fd);
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  HANDLE handle = InsertHandle(std::make_shared<DiskFileObject>(fd));
  // Creating dispositions say whether the file was there already.
  const bool creates = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
  SetLastError(creates && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (overlapped != nullptr || bytesRead == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  ssize_t n;
  do {
    n = ::read(object->fd, buffer, bytesToRead);
  } while (n < 0 && errno == EINTR);
  // A handle opened without read access has EBADF here; Windows calls it access denied.
  if (n < 0) return Fail(errno == EBADF ? ERROR_ACCESS_DENIED : WinErrorFromErrno(errno), FALSE);
  *bytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (overlapped != nullptr || bytesWritten == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *bytesWritten = 0;
  // A file on disk takes everything it is given, or fails.
  const char* bytes = static_cast<const char*>(buffer);
  while (*bytesWritten < bytesToWrite) {
    const ssize_t n = ::write(object->fd, bytes + *bytesWritten, bytesToWrite - *bytesWritten);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno == EBADF ? ERROR_ACCESS_DENIED : WinErrorFromErrno(errno), FALSE);
    *bytesWritten += static_cast<DWORD>(n);
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (::fsync(object->fd) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  if (existingFileName == nullptr || newFileName == nullptr ||
      (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::string from = ToUtf8(existingFileName), to = ToUtf8(newFileName);
  const bool moved =
      flags & MOVEFILE_REPLACE_EXISTING
          ? ::rename(from.c_str(), to.c_str()) == 0
          : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
  if (!moved) {
    const int error = errno;
    if (error == ENOENT && ::access(from.c_str(), F_OK) != 0)
      return Fail(MissingError(from), FALSE);
    return Fail(PathError(error, to), FALSE);
  }
  if (flags & MOVEFILE_WRITE_THROUGH) {
    // The move is on disk once the folder that now holds the name is.
    const std::filesystem::path parent = std::filesystem::path(to).parent_path();
    const int folder =
        ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Fail(WinErrorFromErrno(errno), FALSE);
    const int synced = ::fsync(folder) == 0 ? 0 : errno;
    ::close(folder);
    if (synced != 0) return Fail(WinErrorFromErrno(synced), FALSE);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                LPOVERLAPPED overlapped) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (overlapped == nullptr || reserved != 0 ||
      (flags & ~(LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK)) != 0)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const DiskFileObject::Range range{Offset(*overlapped),
                                    (static_cast<std::uint64_t>(bytesHigh) << 32) | bytesLow,
                                    (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0};
  std::lock_guard guard(object->lock);
  bool exclusive = range.exclusive;
  for (const auto& held : object->ranges) {
    // An exclusive range overlaps nothing this handle holds; a shared one may overlap anything
    // this handle holds (other handles are flock's business).
    if (held.Overlaps(range.offset, range.length) && range.exclusive)
      return Fail(ERROR_LOCK_VIOLATION, FALSE);
    exclusive = exclusive || held.exclusive;
  }
  const int operation =
      (exclusive ? LOCK_EX : LOCK_SH) | (flags & LOCKFILE_FAIL_IMMEDIATELY ? LOCK_NB : 0);
  int rc;
  do {
    rc = ::flock(object->fd, operation);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0)
    return Fail(errno == EWOULDBLOCK ? ERROR_LOCK_VIOLATION : WinErrorFromErrno(errno), FALSE);
  object->ranges.push_back(range);
  return TRUE;
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                  LPOVERLAPPED overlapped) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (overlapped == nullptr || reserved != 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::uint64_t offset = Offset(*overlapped);
  const std::uint64_t length = (static_cast<std::uint64_t>(bytesHigh) << 32) | bytesLow;
  std::lock_guard guard(object->lock);
  // Only a range exactly as it was locked can be unlocked; locked twice (exclusive, then shared),
  // the exclusive lock goes first.
  const auto matches = [&](const auto& held) {
    return held.offset == offset && held.length == length;
  };
  auto it = std::find_if(object->ranges.begin(), object->ranges.end(),
                         [&](const auto& held) { return matches(held) && held.exclusive; });
  if (it == object->ranges.end())
    it = std::find_if(object->ranges.begin(), object->ranges.end(), matches);
  if (it == object->ranges.end()) return Fail(ERROR_NOT_LOCKED, FALSE);
  object->ranges.erase(it);
  const bool exclusive = std::any_of(object->ranges.begin(), object->ranges.end(),
                                     [](const auto& held) { return held.exclusive; });
  ::flock(object->fd, object->ranges.empty() ? LOCK_UN : exclusive ? LOCK_EX : LOCK_SH);
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPointer,
                      DWORD moveMethod) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const int whence = moveMethod == FILE_BEGIN     ? SEEK_SET
                     : moveMethod == FILE_CURRENT ? SEEK_CUR
                     : moveMethod == FILE_END     ? SEEK_END
                                                  : -1;
  if (whence < 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // Windows refuses a position before the start with the same error.
  const off_t at = ::lseek(object->fd, static_cast<off_t>(distance.QuadPart), whence);
  if (at < 0) return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : WinErrorFromErrno(errno), FALSE);
  if (newPointer != nullptr) newPointer->QuadPart = at;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  struct stat status {};
  if (::fstat(object->fd, &status) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
  size->QuadPart = status.st_size;
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  auto object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  const off_t at = ::lseek(object->fd, 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(object->fd, at) != 0)
    return Fail(errno == EBADF || errno == EINVAL ? ERROR_ACCESS_DENIED : WinErrorFromErrno(errno),
                FALSE);
  return TRUE;
}

// --- console control ---------------------------------------------------------------------------
//
// SIGINT is Ctrl+C (CTRL_C_EVENT) and SIGTERM the request to close (CTRL_CLOSE_EVENT). As on
// Windows the handlers run on a thread of their own, the last one added first, until one returns
// TRUE; when none does, the signal's default action ends the process.

namespace {

struct ConsoleControl {
  std::mutex lock;
  std::vector<PHANDLER_ROUTINE> handlers;
  int pipe[2] = {-1, -1};
};

ConsoleControl& Control() {
  static ConsoleControl* control = new ConsoleControl;  // used by a thread that never ends
  return *control;
}

void OnSignal(int signal) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  const int saved = errno;
  [[maybe_unused]] auto ignored = ::write(Control().pipe[1], &byte, 1);
  errno = saved;
}

void Dispatch() {
  auto& control = Control();
  for (;;) {
    unsigned char signal = 0;
    const ssize_t n = ::read(control.pipe[0], &signal, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return;
    std::vector<PHANDLER_ROUTINE> handlers;
    {
      std::lock_guard guard(control.lock);
      handlers.assign(control.handlers.rbegin(), control.handlers.rend());
    }
    const DWORD type = signal == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT;
    if (std::none_of(handlers.begin(), handlers.end(), [&](auto h) { return h(type) != FALSE; })) {
      std::signal(signal, SIG_DFL);
      ::raise(signal);
    }
  }
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  // (Windows also takes a null handler, to ignore Ctrl+C; nothing here needs that.)
  if (handler == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto& control = Control();
  std::lock_guard guard(control.lock);
  if (!add) {
    auto it = std::find(control.handlers.rbegin(), control.handlers.rend(), handler);
    if (it == control.handlers.rend()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    control.handlers.erase(std::next(it).base());
    return TRUE;
  }
  if (control.pipe[0] < 0) {
    if (::pipe2(control.pipe, O_CLOEXEC) != 0) return Fail(WinErrorFromErrno(errno), FALSE);
    std::thread(Dispatch).detach();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
  }
  control.handlers.push_back(handler);
  return TRUE;
}
