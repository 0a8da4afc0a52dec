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
  Run(const Options &options, const std::vector<std::string> &hives, ReportFile &report)
      : options_(options), hives_(hives), report_(report), progress_(hives.size()) {
    tally_.profiles = hives.size();
  }
  Tally All();

 private:
  void Start(std::size_t index);
  void Ended(std::size_t index, const Outcome &outcome);

  const Options &options_;
  const std::vector<std::string> &hives_;
  ReportFile &report_;
  Progress progress_;
  Tally tally_;
  std::size_t done_ = 0;
  std::map<pid_t, std::pair<std::size_t, Child>> running_;
};

void Run::Start(std::size_t index) {
  const std::string &hive = hives_[index];
  Child child;
  std::string why;
  if (StartChild([this, &hive] { return ServiceProfile(options_, hive); }, child, why)) {
    running_[child.pid] = {index, child};
    return;
  }
  Outcome outcome;
  outcome.detail = why;
  Ended(index, outcome);
}

void Run::Ended(std::size_t index, const Outcome &outcome) {
  progress_.Clear();
  std::printf("%s\n", ResultLine(hives_[index], outcome).c_str());
  std::fflush(stdout);
  report_.Add(hives_[index], outcome);
  Count(outcome.result, tally_);
  progress_.Show(++done_);
}

Tally Run::All() {
  std::size_t next = 0;
  progress_.Show(0);
  for (;;) {
    while (stopSignal == 0 && next < hives_.size() && running_.size() < options_.jobs) Start(next++);
    if (running_.empty()) break;
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    auto found = running_.find(pid);
    if (found == running_.end()) continue;
    auto [index, child] = found->second;
    running_.erase(found);
    Ended(index, FinishChild(child, status));
  }
  progress_.Clear();
  tally_.notReached = hives_.size() - done_;
  tally_.stoppedBy = stopSignal;
  return tally_;
}

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the wait for a child returns, and no new one starts.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

Tally ServiceAll(const Options &options, const std::vector<std::string> &hives, ReportFile &report) {
  return Run(options, hives, report).All();
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
