#include "registry/standin_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void ReportCorrupt(const std::string &path, std::size_t line, const std::string &reason) {
  if (line > 0) {
    std::fprintf(stderr, "lorimex: %s:%zu: %s\n", path.c_str(), line, reason.c_str());
  } else {
    std::fprintf(stderr, "lorimex: %s: %s\n", path.c_str(), reason.c_str());
  }
  std::fflush(stderr);
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

// The new file keeps the old one's permissions; a new registry is private.
mode_t ModeFor(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
}

}  // namespace

namespace {

std::string ChosenPath() {
  const char *chosen = std::getenv("LORIMEX_REGISTRY");
  if (chosen && *chosen) return chosen;
  const char *config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return std::string(config) + "/lorimex/registry.reg";
  const char *home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/lorimex/registry.reg";
}

}  // namespace

// A registry reached through a symbolic link is written where the link
// points: replacing the link itself would leave the real file behind.
std::string RegistryPath() {
  std::string path = ChosenPath();
  char *real = realpath(path.c_str(), nullptr);
  if (real) {
    path = real;
    std::free(real);
  }
  return path;
}

FolderLock::FolderLock(const std::string &filePath) {
  fd_ = OpenFile(FolderOf(filePath), O_RDONLY | O_DIRECTORY);
  while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);
}

LONG LoadRegistry(const std::string &path, regfile::Key &top) {
  int fd = OpenFile(path, O_RDONLY);
  if (fd < 0 && errno == ENOENT) return ERROR_SUCCESS;
  if (fd < 0) {
    ReportCorrupt(path, 0, std::strerror(errno));
    return ERROR_REGISTRY_CORRUPT;
  }
  std::string text;
  struct stat st {};
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular) text.reserve(static_cast<std::size_t>(st.st_size));
  bool read = regular && ReadAll(fd, text);
  int readError = errno;
  close(fd);
  if (!regular) {
    ReportCorrupt(path, 0, "not a regular file");
    return ERROR_REGISTRY_CORRUPT;
  }
  if (!read) {
    ReportCorrupt(path, 0, std::strerror(readError));
    return ERROR_REGISTRY_CORRUPT;
  }
  regfile::ParseError error;
  if (!regfile::Parse(text, top, error)) {
    ReportCorrupt(path, error.line, error.reason);
    return ERROR_REGISTRY_CORRUPT;
  }
  return ERROR_SUCCESS;
}

LONG SaveRegistry(const std::string &path, const regfile::Key &top) {
  std::string folder = FolderOf(path);
  mkdir(folder.c_str(), 0700);
  std::string temporary = path + ".XXXXXX";
  int fd = AboveStandardStreams(mkostemp(temporary.data(), O_CLOEXEC));
  if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
  bool written = fchmod(fd, ModeFor(path)) == 0 &&
                 regfile::Write(top, [fd](std::string_view piece) { return WriteAll(fd, piece); }) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return ERROR_REGISTRY_IO_FAILED;
  }
  SyncFolder(folder);
  return ERROR_SUCCESS;
}

}  // namespace standin
