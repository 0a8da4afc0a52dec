// The command line of lorimex-profiles.
#ifndef LORIMEX_PROFILES_OPTIONS_H
#define LORIMEX_PROFILES_OPTIONS_H

#include <cstdio>
#include <string>

namespace profiles {

struct Options {
  bool dryRun = false;
  bool force = false;
  std::string backupDir;   // empty: no backup
  std::string reportPath;  // empty: no report
  unsigned jobs = 0;       // 0: the number of processors
  std::string defaultHive;
  std::string profilesDir;
};

enum class Request { Run, Help, Version, Wrong };

// Reads the arguments into `options`; `why` says what is wrong with them.
Request ParseOptions(int argc, char **argv, Options &options, std::string &why);
void PrintUsage(std::FILE *to);

}  // namespace profiles

#endif
