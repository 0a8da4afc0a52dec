#include "profiles/child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace profiles {
namespace {

// An outcome fits a pipe's buffer, so that a child never waits for the
// command to read it: a long detail is cut, and of very many values
// replaced the first are named.
constexpr std::size_t kMostDetail = 2000;
constexpr std::size_t kMostNames = 40000;

// A NUL ends a field of the outcome's bytes; one in a text (a name a
// user's hive holds) is sent as the line would show it.
void WithoutNul(std::string &text) {
  for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at))
    text.replace(at, 1, "<0000>");
}

void WriteOutcome(int fd, Outcome outcome) {
  WithoutNul(outcome.detail);
  for (std::string &name : outcome.replacedNames) WithoutNul(name);
  if (outcome.detail.size() > kMostDetail) outcome.detail.resize(kMostDetail);
  std::size_t names = 0, size = 0;
  while (names < outcome.replacedNames.size() && (size += outcome.replacedNames[names].size() + 1) <= kMostNames)
    ++names;
  outcome.replacedNames.resize(names);
  std::string bytes = Encoded(outcome);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// What the pipe holds. The child has ended, so all it wrote is there; the
// pipe is read without waiting, as other children may still hold its end.
std::string ReadAvailable(int fd) {
  std::string bytes;
  char buffer[4096];
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string HowItEnded(int status) {
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    return "the service ended by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  return "the service ended without a result (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
}

// The child's standard streams stay, its end of the pipe becomes
// descriptor 3, and nothing else is kept: other services' pipes held here
// would fill the system's tables, and the command's files are not the
// child's.
int KeepOnly(int end) {
  if (end != 3 && dup2(end, 3) != 3) return -1;
  if (close_range(4, ~0U, 0) != 0) {
    for (long fd = 4, most = sysconf(_SC_OPEN_MAX); fd < most && fd < (1 << 16); ++fd) close(static_cast<int>(fd));
  }
  return 3;
}

}  // namespace

int StartChild(const std::function<Outcome()> &work, Child &child, std::string &why) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    why = std::string("cannot make a pipe: ") + std::strerror(errno);
    return errno;
  }
  // What the command has written must not be written again by the child.
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    int error = errno;
    why = std::string("cannot start a process: ") + std::strerror(error);
    close(ends[0]);
    close(ends[1]);
    return error;
  }
  if (pid == 0) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_IGN);
    close(ends[0]);
    // The child's say is its outcome, through the pipe: the lines the
    // copy writes for a run of lorimex are not the command's.
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, 1) != 1) _exit(1);
    close(null);
    int fd = KeepOnly(ends[1]);
    if (fd < 0) _exit(1);
    WriteOutcome(fd, work());
    _exit(0);
  }
  close(ends[1]);
  child.pid = pid;
  child.fd = ends[0];
  return 0;
}

bool NoRoomYet(int error) { return error == EAGAIN || error == EMFILE || error == ENFILE || error == ENOMEM; }

bool FinishChild(Child &child, int status, Outcome &outcome) {
  bool whole = Decode(ReadAvailable(child.fd), outcome);
  close(child.fd);
  child = Child{};
  if (whole && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  outcome = Outcome{};
  outcome.detail = HowItEnded(status);
  return false;
}

Outcome RunInChild(const std::function<Outcome()> &work) {
  Child child;
  Outcome outcome;
  if (StartChild(work, child, outcome.detail) != 0) return outcome;
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  FinishChild(child, status, outcome);
  return outcome;
}

}  // namespace profiles
