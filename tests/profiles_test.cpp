// lorimex-profiles' parts on their own: the command line, the outcome's
// line, row and bytes, where a backup goes, the checks before any profile,
// the runner with a stand-in for the service, and a backup or report whose
// writing fails.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "profiles/backup.h"
#include "profiles/child.h"
#include "profiles/options.h"
#include "profiles/outcome.h"
#include "profiles/preflight.h"
#include "profiles/report_file.h"
#include "profiles/runner.h"
#include "profiles/scan.h"
#include "profiles/service.h"
#include "standin/hooks.h"
#include "standin/testing/control.h"
#include "tests/support.h"

namespace {

using profiles::Options;
using profiles::Outcome;
using profiles::Result;
using testsupport::ReadFile;
using testsupport::WriteFile;

class ProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/lorimex-profiles-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
    standin::Reset();
  }
  void TearDown() override {
    standin::Reset();
    std::filesystem::remove_all(folder_);
  }
  // PROFILES/NAME/NTUSER.DAT for each name ("" contents), or only the
  // folder for a name ending in '/'.
  std::string Profiles(const std::vector<std::string> &names) {
    std::string profiles = folder_ + "/profiles";
    for (const std::string &name : names) {
      std::filesystem::create_directories(profiles + "/" + name);
      if (name.back() != '/') WriteFile(profiles + "/" + name + "/NTUSER.DAT", "");
    }
    return profiles;
  }
  std::vector<std::string> Entries(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string folder_;
};

profiles::Request Parse(std::vector<std::string> args, Options &options, std::string &why) {
  args.insert(args.begin(), "lorimex-profiles");
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  return profiles::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, why);
}

TEST(ProfilesOptions, EveryFlagAndBadValues) {
  using R = profiles::Request;
  struct Case {
    std::vector<std::string> args;
    R request;
    std::string why;  // or, for a run, the options as "dry force backup report jobs default profiles"
  };
  const Case cases[] = {
      {{"--dry-run", "--force", "--backup", "b", "--report", "r", "--jobs", "3", "d", "p/"}, R::Run, "1 1 b r 3 d p"},
      {{"-n", "--backup=b", "--report=r", "--jobs=1024", "d", "p"}, R::Run, "1 0 b r 1024 d p"},
      {{"--", "-d", "/"}, R::Run, "0 0   * -d /"},
      {{"--backup=b//", "d", "p"}, R::Run, "0 0 b  * d p"},
      {{"--jobs", "0", "d", "p"}, R::Wrong, "--jobs takes a number of profiles at a time, 1 to 1024, not \"0\""},
      {{"--jobs", "1025", "d", "p"}, R::Wrong, "--jobs takes a number of profiles at a time, 1 to 1024, not \"1025\""},
      {{"--jobs=2x", "d", "p"}, R::Wrong, "--jobs takes a number of profiles at a time, 1 to 1024, not \"2x\""},
      {{"d", "p", "--jobs"}, R::Wrong, "--jobs needs a value"},
      {{"--backup=", "d", "p"}, R::Wrong, "--backup needs a value"},
      {{"--bogus", "d", "p"}, R::Wrong, "no option --bogus"},
      {{"--backupx", "d", "p"}, R::Wrong, "no option --backupx"},
      {{}, R::Wrong, "the default profile's hive and the folder of the profiles are missing"},
      {{"d"}, R::Wrong, "the folder of the profiles is missing"},
      {{"d", "p", "q"}, R::Wrong, "one folder of profiles at a time: \"q\" is one operand too many"},
      {{"d", "--help"}, R::Help, ""},
      {{"-h"}, R::Help, ""},
      {{"--version", "--bogus"}, R::Version, ""},
  };
  for (const Case &c : cases) {
    Options options;
    std::string why;
    R request = Parse(c.args, options, why);
    SCOPED_TRACE(c.why);
    EXPECT_EQ(request, c.request);
    if (request != R::Run) {
      EXPECT_EQ(why, c.why);
      continue;
    }
    std::string jobs = c.why.find('*') != std::string::npos ? "*" : std::to_string(options.jobs);
    EXPECT_GT(options.jobs, 0u);
    EXPECT_EQ(std::to_string(options.dryRun) + " " + std::to_string(options.force) + " " + options.backupDir + " " +
                  options.reportPath + " " + jobs + " " + options.defaultHive + " " + options.profilesDir,
              c.why);
  }
}

