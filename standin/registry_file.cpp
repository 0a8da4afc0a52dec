#include "standin/registry_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "regfile/names.h"
#include "standin/hooks.h"
#include "standin/publish.h"
#include "standin/service.h"

namespace standin {
namespace {

LONG ReportError(const std::string &path, const std::string &what, int error, LONG otherwise) {
  return Report(path, what + std::strerror(error), StatusOfError(error, otherwise));
}

int OpenFile(const std::string &path, int flags) {
  return AboveStandardStreams(OpenForRun(path.c_str(), flags | O_CLOEXEC));
}

// The temporaries of the registry's own beside it are named for it, behind
// a dot, cut so that a long file name cannot make their names too long:
// ".NAME.lorimex-save-XXXXXX".
std::string OwnFilePrefix(const std::string &path) {
  constexpr std::size_t kNamePart = 200;
  std::size_t slash = path.rfind('/');
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  return FolderOf(path) + "/." + name.substr(0, kNamePart);
}
constexpr char kSaveTag[] = ".lorimex-save-";

bool ReadAll(int fd, FileBytes &bytes) {
  char buffer[1 << 16];
  for (;;) {
    std::size_t n = 0;
    if (!Transfer(sizeof buffer, n, [&](std::size_t done, std::size_t left) { return read(fd, buffer + done, left); }))
      return false;
    bytes.Add(std::string_view(buffer, n));
    if (n < sizeof buffer) return true;
  }
}

// Under the lock no other run is saving: a file of exactly the temporary
// pattern of this registry is left over from a run that was killed while
// saving. Nothing else is touched: not another name, not what is not a
// regular file, never the registry itself (whatever it is called).
void RemoveStrayTemporaries(const std::string &path, const struct stat &registry) {
  std::string prefix = OwnFilePrefix(path) + kSaveTag;
  prefix.erase(0, FolderOf(path).size() + 1);
  DIR *dir = opendir(FolderOf(path).c_str());
  if (!dir) return;
  while (const dirent *entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    struct stat st {};
    if (name.size() != prefix.size() + kPendingRandom || name.substr(0, prefix.size()) != prefix) continue;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_dev == registry.st_dev && st.st_ino == registry.st_ino) continue;
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

// The largest file read. A run holds at most about 3.7 times the larger of
// the file before and after it (one key of the shortest text values, in the
// benchmarks' shape table, a file of 5 MB beside the libraries' 4 MB), and
// the copy can double the file: about 7 times the file read, which the
// machine's memory must hold. An address space limit must hold also what
// the program's libraries reserve: measured, a file of 62 MB, one key of
// 2.4 million values, runs in 220 MB of address space and not in 210 MB;
// such a limit allows an eighth of itself, which leaves room.
std::uint64_t LargestReadable() {
  std::uint64_t memory =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE)) / 7;
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    memory = std::min<std::uint64_t>(memory, limit.rlim_cur / 8);
  return memory;
}

// Links are followed as the user the run acts as: a registry reached
// through a link is written where the link points, as replacing the link
// itself would leave the real file behind.
std::string Resolved(const std::string &path) {
  std::string resolved = path;
  if (char *real = realpath(path.c_str(), nullptr)) {
    resolved = real;
    std::free(real);
  }
  return resolved;
}

bool IsFolder(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes the folder with its parents; one that exists, made by a run beside
// this one perhaps, is fine.
bool MakeFolders(const std::string &folder) {
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    if (mkdir(folder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string GroupName(gid_t group) {
  const struct group *entry = getgrgid(group);
  return entry ? entry->gr_name : std::to_string(group);
}

// Why the new file cannot have the old one's owner and group, and what
// would let it.
// Whether the one who runs is of the group, as the kernel checks a chown.
bool InGroup(gid_t group) {
  if (group == getegid()) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  int count = getgroups(static_cast<int>(groups.size()), groups.data());
  return count > 0 && std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

std::string OwnerRefusal(const struct stat &old, int error) {
  std::string cause = std::string(": ") + std::strerror(error) + ": not saved";
  if (old.st_uid != geteuid())
    return "belongs to " + UserName(old.st_uid) + ", and a new file of " + UserName(geteuid()) +
           "'s cannot take its place" + cause + " (run as " +
           (old.st_uid == 0 ? "root" : UserName(old.st_uid) + " or root") + ")";
  if (error == EPERM)
    return "has the group " + GroupName(old.st_gid) + ", which " + UserName(geteuid()) + " is not a member of" + cause +
           " (chgrp the file to a group of " + UserName(geteuid()) + "'s)";
  return "cannot give the new file the owner and group of the old" + cause;
}

// Gives the new file the old one's permissions, unless it has them: the
// access list may have set them already, and a file system without modes
// (FAT through FUSE) shows every file with one and refuses to change it.
LONG KeepMode(const std::string &path, const struct stat &old, int fd) {
  struct stat made {};
  if (fstat(fd, &made) == 0 && (made.st_mode & 07777) == (old.st_mode & 07777)) return ERROR_SUCCESS;
  if (hooks.fchmod(fd, old.st_mode & 07777) != 0)
    return ReportError(path, "cannot give the new file the old one's permissions: not saved: ", errno,
                       ERROR_ACCESS_DENIED);
  return ERROR_SUCCESS;
}

// Who may use the file stays as it was, or the file is not replaced. What
// the new file has already (the owner and group of the one who makes it,
// its permissions) is not set again: a file system without owners or modes
// refuses even that.
LONG KeepIdentity(const std::string &path, const struct stat &old, int oldFd, int fd) {
  struct stat made {};
  if (fstat(fd, &made) != 0 || made.st_uid != old.st_uid || made.st_gid != old.st_gid) {
    if (hooks.fchown(fd, old.st_uid, old.st_gid) != 0)
      return Report(path, OwnerRefusal(old, errno), ERROR_ACCESS_DENIED);
  }
  LONG status = CopyAttributes(path, oldFd, fd);
  if (status == ERROR_SUCCESS) status = CopyInodeFlags(path, oldFd, fd);
  if (status == ERROR_SUCCESS) status = KeepMode(path, old, fd);
  return status;
}

// The user as chown(1) takes it: the name, or the number of a user the
// system has no name for (a file server's domain users, often).
std::string ChownArgument(uid_t user) {
  const passwd *entry = getpwuid(user);
  return entry ? entry->pw_name : std::to_string(user);
}

bool ActsForAnother() { return getuid() == 0 && geteuid() != 0; }

// A file of root's where a run of root acts as a user, the owner of its
// folder or of one above: that user's new file could not take the place of
// root's. Whose the folder is says what would let the save go on; a folder
// of root's is not given away on a guess.
LONG RefuseRootsFile(const std::string &path, const std::string &folder) {
  const std::string user = UserName(geteuid());
  const std::string owner = ChownArgument(geteuid());
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid())
    return Report(path,
                  "is root's, in " + user + "'s folder " + folder + ": not saved (chown " + owner + " " + path + ")",
                  ERROR_ACCESS_DENIED);
  return Report(path, "is root's, as is its folder " + folder + ": not saved (both must be " + user + "'s)",
                ERROR_ACCESS_DENIED);
}

// The new file is made beside the old one, so whoever saves needs to
// write the folder; where it is a permission that is missing, whose folder
// it is and, for the file's owner, how to give it (another user, a member
// of the file's group, could not give the new file its owner anyway).
LONG RefuseTemporaryFile(const std::string &path, const std::string &folder, bool ownFile, int error) {
  std::string reason = "cannot make a temporary file in " + folder;
  struct stat st {};
  const std::string user = UserName(geteuid());
  if ((error != EACCES && error != EPERM) || stat(folder.c_str(), &st) != 0)
    return ReportError(path, reason + ": ", error, ERROR_REGISTRY_IO_FAILED);
  reason += ", which is " + UserName(st.st_uid) + "'s: " + std::strerror(error) + ": not saved (" + user +
            " needs write access to the folder";
  if (ownFile)
    reason += std::string(": ") + (st.st_uid == geteuid() ? "chmod u+w " : "chown " + ChownArgument(geteuid()) + " ") +
              folder;
  return Report(path, reason + ")", ERROR_ACCESS_DENIED);
}

}  // namespace

RegistryFile FindRegistryFile(const Configuration &config) {
  if (!config.registry.empty()) return {config.registry, false};
  // Relative folders are ignored, as the XDG convention says: they would
  // depend on where the program happens to be started.
  if (config.configHome[0] == '/') return {config.configHome + "/lorimex/registry.reg", true};
  if (config.home[0] == '/') return {config.home + "/.config/lorimex/registry.reg", true};
  std::fprintf(stderr,
               "lorimex: no registry file: set LORIMEX_REGISTRY, or HOME or XDG_CONFIG_HOME to an absolute path\n");
  std::fflush(stderr);
  return {};
}

LONG RegistryLock::Take(const RegistryFile &file) {
  byDefault_ = file.byDefault;
  LONG status = identity_.TakeOn(file.path);
  if (status != ERROR_SUCCESS) return status;
  path_ = Resolved(file.path);
  return Open();
}

LONG RegistryLock::Open() {
  for (;;) {
    // Whatever is not a file (a FIFO, a device, a folder) is refused before
    // it is opened: nothing about it may hold up the run.
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return Report(path_, "not a regular file", ERROR_REGISTRY_CORRUPT);
    fd_ = OpenFile(path_, O_RDWR | O_NONBLOCK);
    writable_ = fd_ >= 0;
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) fd_ = OpenFile(path_, O_RDONLY | O_NONBLOCK);
    if (fd_ < 0 && errno == ENOENT) {
      // A new file of the default is made with its folders; a file named
      // by hand is made only in a folder that is there.
      if (byDefault_ || IsFolder(FolderOf(path_))) return ERROR_SUCCESS;
      return Report(FolderOf(path_), "no such folder", ERROR_PATH_NOT_FOUND);
    }
    if (fd_ < 0) return ReportError(path_, "cannot open: ", errno, ERROR_REGISTRY_IO_FAILED);
    if (fstat(fd_, &old_) != 0 || !S_ISREG(old_.st_mode))
      return Report(path_, "not a regular file", ERROR_REGISTRY_CORRUPT);
    // A dry run writes nothing, so it need not wait for a run that does:
    // a save replaces the file whole, and it reads the old one or the new.
    if (!writable_ || DryRun()) return ERROR_SUCCESS;
    int error = WaitForLock(fd_);
    if (error == EWOULDBLOCK) {
      long holder = LockHolder(old_);
      std::string who = holder > 0 ? "process " + std::to_string(holder) : "another process";
      return Report(path_, "held by " + who + " for more than " + std::to_string(kLockWaitSeconds) + " seconds",
                    ERROR_SHARING_VIOLATION);
    }
    if (error != 0) return ReportError(path_, "cannot lock: ", error, ERROR_REGISTRY_IO_FAILED);
    // The run this one waited for may have saved: its new file is the
    // registry now, and that one is locked instead.
    if (stat(path_.c_str(), &st) == 0 && st.st_dev == old_.st_dev && st.st_ino == old_.st_ino) {
      RemoveStrayTemporaries(path_, old_);
      return ERROR_SUCCESS;
    }
    close(fd_);
    fd_ = -1;
  }
}

RegistryLock::~RegistryLock() {
  if (fd_ >= 0) close(fd_);
}

LONG RegistryLock::Read(FileBytes &bytes) const {
  if (fd_ < 0) return ERROR_SUCCESS;
  if (static_cast<std::uint64_t>(old_.st_size) > LargestReadable())
    return Report(path_, std::to_string(old_.st_size) + " bytes: more than this machine's memory can hold",
                  ERROR_OUTOFMEMORY);
  bytes.Expect(static_cast<std::size_t>(old_.st_size));
  if (!ReadAll(fd_, bytes)) return ReportError(path_, "cannot read: ", errno, ERROR_REGISTRY_IO_FAILED);
  return ERROR_SUCCESS;
}

LONG RegistryLock::Replace(const Producer &write) {
  return ReplaceWith([&write](PendingFile &file) {
    int error = 0;
    bool written = write([&](std::string_view piece) { return (error = file.Write(piece)) == 0; });
    return written ? 0 : error != 0 ? error : ECANCELED;
  });
}

LONG RegistryLock::MayReplace() const {
  if (fd_ < 0) return ERROR_SUCCESS;
  const std::string folder = FolderOf(path_);
  if (ActsForAnother() && old_.st_uid == 0) return RefuseRootsFile(path_, folder);
  // The kernel refuses to open such a file for writing, root too: said
  // for what it is, not as a permission.
  if (LONG kept = RefuseUnreplaceable(path_, fd_); kept != ERROR_SUCCESS) return kept;
  if (!writable_ || (old_.st_mode & 0222) == 0)
    return Report(path_, "no write permission: not saved", ERROR_ACCESS_DENIED);
  if (old_.st_nlink > 1)
    return Report(path_, "has other hard links, which a new file would part from it: not saved", ERROR_ACCESS_DENIED);
  // The new file could not be given the old one's owner and group.
  if (geteuid() != 0 && old_.st_uid != geteuid()) return Report(path_, OwnerRefusal(old_, EPERM), ERROR_ACCESS_DENIED);
  if (geteuid() != 0 && !InGroup(old_.st_gid)) return Report(path_, OwnerRefusal(old_, EPERM), ERROR_ACCESS_DENIED);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return RefuseTemporaryFile(path_, folder, old_.st_uid == geteuid(), errno);
  return ERROR_SUCCESS;
}

LONG RegistryLock::ReplaceWith(const Filler &fill) {
  bool exists = fd_ >= 0;
  const std::string folder = FolderOf(path_);
  LONG refused = MayReplace();
  if (refused != ERROR_SUCCESS) return refused;
  if (!exists && byDefault_ && !MakeFolders(folder))
    return ReportError(folder, "cannot make the folder: ", errno, ERROR_PATH_NOT_FOUND);
  // A save that fails, out of memory included, leaves nothing beside it.
  PendingFile temporary;
  int error = temporary.Begin(OwnFilePrefix(path_) + kSaveTag);
  if (error != 0) return RefuseTemporaryFile(path_, folder, !exists || old_.st_uid == geteuid(), error);
  LONG status = exists ? KeepIdentity(path_, old_, fd_, temporary.fd()) : ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  if ((error = fill(temporary)) != 0) return ReportError(path_, "not saved: ", error, ERROR_REGISTRY_IO_FAILED);
  error = temporary.Publish(path_, exists ? Naming::kReplace : Naming::kNew);
  // Only the rename that may not replace says that another first run made
  // the file; the filler's own failures are not that.
  if (error == EEXIST) return Report(path_, "made by another run meanwhile: not saved", ERROR_SHARING_VIOLATION);
  if (error != 0) return ReportError(path_, "not saved: ", error, ERROR_REGISTRY_IO_FAILED);
  return ERROR_SUCCESS;
}

LONG LoadRegistry(const RegistryFile &file, const std::string &codePage, RegistryLock &lock, Key &top, FileForm &form) {
  // The code page of a REGEDIT4 file, as LORIMEX_CODEPAGE names it. A
  // missing file is a new REGEDIT4 file in that code page; one that is
  // there says its form.
  std::string why;
  form = FileForm{};
  if (!codePage.empty() && codePage != "utf-8" && !(form.codePage = CodePage::Open(codePage, why)))
    return Report(file.path, "LORIMEX_CODEPAGE: " + why, ERROR_INVALID_PARAMETER);
  LONG status = lock.Take(file);
  if (status != ERROR_SUCCESS) return status;
  try {
    FileBytes bytes;
    status = lock.Read(bytes);
    if (status != ERROR_SUCCESS) return status;
    // A missing default file is a new user's; a file named by hand that is
    // missing is more likely mistyped, and every key the run then misses
    // would say only that it is not there.
    if (!lock.exists() && !file.byDefault)
      return Report(lock.path(), "no such file: read as an empty registry", ERROR_SUCCESS);
    if (!lock.exists()) return ERROR_SUCCESS;
    ParseError error;
    if (!bytes.Parse(top, form, error)) return Report(lock.path(), error.reason, ERROR_REGISTRY_CORRUPT, error.line);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc &) {
    return Report(file.path, "out of memory", ERROR_OUTOFMEMORY);
  }
}

LONG SaveRegistry(RegistryLock &lock, const Key &top, const FileForm &form) {
  try {
    return lock.Replace([&](const Sink &sink) { return Write(top, form, sink); });
  } catch (const std::bad_alloc &) {
    return Report(lock.path(), "out of memory: not saved", ERROR_OUTOFMEMORY);
  }
}

LONG RegFile::Load(Key &top, FileForm &form) {
  RegistryFile file = FindRegistryFile(config_);
  if (file.path.empty()) return ERROR_PATH_NOT_FOUND;
  return LoadRegistry(file, config_.codePage, lock_, top, form);
}

}  // namespace standin
