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
#include "standin/hooks.h"
#include "standin/publish.h"

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

// The hive's bytes, all of them: a hive that ends early fails as EIO.
int CopyBytes(int from, standin::PendingFile &to, off_t size) {
  char buffer[1 << 16];
  for (off_t at = 0; at < size;) {
    std::size_t want = static_cast<std::size_t>(std::min<off_t>(sizeof buffer, size - at)), got = 0;
    errno = EIO;
    if (!standin::Transfer(want, got,
                           [&](std::size_t done, std::size_t left) {
                             return standin::hooks.pread(from, buffer + done, left, at + static_cast<off_t>(done));
                           }) ||
        got < want)
      return errno;
    if (int error = to.Write(std::string_view(buffer, got))) return error;
    at += static_cast<off_t>(got);
  }
  return 0;
}

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
  standin::PendingFile temporary;
  if (int error = temporary.Begin(TemporaryPrefix(backup))) return Refuse(backup, "a temporary file", error, why);
  if (int error = CopyBytes(fd, temporary, hive.st_size)) return Refuse(backup, "copying", error, why);
  // The owner only where the one who runs may give it: root.
  if (getuid() == 0 && standin::hooks.fchown(temporary.fd(), hive.st_uid, hive.st_gid) != 0)
    return Refuse(backup, "owner", errno, why);
  if (standin::hooks.fchmod(temporary.fd(), hive.st_mode & 07777) != 0) return Refuse(backup, "mode", errno, why);
  // A link never replaces a backup another run made meanwhile.
  int error = temporary.Publish(backup, standin::Naming::kKeepOld);
  if (error != 0 && error != EEXIST) return Refuse(backup, "writing", error, why);
  return ERROR_SUCCESS;
}

void RemoveStrayBackups(const std::string &backup) {
  AdministratorIdentity administrator;
  std::string prefix = NameOf(TemporaryPrefix(backup));
  DIR *folder = opendir(standin::FolderOf(backup).c_str());
  if (!folder) return;
  while (dirent *entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() == prefix.size() + standin::kPendingRandom && name.compare(0, prefix.size(), prefix) == 0)
      unlinkat(dirfd(folder), entry->d_name, 0);
  }
  closedir(folder);
}

}  // namespace profiles
