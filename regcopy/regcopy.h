// Copying a registry key with all its values and subkeys, and the report
// lines that the copy and the update run write to standard output.
#ifndef LORIMEX_REGCOPY_REGCOPY_H
#define LORIMEX_REGCOPY_REGCOPY_H

#include "registry/registry.h"

// Opens `path` beneath `parent` with full access, creating what is missing.
// Returns the key, or NULL when that fails; writes nothing.
HKEY OpenOrCreateKey(HKEY parent, const char *path);

// Copies the key `name` beneath `sourceParent` to the same name beneath
// `destinationParent`: its values, then each subkey in enumeration order.
// Returns 1 when both keys were obtained, whatever failed below, else 0.
int CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const char *name, int depth);

// Copies every value of `sourceKey` into `destinationKey`; failures are
// reported, not returned.
void CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth);

// Report lines: pieces written one after another, then the line is ended
// and flushed so that it reaches the console before the next registry call.
// A failed write is ignored.
void WriteText(const char *text);
void WriteNumber(unsigned long number);
void EndLine(void);
void WriteLine(const char *text);

// Error lines also count towards ErrorLinesWritten(), which tells the update
// run whether anything failed during the copy.
void EndErrorLine(void);
unsigned long ErrorLinesWritten(void);
void ReportEnumerationError(DWORD index);

#endif
