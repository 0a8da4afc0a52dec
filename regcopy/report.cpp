#include <cstdio>

#include "regcopy/regcopy.h"

static unsigned long errorLines = 0;

void WriteText(const char *text) { std::fputs(text, stdout); }

void WriteNumber(unsigned long number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) std::fputc(digits[--count], stdout);
}

void EndLine(void) {
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void WriteLine(const char *text) {
  WriteText(text);
  EndLine();
}

void EndErrorLine(void) {
  ++errorLines;
  EndLine();
}

unsigned long ErrorLinesWritten(void) { return errorLines; }

void ReportEnumerationError(DWORD index) {
  WriteText("Error enumerating value at index ");
  WriteNumber(index);
  EndErrorLine();
}
