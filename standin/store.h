// Where the stand-in registry lives on disk, and how it is read, locked and
// written back.
#ifndef LORIMEX_STANDIN_STORE_H
#define LORIMEX_STANDIN_STORE_H

#include <string>

#include "standin/api.h"
#include "standin/reg_format.h"

namespace standin {

// The registry file: LORIMEX_REGISTRY, else the default,
// $XDG_CONFIG_HOME/lorimex/registry.reg, else
// $HOME/.config/lorimex/registry.reg; the last two only when the variable is
// an absolute path. An empty path, with one line on standard error, when
// none is set.
struct RegistryFile {
  std::string path;
  bool byDefault = false;  // the default's folders are made when missing
};
RegistryFile FindRegistryFile();

// An exclusive lock that lets one run at a time use the registry file, from
// its load until its changes are written back. It is taken on a lock file
// beside the registry, ".NAME.lorimex-lock", which only this user may open,
// so that no other user can hold it; a lock on the registry file itself
// would not do, as the file is replaced, not rewritten.
class RegistryLock {
 public:
  RegistryLock() = default;
  RegistryLock(const RegistryLock &) = delete;
  RegistryLock &operator=(const RegistryLock &) = delete;
  ~RegistryLock();
  // Makes the folder when it is missing. Waits at most kLockWaitSeconds for
  // another run; a status, with one line on standard error, when the lock
  // cannot be had: the registry is then not used.
  LONG Take(const RegistryFile &file);

 private:
  int fd_ = -1;
};
constexpr int kLockWaitSeconds = 10;

// Locks the registry into `lock`, clears the temporary files of runs that
// were killed while saving, and reads the file, in the code page that
// LORIMEX_CODEPAGE names when it is a REGEDIT4 file ("utf-8" or unset: UTF-8;
// one the conversion library does not know: ERROR_INVALID_PARAMETER);
// `form` gets what the file is. A missing file is an empty registry. Every other outcome leaves the file untouched and
// writes one line on standard error: a file that is not a registry, or not a regular file, gives
// ERROR_REGISTRY_CORRUPT; the other causes their own status (see StatusOf in store.cpp).
LONG LoadRegistry(const RegistryFile &file, RegistryLock &lock, standin::Key &top, FileForm &form);

// Replaces the file by way of a temporary file beside it, so that the old
// contents stay whole until the new ones are on disk. The new file gets the
// old one's owner, group, permissions, access list and other extended
// attributes; where that cannot be done (a file of another owner, one with
// other hard links, an attribute that cannot be copied), or the file has no
// write permission, the file is not replaced: ERROR_ACCESS_DENIED, with one
// line on standard error. The file is written in `form`, as it was read.
LONG SaveRegistry(const std::string &path, const standin::Key &top, const FileForm &form);

}  // namespace standin

#endif
