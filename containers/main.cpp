// lorimex-containers: the part of lorimex-profiles that opens profile
// containers, apart so that a server with folder profiles only installs no
// qemu. lorimex-profiles runs it on each batch of containers; it writes each
// container's outcome as it ends. libguestfs also starts it as the
// appliance's hypervisor, to hand qemu the containers it holds leases on.
//   lorimex-containers [--dry-run] [--force] [--backup DIR] PROFILES_DIR DEFAULT_HIVE CONTAINER...
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "containers/hypervisor.h"
#include "containers/serve.h"
#include "profiles/outcome.h"

namespace {

// One record per container, as lorimex-profiles reads them.
void Write(const std::string &path, const profiles::Outcome &outcome) {
  std::string record = profiles::Record(path, outcome);
  for (std::size_t done = 0; done < record.size();) {
    ssize_t n = write(1, record.data() + done, record.size() - done);
    if (n <= 0) return;
    done += std::size_t(n);
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: lorimex-containers [--dry-run] [--force] [--backup DIR] PROFILES_DIR DEFAULT_HIVE "
               "CONTAINER...\n(run by lorimex-profiles)\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (std::getenv(containers::kQemuVariable)) return containers::RunAsHypervisor(argc, argv);
  containers::KeepArguments(argv);
  profiles::Options options;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    std::string option = argv[at];
    if (option == "--dry-run") {
      options.dryRun = true;
    } else if (option == "--force") {
      options.force = true;
    } else if (option == "--backup" && at + 1 < argc) {
      options.backupDir = argv[++at];
    } else {
      return Usage();
    }
  }
  if (argc - at < 3) return Usage();
  options.profilesDir = argv[at];
  options.defaultHive = argv[at + 1];
  std::vector<std::string> paths(argv + at + 2, argv + argc);
  containers::ServeContainers(options, paths, Write);
  return 0;
}
