// What a program that services many users' hives (lorimex-profiles) asks of
// a run beyond the registry's calls: a preview that writes nothing, a
// chance to keep the old hive before a save replaces it, and what the run
// changed. A run of lorimex itself leaves these as they are: it always
// saves, keeps nothing and reads no count.
#ifndef LORIMEX_STANDIN_SERVICE_H
#define LORIMEX_STANDIN_SERVICE_H

#include <functional>
#include <string>

#include "standin/api.h"

namespace standin {

struct ServiceOptions {
  // The run goes as ever, but its save writes nothing and nothing else on
  // disk is touched: no temporary file is made or cleared.
  bool dryRun = false;
  // Called with the user's hive open (`fd`) and locked, just before a save
  // replaces it; a status other than ERROR_SUCCESS stops the save with it.
  std::function<LONG(const std::string &path, int fd)> beforeReplace;
};

// What the run did to the user's hive, or under a dry run would have done.
struct ServiceCounts {
  unsigned long keysCreated = 0;
  unsigned long valuesSet = 0;       // values new to their key or given new data
  unsigned long valuesReplaced = 0;  // of those, values that held other data
  unsigned long keysHidden = 0;      // keys the run reached that Windows' lookup could not find
  bool replaced = false;             // a save replaced the hive (dry run: would have)
};

// Set before the run's first registry call.
ServiceOptions &Service();
ServiceCounts &Counts();

// open(2), through the table of hooks, for the hives and the registry
// file: under a dry run without touching the file's access time, where the
// kernel lets the caller (the file's owner, or root).
int OpenForRun(const char *path, int flags);

}  // namespace standin

#endif