TEST(ProfilesOutcome, LinesAndCsvRows) {
  Outcome updated;
  updated.result = Result::WouldUpdate;
  updated.keysCreated = 1, updated.valuesSet = 5, updated.valuesReplaced = 4;
  updated.replacedNames = {"A\\a", "A\\b", "B\\c", "B\\"};
  Outcome failed;
  failed.detail = "cannot back up the hive to /b, \"x\"\n(error 5 at Software)";
  Outcome bytes;
  bytes.result = Result::NoHive;
  // A user's own hive names its keys: what a terminal would take for a
  // command is shown, never sent.
  Outcome hostile;
  hostile.detail =
      "its root holds no Software key, only \"\x1B[2K\rFAKE: updated\xC2\x9B"
      "8m\"";
  struct Case {
    std::string path;
    Outcome outcome;
    std::string line, row;
  };
  const Case cases[] = {
      {"/p/u/NTUSER.DAT", updated,
       "/p/u/NTUSER.DAT: would update: 1 key to create, 5 values to set (4 replace a different value: A\\a, A\\b, "
       "B\\c and 1 more)",
       "/p/u/NTUSER.DAT,would update,\"1 key to create, 5 values to set (4 replace a different value: A\\a, A\\b, "
       "B\\c, B\\)\",1,5\r\n"},
      {"/p/a,b/NTUSER.DAT", failed,
       "/p/a,b/NTUSER.DAT: failed: cannot back up the hive to /b, \"x\"<000A>(error 5 at Software)",
       "\"/p/a,b/NTUSER.DAT\",failed,\"cannot back up the hive to /b, \"\"x\"\"\n(error 5 at Software)\",0,0\r\n"},
      {"/p/caf\xE9", bytes, "/p/caf\xE9: no NTUSER.DAT", "/p/caf\xEF\xBF\xBD,no NTUSER.DAT,,0,0\r\n"},
      {"/p/\x1B[8m", hostile,
       "/p/<001B>[8m: failed: its root holds no Software key, only \"<001B>[2K<000D>FAKE: updated<009B>8m\"",
       "/p/\x1B[8m,failed,\"its root holds no Software key, only \"\"\x1B[2K\rFAKE: updated\xC2\x9B"
       "8m\"\"\",0,0\r\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(profiles::ResultLine(c.path, c.outcome), c.line);
    EXPECT_EQ(profiles::CsvRow(c.path, c.outcome), c.row);
  }
}

TEST(ProfilesOutcome, DecodesOnlyWholeOutcomes) {
  Outcome outcome;
  outcome.result = Result::Updated;
  outcome.keysCreated = 2, outcome.valuesSet = 3, outcome.valuesReplaced = 2;
  outcome.replacedNames = {"K\\v"};
  const std::string whole = profiles::Encoded(outcome);
  struct Case {
    std::string bytes;
    bool decoded;
  };
  const Case cases[] = {
      {whole, true},
      {whole.substr(0, whole.size() - 1), false},  // cut in the last name
      {whole + "x", false},                        // more than an outcome
      {std::string("8\0"
                   "0\0"
                   "0\0"
                   "0\0"
                   "0\0"
                   "\0",
                   12),
       false},  // no such result
      {std::string("0\0"
                   "0\0"
                   "1\0"
                   "2\0"
                   "0\0"
                   "\0",
                   12),
       false},  // more replaced than set
      {std::string("0\0"
                   "0\0"
                   "2\0"
                   "1\0"
                   "2\0"
                   "\0a\0b\0",
                   16),
       false},  // more names than replaced
      {"", false},
  };
  // A NUL in a text crosses from a child as the line shows it.
  Outcome nul;
  nul.detail = std::string("only \"a\0b\"", 10);
  EXPECT_EQ(profiles::RunInChild([&] { return nul; }).detail, "only \"a<0000>b\"");
  for (const Case &c : cases) {
    Outcome read;
    EXPECT_EQ(profiles::Decode(c.bytes, read), c.decoded) << testing::PrintToString(c.bytes);
    if (c.decoded) {
      EXPECT_EQ(profiles::Encoded(read), whole);
    }
  }
}

TEST(ProfilesBackup, PathsBelowTheBackupFolder) {
  struct Case {
    const char *backup, *profiles, *hive, *path;
  };
  const Case cases[] = {
      {"/b", "/p", "/p/u/NTUSER.DAT", "/b/u/NTUSER.DAT"},
      {"b", "p", "p/u/ntuser.dat", "b/u/ntuser.dat"},
      {"/b", "/", "/u/NTUSER.DAT", "/b/u/NTUSER.DAT"},
      {"/b", "/p", "/q/u/NTUSER.DAT", "/b/q/u/NTUSER.DAT"},  // not below: the whole path
  };
  for (const Case &c : cases) EXPECT_EQ(profiles::BackupPathOf(c.backup, c.profiles, c.hive), c.path) << c.hive;
}

TEST_F(ProfilesTest, PreflightRefusals) {
  const std::string p = Profiles({"alice", "bob", "empty/"});
  const std::string d = folder_ + "/default.hiv", file = folder_ + "/file";
  WriteFile(d, ""), WriteFile(file, "");
  ASSERT_EQ(link((p + "/alice/NTUSER.DAT").c_str(), (folder_ + "/also-alice").c_str()), 0);
  ASSERT_EQ(symlink((p + "/bob/NTUSER.DAT").c_str(), (folder_ + "/to-bob").c_str()), 0);
  struct Case {
    std::string defaultHive, backup, report, refusal;
  };
  const Case cases[] = {
      {d, "", folder_ + "/r.csv", ""},
      {folder_ + "/none", "", "",
       folder_ + "/none: no such file (the default profile's hive, saved with reg save "
                 "HKU\\.DEFAULT)"},
      {p, "", "", p + ": not a file (the default profile's hive, saved with reg save HKU\\.DEFAULT)"},
      {folder_ + "/also-alice", "", "",
       folder_ + "/also-alice: is one of the profiles' hives, not the default profile's (reg save HKU\\.DEFAULT "
                 "default.hiv)"},
      {d, "", d, d + ": is a hive the command reads or services: give --report another file"},
      {d, "", p + "/bob/ntuser.dat",
       p + "/bob/ntuser.dat: is a hive the command reads or services: give --report another file"},
      {d, "", folder_ + "/to-bob",
       folder_ + "/to-bob: is a hive the command reads or services: give --report another file"},
      {d, p + "/", "",
       p + "/: is in the profiles' folder, which the backups would be mixed into: give --backup "
           "another folder"},
      {d, p + "/alice/sub", "",
       p + "/alice/sub: is in the profiles' folder, which the backups would be mixed into: "
           "give --backup another folder"},
      {d, file, "", file + ": cannot take the backups: " + file + " is not a folder"},
      {d, folder_ + "/bk", folder_ + "/bk/alice/ntuser.dat",
       folder_ + "/bk/alice/ntuser.dat: is where a backup goes: give --report another file"},
      {d, folder_ + "/bk", folder_ + "/bk/reports/r.csv", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.refusal);
    Options options;
    options.defaultHive = c.defaultHive, options.profilesDir = p;
    options.backupDir = c.backup, options.reportPath = c.report;
    const std::string target = c.report.empty() ? "" : profiles::LinkedFile(c.report);
    profiles::Survey survey;
    profiles::Refusal refusal = profiles::CheckDefaultFile(options.defaultHive);
    if (!refusal) refusal = profiles::SurveyProfiles(options, target, survey);
    if (!refusal) refusal = profiles::RefuseOverlaps(options, target, survey);
    if (!refusal) refusal = profiles::MakeReportFolder(options, target);
    EXPECT_EQ(refusal ? refusal.what + ": " + refusal.why : "", c.refusal);
    if (!refusal) {
      EXPECT_EQ(survey.total, 3u);
      EXPECT_EQ(survey.withoutHive, 1u);
      EXPECT_EQ(survey.first.size(), 2u);
    }
  }
  // The report's folder in the backups' folder is made before the report.
  EXPECT_TRUE(std::filesystem::is_directory(folder_ + "/bk/reports"));
  // Folders without a hive are no profiles to service.
  Options options;
  options.defaultHive = d, options.profilesDir = Profiles({}) + "/empty";
  profiles::Survey survey;
  EXPECT_EQ(profiles::SurveyProfiles(options, "", survey).why,
            "no profile in it (no FOLDER/NTUSER.DAT, no FOLDER/Profile_*.vhdx): nothing to do");
}

// A folder whose NTUSER.DAT is no file is a folder without one, and its
// line says what is there instead, which the run leaves out.
TEST_F(ProfilesTest, WhatStandsInPlaceOfAHive) {
  const std::string p = Profiles({"file", "link/", "folder/", "pipe/", "none/"});
  ASSERT_EQ(symlink("../file/NTUSER.DAT", (p + "/link/ntuser.dat").c_str()), 0);
  std::filesystem::create_directory(p + "/folder/NTUSER.DAT");
  ASSERT_EQ(mkfifo((p + "/pipe/NTUSER.DAT").c_str(), 0600), 0);
  ASSERT_EQ(symlink("file", (p + "/alias").c_str()), 0);
  ASSERT_EQ(symlink("file/NTUSER.DAT", (p + "/stray").c_str()), 0);
  profiles::ProfileWalk walk(p);
  std::string why;
  ASSERT_TRUE(walk.Open(why));
  std::vector<std::string> lines;
  for (profiles::Found found; walk.Next(found);)
    lines.push_back(found.path.substr(p.size() + 1) + (found.noHive ? " none" : "") + ": " + found.problem);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"alias none: the folder is a symbolic link: left out",
                                             "file/NTUSER.DAT: ", "folder none: NTUSER.DAT is a folder: left out",
                                             "link none: ntuser.dat is a symbolic link: left out",
                                             "none none: ", "pipe none: NTUSER.DAT is not a file: left out"}));
}

