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

bool SameFile(const std::string &a, const std::string &b) {
  struct stat one {};
  struct stat other {};
  return stat(a.c_str(), &one) == 0 && stat(b.c_str(), &other) == 0 && one.st_dev == other.st_dev &&
         one.st_ino == other.st_ino;
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
         SameFile(standin::FolderOf(above), folder);
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

// What the command writes, or reads as the default, must not be what it
// services or keeps: a report over a hive or a backup, a profile's hive
// taken for the default profile's, backups among the profiles. Files are
// compared as files, whatever names and links lead to them.
int RefuseOverlaps(const profiles::Options &options) {
  const std::string &folder = options.profilesDir;
  const std::string report = options.reportPath.empty() ? "" : profiles::LinkedFile(options.reportPath);
  std::string why;
  profiles::ProfileWalk walk(folder);
  profiles::Found found;
  for (walk.Open(why); walk.Next(found);) {
    if (!found.problem.empty()) continue;
    if (SameFile(found.path, options.defaultHive))
      return Cannot(options.defaultHive,
                    "is one of the profiles' hives, not the default profile's (reg save HKU\\.DEFAULT default.hiv)");
    if (!report.empty() && SameFile(found.path, report))
      return Cannot(options.reportPath, "is a hive the command reads or services: give --report another file");
  }
  if (!report.empty() && (SameFile(report, options.defaultHive) || IsProfileHive(report, folder)))
    return Cannot(options.reportPath, "is a hive the command reads or services: give --report another file");
  const std::string &backup = options.backupDir;
  if (backup.empty()) return 0;
  if (!(why = UnusableFolder(backup)).empty()) return Cannot(backup, "cannot take the backups: " + why);
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

// The default hive, once, before any profile.
int CheckDefault(const std::string &path) {
  const char *role = " (the default profile's hive, saved with reg save HKU\\.DEFAULT)";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Cannot(path, std::string("no such file") + role);
  if (!S_ISREG(st.st_mode)) return Cannot(path, std::string("not a file") + role);
  profiles::Outcome outcome = profiles::RunInChild([&path] { return profiles::CheckDefaultHive(path); });
  return outcome.result == profiles::Result::Failed ? Cannot(path, outcome.detail) : 0;
}

// The copy of the default hive's product key, tried once on the first
// profiles that can be opened.
int CheckDefaultCopy(const std::string &path, const std::string &folder) {
  constexpr std::size_t kTried = 5;
  std::vector<std::string> hives;
  std::string why;
  profiles::ProfileWalk walk(folder);
  profiles::Found found;
  for (walk.Open(why); hives.size() < kTried && walk.Next(found);) {
    if (found.problem.empty()) hives.push_back(found.path);
  }
  profiles::Outcome outcome = profiles::RunInChild([&] { return profiles::CheckDefaultCopy(path, hives); });
  return outcome.result == profiles::Result::Failed ? Cannot(path, outcome.detail) : 0;
}

int Serve(profiles::Options &options) {
  if (int status = CheckDefault(options.defaultHive)) return status;
  std::string why;
  const std::string &folder = options.profilesDir;
  std::size_t total = 0;
  profiles::ProfileWalk walk(folder);
  if (!profiles::CountProfiles(folder, total, why) || !walk.Open(why))
    return Cannot(folder, why + " (the folder of the profiles, each a folder holding NTUSER.DAT)");
  if (total == 0) return Cannot(folder, "no profile in it (no FOLDER/NTUSER.DAT): nothing to do");
  if (int status = RefuseOverlaps(options)) return status;
  if (int status = CheckDefaultCopy(options.defaultHive, folder)) return status;
  profiles::ReportFile report;
  if (!options.reportPath.empty() && !report.Open(options.reportPath, why)) return Cannot(options.reportPath, why);
  profiles::Tally tally = profiles::ServiceAll(options, walk, total, report);
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
