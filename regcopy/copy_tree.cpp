#include "regcopy/regcopy.h"

// The registry nests keys at most 512 levels deep. Deeper than that the
// source can only be a link that leads back into itself, and following it
// would copy without end and exhaust the stack.
enum { kSubkeyNameCapacity = 512, kMaxDepth = 512 };

static void ReportKeyError(const char *text, const char *name) {
  WriteText(text);
  WriteText(name);
  EndErrorLine();
}

HKEY OpenOrCreateKey(HKEY parent, const char *path) {
  char noClass[1] = "";
  HKEY key = NULL;
  DWORD disposition = 0;
  LONG status =
      RegCreateKeyExA(parent, path, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, &disposition);
  if (status != ERROR_SUCCESS) key = NULL;
  return key;
}

static HKEY OpenSourceKey(HKEY parent, const char *name) {
  HKEY key = NULL;
  LONG status = RegOpenKeyExA(parent, name, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) key = NULL;
  return key;
}

static void CopySubkeys(HKEY sourceKey, HKEY destinationKey, int depth) {
  char name[kSubkeyNameCapacity];
  FILETIME lastWrite;
  DWORD index = 0;
  LONG status;
  do {
    DWORD nameLength = kSubkeyNameCapacity;
    status = RegEnumKeyExA(sourceKey, index, name, &nameLength, NULL, NULL, NULL, &lastWrite);
    if (status == ERROR_SUCCESS) {
      CopyKeyTree(sourceKey, destinationKey, name, depth + 1);
    } else if (status != ERROR_NO_MORE_ITEMS) {
      ReportEnumerationError(index);
    }
    ++index;
  } while (status == ERROR_SUCCESS);
}

int CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const char *name, int depth) {
  HKEY sourceKey = depth <= kMaxDepth ? OpenSourceKey(sourceParent, name) : NULL;
  HKEY destinationKey = NULL;
  int copied = 0;
  if (sourceKey == NULL) {
    ReportKeyError("Error opening source key ", name);
  } else {
    destinationKey = OpenOrCreateKey(destinationParent, name);
    if (destinationKey == NULL) ReportKeyError("Error creating destination key ", name);
  }
  if (destinationKey != NULL) {
    CopyKeyValues(sourceKey, destinationKey, depth);
    CopySubkeys(sourceKey, destinationKey, depth);
    copied = 1;
  }
  // Failed closes are ignored: the key was used and nothing is left to undo.
  if (sourceKey != NULL) (void)RegCloseKey(sourceKey);
  if (destinationKey != NULL) (void)RegCloseKey(destinationKey);
  return copied;
}
