// The one way a file is written that someone may read or depend on (the
// registry file, a hive, a backup, a report): a temporary file beside it,
// written, flushed to disk, closed, and only then given its name, so that
// nobody ever finds it half-written. Every system call goes through the
// table of hooks (hooks.h), so that a test can make each one fail.
#ifndef LORIMEX_STANDIN_PUBLISH_H
#define LORIMEX_STANDIN_PUBLISH_H

#include <cstddef>
#include <string>
#include <string_view>

namespace standin {

// How the finished file takes its name.
enum class Naming {
  kReplace,  // rename(2) over whatever is there
  kNew,      // rename only where nothing is there: EEXIST otherwise
  kKeepOld,  // link(2): a file there already is kept, and EEXIST said (on a
             // file system without hard links, a rename that replaces nothing)
};

// The temporary file, removed again unless it was published.
class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(const PendingFile &) = delete;
  PendingFile &operator=(const PendingFile &) = delete;
  ~PendingFile();

  // Makes the temporary file `prefix` followed by six random characters
  // (prefix: ".NAME.lorimex-save-" in the target's folder), readable by its
  // owner only, never on descriptors 0 to 2. 0 or the errno.
  int Begin(const std::string &prefix);
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }
  // Appends all of `bytes`. 0 or the errno (EIO for a write that does
  // nothing).
  int Write(std::string_view bytes);
  // Flushes the file to disk, closes it, names it `target` as `naming`
  // says, and flushes the folder. 0 or the errno; the temporary file is
  // gone either way (after kKeepOld's EEXIST too).
  int Publish(const std::string &target, Naming naming);
  // Closes and removes the temporary file, unpublished.
  void Abandon();

 private:
  std::string path_;
  int fd_ = -1;
  bool made_ = false;  // the temporary file is there
  off_t size_ = 0;
};

// The length of the random part Begin adds: a leftover temporary file of a
// prefix is one of exactly this many more characters.
constexpr std::size_t kPendingRandom = 6;

}  // namespace standin

#endif
