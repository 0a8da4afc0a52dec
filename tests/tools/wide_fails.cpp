// lorimex-9x.exe: lorimex as Windows 95, 98 and Me run it, where every wide
// registry and console call is a stub that fails with 120. Linked in place
// of registry/wide_calls_windows.cpp; the shipped lorimex.exe has no way to
// make these calls fail.
#include "registry/windows_calls.h"

namespace {

LONG OpenKeyFails(HKEY, const WCHAR *, DWORD, REGSAM, HKEY *) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG CreateKeyFails(HKEY, const WCHAR *, REGSAM, HKEY *) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG EnumValueFails(HKEY, DWORD, WCHAR *, DWORD *, DWORD *, BYTE *, DWORD *) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG EnumKeyFails(HKEY, DWORD, WCHAR *, DWORD *) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG SetValueFails(HKEY, const WCHAR *, DWORD, const BYTE *, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG WriteConsoleFails(HANDLE, const WCHAR *, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }

}  // namespace

const registry::TextCalls registry::kWideCalls = {OpenKeyFails, CreateKeyFails, EnumValueFails,
                                                  EnumKeyFails, SetValueFails,  WriteConsoleFails};