// The runner, with a stand-in for the service: each call appends to a log
// ("+HIVE" as it starts, "-" as it ends, "clean HIVE"), which shows how
// many ran at once.
class RunnerTest : public ProfilesTest {
 protected:
  void Append(const std::string &line) {
    int fd = open(log_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string text = line + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  profiles::Tally RunAll(const Options &options, const std::function<Outcome(const std::string &)> &service) {
    log_ = folder_ + "/log";
    profiles::Work work{[&](const std::string &hive) {
                          Append("+" + hive);
                          Outcome outcome = service(hive);
                          Append("-");
                          return outcome;
                        },
                        [&](const std::string &hive) {
                          Append("clean " + hive);
                          return Outcome{};
                        }};
    profiles::ProfileWalk walk(options.profilesDir);
    std::string why;
    EXPECT_TRUE(walk.Open(why));
    report_ = std::make_unique<profiles::ReportFile>();
    EXPECT_TRUE(report_->Open(folder_ + "/report.csv", why));
    profiles::CatchStopSignals();
    profiles::Tally tally = profiles::ServiceAll(options, walk, 0, *report_, work);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
    EXPECT_TRUE(report_->Close(why)) << why;
    return tally;
  }
  std::size_t MostAtOnce() {
    std::size_t running = 0, most = 0;
    std::istringstream lines(ReadFile(log_));
    for (std::string line; std::getline(lines, line);) {
      if (line[0] == '+') most = std::max(most, ++running);
      if (line == "-") --running;
    }
    return most;
  }
  std::string log_;
  std::unique_ptr<profiles::ReportFile> report_;
};

Outcome Done(Result result) {
  Outcome outcome;
  outcome.result = result;
  return outcome;
}

TEST_F(RunnerTest, RunsAtMostJobsAtOnceAndCountsEachEnd) {
  struct Case {
    const char *what;
    bool dryRun;
    unsigned jobs;
    std::function<Outcome(const std::string &)> service;
    std::string summary, cleaned;
  };
  auto crash = [this](const std::string &hive) {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    usleep(30000);
    bool c = hive.find("/c/") != std::string::npos, d = hive.find("/d/") != std::string::npos;
    if (c || d) Append("-");
    if (c) raise(SIGABRT);
    if (d) raise(SIGKILL);
    return Done(Result::Updated);
  };
  const Case cases[] = {
      {"two at a time", false, 2,
       [](const std::string &) {
         usleep(30000);
         return Done(Result::Updated);
       },
       "profiles: 6, updated: 6, unchanged: 0, skipped: 0, failed: 0; folders without NTUSER.DAT: 1", ""},
      {"a crashed and a killed service", false, 3, crash,
       "profiles: 6, updated: 4, unchanged: 0, skipped: 0, failed: 2; folders without NTUSER.DAT: 1", "c d"},
      {"a dry run clears nothing after a crash", true, 3, crash,
       "profiles: 6, would update: 4, unchanged: 0, skipped: 0, failed: 2; folders without NTUSER.DAT: 1", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(folder_ + "/profiles"), std::filesystem::remove(folder_ + "/log");
    Options options;
    options.profilesDir = Profiles({"a", "b", "c", "d", "e", "f", "none/"});
    options.dryRun = c.dryRun, options.jobs = c.jobs;
    profiles::Tally tally = RunAll(options, c.service);
    EXPECT_EQ(profiles::Summary(options, tally), c.summary);
    EXPECT_LE(MostAtOnce(), c.jobs);
    std::string cleaned;
    for (const char *name : {"a", "b", "c", "d", "e", "f"})
      if (ReadFile(log_).find("clean " + options.profilesDir + "/" + name + "/NTUSER.DAT") != std::string::npos)
        cleaned += (cleaned.empty() ? "" : " ") + std::string(name);
    EXPECT_EQ(cleaned, c.cleaned);
    const std::string report = ReadFile(folder_ + "/report.csv");
    EXPECT_NE(report.find(options.profilesDir + "/none,no NTUSER.DAT,,0,0\r\n"), std::string::npos) << report;
  }
  EXPECT_EQ(MostAtOnce(), 3u) << "the runs were not at once: the count shows nothing";
}

// After a stop nothing new starts; what was not reached is counted, and has
// its row.
TEST_F(RunnerTest, AfterAStopTheRestIsNotReached) {
  Options options;
  options.profilesDir = Profiles({"a", "b", "c", "d", "e"});
  options.jobs = 1;
  const std::string first = folder_ + "/stopped";
  profiles::Tally tally = RunAll(options, [&](const std::string &) {
    if (open(first.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600) >= 0) kill(getppid(), SIGHUP);
    return Done(Result::Updated);
  });
  EXPECT_EQ(tally.stoppedBy, SIGHUP);
  EXPECT_EQ(profiles::Summary(options, tally),
            "profiles: 5, updated: 1, unchanged: 0, skipped: 0, failed: 0, not reached: 4");
  const std::string log = ReadFile(log_);
  EXPECT_EQ(std::count(log.begin(), log.end(), '+'), 1) << log;
  const std::string report = ReadFile(folder_ + "/report.csv");
  std::size_t rows = 0;
  for (std::size_t at = report.find(",not reached,"); at != std::string::npos;
       at = report.find(",not reached,", at + 1))
    ++rows;
  EXPECT_EQ(rows, 4u) << report;
}

// A disk that fills up while a file is written: the report is not
// published, and nothing half-written is left; the backup fails, and so
// the hive would not be replaced.
TEST_F(ProfilesTest, AFullDiskLeavesNoHalfWrittenFile) {
  auto full = [](int, const void *, size_t, off_t) -> ssize_t { return errno = ENOSPC, -1; };
  profiles::ReportFile report;
  std::string why;
  ASSERT_TRUE(report.Open(folder_ + "/report.csv", why));
  standin::hooks.pwrite = full;
  report.Add("/p/u/NTUSER.DAT", Done(Result::Updated));
  EXPECT_FALSE(report.Close(why));
  EXPECT_EQ(why, folder_ + "/report.csv: the report is not written: No space left on device");
  EXPECT_EQ(Entries(folder_), std::vector<std::string>{});

  // A report written over an older one keeps its owner and mode, as a
  // redirection of the output into it would.
  standin::Reset();
  WriteFile(folder_ + "/report.csv", "older");
  ASSERT_EQ(chmod((folder_ + "/report.csv").c_str(), 0600), 0);
  const uid_t owner = getuid() == 0 ? 1 : getuid();
  ASSERT_EQ(chown((folder_ + "/report.csv").c_str(), owner, static_cast<gid_t>(-1)), 0);
  profiles::ReportFile over;
  ASSERT_TRUE(over.Open(folder_ + "/report.csv", why));
  EXPECT_TRUE(over.Close(why)) << why;
  struct stat st {};
  ASSERT_EQ(stat((folder_ + "/report.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, owner);
  EXPECT_EQ(ReadFile(folder_ + "/report.csv"), profiles::CsvHeader());
  std::filesystem::remove(folder_ + "/report.csv");

  standin::Reset();
  const std::string hive = folder_ + "/NTUSER.DAT", backup = folder_ + "/backup/u/NTUSER.DAT";
  WriteFile(hive, std::string(100000, 'h'));
  int fd = open(hive.c_str(), O_RDONLY | O_CLOEXEC);
  standin::hooks.pwrite = full;
  EXPECT_EQ(profiles::BackUpHive(fd, backup, why), ERROR_REGISTRY_IO_FAILED);
  EXPECT_EQ(why, "cannot back up the hive to " + backup + " (copying: No space left on device): not saved");
  EXPECT_EQ(Entries(folder_ + "/backup/u"), std::vector<std::string>{});
  // A backup there already is kept, and so is one another run makes
  // while this one writes its own.
  standin::Reset();
  WriteFile(backup, "older");
  EXPECT_EQ(profiles::BackUpHive(fd, backup, why), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(backup), "older");
  std::filesystem::remove(backup);
  static std::string raced;
  raced = backup;
  standin::hooks.open = [](const char *path, int flags, mode_t mode) {
    if (std::string(path).find(".lorimex-backup-") != std::string::npos) WriteFile(raced, "meanwhile");
    return open(path, flags, mode);
  };
  EXPECT_EQ(profiles::BackUpHive(fd, backup, why), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(backup), "meanwhile");
  EXPECT_EQ(Entries(folder_ + "/backup/u"), std::vector<std::string>{"NTUSER.DAT"});
  standin::Reset();
  std::filesystem::remove(backup);
  EXPECT_EQ(profiles::BackUpHive(fd, backup, why), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(backup), ReadFile(hive));
  // A disk without hard links (FAT, exFAT, many network shares) takes the
  // backup all the same, and still keeps one that is there.
  standin::hooks.link = [](const char *, const char *) { return errno = EPERM, -1; };
  std::filesystem::remove(backup);
  EXPECT_EQ(profiles::BackUpHive(fd, backup, why), ERROR_SUCCESS) << why;
  EXPECT_EQ(ReadFile(backup), ReadFile(hive));
  WriteFile(raced, "meanwhile");
  standin::hooks.open = [](const char *path, int flags, mode_t mode) {
    if (std::string(path).find(".lorimex-backup-") != std::string::npos) WriteFile(raced, "meanwhile");
    return open(path, flags, mode);
  };
  std::filesystem::remove(backup);
  EXPECT_EQ(profiles::BackUpHive(fd, backup, why), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(backup), "meanwhile");
  EXPECT_EQ(Entries(folder_ + "/backup/u"), std::vector<std::string>{"NTUSER.DAT"});
  close(fd);
}

// The same full disk in a profile's service: the profile fails, saying
// why, and its hive stays as it was.
TEST_F(ProfilesTest, AFullDiskAtTheBackupFailsTheProfile) {
  const std::string scratch = folder_ + "/scratch.hiv", reg = folder_ + "/default.reg";
  Options options;
  options.defaultHive = folder_ + "/default.hiv", options.profilesDir = Profiles({"u"});
  options.backupDir = folder_ + "/backup";
  const std::string hive = options.profilesDir + "/u/NTUSER.DAT";
  WriteFile(reg, "REGEDIT4\n\n[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro]\n\"Version\"=\"4.2\"\n");
  for (const std::string &made : {scratch, options.defaultHive, hive})
    ASSERT_EQ(std::system((std::string(HIVETOOL) + " blank " + made).c_str()), 0);
  auto load = [&](const std::string &into, const char *root) {
    const std::string command = "LORIMEX_DEFAULT_HIVE=" + scratch + " LORIMEX_USER_HIVE=" + into + " " + REGLOAD +
                                " --wide --into-user '" + root + "' " + reg;
    ASSERT_EQ(std::system(command.c_str()), 0);
  };
  load(options.defaultHive, "HKEY_USERS\\.DEFAULT");
  WriteFile(reg, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Other]\n");
  load(hive, "HKEY_CURRENT_USER");
  const std::string before = ReadFile(hive);
  standin::hooks.pwrite = [](int, const void *, size_t, off_t) -> ssize_t { return errno = ENOSPC, -1; };
  Outcome outcome = profiles::RunInChild([&] { return profiles::ServiceProfile(options, hive); });
  EXPECT_EQ(outcome.result, Result::Failed);
  EXPECT_EQ(outcome.detail, "cannot back up the hive to " + options.backupDir +
                                "/u/NTUSER.DAT (copying: No space left on device): not saved (error 1016 at Software)");
  EXPECT_EQ(ReadFile(hive), before);
  // Nothing was written, and nothing is counted.
  EXPECT_EQ(outcome.keysCreated + outcome.valuesSet + outcome.valuesReplaced, 0u);
  standin::Reset();
  outcome = profiles::RunInChild([&] { return profiles::ServiceProfile(options, hive); });
  EXPECT_EQ(profiles::ResultLine("u", outcome), "u: updated: 2 keys created, 1 value set");
}

}  // namespace
