#include "profiles/backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "standin/file_io.h"

namespace profiles {
namespace {

// A run of root acts as the profile's owner while it holds the hive (so
// that the user's own rights guard the profile); the backups are the
// administrator's, made as root and kept from the users.
class AdministratorIdentity {
 public:
  AdministratorIdentity() : user_(geteuid()), group_(getegid()) {
    switched_ = getuid() == 0 && user_ != 0 && setresuid(-1, 0, -1) == 0;
    if (switched_) (void)setresgid(-1, 0, -1);
  }
  AdministratorIdentity(const AdministratorIdentity &) = delete;
  AdministratorIdentity &operator=(const AdministratorIdentity &) = delete;
  ~AdministratorIdentity() {
    if (switched_ && (setresgid(-1, group_, -1) != 0 || setresuid(-1, user_, -1) != 0)) _exit(125);
  }

 private:
  uid_t user_;
  gid_t group_;
  bool switched_ = false;
};

LONG Refuse(const std::string &backup, const char *what, int error, std::string &why) {
  why = "cannot back up the hive to " + backup + " (" + what + ": " + std::strerror(error) + "): not saved";
  return standin::StatusOfError(error, ERROR_ACCESS_DENIED);
}

std::string NameOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// A backup's temporary files are named for it, so that those of a service
// that was killed can be found and removed.
std::string TemporaryPrefix(const std::string &backup) {
  return standin::FolderOf(backup) + "/." + NameOf(backup).substr(0, 200) + ".lorimex-backup-";
}

// Each missing folder on the way, readable by root alone.
bool MakeFolders(const std::string &folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
    return S_ISDIR(st.st_mode);
  }
  std::string above = standin::FolderOf(folder);
  if (above != folder && !MakeFolders(above)) return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// The hive's bytes, all of them: a hive that ends early, or a write that
// does nothing, fails as EIO.
bool CopyBytes(int from, int to, off_t size) {
  char buffer[1 << 16];
  for (off_t at = 0; at < size;) {
    std::size_t want = static_cast<std::size_t>(std::min<off_t>(sizeof buffer, size - at)), got = 0, put = 0;
    errno = EIO;
    if (!standin::Transfer(want, got,
                           [&](std::size_t done, std::size_t left) {
                             return pread(from, buffer + done, left, at + static_cast<off_t>(done));
                           }) ||
        got < want)
      return false;
    errno = EIO;
    if (!standin::Transfer(got, put,
                           [&](std::size_t done, std::size_t left) { return write(to, buffer + done, left); }) ||
        put < got)
      return false;
    at += static_cast<off_t>(got);
  }
  return true;
}

// The temporary file, removed unless it became the backup.
class Temporary {
 public:
  explicit Temporary(const std::string &backup) : path_(TemporaryPrefix(backup) + "XXXXXX") {
    fd_ = mkostemp(path_.data(), O_CLOEXEC);
  }
  Temporary(const Temporary &) = delete;
  Temporary &operator=(const Temporary &) = delete;
  ~Temporary() {
    if (fd_ >= 0) close(fd_);
    if (fd_ >= 0 || made_) unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }
  bool Close() {
    made_ = true;
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool made_ = false;
};

}  // namespace

std::string BackupPathOf(const std::string &backupDir, const std::string &profilesDir, const std::string &hive) {
  std::string below = hive.compare(0, profilesDir.size(), profilesDir) == 0 ? hive.substr(profilesDir.size()) : hive;
  if (below.empty() || below[0] != '/') below = "/" + below;
  return backupDir + below;
}

LONG BackUpHive(int fd, const std::string &backup, std::string &why) {
  AdministratorIdentity administrator;
  struct stat hive {};
  struct stat there {};
  if (fstat(fd, &hive) != 0) return Refuse(backup, "the hive", errno, why);
  if (lstat(backup.c_str(), &there) == 0) {
    // The backup of an earlier run is kept; anything else there (the hive
    // itself, when the backups' folder is the profiles') is no backup.
    if (S_ISREG(there.st_mode) && (there.st_dev != hive.st_dev || there.st_ino != hive.st_ino)) return ERROR_SUCCESS;
    why = "cannot back up the hive to " + backup + ": it is the hive itself, or not a file";
    return ERROR_ACCESS_DENIED;
  }
  if (!MakeFolders(standin::FolderOf(backup))) return Refuse(backup, "its folder", errno, why);
  Temporary temporary(backup);
  if (temporary.fd() < 0) return Refuse(backup, "a temporary file", errno, why);
  if (!CopyBytes(fd, temporary.fd(), hive.st_size)) return Refuse(backup, "copying", errno, why);
  // The owner only where the one who runs may give it: root.
  if (getuid() == 0 && fchown(temporary.fd(), hive.st_uid, hive.st_gid) != 0) return Refuse(backup, "owner", errno, why);
  if (fchmod(temporary.fd(), hive.st_mode & 07777) != 0) return Refuse(backup, "mode", errno, why);
  if (fsync(temporary.fd()) != 0) return Refuse(backup, "writing", errno, why);
  if (!temporary.Close()) return Refuse(backup, "writing", errno, why);
  // A link never replaces a backup another run made meanwhile.
  if (link(temporary.path().c_str(), backup.c_str()) != 0 && errno != EEXIST) return Refuse(backup, "naming", errno, why);
  int folder = open(standin::FolderOf(backup).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return ERROR_SUCCESS;
}

void RemoveStrayBackups(const std::string &backup) {
  AdministratorIdentity administrator;
  std::string prefix = NameOf(TemporaryPrefix(backup));
  DIR *folder = opendir(standin::FolderOf(backup).c_str());
  if (!folder) return;
  while (dirent *entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0)
      unlinkat(dirfd(folder), entry->d_name, 0);
  }
  closedir(folder);
}

}  // namespace profiles
