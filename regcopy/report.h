// Every line the program writes, and how it reaches standard output. A line
// is built whole, then written and flushed, so that it reaches the console
// before the next registry call. Names arrive in the registry's UTF-16 and
// are shown as UTF-8 (a lone surrogate as U+FFFD: the line is for people,
// the copy itself stays exact). On a Windows console the line is written as
// UTF-16, so that it shows right whatever the console's code page;
// anywhere else the UTF-8 bytes go out. A failed write is ignored: it
// changes neither the flow nor the verdict.
#ifndef LORIMEX_REGCOPY_REPORT_H
#define LORIMEX_REGCOPY_REPORT_H

#include "registry/registry.h"

// What the process needs before the first line: a reader that goes away
// (a closed pipe) or a full log file must not end the run before its verdict.
void SetUpProcess();

// The banner and "Updating roaming user.".
void ShowBanner();

// The four failures of the update run's root keys, each with its status.
enum class RootFailure { OpenSource, OpenDestination, CloseSource, CloseDestination };
void ReportRootFailure(RootFailure failure, LONG status);

// "Error opening source key NAME" and "Error creating destination key NAME".
void ReportSourceKeyError(const WCHAR *name);
void ReportDestinationKeyError(const WCHAR *name);
// "Error enumerating value at index N": a key's value list, or its subkey
// list, could not be read on from N. The subkey list uses the same words,
// so that scripts matching the line see one text for both.
void ReportEnumerationError(DWORD index);
// "Error writing value NAME", indented two spaces per level.
void ReportWriteError(int depth, const WCHAR *name);

// An empty line and the verdict.
void ReportVerdict(bool failed);

#endif
