#include "profiles/runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>

#include "profiles/child.h"
#include "profiles/containers.h"
#include "profiles/progress.h"
#include "profiles/service.h"

namespace profiles {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

void NoteStop(int signal) {
  if (stopSignal == 0) stopSignal = signal;
}

void Count(Result result, Tally &tally) {
  switch (result) {
    case Result::Updated:
    case Result::WouldUpdate:
      ++tally.updated;
      break;
    case Result::Unchanged:
    case Result::WouldLeaveUnchanged:
      ++tally.unchanged;
      break;
    case Result::Skipped:
      ++tally.skipped;
      break;
    case Result::Failed:
      ++tally.failed;
      break;
    case Result::NotReached:
      ++tally.notReached;
      break;
    case Result::NoHive:
      ++tally.withoutHive;
      break;
  }
}

class Run {
 public:
  Run(const Options &options, ProfileWalk &walk, std::size_t total, ReportFile &report, const Work &work)
      : options_(options), walk_(walk), report_(report), work_(work), progress_(total) {}
  Tally All();

 private:
  bool Start(const Found &found);
  void Wait();
  void Lost();
  void Ended(const std::string &path, const Outcome &outcome);

  const Options &options_;
  ProfileWalk &walk_;
  ReportFile &report_;
  const Work &work_;
  Progress progress_;
  Tally tally_;
  std::size_t ended_ = 0;
  std::map<pid_t, std::pair<std::string, Child>> running_;  // no more than --jobs
  std::vector<std::string> containers_;  // served after the folders, in batches
};

// Starts the service of a hive found. False when there is no room for its
// process until one of those running ends: it is started again then.
bool Run::Start(const Found &found) {
  Outcome outcome;
  if (found.noHive) outcome.result = Result::NoHive;
  if (!found.problem.empty() || found.noHive) {
    outcome.detail = found.problem;
    Ended(found.path, outcome);
    return true;
  }
  if (found.container) {
    containers_.push_back(found.path);
    return true;
  }
  Child child;
  const std::string &hive = found.path;
  int error = StartChild([this, &hive] { return work_.service(hive); }, child, outcome.detail);
  if (error == 0) {
    running_[child.pid] = {hive, child};
    return true;
  }
  if (NoRoomYet(error) && !running_.empty()) return false;
  Ended(hive, outcome);
  return true;
}

// Waits for a service to end. One that did not end on its own may have
// left temporary files: they are cleared under the hive's lock.
void Run::Wait() {
  int status = 0;
  pid_t pid = waitpid(-1, &status, 0);
  if (pid < 0 && errno == ECHILD) return Lost();
  auto found = pid > 0 ? running_.find(pid) : running_.end();
  if (found == running_.end()) return;
  auto [hive, child] = std::move(found->second);
  running_.erase(found);
  Outcome outcome;
  if (!FinishChild(child, status, outcome) && !options_.dryRun)
    RunInChild([this, &hive = hive] { return work_.cleanUp(hive); });
  Ended(hive, outcome);
}

// Children the system no longer has for the command to wait for: their
// ends cannot be known.
void Run::Lost() {
  for (auto &[pid, running] : running_) {
    Outcome outcome;
    outcome.detail = "the end of its service could not be seen";
    close(running.second.fd);
    Ended(running.first, outcome);
  }
  running_.clear();
}

void Run::Ended(const std::string &path, const Outcome &outcome) {
  progress_.Clear();
  std::printf("%s\n", ResultLine(path, outcome).c_str());
  std::fflush(stdout);
  report_.Add(path, outcome);
  Count(outcome.result, tally_);
  if (outcome.result != Result::NoHive) ++tally_.profiles;
  progress_.Show(++ended_);
}

Tally Run::All() {
  Found found;
  bool pending = false;  // `found` waits for room to start in
  progress_.Show(0);
  for (;;) {
    while (stopSignal == 0 && running_.size() < options_.jobs && (pending || walk_.Next(found))) {
      if ((pending = !Start(found))) break;
    }
    if (running_.empty()) break;
    Wait();
  }
  std::vector<std::string> containersLeft = containers_;
  if (stopSignal == 0 && !containers_.empty())
    containersLeft = ServiceContainers(
        options_, containers_, [this](const std::string &path, const Outcome &outcome) { Ended(path, outcome); },
        [] { return int(stopSignal); });
  progress_.Clear();
  // What was not reached is counted, and has its row in the report.
  Outcome notReached;
  notReached.result = Result::NotReached;
  for (const std::string &path : containersLeft) {
    report_.Add(path, notReached);
    ++tally_.notReached;
  }
  for (bool more = pending || walk_.Next(found); more; more = walk_.Next(found)) {
    if (found.noHive) continue;
    report_.Add(found.path, notReached);
    ++tally_.notReached;
  }
  tally_.profiles += tally_.notReached;
  tally_.stoppedBy = stopSignal;
  return tally_;
}

}  // namespace

Work ProfileWork(const Options &options) {
  return Work{[&options](const std::string &hive) { return ServiceProfile(options, hive); },
              [&options](const std::string &hive) { return CleanUpAfter(options, hive); }};
}

void CatchStopSignals() {
  stopSignal = 0;
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the wait for a child returns, and no new one starts.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // Ignored, as a parent may leave it, SIGCHLD would take the children's
  // ends away before the command could wait for them.
  std::signal(SIGCHLD, SIG_DFL);
}

Tally ServiceAll(const Options &options, ProfileWalk &walk, std::size_t total, ReportFile &report, const Work &work) {
  return Run(options, walk, total, report, work).All();
}

std::string Summary(const Options &options, const Tally &tally) {
  std::string text = "profiles: " + std::to_string(tally.profiles) + ", " +
                     (options.dryRun ? "would update: " : "updated: ") + std::to_string(tally.updated) +
                     ", unchanged: " + std::to_string(tally.unchanged) + ", skipped: " + std::to_string(tally.skipped) +
                     ", failed: " + std::to_string(tally.failed);
  if (tally.notReached > 0) text += ", not reached: " + std::to_string(tally.notReached);
  if (tally.withoutHive > 0) text += "; folders without NTUSER.DAT: " + std::to_string(tally.withoutHive);
  return text;
}

}  // namespace profiles
