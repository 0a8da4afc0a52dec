// The six registry operations the program uses, in their wide forms. On
// Windows they are the platform's own; elsewhere they come from the
// file-backed stand-in, which mirrors the platform's names, types and status
// codes.
#ifndef LORIMEX_REGISTRY_REGISTRY_H
#define LORIMEX_REGISTRY_REGISTRY_H

#ifdef _WIN32
#include <windows.h>
// A literal key name in the registry's UTF-16.
#define KEY_NAME(text) L##text
#else
#include "standin/api.h"
#define KEY_NAME(text) u##text
#endif

#endif
