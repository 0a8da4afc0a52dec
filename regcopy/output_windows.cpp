#include <windows.h>

#include <cstdio>

#include "regcopy/output.h"
#include "regcopy/report.h"

namespace {

// The longest line, with room for CR LF: UTF-8 never takes fewer bytes
// than UTF-16 takes units.
constexpr int kWideCapacity = static_cast<int>(kMaxLineLength) + 2;

// A console shows bytes through its own code page, which the program does
// not choose: it gets the line as UTF-16 instead. Returns false, writing
// nothing, when standard output is not a console.
bool WriteLineToConsole(const char *line, std::size_t length) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  wchar_t wide[kWideCapacity];
  int count = MultiByteToWideChar(CP_UTF8, 0, line, static_cast<int>(length), wide, kWideCapacity - 2);
  if (count < 0) count = 0;
  wide[count++] = L'\r';
  wide[count++] = L'\n';
  DWORD written = 0;
  (void)WriteConsoleW(out, wide, static_cast<DWORD>(count), &written, nullptr);
  return true;
}

}  // namespace

// Nothing to set up: a closed pipe or a full disk only fails the write.
void SetUpProcess() {}

// Standard output is a text stream: the newline goes out as CR LF.
void WriteOutputLine(const char *line, std::size_t length) {
  if (WriteLineToConsole(line, length)) return;
  std::fwrite(line, 1, length, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
