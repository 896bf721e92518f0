// Files that several runs of veskctl share (the state file, the journal, the console's token): a
// reader never keeps a writer from replacing them, and a replacement is atomic and durable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace veskctl {

// The user named something that is not there or not unique; nothing was sent to the driver.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A state file that cannot be used (corrupt, another format version, a directory, the lock not
// to be had). A file that exists is left as it is; the message says how to start over.
class StateFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Another run held the lock for longer than the lock time-out.
class StateFileBusy : public StateFileError {
 public:
  using StateFileError::StateFileError;
};

// A file opened through a handle that lets others read, replace and remove it meanwhile: a reader
// must never keep a writer from replacing the file. `access` and `disposition` are CreateFileW's.
class SharedFile {
 public:
  SharedFile(const std::filesystem::path& path, std::uint32_t access, std::uint32_t disposition);
  ~SharedFile();
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;
  bool Open() const;

  void* const handle;  // the HANDLE
};

// What a failed file call's error means, in words where veskctl knows them, with the number.
std::string FileErrorText(std::uint32_t error);

// Replaces `path` with `text` atomically and durably: written aside and flushed, renamed over the
// old file, then the folder flushed so that the rename itself survives a crash. Failures are
// StateFileError naming `what` ("the state file").
void WriteFileAtomically(const std::filesystem::path& path, const std::string& text,
                         const std::string& what);

// Lets only the file's owner read and write it (on POSIX; Windows keeps the folder's own access
// list, the user's own under %LOCALAPPDATA%). The journal and the files beside it say who did
// what to the machine: nobody else on it needs to read them. A failure changes nothing.
void KeepToOwner(const std::filesystem::path& path);

// Whether the file holds a secret safely: on POSIX owned by this process's user and closed to
// others; on Windows the folder's protection is relied on (the user's own under %LOCALAPPDATA%).
bool IsPrivateFile(const std::filesystem::path& path);

// The whole of `path`, read through a handle that lets others replace the file meanwhile; nothing
// when there is no such file. Failures are StateFileError naming `what` ("the state file").
std::optional<std::string> ReadFileShared(const std::filesystem::path& path,
                                          const std::string& what);

}  // namespace veskctl
