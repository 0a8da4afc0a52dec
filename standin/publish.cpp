#include "standin/publish.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "standin/file_io.h"
#include "standin/hooks.h"

namespace standin {
namespace {

constexpr int kTries = 100;

std::string RandomPart() {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kPendingRandom] = {};
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the kernel's randomness the names are only tried in turn.
    static unsigned counter = static_cast<unsigned>(getpid());
    for (unsigned char &byte : bytes) byte = static_cast<unsigned char>(counter++ * 2654435761u >> 24);
  }
  std::string part;
  for (unsigned char byte : bytes) part += kLetters[byte % (sizeof kLetters - 1)];
  return part;
}

// link(2)'s errors on a file system without hard links (FAT, exFAT, many
// network shares).
bool NoHardLinks(int error) { return error == EPERM || error == ENOTSUP || error == ENOSYS; }

void SyncFolder(const std::string &folder) {
  int fd = hooks.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  hooks.fsync(fd);
  close(fd);
}

}  // namespace

PendingFile::~PendingFile() { Abandon(); }

void PendingFile::Abandon() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (made_) hooks.unlink(path_.c_str());
  made_ = false;
}

int PendingFile::Begin(const std::string &prefix) {
  for (int tries = 0; tries < kTries; ++tries) {
    std::string path = prefix + RandomPart();
    int fd = AboveStandardStreams(hooks.open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd >= 0) {
      path_ = std::move(path);
      fd_ = fd;
      made_ = true;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int PendingFile::Write(std::string_view bytes) {
  std::size_t done = 0;
  errno = EIO;
  if (!Transfer(bytes.size(), done,
                [&](std::size_t at, std::size_t left) {
                  return hooks.pwrite(fd_, bytes.data() + at, left, size_ + static_cast<off_t>(at));
                }) ||
      done < bytes.size())
    return errno;
  size_ += static_cast<off_t>(done);
  return 0;
}

int PendingFile::Publish(const std::string &target, Naming naming) {
  if (hooks.fsync(fd_) != 0) return errno;
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) return errno;
  int named = naming == Naming::kKeepOld ? hooks.link(path_.c_str(), target.c_str())
                                         : hooks.rename(path_.c_str(), target.c_str(), naming == Naming::kReplace);
  if (named != 0 && naming == Naming::kKeepOld && NoHardLinks(errno)) {
    // A rename that replaces nothing keeps the old file just the same.
    naming = Naming::kNew;
    named = hooks.rename(path_.c_str(), target.c_str(), false);
  }
  int error = named == 0 ? 0 : errno;
  // A link leaves the temporary name to remove; a rename took it.
  if (named == 0 && naming != Naming::kKeepOld) made_ = false;
  if (made_ && hooks.unlink(path_.c_str()) == 0) made_ = false;
  if (error == 0) SyncFolder(FolderOf(target));
  return error;
}

}  // namespace standin
