#include "platform/posix/Errors.h"

#include <cerrno>

namespace vesk::platform {

DWORD WinErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case EPERM:
    case EACCES:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
      return ERROR_BAD_PATHNAME;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EBUSY:
      return ERROR_BUSY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case ENODEV:
    case ENXIO:
      return ERROR_DEVICE_NOT_CONNECTED;
    case EIO:
      return ERROR_IO_DEVICE;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace vesk::platform
