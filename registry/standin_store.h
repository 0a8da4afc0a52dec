// Where the stand-in registry lives on disk, and how it is read, locked and
// written back.
#ifndef LORIMEX_REGISTRY_STANDIN_STORE_H
#define LORIMEX_REGISTRY_STANDIN_STORE_H

#include <string>

#include "registry/regfile.h"
#include "registry/standin_api.h"

namespace standin {

// LORIMEX_REGISTRY, else $XDG_CONFIG_HOME/lorimex/registry.reg, else
// $HOME/.config/lorimex/registry.reg.
std::string RegistryPath();

// Holds an exclusive lock on the folder of the registry file, so that a
// second run waits until the first has written its changes back. A lock on
// the file itself would not do: the file is replaced, not rewritten.
class FolderLock {
 public:
  FolderLock() = default;
  explicit FolderLock(const std::string &filePath);
  FolderLock(const FolderLock &) = delete;
  FolderLock &operator=(const FolderLock &) = delete;
  ~FolderLock();

 private:
  int fd_ = -1;
};

// A missing file is an empty registry. A file that cannot be read as one
// gives ERROR_REGISTRY_CORRUPT and one line on standard error.
LONG LoadRegistry(const std::string &path, regfile::Key &top);

// Replaces the file by way of a temporary file beside it, so that the old
// contents stay whole until the new ones are on disk.
LONG SaveRegistry(const std::string &path, const regfile::Key &top);

}  // namespace standin

#endif
