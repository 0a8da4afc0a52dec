#include "standin/service.h"

#include <fcntl.h>

#include <cerrno>

namespace standin {

ServiceOptions &Service() {
  static ServiceOptions options;
  return options;
}

ServiceCounts &Counts() {
  static ServiceCounts counts;
  return counts;
}

int OpenForRun(const char *path, int flags) {
  if (Service().dryRun) {
    int fd = open(path, flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
  }
  return open(path, flags);
}

}  // namespace standin
