// Kept apart from the tree copy so that these buffers live only while one
// key's values are copied, not in every level of the recursion.
#include <cstring>

#include "regcopy/regcopy.h"

enum { kValueNameCapacity = 512, kValueDataCapacity = 2048 };

static void ReportWriteError(int depth, const char *name) {
  for (int level = 0; level < depth; ++level) WriteText("  ");
  WriteText("Error writing value ");
  WriteText(name);
  EndErrorLine();
}

void CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth) {
  char name[kValueNameCapacity];
  BYTE data[kValueDataCapacity];
  DWORD index = 0;
  LONG status;
  do {
    DWORD nameLength = kValueNameCapacity;
    DWORD dataLength = kValueDataCapacity;
    DWORD type = 0;
    status = RegEnumValueA(sourceKey, index, name, &nameLength, NULL, &type, data, &dataLength);
    if (status == ERROR_SUCCESS && std::strlen(name) != nameLength) {
      // The registry can hold a NUL inside a name; the 8-bit calls would
      // write the data under the name cut at it, replacing another value.
      ReportWriteError(depth, name);
    } else if (status == ERROR_SUCCESS) {
      status = RegSetValueExA(destinationKey, name, 0, type, data, dataLength);
      if (status != ERROR_SUCCESS) ReportWriteError(depth, name);
    } else if (status != ERROR_NO_MORE_ITEMS) {
      ReportEnumerationError(index);
    }
    ++index;
  } while (status == ERROR_SUCCESS);
}
