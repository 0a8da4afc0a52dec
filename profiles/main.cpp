// lorimex-profiles: gives every roaming profile on a file server the
// Kelvaro settings of a default profile, offline, through their hives.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "profiles/child.h"
#include "profiles/options.h"
#include "profiles/report_file.h"
#include "profiles/runner.h"
#include "profiles/scan.h"
#include "profiles/service.h"
#include "regcopy/report.h"
#include "standin/file_io.h"

namespace {

// Nothing could be done: no profile was touched.
constexpr int kCannot = 2;

int Cannot(const std::string &what, const std::string &why) {
  std::fprintf(stderr, "lorimex-profiles: %s: %s\n", what.c_str(), why.c_str());
  return kCannot;
}

// Descriptors 0 to 2 are open, on /dev/null where they were closed: no file
// of the command's may take the place of a standard stream.
void OpenStandardStreams() {
  for (;;) {
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (fd > 2) {
      close(fd);
      return;
    }
    fcntl(fd, F_SETFD, 0);
  }
}

// Whether `path` (there or not yet) lies in `folder`, or is it: the
// nearest folder of it that is there is looked at, links followed.
bool Within(std::string path, const std::string &folder) {
  char real[PATH_MAX], top[PATH_MAX];
  if (!realpath(folder.c_str(), top)) return false;
  while (!realpath(path.c_str(), real)) {
    std::string above = standin::FolderOf(path);
    if (above == path) return false;
    path = above;
  }
  std::string inside = real, outer = top;
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

// What one walk of the folder finds before any profile is serviced: how
// many hives there are (for the progress), the first few (to try the
// default hive's copy on), and whether the default hive or the report is
// one of them by another name: files are compared as files, whatever names
// and links lead to them.
struct Survey {
  std::size_t total = 0;
  std::vector<std::string> first;
  bool defaultIsProfile = false;
  bool reportIsProfile = false;
};

constexpr std::size_t kFirstHives = 5;

bool SurveyProfiles(const std::string &folder, const std::string &defaultHive, const std::string &report,
                    Survey &survey, std::string &why) {
  profiles::ProfileWalk walk(folder);
  if (!walk.Open(why)) return false;
  for (profiles::Found found; walk.Next(found); ++survey.total) {
    if (!found.problem.empty() || found.container) continue;
    if (survey.first.size() < kFirstHives) survey.first.push_back(found.path);
    survey.defaultIsProfile |= standin::SameFile(found.path, defaultHive);
    survey.reportIsProfile |= !report.empty() && standin::SameFile(found.path, report);
  }
  return true;
}

// What the command writes, or reads as the default, must not be what it
// services or keeps: a report over a hive or a backup, a profile's hive
// taken for the default profile's, backups among the profiles.
int RefuseOverlaps(const profiles::Options &options, const std::string &report, const Survey &survey) {
  const std::string &folder = options.profilesDir;
  if (survey.defaultIsProfile)
    return Cannot(options.defaultHive,
                  "is one of the profiles' hives, not the default profile's (reg save HKU\\.DEFAULT default.hiv)");
  if (survey.reportIsProfile ||
      (!report.empty() && (standin::SameFile(report, options.defaultHive) || IsProfileHive(report, folder))))
    return Cannot(options.reportPath, "is a hive the command reads or services: give --report another file");
  const std::string &backup = options.backupDir;
  if (backup.empty()) return 0;
  std::string why = UnusableFolder(backup);
  if (!why.empty()) return Cannot(backup, "cannot take the backups: " + why);
  if (Within(backup, folder))
    return Cannot(backup,
                  "is in the profiles' folder, which the backups would be mixed into: give --backup another folder");
  // Beside the backups a report is at home, but not in a backup's place.
  std::size_t slash = report.find_last_of('/');
  const char *name = report.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  if (!report.empty() && strcasecmp(name, "NTUSER.DAT") == 0 && Within(report, backup))
    return Cannot(options.reportPath, "is where a backup goes: give --report another file");
  return 0;
}

// The default hive, once, before any profile: first as a file; then, in a
// process of its own, as a hive whose product key the copy reads whole,
// tried on the first profiles.
int CheckDefaultFile(const std::string &path) {
  const char *role = " (the default profile's hive, saved with reg save HKU\\.DEFAULT)";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Cannot(path, std::string("no such file") + role);
  if (!S_ISREG(st.st_mode)) return Cannot(path, std::string("not a file") + role);
  return 0;
}

int CheckDefaultHive(const std::string &path, const std::vector<std::string> &hives) {
  profiles::Outcome outcome = profiles::RunInChild([&] { return profiles::CheckDefaultHive(path, hives); });
  return outcome.result == profiles::Result::Failed ? Cannot(path, outcome.detail) : 0;
}

int Serve(profiles::Options &options) {
  if (int status = CheckDefaultFile(options.defaultHive)) return status;
  const std::string &folder = options.profilesDir;
  const std::string target = options.reportPath.empty() ? "" : profiles::LinkedFile(options.reportPath);
  std::string why;
  Survey survey;
  profiles::ProfileWalk walk(folder);
  if (!SurveyProfiles(folder, options.defaultHive, target, survey, why) || !walk.Open(why))
    return Cannot(folder, why + " (the folder of the profiles, each a folder holding NTUSER.DAT or Profile_*.vhdx)");
  if (survey.total == 0) return Cannot(folder, "no profile in it (no FOLDER/NTUSER.DAT, no FOLDER/Profile_*.vhdx): nothing to do");
  if (int status = RefuseOverlaps(options, target, survey)) return status;
  if (int status = CheckDefaultHive(options.defaultHive, survey.first)) return status;
  profiles::ReportFile report;
  if (!options.reportPath.empty() && !report.Open(options.reportPath, why)) return Cannot(options.reportPath, why);
  profiles::Tally tally = profiles::ServiceAll(options, walk, survey.total, report);
  std::printf("%s\n", profiles::Summary(options, tally).c_str());
  std::fflush(stdout);
  bool reported = report.Close(why);
  if (!reported) std::fprintf(stderr, "lorimex-profiles: %s\n", why.c_str());
  if (tally.stoppedBy != 0) {
    const char *signal = tally.stoppedBy == SIGINT ? "SIGINT" : tally.stoppedBy == SIGTERM ? "SIGTERM" : "SIGHUP";
    std::fprintf(stderr, "lorimex-profiles: stopped by %s: %zu profiles not reached; run again to service them\n",
                 signal, tally.notReached);
    return 128 + tally.stoppedBy;
  }
  return tally.failed > 0 || !reported ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  OpenStandardStreams();
  SetUpProcess();
  profiles::CatchStopSignals();
  profiles::Options options;
  std::string why;
  switch (profiles::ParseOptions(argc, argv, options, why)) {
    case profiles::Request::Help:
      profiles::PrintUsage(stdout);
      return 0;
    case profiles::Request::Version:
      std::printf("lorimex-profiles %s\n", LORIMEX_VERSION);
      return 0;
    case profiles::Request::Wrong:
      std::fprintf(stderr, "lorimex-profiles: %s\n", why.c_str());
      profiles::PrintUsage(stderr);
      return kCannot;
    case profiles::Request::Run:
      break;
  }
  return Serve(options);
}
