#include "standin/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "standin/service.h"
#include "standin/system_calls.h"

namespace standin {

LONG Report(const std::string &path, const std::string &reason, LONG status, std::size_t line) {
  const std::string acting = ActingAs();
  // A service run gives the reason back, with the file it is about.
  if (NoteReason(path, (line > 0 ? "line " + std::to_string(line) + ": " : "") + reason + acting)) return status;
  if (line > 0) {
    std::fprintf(stderr, "lorimex: %s:%zu: %s%s\n", path.c_str(), line, reason.c_str(), acting.c_str());
  } else {
    std::fprintf(stderr, "lorimex: %s: %s%s\n", path.c_str(), reason.c_str(), acting.c_str());
  }
  std::fflush(stderr);
  return status;
}

// The one table from the system's errors to the registry's statuses.
// ERROR_REGISTRY_CORRUPT is only ever said of a file that is not a registry
// file, never of one that could not be read.
LONG StatusOfError(int error, LONG otherwise) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_OUTOFMEMORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EIO:
      return ERROR_REGISTRY_IO_FAILED;
    default:
      return otherwise;
  }
}

std::string FolderOf(const std::string &path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool SameFile(const std::string &a, const std::string &b) {
  struct stat one {};
  struct stat other {};
  return stat(a.c_str(), &one) == 0 && stat(b.c_str(), &other) == 0 && one.st_dev == other.st_dev &&
         one.st_ino == other.st_ino;
}
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int error = errno;
  close(fd);
  errno = error;
  return moved;
}

}  // namespace standin
