#include "containers/in_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>

#include "containers/find.h"

namespace containers {
namespace {

// One flag per descriptor whose lease SIGIO said was broken.
constexpr int kMostWatched = 1024;
std::atomic<bool> broken[kMostWatched];

void NoteBroken(int, siginfo_t *info, void *) {
  if (info->si_fd >= 0 && info->si_fd < kMostWatched) broken[info->si_fd] = true;
}

void WatchLeases() {
  static bool watching = false;
  if (watching) return;
  struct sigaction action {};
  action.sa_sigaction = NoteBroken;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGIO, &action, nullptr);
  watching = true;
}

std::string FolderOf(const std::string &path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string &path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `line` holds `text` at `at`, followed by the end or a blank.
bool FieldAt(const std::string &line, std::size_t at, const std::string &text) {
  if (line.compare(at, text.size(), text) != 0) return false;
  std::size_t end = at + text.size();
  return end == line.size() || line[end] == ' ' || line[end] == '\t';
}

// Whether one line of the listing gives `path` as a share's path and a name
// below it, in two columns: any split at a slash will do.
bool LineNames(const std::string &line, const std::string &path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string share = path.substr(0, slash), name = path.substr(slash + 1);
    for (std::size_t at = line.find(share); at != std::string::npos; at = line.find(share, at + 1)) {
      std::size_t next = line.find_first_not_of(" \t", at + share.size());
      if (next != std::string::npos && next > at + share.size() && FieldAt(line, next, name)) return true;
    }
  }
  return false;
}

}  // namespace

bool DiskBeside(const std::string &container, std::string &found) {
  // A dry run changes no time, not even the folder's.
  int fd = open(FolderOf(container).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(FolderOf(container).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *folder = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!folder) {
    found = std::string("its folder cannot be read: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  found.clear();
  std::string own = NameOf(container);
  while (dirent *entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name != own && IsDiskName(name) && !IsOfficeContainerName(name) && (found.empty() || name < found))
      found = name;
  }
  closedir(folder);
  return true;
}

int TakeLease(int fd) {
  if (fd < 0 || fd >= kMostWatched) return EBADF;
  WatchLeases();
  broken[fd] = false;
  if (fcntl(fd, F_SETSIG, SIGIO) != 0 || fcntl(fd, F_SETOWN, getpid()) != 0) return errno;
  return fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 0 : errno;
}

bool LeaseBroken(int fd) { return fd >= 0 && fd < kMostWatched && broken[fd]; }

void GiveUpLease(int fd) {
  if (fd < 0) return;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  if (fd < kMostWatched) broken[fd] = false;
}

bool ListedOpen(const std::string &listing, const std::string &path) {
  for (std::size_t at = 0; at < listing.size();) {
    std::size_t end = listing.find('\n', at);
    if (end == std::string::npos) end = listing.size();
    if (LineNames(listing.substr(at, end - at), path)) return true;
    at = end + 1;
  }
  return false;
}

std::string SambaOpenFiles() {
  // popen would run a shell; the command is run directly, its errors
  // dropped: where it cannot say, the lease still does.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(ends[1], 1);
    dup2(null, 2);
    execlp("smbstatus", "smbstatus", "-L", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(ends[1]);
  std::string listing;
  char buffer[4096];
  for (ssize_t n; pid > 0 && ((n = read(ends[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR));) {
    if (n > 0) listing.append(buffer, std::size_t(n));
  }
  close(ends[0]);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? listing : "";
}

}  // namespace containers
