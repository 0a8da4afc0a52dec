// How a finished line reaches standard output; one file per platform
// (output_windows.cpp, output_posix.cpp). A failed write is ignored: it
// changes neither the flow nor the verdict.
#ifndef LORIMEX_REGCOPY_OUTPUT_H
#define LORIMEX_REGCOPY_OUTPUT_H

#include <cstddef>

// The longest line report.cpp builds: room for 512 levels of indentation,
// the words, and a name of 511 UTF-16 units, each at most six bytes as
// shown ("<001B>").
constexpr std::size_t kMaxLineLength = 2 * 512 + 64 + 511 * 6;

// Writes `length` bytes of UTF-8 and a line end, and flushes them, so that
// the line is out before the next registry call.
void WriteOutputLine(const char *line, std::size_t length);

#endif
