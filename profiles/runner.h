// Servicing the profiles, `jobs` at a time, each in a process of its own:
// the result lines as they end, the report's rows, the progress, and a
// clean stop on SIGINT or SIGTERM.
#ifndef LORIMEX_PROFILES_RUNNER_H
#define LORIMEX_PROFILES_RUNNER_H

#include <cstddef>
#include <string>

#include "profiles/options.h"
#include "profiles/report_file.h"
#include "profiles/scan.h"

namespace profiles {

struct Tally {
  std::size_t profiles = 0, updated = 0, unchanged = 0, skipped = 0, failed = 0, notReached = 0;
  int stoppedBy = 0;  // the signal that stopped the run, or 0
};

// From the first SIGINT, SIGTERM or SIGHUP on, no profile starts; those under way
// are finished.
void CatchStopSignals();
// Services each hive of `walk`, of which there were `total` when counted.
// After a stop the walk goes on only to count the hives not reached.
Tally ServiceAll(const Options &options, ProfileWalk &walk, std::size_t total, ReportFile &report);
// "profiles: N, updated: U, ...".
std::string Summary(const Options &options, const Tally &tally);

}  // namespace profiles

#endif
