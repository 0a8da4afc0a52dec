#include "standin/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <thread>
#include <vector>

#include "standin/names.h"

namespace standin {
namespace {

// The one table from the system's errors to the registry's statuses.
// ERROR_REGISTRY_CORRUPT is only ever said of a file that is not a registry
// file, never of one that could not be read.
LONG StatusOf(int error, LONG otherwise) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
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

// Writes the one line that says why the file is not used or not saved;
// returns `status`.
LONG Report(const std::string &path, const std::string &reason, LONG status, std::size_t line = 0) {
  if (line > 0) {
    std::fprintf(stderr, "lorimex: %s:%zu: %s\n", path.c_str(), line, reason.c_str());
  } else {
    std::fprintf(stderr, "lorimex: %s: %s\n", path.c_str(), reason.c_str());
  }
  std::fflush(stderr);
  return status;
}

LONG ReportError(const std::string &path, const std::string &what, int error, LONG otherwise) {
  return Report(path, what + std::strerror(error), StatusOf(error, otherwise));
}

// Keeps our files off descriptors 0-2: when the program is started with
// standard output closed, a file opened onto descriptor 1 would receive the
// report lines.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int error = errno;
  close(fd);
  errno = error;
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

// The files of the registry's own beside it are named for it, behind a dot,
// cut so that a long file name cannot make their names too long:
// ".NAME.lorimex-lock" and ".NAME.lorimex-save-XXXXXX".
std::string OwnFilePrefix(const std::string &path) {
  constexpr std::size_t kNamePart = 200;
  std::size_t slash = path.rfind('/');
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  return FolderOf(path) + "/." + name.substr(0, kNamePart);
}
constexpr char kLockTag[] = ".lorimex-lock";
constexpr char kSaveTag[] = ".lorimex-save-";
constexpr std::size_t kSaveRandom = 6;  // the XXXXXX that mkostemp fills

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

// Under the lock no other run is saving: a file of exactly the temporary
// pattern of this registry is left over from a run that was killed while
// saving. Nothing else is touched: not another name, not what is not a
// regular file, never the registry itself (whatever it is called).
void RemoveStrayTemporaries(const std::string &path) {
  std::string prefix = OwnFilePrefix(path) + kSaveTag;
  prefix.erase(0, FolderOf(path).size() + 1);
  struct stat registry {};
  bool registryExists = stat(path.c_str(), &registry) == 0;
  DIR *dir = opendir(FolderOf(path).c_str());
  if (!dir) return;
  while (const dirent *entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    struct stat st {};
    if (name.size() != prefix.size() + kSaveRandom || name.substr(0, prefix.size()) != prefix) continue;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (registryExists && st.st_dev == registry.st_dev && st.st_ino == registry.st_ino) continue;
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

// The largest file read. A run holds at most about 3.3 times the larger of
// the file before and after it, and the copy can double the file: up to
// about 6.6 times the file read (see the README's shape table). The machine,
// or the process's address space limit, must hold that.
std::uint64_t LargestReadable() {
  std::uint64_t memory =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    memory = std::min<std::uint64_t>(memory, limit.rlim_cur);
  return memory / 7;
}

// A missing file is a new REGEDIT4 file, in the code page asked for; one
// that is there says its form.
LONG ReadRegistry(const std::string &path, Key &top, FileForm &form) {
  // Non-blocking, so that a FIFO put in the file's place cannot hang the run.
  int fd = OpenFile(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return ERROR_SUCCESS;
  if (fd < 0) return ReportError(path, "cannot read: ", errno, ERROR_REGISTRY_IO_FAILED);
  struct stat st {};
  LONG status = ERROR_SUCCESS;
  std::string text;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    status = Report(path, "not a regular file", ERROR_REGISTRY_CORRUPT);
  } else if (static_cast<std::uint64_t>(st.st_size) > LargestReadable()) {
    status = Report(path, std::to_string(st.st_size) + " bytes: more than this machine's memory can hold",
                    ERROR_OUTOFMEMORY);
  } else {
    text.reserve(static_cast<std::size_t>(st.st_size));
    if (!ReadAll(fd, text)) status = ReportError(path, "cannot read: ", errno, ERROR_REGISTRY_IO_FAILED);
  }
  close(fd);
  ParseError error;
  if (status == ERROR_SUCCESS && !Parse(text, top, form, error))
    status = Report(path, error.reason, ERROR_REGISTRY_CORRUPT, error.line);
  return status;
}

RegistryFile Absolute(std::string path, bool byDefault) {
  // A registry reached through a symbolic link is written where the link
  // points: replacing the link itself would leave the real file behind.
  if (char *real = realpath(path.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  return {path, byDefault};
}

// Makes the folder, with its parents when `parents`; one that exists, made
// by a run beside this one perhaps, is fine.
bool MakeFolder(const std::string &folder, bool parents) {
  for (std::size_t slash = parents ? folder.find('/', 1) : std::string::npos; slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    if (mkdir(folder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Who holds a lock on the file `st`, as the kernel lists it, or 0.
long LockHolder(const struct stat &st) {
  std::ifstream locks("/proc/locks");
  std::string entry, kind, mode, access, device;
  long pid = 0;
  const std::string inode = ":" + std::to_string(st.st_ino);
  while (locks >> entry >> kind >> mode >> access >> pid >> device) {
    if (device.size() > inode.size() && device.compare(device.size() - inode.size(), inode.size(), inode) == 0)
      return pid;
    locks.ignore(256, '\n');
  }
  return 0;
}

// Waits for the lock a bounded time: a run that holds it for longer is
// stuck or belongs to someone else, and this run says so.
int WaitForLock(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockWaitSeconds);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (std::chrono::steady_clock::now() > deadline) return EWOULDBLOCK;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

}  // namespace

RegistryFile FindRegistryFile() {
  const char *chosen = std::getenv("LORIMEX_REGISTRY");
  if (chosen && *chosen) return Absolute(chosen, false);
  // Relative folders are ignored, as the XDG convention says: they would
  // depend on where the program happens to be started.
  const char *config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return Absolute(std::string(config) + "/lorimex/registry.reg", true);
  const char *home = std::getenv("HOME");
  if (home && *home == '/') return Absolute(std::string(home) + "/.config/lorimex/registry.reg", true);
  std::fprintf(stderr,
               "lorimex: no registry file: set LORIMEX_REGISTRY, or HOME or XDG_CONFIG_HOME to an absolute path\n");
  std::fflush(stderr);
  return {};
}

LONG RegistryLock::Take(const RegistryFile &file) {
  const std::string folder = FolderOf(file.path), path = OwnFilePrefix(file.path) + kLockTag;
  constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK;
  fd_ = OpenFile(path, kFlags, 0600);
  if (fd_ < 0 && errno == ENOENT && MakeFolder(folder, file.byDefault)) fd_ = OpenFile(path, kFlags, 0600);
  if (fd_ < 0 && errno == ENOENT)
    return Report(folder, std::string("cannot make the folder: ") + std::strerror(errno), ERROR_PATH_NOT_FOUND);
  if (fd_ < 0) return ReportError(path, "cannot open the lock file: ", errno, ERROR_ACCESS_DENIED);
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != geteuid() && geteuid() != 0))
    return Report(path, "the lock file is not a file of this user's", ERROR_ACCESS_DENIED);
  // Nobody else may open it, and so nobody else can hold it.
  if ((st.st_mode & 077) != 0) (void)fchmod(fd_, 0600);
  int error = WaitForLock(fd_);
  if (error == EWOULDBLOCK) {
    long holder = LockHolder(st);
    std::string who = holder > 0 ? "process " + std::to_string(holder) : "another process";
    return Report(path, "held by " + who + " for more than " + std::to_string(kLockWaitSeconds) + " seconds",
                  ERROR_SHARING_VIOLATION);
  }
  return error == 0 ? ERROR_SUCCESS : ReportError(path, "cannot lock: ", error, ERROR_REGISTRY_IO_FAILED);
}

RegistryLock::~RegistryLock() {
  if (fd_ >= 0) close(fd_);
}

LONG LoadRegistry(const RegistryFile &file, RegistryLock &lock, Key &top, FileForm &form) {
  // The code page of a REGEDIT4 file, as LORIMEX_CODEPAGE names it.
  const char *codePage = std::getenv("LORIMEX_CODEPAGE");
  std::string error;
  form = FileForm{};
  if (codePage && *codePage && std::strcmp(codePage, "utf-8") != 0 &&
      !(form.codePage = CodePage::Open(codePage, error)))
    return Report(file.path, "LORIMEX_CODEPAGE: " + error, ERROR_INVALID_PARAMETER);
  // Whatever is not a file (a FIFO, a device, a folder) is refused before
  // the lock is taken: nothing about it may hold up other runs.
  struct stat st {};
  if (stat(file.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Report(file.path, "not a regular file", ERROR_REGISTRY_CORRUPT);
  LONG status = lock.Take(file);
  if (status != ERROR_SUCCESS) return status;
  RemoveStrayTemporaries(file.path);
  try {
    return ReadRegistry(file.path, top, form);
  } catch (const std::bad_alloc &) {
    return Report(file.path, "out of memory", ERROR_OUTOFMEMORY);
  }
}

namespace {

// A temporary file beside the registry, removed again unless it became the
// registry: a save that fails, out of memory included, leaves nothing.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string &registry) : path_(OwnFilePrefix(registry) + kSaveTag + "XXXXXX") {
    fd_ = AboveStandardStreams(mkostemp(path_.data(), O_CLOEXEC));
  }
  TemporaryFile(const TemporaryFile &) = delete;
  TemporaryFile &operator=(const TemporaryFile &) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (fd_ != kRenamed) unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }
  bool RenameTo(const std::string &registry) {
    if (rename(path_.c_str(), registry.c_str()) != 0) return false;
    fd_ = kRenamed;
    return true;
  }

 private:
  static constexpr int kRenamed = -2;
  std::string path_;
  int fd_ = -1;
};

std::vector<std::string> AttributeNames(const char *buffer, ssize_t size) {
  std::vector<std::string> names;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(names.back().size()) + 1) names.emplace_back(buffer + at);
  return names;
}

// The old file's extended attributes (its access list among them) on the
// new one, and no others: a folder's default access list, say, which the
// new file took when it was made.
LONG CopyAttributes(const std::string &path, int fd) {
  char names[1 << 16], value[1 << 16];
  ssize_t size = llistxattr(path.c_str(), names, sizeof names);
  if (size < 0 && errno != ENOTSUP)
    return Report(path, std::string("cannot read the attributes: ") + std::strerror(errno), ERROR_ACCESS_DENIED);
  std::vector<std::string> old = AttributeNames(names, std::max<ssize_t>(size, 0));
  size = flistxattr(fd, names, sizeof names);
  for (const std::string &name : AttributeNames(names, std::max<ssize_t>(size, 0))) {
    if (std::find(old.begin(), old.end(), name) == old.end() && fremovexattr(fd, name.c_str()) != 0)
      return Report(path, "cannot clear the attribute " + name + " of the new file", ERROR_ACCESS_DENIED);
  }
  for (const std::string &name : old) {
    ssize_t length = lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    if (length < 0 || fsetxattr(fd, name.c_str(), value, static_cast<std::size_t>(length), 0) != 0)
      return Report(path, "cannot copy the attribute " + name + ": " + std::strerror(errno), ERROR_ACCESS_DENIED);
  }
  return ERROR_SUCCESS;
}

// Who may use the file stays as it was, or the file is not replaced.
LONG KeepIdentity(const std::string &path, const struct stat &old, int fd) {
  if (old.st_nlink > 1)
    return Report(path, "has other hard links, which a new file would part from it: not saved", ERROR_ACCESS_DENIED);
  if (fchown(fd, old.st_uid, old.st_gid) != 0)
    return Report(path, "cannot give a new file the owner and group of the old: not saved", ERROR_ACCESS_DENIED);
  LONG status = CopyAttributes(path, fd);
  if (status == ERROR_SUCCESS && fchmod(fd, old.st_mode & 07777) != 0)
    status = Report(path, "cannot give the new file the old one's permissions: not saved", ERROR_ACCESS_DENIED);
  return status;
}

bool IsReadOnly(const struct stat &st, const std::string &path) {
  return (st.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
}

}  // namespace

LONG SaveRegistry(const std::string &path, const Key &top, const FileForm &form) {
  struct stat st {};
  bool exists = stat(path.c_str(), &st) == 0;
  if (exists && IsReadOnly(st, path)) return Report(path, "no write permission: not saved", ERROR_ACCESS_DENIED);
  TemporaryFile temporary(path);
  if (temporary.fd() < 0) return ReportError(path, "cannot make a temporary file: ", errno, ERROR_REGISTRY_IO_FAILED);
  LONG status = exists ? KeepIdentity(path, st, temporary.fd()) : ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  int error = 0;
  bool written = Write(top, form, [&](std::string_view piece) {
    bool done = WriteAll(temporary.fd(), piece);
    if (!done) error = errno;
    return done;
  });
  if (written && fsync(temporary.fd()) != 0) written = false, error = errno;
  if (!temporary.Close() && written) written = false, error = errno;
  if (written && !temporary.RenameTo(path)) written = false, error = errno;
  if (!written) return ReportError(path, "not saved: ", error, ERROR_REGISTRY_IO_FAILED);
  SyncFolder(FolderOf(path));
  return ERROR_SUCCESS;
}

}  // namespace standin
