#include "regcopy/regcopy.h"
#include "regcopy/report.h"

namespace {

constexpr DWORD kSubkeyNameCapacity = 512;
// The registry nests keys at most 512 levels deep. Deeper than that the
// source can only be a link that leads back into itself, and following it
// would copy without end and exhaust the stack.
constexpr int kMaxDepth = 512;

void ReportKeyError(const char *text, const char *name) {
  WriteText(text);
  WriteText(name);
  EndLine();
}

HKEY OpenSourceKey(HKEY parent, const char *name) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(parent, name, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) key = nullptr;
  return key;
}

// Returns true when every subkey's subtree was copied without an error line.
bool CopySubkeys(HKEY sourceKey, HKEY destinationKey, int depth) {
  char name[kSubkeyNameCapacity];
  FILETIME lastWrite;
  bool copied = true;
  DWORD index = 0;
  LONG status;
  do {
    DWORD nameLength = kSubkeyNameCapacity;
    status = RegEnumKeyExA(sourceKey, index, name, &nameLength, nullptr, nullptr, nullptr, &lastWrite);
    if (status == ERROR_SUCCESS) {
      copied = CopyKeyTree(sourceKey, destinationKey, name, depth + 1) && copied;
    } else if (status != ERROR_NO_MORE_ITEMS) {
      // The value list's words on purpose: scripts may match the line.
      ReportEnumerationError(index);
      copied = false;
    }
    ++index;
  } while (status == ERROR_SUCCESS);
  return copied;
}

}  // namespace

HKEY OpenOrCreateKey(HKEY parent, const char *path) {
  char noClass[1] = "";
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG status =
      RegCreateKeyExA(parent, path, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (status != ERROR_SUCCESS) key = nullptr;
  return key;
}

// The result is stricter than "both keys were obtained": it is false as soon
// as anything in the subtree wrote an error line, however deep, because then
// something was not copied and the run must not end with the successful
// verdict.
bool CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const char *name, int depth) {
  HKEY sourceKey = depth <= kMaxDepth ? OpenSourceKey(sourceParent, name) : nullptr;
  HKEY destinationKey = nullptr;
  bool copied = false;
  if (sourceKey == nullptr) {
    ReportKeyError("Error opening source key ", name);
  } else {
    destinationKey = OpenOrCreateKey(destinationParent, name);
    if (destinationKey == nullptr) ReportKeyError("Error creating destination key ", name);
  }
  if (destinationKey != nullptr) {
    bool valuesCopied = CopyKeyValues(sourceKey, destinationKey, depth);
    copied = CopySubkeys(sourceKey, destinationKey, depth) && valuesCopied;
  }
  // Failed closes are ignored: the key was used and nothing is left to undo.
  if (sourceKey != nullptr) (void)RegCloseKey(sourceKey);
  if (destinationKey != nullptr) (void)RegCloseKey(destinationKey);
  return copied;
}
