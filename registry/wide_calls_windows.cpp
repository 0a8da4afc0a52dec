// The platform's wide calls, in the table's form.
#include "registry/windows_calls.h"

namespace {

LONG OpenKeyWide(HKEY parent, const WCHAR *path, DWORD options, REGSAM access, HKEY *key) {
  return RegOpenKeyExW(parent, path, options, access, key);
}

LONG CreateKeyWide(HKEY parent, const WCHAR *path, REGSAM access, HKEY *key) {
  WCHAR noClass[1] = {0};
  DWORD disposition = 0;
  return RegCreateKeyExW(parent, path, 0, noClass, REG_OPTION_NON_VOLATILE, access, nullptr, key, &disposition);
}

LONG EnumValueWide(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength, DWORD *type, BYTE *data, DWORD *dataLength) {
  return RegEnumValueW(key, index, name, nameLength, nullptr, type, data, dataLength);
}

LONG EnumKeyWide(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength) {
  FILETIME lastWrite;
  return RegEnumKeyExW(key, index, name, nameLength, nullptr, nullptr, nullptr, &lastWrite);
}

LONG SetValueWide(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD dataLength) {
  return RegSetValueExW(key, name, 0, type, data, dataLength);
}

LONG WriteConsoleWide(HANDLE console, const WCHAR *text, DWORD count) {
  DWORD written = 0;
  return WriteConsoleW(console, text, count, &written, nullptr) ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
}

}  // namespace

const registry::TextCalls registry::kWideCalls = {OpenKeyWide, CreateKeyWide, EnumValueWide,
                                                  EnumKeyWide, SetValueWide,  WriteConsoleWide};
