// Kept apart from the tree copy so that these buffers live only while one
// key's values are copied, not in every level of the recursion.
#include <cstring>

#include "regcopy/regcopy.h"
#include "regcopy/report.h"

namespace {

constexpr DWORD kValueNameCapacity = 512;
constexpr DWORD kValueDataCapacity = 2048;

void ReportWriteError(int depth, const char *name) {
  for (int level = 0; level < depth; ++level) WriteText("  ");
  WriteText("Error writing value ");
  WriteText(name);
  EndLine();
}

}  // namespace

bool CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth) {
  char name[kValueNameCapacity];
  BYTE data[kValueDataCapacity];
  bool copied = true;
  DWORD index = 0;
  LONG status;
  do {
    DWORD nameLength = kValueNameCapacity;
    DWORD dataLength = kValueDataCapacity;
    DWORD type = 0;
    status = RegEnumValueA(sourceKey, index, name, &nameLength, nullptr, &type, data, &dataLength);
    if (status == ERROR_SUCCESS && std::strlen(name) != nameLength) {
      // The registry can hold a NUL inside a name; the 8-bit calls would
      // write the data under the name cut at it, replacing another value.
      ReportWriteError(depth, name);
      copied = false;
    } else if (status == ERROR_SUCCESS) {
      status = RegSetValueExA(destinationKey, name, 0, type, data, dataLength);
      if (status != ERROR_SUCCESS) ReportWriteError(depth, name);
    } else if (status != ERROR_NO_MORE_ITEMS) {
      ReportEnumerationError(index);
    }
    ++index;
  } while (status == ERROR_SUCCESS);
  return copied && status == ERROR_NO_MORE_ITEMS;
}
