// Where the stand-in registry lives on disk, and how it is read, locked and
// written back.
#ifndef LORIMEX_REGISTRY_STANDIN_STORE_H
#define LORIMEX_REGISTRY_STANDIN_STORE_H

#include <string>

#include "registry/regfile.h"
#include "registry/standin_api.h"

namespace standin {

// LORIMEX_REGISTRY, else $XDG_CONFIG_HOME/lorimex/registry.reg, else
// $HOME/.config/lorimex/registry.reg; the last two only when the variable is
// an absolute path. Empty, with one line on standard error, when none is set.
std::string RegistryPath();

// An exclusive lock on the folder of the registry file, so that a second run
// waits until the first has written its changes back. A lock on the file
// itself would not do: the file is replaced, not rewritten.
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(const FolderLock &) = delete;
  FolderLock &operator=(const FolderLock &) = delete;
  ~FolderLock();
  // Makes the folder when it is missing. A status, with one line on
  // standard error, when it cannot be locked: the registry is then not used.
  LONG Take(const std::string &filePath);

 private:
  int fd_ = -1;
};

// Locks the registry's folder into `lock`, clears the temporary files of
// runs that were killed while saving, and reads the file. A missing file is
// an empty registry. Every other outcome leaves the file untouched and
// writes one line on standard error: a file that is not a registry, or not
// a regular file, gives ERROR_REGISTRY_CORRUPT; one larger than memory
// allows, ERROR_OUTOFMEMORY.
LONG LoadRegistry(const std::string &path, FolderLock &lock, regfile::Key &top);

// Replaces the file by way of a temporary file beside it, so that the old
// contents stay whole until the new ones are on disk; the new file keeps the
// old one's permissions, owner and group. A file without write permission
// is never replaced (ERROR_ACCESS_DENIED).
LONG SaveRegistry(const std::string &path, const regfile::Key &top);

}  // namespace standin

#endif
