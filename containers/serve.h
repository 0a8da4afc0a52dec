// The service of a batch of profile containers, as lorimex-containers runs
// it for lorimex-profiles: the signs of use looked at before qemu opens
// any, one appliance for those left, and in each container the same
// service as a profile's folder, on a copy of its hive.
#ifndef LORIMEX_CONTAINERS_SERVE_H
#define LORIMEX_CONTAINERS_SERVE_H

#include <functional>
#include <string>
#include <vector>

#include "profiles/options.h"
#include "profiles/outcome.h"

namespace containers {

// Told each container's outcome as it ends.
using Tell = std::function<void(const std::string &container, const profiles::Outcome &outcome)>;

// Serves `paths` as `options` say. From the first SIGINT, SIGTERM or SIGHUP
// on, no container starts: the one under way is finished, the appliance
// shut down, and those not reached are not told.
void ServeContainers(const profiles::Options &options, const std::vector<std::string> &paths, const Tell &tell);
// The program's arguments, to start it again under TCG when KVM does not
// bring the appliance up.
void KeepArguments(char **argv);

}  // namespace containers

#endif
