#include <cstring>

#include "app/command_line.h"
#include "regcopy/report.h"

// Help, asked for by any argument, copies nothing; other arguments are
// ignored: the run is always the same.
int main(int argc, char **argv) {
  bool asksForHelp = false;
  for (int i = 1; i < argc; ++i) asksForHelp = AsksForHelp(argv[i], std::strlen(argv[i])) || asksForHelp;
  SetUpProcess();
  return RunCommand(asksForHelp);
}
