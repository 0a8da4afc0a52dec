// Where the stand-in registry lives on disk, and how it is read, locked and
// written back.
#ifndef LORIMEX_STANDIN_REGISTRY_FILE_H
#define LORIMEX_STANDIN_REGISTRY_FILE_H

#include <sys/stat.h>

#include <functional>
#include <string>

#include "regfile/reg_format.h"
#include "standin/api.h"
#include "standin/backend.h"
#include "standin/configuration.h"
#include "standin/file_io.h"
#include "standin/publish.h"
#include "standin/system_calls.h"

namespace standin {

// The stand-in keeps keys and values in the .reg format's tree.
using namespace regfile;

// The registry file: LORIMEX_REGISTRY, else the default,
// $XDG_CONFIG_HOME/lorimex/registry.reg, else
// $HOME/.config/lorimex/registry.reg; the last two only when the variable is
// an absolute path. An empty path, with one line on standard error, when
// none is set. Links are followed later, as the user the run acts as.
struct RegistryFile {
  std::string path;
  bool byDefault = false;  // the default's folders are made when a save needs them
};
RegistryFile FindRegistryFile(const Configuration &config);

// The registry file as one run holds it, from its load until its changes
// are written back: the identity the run acts as (see OwnerIdentity), the
// file open and locked. The lock is the file's own, so no other file is
// made for it and nobody can be locked out by a file left behind; it is
// taken only by a run that may write the file (one that may only read it
// reads a whole file anyway, as saves replace it at once). A save replaces
// the file: a run that was waiting finds the name on a new file and locks
// that one instead.
class RegistryLock {
 public:
  RegistryLock() = default;
  RegistryLock(const RegistryLock &) = delete;
  RegistryLock &operator=(const RegistryLock &) = delete;
  ~RegistryLock();
  // Acts as the owner, follows links, opens and locks the file. A missing
  // file is fine (there is nothing to lock). A status, with one line on
  // standard error, when the file cannot be used.
  LONG Take(const RegistryFile &file);
  // The whole file as it is on disk, nothing when there is none.
  LONG Read(FileBytes &bytes) const;
  // Replaces the file with what `write` puts into its sink, by way of a temporary file
  // beside it, so that the old contents stay whole until the new ones are
  // on disk. The new file gets the old one's owner, group, permissions,
  // access list, other extended attributes and inode flags; where that
  // cannot be done (a file of another owner, root's among them when a run
  // of root acts as the owner of its folder, one with other hard links, an
  // attribute that cannot be copied), or the file has no write permission,
  // or its folder none for the one who saves, the file is not replaced:
  // ERROR_ACCESS_DENIED, with one line on standard error that names the
  // cause, whose file or folder it is, and the fix. A missing folder is
  // made only for the default file; a missing file is made only if no
  // other run made it meanwhile (ERROR_SHARING_VIOLATION).
  using Producer = std::function<bool(const Sink &)>;  // false when it gave up
  LONG Replace(const Producer &write);
  // The same, with the new contents written by `fill` straight into the
  // temporary file (publish.h): for files a library writes (hive files).
  // `fill` returns 0 or an errno.
  using Filler = std::function<int(PendingFile &file)>;
  LONG ReplaceWith(const Filler &fill);
  // What Replace would refuse before writing anything, with its line on
  // standard error: a dry run says it as the save would.
  LONG MayReplace() const;
  const std::string &path() const { return path_; }
  bool exists() const { return fd_ >= 0; }
  // The file as it was opened and locked, while it is held (-1: none).
  int fd() const { return fd_; }

 private:
  LONG Open();

  OwnerIdentity identity_;
  std::string path_;  // links followed
  bool byDefault_ = false;
  int fd_ = -1;
  bool writable_ = false;
  struct stat old_ {};
};

// Takes the registry into `lock`, clears the temporary files of runs that
// were killed while saving, and reads the file, in `codePage`
// (LORIMEX_CODEPAGE) when it is a REGEDIT4 file ("utf-8" or unset:
// UTF-8; one the conversion library does not know:
// ERROR_INVALID_PARAMETER); `form` gets what the file is. A missing file is
// an empty registry; one named by LORIMEX_REGISTRY is also said to be
// missing, in one line on standard error. Every other outcome leaves the file untouched and
// writes one line on standard error: a file that is not a registry, or not
// a regular file, gives ERROR_REGISTRY_CORRUPT; the other causes their own
// status (see StatusOfError of file_io.h).
LONG LoadRegistry(const RegistryFile &file, const std::string &codePage, RegistryLock &lock, standin::Key &top,
                  FileForm &form);
// Writes the tree back through lock.Replace, in `form`, as it was read.
LONG SaveRegistry(RegistryLock &lock, const standin::Key &top, const FileForm &form);

// The .reg file as a session's store: read whole at load, locked until the
// save, which writes it whole again. Every key is in the tree from the load
// on, and the file may hold any of them.
class RegFile : public Backend {
 public:
  explicit RegFile(const Configuration &config) : config_(config) {}

  LONG Load(Key &top, FileForm &form) override;
  LONG Reach(Key &) override { return ERROR_SUCCESS; }
  LONG MayOpen(const Key &) const override { return ERROR_SUCCESS; }
  LONG MayAddSubkey(const Key &, std::string_view, const std::string &) override { return ERROR_SUCCESS; }
  LONG MaySetValue(const Key &, const std::string &, std::string_view, std::uint32_t, std::string_view) override {
    return ERROR_SUCCESS;
  }
  LONG Save(const Key &top, const FileForm &form) override { return SaveRegistry(lock_, top, form); }
  const std::string &Path() const override { return lock_.path(); }

 private:
  Configuration config_;
  RegistryLock lock_;
};

}  // namespace standin

#endif
