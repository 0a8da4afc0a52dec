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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Past the program's name: it ends at a blank, or in quotes at the next
// quote, and backslashes escape nothing in it.
const char *SkipProgramName(const char *at) {
  bool quoted = false;
  for (; *at != 0 && (quoted || !IsBlank(*at)); ++at)
    if (*at == '"') quoted = !quoted;
  return at;
}

// One argument, from its first character: as much of it as the help
// options are long goes into `argument`, its whole length into `length`.
// Returns where it ends. 2n backslashes before a quote are n, and the
// quote opens or closes a quoted part; 2n+1 are n and a quote; other
// backslashes are themselves. A character of two bytes is read whole: in
// the code pages of East Asia its second byte may be a backslash's, and
// taken for one it would escape the quote after it and join the arguments
// that follow, a request for help among them, to this one.
const char *ReadArgument(const char *at, bool (*isLeadByte)(char), char *argument, std::size_t capacity,
                         std::size_t &length) {
  bool quoted = false;
  length = 0;
  auto keep = [&](char c) {
    if (length < capacity) argument[length] = c;
    ++length;
  };
  while (*at != 0 && (quoted || !IsBlank(*at))) {
    std::size_t backslashes = 0;
    for (; *at == '\\'; ++at) ++backslashes;
    if (*at != '"') {
      for (; backslashes > 0; --backslashes) keep('\\');
      if (*at == 0 || (!quoted && IsBlank(*at))) continue;
      if (isLeadByte(*at) && at[1] != 0) keep(*at++);
      keep(*at++);
      continue;
    }
    for (std::size_t i = 0; i < backslashes / 2; ++i) keep('\\');
    if (backslashes % 2 == 1) {
      keep('"');
    } else {
      quoted = !quoted;
    }
    ++at;
  }
  return at;
}

}  // namespace

bool CommandLineAsksForHelp(const char *commandLine, bool (*isLeadByte)(char)) {
  char argument[8];
  std::size_t length = 0;
  bool asksForHelp = false;
  const char *at = SkipProgramName(commandLine);
  for (;;) {
    while (IsBlank(*at)) ++at;
    if (*at == 0) break;
    at = ReadArgument(at, isLeadByte, argument, sizeof argument, length);
    asksForHelp = (length <= sizeof argument && AsksForHelp(argument, length)) || asksForHelp;
  }
  return asksForHelp;
}

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
