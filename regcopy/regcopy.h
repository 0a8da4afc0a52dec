// Copying a registry key with all its values and subkeys. Names are the
// registry's own UTF-16, passed on unchanged; data are moved as the bytes the
// registry returns.
#ifndef LORIMEX_REGCOPY_REGCOPY_H
#define LORIMEX_REGCOPY_REGCOPY_H

#include "registry/registry.h"

// Opens `path` beneath `parent` with full access, creating what is missing.
// Returns the key, or nullptr when that fails; writes nothing.
HKEY OpenOrCreateKey(HKEY parent, const WCHAR *path);

// Copies the key `name` beneath `sourceParent` to the same name beneath
// `destinationParent`: its values, then each subkey in enumeration order.
// Every failure is reported on its own line. Returns true only when the
// whole subtree was copied without an error line.
bool CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth);

// Copies every value of `sourceKey` into `destinationKey`, reporting each
// failure. Returns true when every value was copied.
bool CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth);

// The registry can hold a NUL inside a name, and says so by a length beyond
// it. Every call that takes a name stops at its first NUL, so such a name
// would reach another key or value: the one of the name cut there.
bool HoldsNul(const WCHAR *name, DWORD length);

// Whether a list of values or subkeys ends with the enumeration `status` at
// `index`: past its last entry, or failing, which is reported and clears
// `copied`.
bool ListEnds(LONG status, DWORD index, bool &copied);

#endif
