#include "profiles/service.h"

#include <string_view>

#include "app/update.h"
#include "profiles/backup.h"
#include "registry/registry.h"
#include "standin/file_io.h"
#include "standin/service.h"

namespace profiles {
namespace {

constexpr std::string_view kUserRoot = "HKEY_CURRENT_USER";
constexpr std::string_view kDefaultRoot = "HKEY_USERS\\.DEFAULT";

bool StartsWith(const std::string &text, std::string_view start) { return text.compare(0, start.size(), start) == 0; }

// A key as the administrator knows it: below the profile's hive, or the
// default hive's.
std::string Where(const std::string &keyPath) {
  for (auto [root, name] :
       {std::pair{kUserRoot, "the hive's root"}, std::pair{kDefaultRoot, "the default hive's root"}}) {
    if (keyPath == root) return name;
    if (StartsWith(keyPath, root) && keyPath[root.size()] == '\\')
      return (root == kDefaultRoot ? "the default hive's " : "") + keyPath.substr(root.size() + 1);
  }
  return keyPath;
}

// Whether Windows would find the product key: an entry on the way that its
// lookup cannot match hides the key from it, and from the user. Only a look:
// its run writes nothing, whatever it found to repair.
bool HoldsProduct(const std::string &defaultHive, const std::string &hive, standin::CheckedHiveHolder &checked) {
  standin::ServiceRun look{defaultHive, hive, true, nullptr, &checked};
  standin::ServiceResult seen = standin::Service(look, [] {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, KEY_NAME("Software\\Norvane\\Kelvaro"), 0, KEY_READ, &key);
    if (key) (void)RegCloseKey(key);
    return static_cast<int>(status);
  });
  return seen.status == ERROR_SUCCESS && seen.keysHidden == 0;
}

// Whether the copy reads all of the default hive's product key, tried on
// the first of `hives` the run can use: a failure in the default hive is
// what every profile would lack.
std::string CopyFailure(const std::string &path, const std::vector<std::string> &hives) {
  for (const std::string &hive : hives) {
    standin::ServiceResult result = standin::Service(standin::ServiceRun{path, hive, true, nullptr}, RunUpdate);
    if (result.status == 0) return "";
    // A profile the run cannot use tells nothing of the default hive.
    if (StartsWith(result.failure.keyPath, kUserRoot)) continue;
    return FailureText(result, path);
  }
  return "";
}

// What the run did to the hive, or would have done; nothing when it failed,
// as a failed run writes nothing.
void TakeChanges(const standin::ServiceResult &result, Outcome &outcome) {
  outcome.keysCreated = result.keysCreated.size();
  outcome.valuesSet = result.valuesSet.size();
  outcome.valuesReplaced = result.valuesReplaced.size();
  outcome.replacedNames = result.valuesReplaced;
}

}  // namespace

std::string FailureText(const standin::ServiceResult &result, const std::string &subject) {
  const standin::ServiceFailure &failure = result.failure;
  // No call failed: the copy itself refused what a call gave.
  if (failure.status == ERROR_SUCCESS)
    return "the copy left out what it does not copy: a value larger than it takes, a name holding a NUL, or a link "
           "or a depth it does not follow";
  std::string at = "error " + std::to_string(failure.status) + " at " + Where(failure.keyPath);
  if (failure.reason.empty()) return at;
  bool ofSubject = failure.file.empty() || failure.file == subject || standin::SameFile(failure.file, subject);
  return (ofSubject ? "" : failure.file + ": ") + failure.reason + " (" + at + ")";
}

Outcome CheckDefaultHive(const std::string &path, const std::vector<std::string> &hives) {
  // Nothing is written, nor any time changed. The product key is looked
  // for with only the default hive reached: the user's is named, never
  // reached.
  standin::ServiceResult look = standin::Service(standin::ServiceRun{path, "-", true, nullptr}, [] {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_USERS, KEY_NAME(".DEFAULT\\Software\\Norvane\\Kelvaro"), 0, KEY_READ, &key);
    if (key) (void)RegCloseKey(key);
    return static_cast<int>(status);
  });
  Outcome outcome;
  const std::string &reason = look.failure.reason.empty() ? "" : FailureText(look, path);
  if (look.status == ERROR_SUCCESS) {
    std::string failure = CopyFailure(path, hives);
    if (failure.empty())
      outcome.result = Result::Unchanged;
    else
      outcome.detail = "the copy cannot read all of its Software\\Norvane\\Kelvaro (" + failure +
                       "): every profile would get only part of it";
  } else if (look.status == ERROR_FILE_NOT_FOUND && reason.empty()) {
    outcome.detail =
        "holds no Software\\Norvane\\Kelvaro: save the default profile of a PC where Kelvaro is installed "
        "(reg save HKU\\.DEFAULT default.hiv)";
  } else {
    outcome.detail = reason.empty() ? "cannot be read (" + FailureText(look, path) + ")" : reason;
  }
  return outcome;
}

Outcome CleanUpAfter(const Options &options, const std::string &hive) {
  // The hive's lock clears what a save cut short left; nothing is saved.
  standin::ServiceRun run{options.defaultHive, hive, false, [](int, std::string &why) {
                            why = "only cleared";
                            return ERROR_ACCESS_DENIED;
                          }};
  (void)standin::Service(run, [&] {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY_NAME("Software"), 0, KEY_READ, &key) != ERROR_SUCCESS) return 1;
    if (!options.backupDir.empty()) RemoveStrayBackups(BackupPathOf(options.backupDir, options.profilesDir, hive));
    (void)RegCloseKey(key);
    return 0;
  });
  return Outcome{};
}

Outcome ServiceProfile(const Options &options, const std::string &hive) {
  Outcome outcome;
  // The look and the run read the hive once between them.
  standin::CheckedHiveHolder checked;
  if (!options.force && HoldsProduct(options.defaultHive, hive, checked)) {
    outcome.result = Result::Skipped;
    outcome.detail =
        "already holds Software\\Norvane\\Kelvaro, whose values a run would overwrite (--force services it)";
    return outcome;
  }
  standin::ServiceRun run{options.defaultHive, hive, options.dryRun, nullptr, &checked};
  if (!options.backupDir.empty() && !options.dryRun) {
    std::string backup = BackupPathOf(options.backupDir, options.profilesDir, hive);
    run.beforeReplace = [backup](int fd, std::string &why) { return BackUpHive(fd, backup, why); };
  }
  standin::ServiceResult result = standin::Service(run, RunUpdate);
  if (result.status != 0) {
    outcome.result = Result::Failed;
    outcome.detail = FailureText(result, hive);
    return outcome;
  }
  TakeChanges(result, outcome);
  if (options.dryRun)
    outcome.result = result.replaced ? Result::WouldUpdate : Result::WouldLeaveUnchanged;
  else
    outcome.result = result.replaced ? Result::Updated : Result::Unchanged;
  return outcome;
}

}  // namespace profiles
