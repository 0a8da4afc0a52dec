#include "registry/standin_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace standin {
namespace {

// Keeps our files off descriptors 0-2: when the program is started with
// standard output closed, a file opened onto descriptor 1 would receive the
// report lines.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

int OpenFile(const std::string &path, int flags, mode_t mode = 0) {
  return AboveStandardStreams(open(path.c_str(), flags | O_CLOEXEC, mode));
}

std::string FolderOf(const std::string &path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes the one line that says why the file is not used; returns `status`.
LONG ReportCorrupt(const std::string &path, std::size_t line, const std::string &reason,
                   LONG status = ERROR_REGISTRY_CORRUPT) {
  if (line > 0) {
    std::fprintf(stderr, "lorimex: %s:%zu: %s\n", path.c_str(), line, reason.c_str());
  } else {
    std::fprintf(stderr, "lorimex: %s: %s\n", path.c_str(), reason.c_str());
  }
  std::fflush(stderr);
  return status;
}

bool ReadAll(int fd, std::string &text) {
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void SyncFolder(const std::string &folder) {
  int fd = OpenFile(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Temporary files are named for the folder, not the registry file, so that
// a long file name cannot make their path too long.
constexpr char kTemporaryPrefix[] = ".lorimex-";
constexpr std::size_t kTemporaryName = sizeof kTemporaryPrefix - 1 + 6;

// Under the lock no other run is saving: what matches is left over.
void RemoveStrayTemporaries(const std::string &folder) {
  DIR *dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent *entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() == kTemporaryName && name.substr(0, sizeof kTemporaryPrefix - 1) == kTemporaryPrefix)
      unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

// The largest file read: the tree takes about twice the file, and the
// machine or the process's address space limit must hold it.
std::uint64_t LargestReadable() {
  std::uint64_t memory =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    memory = std::min<std::uint64_t>(memory, limit.rlim_cur);
  return memory / 3;
}

LONG ReadRegistry(const std::string &path, regfile::Key &top) {
  // Non-blocking, so that a FIFO put in the file's place cannot hang the run.
  int fd = OpenFile(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return ERROR_SUCCESS;
  if (fd < 0) return ReportCorrupt(path, 0, std::strerror(errno));
  struct stat st {};
  LONG status = ERROR_SUCCESS;
  std::string text;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    status = ReportCorrupt(path, 0, "not a regular file");
  } else if (static_cast<std::uint64_t>(st.st_size) > LargestReadable()) {
    status = ReportCorrupt(path, 0, std::to_string(st.st_size) + " bytes: more than this machine's memory can hold",
                           ERROR_OUTOFMEMORY);
  } else {
    text.reserve(static_cast<std::size_t>(st.st_size));
    if (!ReadAll(fd, text)) status = ReportCorrupt(path, 0, std::strerror(errno));
  }
  close(fd);
  regfile::ParseError error;
  if (status == ERROR_SUCCESS && !regfile::Parse(text, top, error))
    status = ReportCorrupt(path, error.line, error.reason);
  return status;
}

// No registry file can be chosen: the run gets a status for every call.
std::string NoRegistry() {
  std::fprintf(stderr,
               "lorimex: no registry file: set LORIMEX_REGISTRY, or HOME or XDG_CONFIG_HOME to an absolute path\n");
  std::fflush(stderr);
  return {};
}

std::string ChosenPath() {
  const char *chosen = std::getenv("LORIMEX_REGISTRY");
  if (chosen && *chosen) return chosen;
  // Relative folders are ignored, as the XDG convention says: they would
  // depend on where the program happens to be started.
  const char *config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/lorimex/registry.reg";
  const char *home = std::getenv("HOME");
  if (home && *home == '/') return std::string(home) + "/.config/lorimex/registry.reg";
  return NoRegistry();
}

}  // namespace

// A registry reached through a symbolic link is written where the link
// points: replacing the link itself would leave the real file behind.
std::string RegistryPath() {
  std::string path = ChosenPath();
  char *real = path.empty() ? nullptr : realpath(path.c_str(), nullptr);
  if (real) {
    path = real;
    std::free(real);
  }
  return path;
}

LONG FolderLock::Take(const std::string &filePath) {
  std::string folder = FolderOf(filePath);
  fd_ = OpenFile(folder, O_RDONLY | O_DIRECTORY);
  if (fd_ < 0 && errno == ENOENT && mkdir(folder.c_str(), 0700) == 0) fd_ = OpenFile(folder, O_RDONLY | O_DIRECTORY);
  int failure = fd_ < 0 ? errno : 0;
  while (failure == 0 && flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) failure = errno;
  }
  if (failure == 0) return ERROR_SUCCESS;
  std::fprintf(stderr, "lorimex: %s: cannot lock the folder: %s\n", folder.c_str(), std::strerror(failure));
  std::fflush(stderr);
  if (failure == EACCES || failure == EPERM || failure == EROFS) return ERROR_ACCESS_DENIED;
  return failure == ENOENT || failure == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_REGISTRY_IO_FAILED;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);
}

LONG LoadRegistry(const std::string &path, FolderLock &lock, regfile::Key &top) {
  // Whatever is not a file (a FIFO, a device, a folder) is refused before
  // the lock is taken: nothing about it may hold up other runs.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return ReportCorrupt(path, 0, "not a regular file");
  LONG status = lock.Take(path);
  if (status != ERROR_SUCCESS) return status;
  RemoveStrayTemporaries(FolderOf(path));
  try {
    return ReadRegistry(path, top);
  } catch (const std::bad_alloc &) {
    return ReportCorrupt(path, 0, "out of memory", ERROR_OUTOFMEMORY);
  }
}

namespace {

bool IsReadOnly(const struct stat &st, const std::string &path) {
  return (st.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
}

bool WriteTemporary(int fd, const struct stat *old, const regfile::Key &top) {
  if (fchmod(fd, old ? (old->st_mode & 07777) : 0600) != 0) return false;
  // Only root can give the file to its owner; others keep what they can.
  if (old && fchown(fd, old->st_uid, old->st_gid) != 0) (void)!fchown(fd, static_cast<uid_t>(-1), old->st_gid);
  return regfile::Write(top, [fd](std::string_view piece) { return WriteAll(fd, piece); }) && fsync(fd) == 0;
}

}  // namespace

LONG SaveRegistry(const std::string &path, const regfile::Key &top) {
  struct stat st {};
  bool exists = stat(path.c_str(), &st) == 0;
  if (exists && IsReadOnly(st, path)) return ERROR_ACCESS_DENIED;
  std::string folder = FolderOf(path);
  std::string temporary = folder + "/" + kTemporaryPrefix + "XXXXXX";
  int fd = AboveStandardStreams(mkostemp(temporary.data(), O_CLOEXEC));
  if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
  bool written = WriteTemporary(fd, exists ? &st : nullptr, top);
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return ERROR_REGISTRY_IO_FAILED;
  }
  SyncFolder(folder);
  return ERROR_SUCCESS;
}

}  // namespace standin
