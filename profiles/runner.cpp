#include "profiles/runner.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>

#include "profiles/child.h"
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
  }
}

class Run {
 public:
  Run(const Options &options, ProfileWalk &walk, std::size_t total, ReportFile &report)
      : options_(options), walk_(walk), report_(report), progress_(total) {}
  Tally All();

 private:
  void Start(std::string hive);
  void Ended(const std::string &hive, const Outcome &outcome);

  const Options &options_;
  ProfileWalk &walk_;
  ReportFile &report_;
  Progress progress_;
  Tally tally_;
  std::map<pid_t, std::pair<std::string, Child>> running_;  // no more than --jobs
};

void Run::Start(std::string hive) {
  Child child;
  std::string why;
  if (StartChild([this, &hive] { return ServiceProfile(options_, hive); }, child, why)) {
    running_[child.pid] = {std::move(hive), child};
    return;
  }
  Outcome outcome;
  outcome.detail = why;
  Ended(hive, outcome);
}

void Run::Ended(const std::string &hive, const Outcome &outcome) {
  progress_.Clear();
  std::printf("%s\n", ResultLine(hive, outcome).c_str());
  std::fflush(stdout);
  report_.Add(hive, outcome);
  Count(outcome.result, tally_);
  progress_.Show(++tally_.profiles);
}

Tally Run::All() {
  bool more = true;
  std::string hive;
  progress_.Show(0);
  for (;;) {
    while (stopSignal == 0 && running_.size() < options_.jobs && (more = walk_.Next(hive))) Start(std::move(hive));
    if (running_.empty()) break;
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    auto found = running_.find(pid);
    if (found == running_.end()) continue;
    auto [path, child] = std::move(found->second);
    running_.erase(found);
    Ended(path, FinishChild(child, status));
  }
  progress_.Clear();
  while (more && walk_.Next(hive)) ++tally_.notReached;
  tally_.profiles += tally_.notReached;
  tally_.stoppedBy = stopSignal;
  return tally_;
}

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the wait for a child returns, and no new one starts.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

Tally ServiceAll(const Options &options, ProfileWalk &walk, std::size_t total, ReportFile &report) {
  return Run(options, walk, total, report).All();
}

std::string Summary(const Options &options, const Tally &tally) {
  std::string text = "profiles: " + std::to_string(tally.profiles) + ", " +
                     (options.dryRun ? "would update: " : "updated: ") + std::to_string(tally.updated) +
                     ", unchanged: " + std::to_string(tally.unchanged) + ", skipped: " + std::to_string(tally.skipped) +
                     ", failed: " + std::to_string(tally.failed);
  if (tally.notReached > 0) text += ", not reached: " + std::to_string(tally.notReached);
  return text;
}

}  // namespace profiles
