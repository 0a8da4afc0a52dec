#include "standin/system_calls.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "standin/file_io.h"
#include "standin/hooks.h"

namespace standin {
namespace {

// The file or folder whose owner a run of root acts as, while it does.
std::string actedOwnerOf;

// Who decides what a run of root may do with `path`: the first owner other
// than root of the file or, going up, of a folder above it (a link counts
// as what its folder's owner put there, whoever made it), which `path` is
// left naming. 0 when all are root's.
uid_t FirstOwner(std::string &path, gid_t &group) {
  for (;;) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && st.st_uid != 0) {
      group = st.st_gid;
      return st.st_uid;
    }
    if (path == "/" || path == ".") return 0;
    path = FolderOf(path);
  }
}

// The groups `user` belongs to, as the system's group database says; only
// the file's group when the user has no entry.
std::vector<gid_t> GroupsOf(uid_t user, gid_t &primary) {
  std::vector<gid_t> groups{primary};
  const passwd *entry = getpwuid(user);
  if (!entry) return groups;
  primary = entry->pw_gid;
  int count = 64;
  groups.resize(static_cast<std::size_t>(count));
  if (getgrouplist(entry->pw_name, primary, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    getgrouplist(entry->pw_name, primary, groups.data(), &count);
  }
  groups.resize(static_cast<std::size_t>(count));
  return groups;
}

std::vector<std::string> AttributeNames(const char *buffer, ssize_t size) {
  std::vector<std::string> names;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(names.back().size()) + 1) names.emplace_back(buffer + at);
  return names;
}

}  // namespace

std::string UserName(uid_t user) {
  const passwd *entry = getpwuid(user);
  return entry ? entry->pw_name : "user " + std::to_string(user);
}

std::string ActingAs() {
  if (getuid() != 0 || geteuid() == 0) return {};
  return " (root acting as " + UserName(geteuid()) + ", the owner of " + actedOwnerOf + ")";
}

LONG OwnerIdentity::TakeOn(const std::string &path) {
  gid_t primary = 0;
  std::string ownerOf = path;
  uid_t owner = geteuid() == 0 ? FirstOwner(ownerOf, primary) : 0;
  if (owner == 0) return ERROR_SUCCESS;
  actedOwnerOf = ownerOf;
  std::vector<gid_t> theirs = GroupsOf(owner, primary);
  group_ = getegid();
  groups_.resize(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  groups_.resize(static_cast<std::size_t>(std::max(getgroups(static_cast<int>(groups_.size()), groups_.data()), 0)));
  switched_ = true;
  if (setgroups(theirs.size(), theirs.data()) != 0 || setresgid(-1, primary, -1) != 0 ||
      setresuid(-1, owner, -1) != 0) {
    return Report(path, "cannot act as user " + std::to_string(owner) + ", its owner: " + std::strerror(errno),
                  ERROR_ACCESS_DENIED);
  }
  return ERROR_SUCCESS;
}

// Back to root: the real and saved user stay root all along, so that the
// tests, which run many sessions in one process, get root back. A process
// that could not would go on as the wrong user: it stops.
OwnerIdentity::~OwnerIdentity() {
  if (!switched_) return;
  actedOwnerOf.clear();
  int back = setresuid(-1, 0, -1) | setresgid(-1, group_, -1) | setgroups(groups_.size(), groups_.data());
  if (back != 0) std::abort();
}

// Waits for the lock a bounded time: a run that holds it for longer is
// stuck or belongs to someone else, and this run says so.
int WaitForLock(int fd) {
  auto deadline = hooks.now() + std::chrono::seconds(kLockWaitSeconds);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (hooks.now() > deadline) return EWOULDBLOCK;
    hooks.pause(std::chrono::milliseconds(20));
  }
  return 0;
}

// The kernel lists each lock as "N: FLOCK ADVISORY WRITE PID MAJOR:MINOR:INODE
// ...", the device in hex; a process waiting for it has "->" after the
// number, and is not the holder.
long LockHolder(const struct stat &st) {
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, device;
    long pid = 0;
    fields >> number >> kind;
    if (kind == "->") continue;
    if (fields >> mode >> access >> pid >> device && device == file) return pid;
  }
  return 0;
}

// Only the attributes the old file has: not a folder's default access list,
// say, which the new file took when it was made.
LONG CopyAttributes(const std::string &path, int oldFd, int newFd) {
  char names[1 << 16], value[1 << 16];
  ssize_t size = flistxattr(oldFd, names, sizeof names);
  if (size < 0 && errno != ENOTSUP)
    return Report(path, std::string("cannot read the attributes: ") + std::strerror(errno), ERROR_ACCESS_DENIED);
  std::vector<std::string> old = AttributeNames(names, std::max<ssize_t>(size, 0));
  size = flistxattr(newFd, names, sizeof names);
  for (const std::string &name : AttributeNames(names, std::max<ssize_t>(size, 0))) {
    if (std::find(old.begin(), old.end(), name) == old.end() && fremovexattr(newFd, name.c_str()) != 0)
      return Report(path, "cannot clear the attribute " + name + " of the new file", ERROR_ACCESS_DENIED);
  }
  for (const std::string &name : old) {
    ssize_t length = fgetxattr(oldFd, name.c_str(), value, sizeof value);
    if (length < 0 || fsetxattr(newFd, name.c_str(), value, static_cast<std::size_t>(length), 0) != 0)
      return Report(path, "cannot copy the attribute " + name + ": " + std::strerror(errno), ERROR_ACCESS_DENIED);
  }
  return ERROR_SUCCESS;
}

LONG RefuseUnreplaceable(const std::string &path, int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) == 0) return ERROR_SUCCESS;
  return Report(path, "is immutable or append-only (chattr -i -a to allow saving): not saved", ERROR_ACCESS_DENIED);
}

// The flags an owner may set on a file and that say how it is kept (no
// dump, no access times, synchronous writes, compression, no copy on
// write).
LONG CopyInodeFlags(const std::string &path, int oldFd, int newFd) {
  constexpr int kKept = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL |
                        FS_NOCOMP_FL | FS_NOTAIL_FL | FS_NOCOW_FL;
  int old = 0, made = 0;
  // A file system without inode flags has none to keep.
  if (ioctl(oldFd, FS_IOC_GETFLAGS, &old) != 0 || ioctl(newFd, FS_IOC_GETFLAGS, &made) != 0) return ERROR_SUCCESS;
  if (LONG kept = RefuseUnreplaceable(path, oldFd); kept != ERROR_SUCCESS) return kept;
  int wanted = (made & ~kKept) | (old & kKept);
  if (wanted != made && ioctl(newFd, FS_IOC_SETFLAGS, &wanted) != 0)
    return Report(path,
                  std::string("cannot give the new file the old one's inode flags (lsattr): ") + std::strerror(errno) +
                      ": not saved",
                  ERROR_ACCESS_DENIED);
  return ERROR_SUCCESS;
}

}  // namespace standin
