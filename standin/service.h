// What a program that services many users' hives (lorimex-profiles) asks of
// the stand-in: one run, described by a value, over two hive files, and what
// it did, given back as a value. Nothing passes through the environment,
// and nothing is printed: the reason a run failed is the result's. A run of
// lorimex itself never comes here: it reads its LORIMEX_* variables and
// prints its lines as ever.
#ifndef LORIMEX_STANDIN_SERVICE_H
#define LORIMEX_STANDIN_SERVICE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "standin/api.h"

namespace standin {

// A user's hive as a run read, checked and repaired it, kept by a run that
// left it unchanged for the next run given the same holder: a profile's
// service reaches one hive in more than one run (whether it holds the
// product, then the update), and a hive whose file has not changed since
// need not be read and checked again. What it holds is the stand-in's.
struct CheckedHive;
struct CheckedHiveHolder {
  std::shared_ptr<CheckedHive> hive;
};

struct ServiceRun {
  std::string defaultHive;  // read only: HKEY_USERS\.DEFAULT
  std::string userHive;     // HKEY_CURRENT_USER, which takes the changes
  // The run goes as ever, but its save writes nothing and nothing else on
  // disk is touched: no temporary file is made or cleared.
  bool dryRun = false;
  // Called with the user's hive open (`fd`) and locked, just before a save
  // replaces it; a status other than ERROR_SUCCESS stops the save with it,
  // `why` saying why.
  std::function<LONG(int fd, std::string &why)> beforeReplace;
  // Where a run that leaves the user's hive unchanged keeps it, and where
  // the run looks for it first; none: every run reads the file.
  CheckedHiveHolder *checked = nullptr;
};

// The first call of the run that failed (ERROR_NO_MORE_ITEMS, the end of a
// list, is no failure), and why, when the store said.
struct ServiceFailure {
  LONG status = ERROR_SUCCESS;
  std::string keyPath;  // as the call named it: "HKEY_CURRENT_USER\Software"
  std::string file;     // the file the reason is about (a hive, a backup)
  std::string reason;   // "needs recovery from its transaction logs (...)", or ""
};

// What the run did to the user's hive, or under a dry run would have done.
// Names are paths below the hive's root; a value's is its key's path, a
// backslash and its name ("" for the key's default value).
struct ServiceResult {
  int status = 0;  // what the run's work returned
  std::vector<std::string> keysCreated;
  std::vector<std::string> valuesSet;       // values new to their key or given new data
  std::vector<std::string> valuesReplaced;  // of those, values that held other data
  unsigned long keysHidden = 0;             // keys the run reached that Windows' lookup could not find
  bool replaced = false;                    // a save replaced the hive (dry run: would have)
  ServiceFailure failure;
};

// Runs `work`, the registry calls of one run (lorimex's update run, or a
// look), as a session of its own over the hives `run` names, and gives
// what it did. The session is over when `work` returns: a handle it left
// open is dropped, unsaved.
ServiceResult Service(const ServiceRun &run, const std::function<int()> &work);

// For the stand-in itself: the run under way, or nullptr for a run of
// lorimex (whose store the environment names); and where its result goes.
const ServiceRun *ActiveRun();
ServiceResult *ActiveResult();
// Notes the first failure of a call of the run under way, and the first
// reason the store gave; nothing for a run of lorimex.
void NoteFailure(LONG status, const std::string &keyPath);
bool NoteReason(const std::string &file, const std::string &reason);

// Whether the run under way writes nothing.
bool DryRun();

// open(2), through the table of hooks, for the hives and the registry
// file: under a dry run without touching the file's access time, where the
// kernel lets the caller (the file's owner, or root).
int OpenForRun(const char *path, int flags);

}  // namespace standin

#endif
