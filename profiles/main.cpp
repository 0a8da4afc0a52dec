// lorimex-profiles: gives every roaming profile on a file server the
// Kelvaro settings of a default profile, offline, through their hives.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "profiles/child.h"
#include "profiles/options.h"
#include "profiles/preflight.h"
#include "profiles/report_file.h"
#include "profiles/runner.h"
#include "profiles/service.h"
#include "regcopy/report.h"

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

int CheckDefaultHive(const std::string &path, const std::vector<std::string> &hives) {
  profiles::Outcome outcome = profiles::RunInChild([&] { return profiles::CheckDefaultHive(path, hives); });
  return outcome.result == profiles::Result::Failed ? Cannot(path, outcome.detail) : 0;
}

int Cannot(const profiles::Refusal &refusal) { return Cannot(refusal.what, refusal.why); }

int Serve(profiles::Options &options) {
  if (auto refusal = profiles::CheckDefaultFile(options.defaultHive)) return Cannot(refusal);
  const std::string target = options.reportPath.empty() ? "" : profiles::LinkedFile(options.reportPath);
  std::string why;
  profiles::Survey survey;
  if (auto refusal = profiles::SurveyProfiles(options, target, survey)) return Cannot(refusal);
  profiles::ProfileWalk walk(options.profilesDir);
  if (!walk.Open(why)) return Cannot(options.profilesDir, why);
  if (auto refusal = profiles::RefuseOverlaps(options, target, survey)) return Cannot(refusal);
  if (int status = CheckDefaultHive(options.defaultHive, survey.first)) return status;
  if (auto refusal = profiles::MakeReportFolder(options, target)) return Cannot(refusal);
  profiles::ReportFile report;
  if (!options.reportPath.empty() && !report.Open(options.reportPath, why)) return Cannot(options.reportPath, why);
  profiles::Tally tally = profiles::ServiceAll(options, walk, survey.total, report, profiles::ProfileWork(options));
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
      std::fprintf(stderr, "lorimex-profiles: %s (try lorimex-profiles --help)\n", why.c_str());
      return kCannot;
    case profiles::Request::Run:
      break;
  }
  return Serve(options);
}
