// Copying a registry key with all its values and subkeys. Names are the
// registry's own UTF-16, passed on unchanged; data are moved as the bytes the
// registry returns.
#ifndef LORIMEX_REGCOPY_REGCOPY_H
#define LORIMEX_REGCOPY_REGCOPY_H

#include "registry/registry.h"

// Opens `path` beneath `parent` for writing (creating subkeys and setting
// values, all the copy does there), creating what is missing. Returns the
// key, or nullptr when that fails; writes nothing.
HKEY OpenOrCreateKey(HKEY parent, const WCHAR *path);

// Copies the key `name` beneath `sourceParent` to the same name beneath
// `destinationParent`: its values, then each subkey in enumeration order.
// `sourcePaths` (ending with nullptr) are where that key lies as registry
// links name it ("\REGISTRY\USER\.DEFAULT\Software\...", and any other
// name of the same key): a link below it that leads back into it is
// reported, not followed. `depth` is the level of `name`, the product key
// being 1. Every failure is reported on its own line. Returns true only when
// the whole subtree was copied without an error line.
bool CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, const WCHAR *const *sourcePaths,
                 int depth);

#endif
