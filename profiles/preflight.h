// The checks before any profile is serviced: the default hive as a file,
// one walk of the profiles' folder, and what the command writes or reads
// that must not be what it services or keeps. A refusal means nothing was
// done: the command says it in one line and exits 2.
#ifndef LORIMEX_PROFILES_PREFLIGHT_H
#define LORIMEX_PROFILES_PREFLIGHT_H

#include <cstddef>
#include <string>
#include <vector>

#include "profiles/options.h"

namespace profiles {

// "WHAT: WHY"; none when `why` is empty.
struct Refusal {
  std::string what;
  std::string why;
  explicit operator bool() const { return !why.empty(); }
};

// What one walk of the folder finds before any profile is serviced: how
// many entries there are (for the progress) and how many of them are
// hives, the first few hives (to try the default hive's copy on), and
// whether the default hive or the report is one of them by another name:
// files are compared as files, whatever names and links lead to them.
struct Survey {
  std::size_t total = 0;
  std::size_t withoutHive = 0;  // folders without NTUSER.DAT
  std::vector<std::string> first;
  bool defaultIsProfile = false;
  bool reportIsProfile = false;
};

// The default hive is a file that is there.
Refusal CheckDefaultFile(const std::string &path);
// Walks the folder once; `report` is the file the report is written to.
Refusal SurveyProfiles(const Options &options, const std::string &report, Survey &survey);
// A report over a hive or a backup, a profile's hive taken for the default
// profile's, backups among the profiles.
Refusal RefuseOverlaps(const Options &options, const std::string &report, const Survey &survey);
// Makes the folder of a report that goes in the --backup folder, which the
// run would make anyway: the report is begun before the first backup.
Refusal MakeReportFolder(const Options &options, const std::string &report);

}  // namespace profiles

#endif
