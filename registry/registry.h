// The six registry operations the program uses. On Windows they are the
// platform's own; elsewhere they come from the file-backed stand-in, which
// mirrors the platform's names, types and status codes.
#ifndef LORIMEX_REGISTRY_REGISTRY_H
#define LORIMEX_REGISTRY_REGISTRY_H

#ifdef _WIN32
#include <windows.h>
// A Windows console never kills the program that writes to it.
inline void PrepareProcess() {}
#else
#include "registry/standin_api.h"
// A closed pipe on standard output must not stop the copy halfway, as it
// would not on Windows: the signal it raises is ignored.
void PrepareProcess();
#endif

#endif
