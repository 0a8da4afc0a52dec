#include "regcopy/regcopy.h"
#include "regcopy/report.h"

namespace {

constexpr DWORD kSubkeyNameCapacity = 512;
// The registry nests keys at most 512 levels deep. Deeper than that the
// source can only be a link that leads back into itself, and following it
// would copy without end and exhaust the stack.
constexpr int kMaxDepth = 512;

HKEY OpenSourceKey(HKEY parent, const WCHAR *name) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(parent, name, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) key = nullptr;
  return key;
}

// Returns true when every subkey's subtree was copied without an error line.
bool CopySubkeys(HKEY sourceKey, HKEY destinationKey, int depth) {
  WCHAR name[kSubkeyNameCapacity];
  FILETIME lastWrite;
  bool copied = true;
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = kSubkeyNameCapacity;
    LONG status = RegEnumKeyExW(sourceKey, index, name, &nameLength, nullptr, nullptr, nullptr, &lastWrite);
    if (ListEnds(status, index, copied)) break;
    // Opened by the name cut at its NUL, another key would be copied in its
    // place: it is reported as a key that cannot be opened.
    if (HoldsNul(name, nameLength)) {
      ReportSourceKeyError(name);
      copied = false;
      continue;
    }
    copied = CopyKeyTree(sourceKey, destinationKey, name, depth + 1) && copied;
  }
  return copied;
}

}  // namespace

bool HoldsNul(const WCHAR *name, DWORD length) {
  DWORD visible = 0;
  while (visible < length && name[visible] != 0) ++visible;
  return visible != length;
}

bool ListEnds(LONG status, DWORD index, bool &copied) {
  if (status == ERROR_SUCCESS) return false;
  if (status != ERROR_NO_MORE_ITEMS) {
    ReportEnumerationError(index);
    copied = false;
  }
  return true;
}

HKEY OpenOrCreateKey(HKEY parent, const WCHAR *path) {
  WCHAR noClass[1] = {0};
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG status =
      RegCreateKeyExW(parent, path, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (status != ERROR_SUCCESS) key = nullptr;
  return key;
}

// The result is stricter than "both keys were obtained": it is false as soon
// as anything in the subtree wrote an error line, however deep, because then
// something was not copied and the run must not end with the successful
// verdict.
bool CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth) {
  HKEY sourceKey = depth <= kMaxDepth ? OpenSourceKey(sourceParent, name) : nullptr;
  HKEY destinationKey = nullptr;
  bool copied = false;
  if (sourceKey == nullptr) {
    ReportSourceKeyError(name);
  } else {
    destinationKey = OpenOrCreateKey(destinationParent, name);
    if (destinationKey == nullptr) ReportDestinationKeyError(name);
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
