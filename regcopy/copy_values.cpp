#include "regcopy/regcopy.h"
#include "regcopy/report.h"

namespace {

constexpr DWORD kValueNameCapacity = 512;
// The registry holds text as UTF-16: 2048 characters, with the NUL, take
// twice as many bytes as other data may.
constexpr DWORD kDataCapacity = 2048;
constexpr DWORD kTextCapacity = 2 * kDataCapacity;

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Reads the value at `index`; data beyond the limit of its type are
// refused as the registry refuses what exceeds the buffer.
LONG ReadValue(HKEY key, DWORD index, WCHAR *name, DWORD &nameLength, DWORD &type, BYTE *data, DWORD &dataLength) {
  nameLength = kValueNameCapacity;
  dataLength = kTextCapacity;
  LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &dataLength);
  if (status == ERROR_SUCCESS && !IsText(type) && dataLength > kDataCapacity) status = ERROR_MORE_DATA;
  return status;
}

}  // namespace

// Never inlined: its 5 KB of buffers must live only while one key's values
// are copied, not in every level of the tree copy's recursion.
[[gnu::noinline]] bool CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth) {
  WCHAR name[kValueNameCapacity];
  BYTE data[kTextCapacity + sizeof(WCHAR)];
  bool copied = true;
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = 0, type = 0, dataLength = 0;
    LONG status = ReadValue(sourceKey, index, name, nameLength, type, data, dataLength);
    if (ListEnds(status, index, copied)) break;
    // Written under the cut name, it would replace another value: reported
    // instead, and the copy goes on with the next value.
    if (HoldsNul(name, nameLength)) {
      ReportWriteError(depth, name);
      copied = false;
      continue;
    }
    // Text followed by a NUL that its length leaves out would be written
    // with that NUL: the registry adds it, as if the caller forgot it.
    data[dataLength] = data[dataLength + 1] = 0xFF;
    if (RegSetValueExW(destinationKey, name, 0, type, data, dataLength) != ERROR_SUCCESS) {
      ReportWriteError(depth, name);
      copied = false;
      break;
    }
  }
  return copied;
}
