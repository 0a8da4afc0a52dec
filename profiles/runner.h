// Servicing the profiles, `jobs` at a time, each in a process of its own:
// the result lines as they end, the report's rows, the progress, and a
// clean stop on SIGINT, SIGTERM or SIGHUP.
#ifndef LORIMEX_PROFILES_RUNNER_H
#define LORIMEX_PROFILES_RUNNER_H

#include <cstddef>
#include <functional>
#include <string>

#include "profiles/options.h"
#include "profiles/report_file.h"
#include "profiles/scan.h"

namespace profiles {

struct Tally {
  std::size_t profiles = 0, updated = 0, unchanged = 0, skipped = 0, failed = 0, notReached = 0;
  std::size_t withoutHive = 0;  // folders without NTUSER.DAT, not among the profiles
  int stoppedBy = 0;            // the signal that stopped the run, or 0
};

// What is done for one hive, in a process of its own: its service, and
// the clearing up after a service that did not end on its own.
struct Work {
  std::function<Outcome(const std::string &hive)> service;
  std::function<Outcome(const std::string &hive)> cleanUp;
};
// ServiceProfile and CleanUpAfter (service.h), as `options` say.
Work ProfileWork(const Options &options);

// From now on, from the first SIGINT, SIGTERM or SIGHUP on, no profile
// starts; those under way are finished.
void CatchStopSignals();
// Does `work` for each hive of `walk`, of which there were `total` when
// counted, --jobs at a time. After a stop the walk goes on only to count
// the hives not reached.
Tally ServiceAll(const Options &options, ProfileWalk &walk, std::size_t total, ReportFile &report, const Work &work);
// "profiles: N, updated: U, ...".
std::string Summary(const Options &options, const Tally &tally);

}  // namespace profiles

#endif
