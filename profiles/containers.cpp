#include "profiles/containers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace profiles {
namespace {

// Containers one appliance serves: its launch costs seconds (more than ten
// without KVM), each container about one more.
constexpr std::size_t kMostBatch = 20;

// lorimex-containers beside this program (the build folder), or where the
// package installs it.
std::string HelperProgram() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string folder(self, std::size_t(n));
  folder.erase(folder.find_last_of('/'));
  for (std::string path : {folder + "/lorimex-containers", folder + "/../lib/lorimex/lorimex-containers"}) {
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

struct Helper {
  pid_t pid = -1;
  int fd = -1;
  std::string bytes;              // read and not yet taken
  std::set<std::string> pending;  // its containers not yet told
};

bool Start(const std::string &program, const Options &options, const std::vector<std::string> &batch, Helper &helper,
           std::string &why) {
  std::vector<std::string> arguments{program};
  if (options.dryRun) arguments.push_back("--dry-run");
  if (options.force) arguments.push_back("--force");
  if (!options.backupDir.empty()) arguments.insert(arguments.end(), {"--backup", options.backupDir});
  arguments.insert(arguments.end(), {options.profilesDir, options.defaultHive});
  arguments.insert(arguments.end(), batch.begin(), batch.end());
  std::vector<char *> argv;
  for (std::string &argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    why = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(ends[1], 1);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(ends[1]);
  if (pid < 0) {
    why = std::string("cannot start lorimex-containers: ") + std::strerror(errno);
    close(ends[0]);
    return false;
  }
  helper.pid = pid;
  helper.fd = ends[0];
  helper.pending.insert(batch.begin(), batch.end());
  return true;
}

// The records of whole outcomes the helper has written so far.
void TakeRecords(Helper &helper, const Ended &ended) {
  std::string path;
  Outcome outcome;
  while (TakeRecord(helper.bytes, path, outcome))
    if (helper.pending.erase(path) == 1) ended(path, outcome);
}

// The helper has closed its end: its containers not told failed, or were
// not reached after a stop.
void Finish(Helper &helper, bool stopping, const Ended &ended, std::vector<std::string> &notReached) {
  close(helper.fd);
  int status = 0;
  while (waitpid(helper.pid, &status, 0) < 0 && errno == EINTR) {
  }
  for (const std::string &path : helper.pending) {
    if (stopping) {
      notReached.push_back(path);
      continue;
    }
    Outcome outcome;
    outcome.detail = WIFEXITED(status) && WEXITSTATUS(status) == 127
                         ? "lorimex-containers could not be started"
                         : "lorimex-containers ended without its outcome (" +
                               (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                    : "exit status " + std::to_string(WEXITSTATUS(status))) +
                               ")";
    ended(path, outcome);
  }
}

}  // namespace

std::vector<std::string> ServiceContainers(const Options &options, const std::vector<std::string> &containers,
                                           const Ended &ended, const std::function<int()> &stopped) {
  std::vector<std::string> notReached;
  std::string program = HelperProgram();
  if (program.empty()) {
    Outcome outcome;
    outcome.detail =
        "a profile container, and lorimex-containers, which services them, is not installed (Debian: the "
        "lorimex-containers package)";
    for (const std::string &path : containers) ended(path, outcome);
    return notReached;
  }
  std::size_t jobs = std::max(1u, options.jobs);
  std::size_t size = std::min(kMostBatch, (containers.size() + jobs - 1) / jobs);
  std::size_t next = 0;
  std::vector<Helper> running;
  bool asked = false;
  while (next < containers.size() || !running.empty()) {
    while (stopped() == 0 && running.size() < jobs && next < containers.size()) {
      std::vector<std::string> batch(containers.begin() + long(next),
                                     containers.begin() + long(std::min(containers.size(), next + size)));
      next += batch.size();
      Helper helper;
      std::string why;
      if (Start(program, options, batch, helper, why)) {
        running.push_back(std::move(helper));
        continue;
      }
      Outcome outcome;
      outcome.detail = why;
      for (const std::string &path : batch) ended(path, outcome);
    }
    if (stopped() != 0) {
      // A stop that reached only this command is passed on, once.
      for (Helper &helper : running) {
        if (!asked) kill(helper.pid, SIGTERM);
      }
      asked = true;
      notReached.insert(notReached.end(), containers.begin() + long(next), containers.end());
      next = containers.size();
    }
    if (running.empty()) break;
    std::vector<pollfd> waits;
    for (const Helper &helper : running) waits.push_back({helper.fd, POLLIN, 0});
    if (poll(waits.data(), waits.size(), 500) <= 0) continue;
    for (std::size_t i = running.size(); i-- > 0;) {
      if (waits[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(running[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        running[i].bytes.append(buffer, std::size_t(n));
        TakeRecords(running[i], ended);
        continue;
      }
      Finish(running[i], stopped() != 0, ended, notReached);
      running.erase(running.begin() + long(i));
    }
  }
  return notReached;
}

}  // namespace profiles
