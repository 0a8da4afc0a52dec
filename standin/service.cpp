#include "standin/service.h"

#include <fcntl.h>

#include <cerrno>

#include "standin/hooks.h"

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
    int fd = hooks.open(path, flags | O_NOATIME, 0);
    if (fd >= 0 || errno != EPERM) return fd;
  }
  return hooks.open(path, flags, 0);
}

}  // namespace standin
