#include "regcopy/report.h"

#include <cstdio>

void WriteText(const char *text) { std::fputs(text, stdout); }

// Its own digits: the library's formatting would bring locale and allocation
// into the copy for one unsigned number.
void WriteNumber(unsigned long number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) std::fputc(digits[--count], stdout);
}

void EndLine() {
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void WriteLine(const char *text) {
  WriteText(text);
  EndLine();
}

void ReportEnumerationError(DWORD index) {
  WriteText("Error enumerating value at index ");
  WriteNumber(index);
  EndLine();
}
