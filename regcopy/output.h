// How a finished line reaches standard output; one file per platform
// (output_windows.cpp, output_posix.cpp). A failed write is ignored: it
// changes neither the flow nor the verdict.
#ifndef LORIMEX_REGCOPY_OUTPUT_H
#define LORIMEX_REGCOPY_OUTPUT_H

#include <cstddef>

// Writes `length` bytes of UTF-8 and a line end, and flushes them, so that
// the line is out before the next registry call.
void WriteOutputLine(const char *line, std::size_t length);

#endif
