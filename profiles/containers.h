// Profile containers (VHD, VHDX) among the profiles: serviced by the
// program lorimex-containers, packaged apart as it needs libguestfs and
// qemu, one appliance per batch of containers, --jobs appliances at a time.
#ifndef LORIMEX_PROFILES_CONTAINERS_H
#define LORIMEX_PROFILES_CONTAINERS_H

#include <functional>
#include <string>
#include <vector>

#include "profiles/options.h"
#include "profiles/outcome.h"

namespace profiles {

using Ended = std::function<void(const std::string &container, const Outcome &outcome)>;

// Services `containers`, telling each outcome as it ends. Once `stopped`
// gives a signal no batch starts, those under way are asked to stop after
// the container they serve; the containers not reached are returned.
std::vector<std::string> ServiceContainers(const Options &options, const std::vector<std::string> &containers,
                                           const Ended &ended, const std::function<int()> &stopped);

}  // namespace profiles

#endif
