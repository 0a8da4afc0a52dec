#include "app/command_line.h"

#include "app/update.h"
#include "regcopy/report.h"

namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsFolded(const char *argument, std::size_t length, const char *option) {
  std::size_t at = 0;
  for (; at < length && option[at] != 0; ++at)
    if (FoldAscii(argument[at]) != option[at]) return false;
  return at == length && option[at] == 0;
}

}  // namespace

bool AsksForHelp(const char *argument, std::size_t length) {
  static const char *const kHelpOptions[] = {"/?", "-?", "/h", "-h", "--help"};
  for (const char *option : kHelpOptions)
    if (EqualsFolded(argument, length, option)) return true;
  return false;
}

int RunCommand(bool asksForHelp) {
  if (!asksForHelp) return RunUpdate();
  ShowHelp();
  return 0;
}
