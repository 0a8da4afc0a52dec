// Every line the program writes. A line is built whole in the reporting
// call's own buffer, then written and flushed (output.h), so that it reaches
// the console before the next registry call. Names arrive in the registry's
// UTF-16 and are shown as UTF-8: a control character, a NUL within the
// name's length among them, as "<XXXX>" (and a "<" that would begin that
// form as "<003C>"), so that a name can neither break a line nor drive a
// terminal, and a name with a NUL is not taken for the one cut there; a
// lone surrogate as U+FFFD. The line is for
// people; the copy itself stays exact. A failed write is ignored: it changes
// neither the flow nor the verdict.
#ifndef LORIMEX_REGCOPY_REPORT_H
#define LORIMEX_REGCOPY_REPORT_H

#include "registry/registry.h"

// What the process needs before the first line: a reader that goes away
// (a closed pipe) or a full log file must not end the run before its verdict.
// Defined with the platform's output (output_posix.cpp, output_windows.cpp).
void SetUpProcess();

// The banner and "Updating roaming user.".
void ShowBanner();

// The banner and the usage: what the program copies, that it takes no other
// arguments, and where its guide is.
void ShowHelp();

// The four failures of the update run's root keys, each with its status.
enum class RootFailure { OpenSource, OpenDestination, CloseSource, CloseDestination };
void ReportRootFailure(RootFailure failure, LONG status);

// "Error opening source key NAME" and "Error creating destination key NAME".
// A name that holds a NUL is given with its length, and shown whole.
void ReportSourceKeyError(const WCHAR *name);
void ReportSourceKeyError(const WCHAR *name, DWORD length);
void ReportDestinationKeyError(const WCHAR *name);
// "Error enumerating value at index N": a key's value list, or its subkey
// list, could not be read on from N. The subkey list uses the same words,
// so that scripts matching the line see one text for both.
void ReportEnumerationError(DWORD index);
// "Error writing value NAME", indented two spaces per level.
void ReportWriteError(int depth, const WCHAR *name);
void ReportWriteError(int depth, const WCHAR *name, DWORD length);

// An empty line and the verdict.
void ReportVerdict(bool failed);

#endif
