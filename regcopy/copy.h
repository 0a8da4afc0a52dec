// Copying a registry key with all its values and subkeys. Names are the
// registry's own UTF-16, passed on unchanged; data are moved as the bytes the
// registry returns.
#ifndef LORIMEX_REGCOPY_COPY_H
#define LORIMEX_REGCOPY_COPY_H

#include "registry/registry.h"

// Opens `path` beneath `parent` for writing (creating subkeys and setting
// values, all the copy does there), creating what is missing. Returns the
// key, or nullptr when that fails; writes nothing.
HKEY OpenOrCreateKey(HKEY parent, const WCHAR *path);

// Copies the key `name` beneath `sourceParent` to the same name beneath
// `destinationParent`: its values, then each subkey in enumeration order.
// A registry link in the subtree that leads back into the product key (the
// one subtree the program copies) is reported, not followed. `depth` is the
// level of `name`, the product key being 1. Every failure is reported on
// its own line. The result is the copy's integer 1 (done) or 0 (failed)
// as a bool, true for 1 and false for 0: true only when the whole subtree
// was copied without an error line, which implies that both keys were
// obtained.
bool CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth);

// Copies every value of `sourceKey` into `destinationKey`, in enumeration
// order; a failed write is reported indented by `depth`. Returns true (1)
// only when every value was copied without an error line, else false (0).
bool CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth);

#endif
