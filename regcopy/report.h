// Report lines on standard output: pieces written one after another, then
// the line is ended and flushed so that it reaches the console before the
// next registry call. A failed write is ignored: it changes neither the
// flow nor the verdict.
#ifndef LORIMEX_REGCOPY_REPORT_H
#define LORIMEX_REGCOPY_REPORT_H

#include "registry/registry.h"

void WriteText(const char *text);
void WriteNumber(unsigned long number);
void EndLine();
void WriteLine(const char *text);

// "Error enumerating value at index N": a key's value list, or its subkey
// list, could not be read on from N.
void ReportEnumerationError(DWORD index);

#endif
