// One profile's service, run in a child process of its own: the update run
// of lorimex over the default hive and the profile's hive, after a look at
// whether the profile already has the settings.
#ifndef LORIMEX_PROFILES_SERVICE_H
#define LORIMEX_PROFILES_SERVICE_H

#include <string>
#include <vector>

#include "profiles/options.h"
#include "profiles/outcome.h"
#include "standin/service.h"

namespace profiles {

// The default hive as the runs will read it: Failed, with why, unless it
// is a usable hive that holds Software\Norvane\Kelvaro and the copy reads
// all of that key (a dry run of it into the first of `hives` it can use: a
// value or key it cannot read every profile would lack).
Outcome CheckDefaultHive(const std::string &path, const std::vector<std::string> &hives);
// A run's failure as the profile's line gives it: "REASON (error N at KEY)",
// the key below the profile's hive or the default hive's, and the file the
// reason is about unless it is `subject`.
std::string FailureText(const standin::ServiceResult &result, const std::string &subject);
// Services `hive` as `options` say.
Outcome ServiceProfile(const Options &options, const std::string &hive);
// After a service that did not end on its own: takes the hive's lock, which
// clears the temporary files of a save cut short, and then those of its
// backup.
Outcome CleanUpAfter(const Options &options, const std::string &hive);

}  // namespace profiles

#endif
