#include <csignal>
#include <cstdio>

#include "regcopy/output.h"
#include "regcopy/report.h"

void SetUpProcess() {
  // Windows has neither signal: a closed pipe or a full disk fails the
  // write, and so it must here.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void WriteOutputLine(const char *line, std::size_t length) {
  std::fwrite(line, 1, length, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
