// The parts of the registry file's store that only Linux has: whose identity
// a run takes, the lock and who holds it, extended attributes and inode
// flags. The system calls a test may replace are in the table of hooks.h.
#ifndef LORIMEX_STANDIN_SYSTEM_CALLS_H
#define LORIMEX_STANDIN_SYSTEM_CALLS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "standin/api.h"

namespace standin {

// While alive, a run of root acts as the user who owns the registry file,
// or the folder it is in (or would be, or the nearest above it that is not
// root's): every file operation is then checked by the kernel as that
// user's own, links and folders swapped in meanwhile included, and what the
// run creates is that user's. Other runs act as themselves.
class OwnerIdentity {
 public:
  OwnerIdentity() = default;
  OwnerIdentity(const OwnerIdentity &) = delete;
  OwnerIdentity &operator=(const OwnerIdentity &) = delete;
  ~OwnerIdentity();
  // A status, with one line on standard error, when the switch fails.
  LONG TakeOn(const std::string &path);

 private:
  bool switched_ = false;
  gid_t group_ = 0;
  std::vector<gid_t> groups_;
};

// A run of root that acts as the file's owner says so in its lines, and
// whose owner that is, the file's or a folder's: what it was refused is
// what that user may not do, which root alone would not expect. Empty when
// the run acts as itself.
std::string ActingAs();
// The user's name, or "user N" when the system has no entry for it.
std::string UserName(uid_t user);

// An exclusive lock on the open file: waits at most kLockWaitSeconds, by
// the clock of the hooks' table. 0, or EWOULDBLOCK when another holds it
// for longer, or the errno.
constexpr int kLockWaitSeconds = 10;
int WaitForLock(int fd);
// Who holds a lock on the file `st`, as the kernel lists it, or 0.
long LockHolder(const struct stat &st);

// The old file's extended attributes (its access list among them) on the
// new one, and no others; then its inode flags (chattr's) that a user may
// set. A status, with one line on standard error, when one cannot be kept.
LONG CopyAttributes(const std::string &path, int oldFd, int newFd);
LONG CopyInodeFlags(const std::string &path, int oldFd, int newFd);
// An immutable or append-only file is not to be replaced at all: a status,
// with the line that says so, or ERROR_SUCCESS.
LONG RefuseUnreplaceable(const std::string &path, int fd);

}  // namespace standin

#endif
