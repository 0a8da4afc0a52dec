// The Windows calls that carry names or text, as one table: the wide calls
// first, and the 8-bit calls for the rest of the run after any wide call
// fails with ERROR_CALL_NOT_IMPLEMENTED (120), as every one does on
// Windows 95, 98 and Me, where they are stubs. Those systems keep names and
// text in the ANSI code page, so the 8-bit calls are exact there; the
// console then gets the OEM code page's bytes.
#ifndef LORIMEX_REGISTRY_WINDOWS_CALLS_H
#define LORIMEX_REGISTRY_WINDOWS_CALLS_H

#include <windows.h>

namespace registry {

// One form of the calls, each returning a status as the registry's do.
struct TextCalls {
  LONG (*openKey)(HKEY parent, const WCHAR *path, DWORD options, REGSAM access, HKEY *key);
  LONG (*createKey)(HKEY parent, const WCHAR *path, REGSAM access, HKEY *key);
  LONG (*enumValue)(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength, DWORD *type, BYTE *data, DWORD *dataLength);
  LONG (*enumKey)(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength);
  LONG (*setValue)(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD dataLength);
  LONG (*writeConsole)(HANDLE console, const WCHAR *text, DWORD count);
};

// The platform's wide calls (wide_calls_windows.cpp). The test build
// lorimex-9x.exe links tests/tools/wide_fails.cpp instead, whose calls all
// fail with 120.
extern const TextCalls kWideCalls;

// Writes `count` UTF-16 units to a console; a status, as the registry's.
LONG WriteConsoleText(HANDLE console, const WCHAR *text, DWORD count);

}  // namespace registry

#endif
