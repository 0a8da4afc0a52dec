// The registry operations the program uses, in the registry's UTF-16. On
// Windows they are the platform's (windows_calls.cpp: the wide calls, or on
// Windows 9x, whose wide calls fail with 120, the 8-bit ones); elsewhere
// they come from the file-backed stand-in, which mirrors the platform's
// names, types and status codes.
#ifndef LORIMEX_REGISTRY_REGISTRY_H
#define LORIMEX_REGISTRY_REGISTRY_H

#ifdef _WIN32
#include <windows.h>
// A literal key name in the registry's UTF-16.
#define KEY_NAME(text) L##text
#else
#include "standin/api.h"
#define KEY_NAME(text) u##text
#endif

namespace registry {

#ifdef _WIN32
// RegOpenKeyExW.
LONG OpenKey(HKEY parent, const WCHAR *path, DWORD options, REGSAM access, HKEY *key);
// RegCreateKeyExW of a non-volatile key without a class.
LONG CreateKey(HKEY parent, const WCHAR *path, REGSAM access, HKEY *key);
// RegEnumValueW; the lengths are the buffers' in, the value's out.
LONG EnumValue(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength, DWORD *type, BYTE *data, DWORD *dataLength);
// RegEnumKeyExW of the name alone.
LONG EnumKey(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength);
// RegSetValueExW.
LONG SetValue(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD dataLength);
#else
inline LONG OpenKey(HKEY parent, const WCHAR *path, DWORD options, REGSAM access, HKEY *key) {
  return RegOpenKeyExW(parent, path, options, access, key);
}
inline LONG CreateKey(HKEY parent, const WCHAR *path, REGSAM access, HKEY *key) {
  WCHAR noClass[1] = {0};
  DWORD disposition = 0;
  return RegCreateKeyExW(parent, path, 0, noClass, REG_OPTION_NON_VOLATILE, access, nullptr, key, &disposition);
}
inline LONG EnumValue(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength, DWORD *type, BYTE *data,
                      DWORD *dataLength) {
  return RegEnumValueW(key, index, name, nameLength, nullptr, type, data, dataLength);
}
inline LONG EnumKey(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength) {
  FILETIME lastWrite;
  return RegEnumKeyExW(key, index, name, nameLength, nullptr, nullptr, nullptr, &lastWrite);
}
inline LONG SetValue(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD dataLength) {
  return RegSetValueExW(key, name, 0, type, data, dataLength);
}
#endif

// RegCloseKey, which takes no text.
inline LONG CloseKey(HKEY key) { return RegCloseKey(key); }

}  // namespace registry

#endif
