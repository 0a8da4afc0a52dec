#include "profiles/preflight.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "profiles/scan.h"
#include "standin/file_io.h"

namespace profiles {
namespace {

// `path` with links followed as far as it is there, the rest as it is.
std::string Resolved(const std::string &path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real)) return real;
  std::string above = standin::FolderOf(path);
  if (above == path) return path;
  std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string folder = Resolved(above);
  return (folder == "/" ? "" : folder) + "/" + name;
}

// Whether `path` lies in `folder`, or is it, each there or not yet.
bool Within(const std::string &path, const std::string &folder) {
  std::string inside = Resolved(path), outer = Resolved(folder);
  if (outer == "/") return true;
  return inside == outer || inside.compare(0, outer.size() + 1, outer + "/") == 0;
}

// Whether `path` would be one of the profiles' hives: FOLDER/NTUSER.DAT of
// the profiles' folder, the name in any case, its folders' links followed.
bool IsProfileHive(const std::string &path, const std::string &folder) {
  std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char above[PATH_MAX];
  return strcasecmp(name.c_str(), "NTUSER.DAT") == 0 && realpath(standin::FolderOf(path).c_str(), above) &&
         standin::SameFile(standin::FolderOf(above), folder);
}

// Why a folder the backups go to, there or to be made, cannot take them;
// empty when it can (as root, who makes them, may write anywhere).
std::string UnusableFolder(std::string path) {
  struct stat st {};
  while (stat(path.c_str(), &st) != 0) {
    if (lstat(path.c_str(), &st) == 0) return "a link to nothing";
    std::string above = standin::FolderOf(path);
    if (above == path) return "no folder of it is there";
    path = above;
  }
  if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
  if (getuid() != 0 && access(path.c_str(), W_OK | X_OK) != 0)
    return path + " cannot be written: " + std::strerror(errno);
  return "";
}

constexpr std::size_t kFirstHives = 5;

// Each missing folder on the way, for root alone, as the backups' are.
bool MakeFolders(const std::string &folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
  std::string above = standin::FolderOf(folder);
  if (above != folder && !MakeFolders(above)) return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

Refusal SurveyProfiles(const Options &options, const std::string &report, Survey &survey) {
  ProfileWalk walk(options.profilesDir);
  std::string why;
  if (!walk.Open(why))
    return {options.profilesDir, why + " (the folder of the profiles, each a folder holding NTUSER.DAT or Profile_*.vhdx)"};
  for (Found found; walk.Next(found); ++survey.total) {
    survey.withoutHive += found.noHive;
    if (!found.problem.empty() || found.noHive || found.container) continue;
    if (survey.first.size() < kFirstHives) survey.first.push_back(found.path);
    survey.defaultIsProfile |= standin::SameFile(found.path, options.defaultHive);
    survey.reportIsProfile |= !report.empty() && standin::SameFile(found.path, report);
  }
  if (survey.total == survey.withoutHive)
    return {options.profilesDir, "no profile in it (no FOLDER/NTUSER.DAT, no FOLDER/Profile_*.vhdx): nothing to do"};
  return {};
}

// What the command writes, or reads as the default, must not be what it
// services or keeps: a report over a hive or a backup, a profile's hive
// taken for the default profile's, backups among the profiles.
Refusal RefuseOverlaps(const Options &options, const std::string &report, const Survey &survey) {
  const std::string &folder = options.profilesDir;
  if (survey.defaultIsProfile)
    return Refusal{options.defaultHive,
                   "is one of the profiles' hives, not the default profile's (reg save HKU\\.DEFAULT default.hiv)"};
  if (survey.reportIsProfile ||
      (!report.empty() && (standin::SameFile(report, options.defaultHive) || IsProfileHive(report, folder))))
    return Refusal{options.reportPath, "is a hive the command reads or services: give --report another file"};
  const std::string &backup = options.backupDir;
  if (backup.empty()) return {};
  std::string why = UnusableFolder(backup);
  if (!why.empty()) return Refusal{backup, "cannot take the backups: " + why};
  if (Within(backup, folder))
    return Refusal{backup,
                   "is in the profiles' folder, which the backups would be mixed into: give --backup another folder"};
  // Beside the backups a report is at home, but not in a backup's place.
  std::size_t slash = report.find_last_of('/');
  const char *name = report.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  if (!report.empty() && strcasecmp(name, "NTUSER.DAT") == 0 && Within(report, backup))
    return Refusal{options.reportPath, "is where a backup goes: give --report another file"};
  return {};
}

// The default hive, once, before any profile: first as a file; then, in a
// process of its own, as a hive whose product key the copy reads whole,
// tried on the first profiles.
Refusal CheckDefaultFile(const std::string &path) {
  const char *role = " (the default profile's hive, saved with reg save HKU\\.DEFAULT)";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Refusal{path, std::string("no such file") + role};
  if (!S_ISREG(st.st_mode)) return Refusal{path, std::string("not a file") + role};
  return {};
}

Refusal MakeReportFolder(const Options &options, const std::string &report) {
  if (report.empty() || options.backupDir.empty()) return {};
  std::string folder = standin::FolderOf(report);
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0 || !Within(folder, options.backupDir)) return {};
  if (!MakeFolders(folder)) return {options.reportPath, std::string("cannot make its folder: ") + std::strerror(errno)};
  return {};
}

}  // namespace profiles
