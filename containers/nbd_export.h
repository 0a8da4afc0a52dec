// A container served read-only over NBD on a Unix socket, for a dry run.
// qemu, given a descriptor, sets its own status flags on it, and with
// them takes away O_NOATIME: its reads would change the container's access
// time. Read through the run's own descriptor instead, nothing does.
#ifndef LORIMEX_CONTAINERS_NBD_EXPORT_H
#define LORIMEX_CONTAINERS_NBD_EXPORT_H

#include <string>

namespace containers {

class NbdExport {
 public:
  // Serves the file open at `fd` at the socket `path`, on a thread of its
  // own, until the export is destroyed. Writes are refused.
  bool Open(const std::string &path, int fd, std::string &why);
  ~NbdExport();
  const std::string &Path() const { return path_; }

 private:
  struct State;
  State *state_ = nullptr;
  std::string path_;
};

}  // namespace containers

#endif
