// The registry's calls in the stand-in, each one operation of a session
// (see session.h): the forms the program and the test tools call.
#include <string>

#include "standin/api.h"
#include "standin/calls_text.h"
#include "standin/hooks.h"
#include "standin/session.h"

using standin::InSession;
using standin::Op;

namespace {

// A key path in the stored form: the 8-bit calls' bytes as they are, the
// wide calls' units converted; false when no stored name gives them.
bool PathOf(LPCSTR subKey, std::string &path) {
  path = subKey ? subKey : "";
  return true;
}
bool PathOf(LPCWSTR subKey, std::string &path) { return standin::StoredName(subKey, standin::SessionForm(), path); }

// REG_OPTION_OPEN_LINK opens a link key as itself, not its target. A name
// the file cannot hold names no key in it.
template <typename Char>
LONG OpenKey(HKEY hKey, const Char *subKey, DWORD options, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  bool openLink = (options & REG_OPTION_OPEN_LINK) != 0;
  return InSession(Op::Open, hKey, [&]() -> LONG {
    std::string path;
    if (!PathOf(subKey, path)) return ERROR_FILE_NOT_FOUND;
    return standin::OpenKeyPath(hKey, path, access, result, openLink);
  });
}

// REG_OPTION_CREATE_LINK creates a link key; a name the file cannot hold
// cannot be created in it.
template <typename Char>
LONG CreateKey(HKEY hKey, const Char *subKey, DWORD options, REGSAM access, PHKEY result, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  bool createLink = (options & REG_OPTION_CREATE_LINK) != 0;
  return InSession(Op::Create, hKey, [&]() -> LONG {
    std::string path;
    if (!PathOf(subKey, path)) return ERROR_NO_UNICODE_TRANSLATION;
    return standin::CreateKeyPath(hKey, path, access, result, disposition, createLink);
  });
}

}  // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  return OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
  (void)Reserved, (void)lpClass, (void)lpSecurityAttributes;
  return CreateKey(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition);
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
  (void)Reserved, (void)lpClass, (void)lpSecurityAttributes;
  return CreateKey(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  (void)lpReserved;
  return InSession(Op::EnumValue, hKey, [&]() -> LONG {
    return standin::EnumValueAt(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
  });
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  (void)lpReserved;
  return InSession(Op::EnumValue, hKey, [&]() -> LONG {
    return standin::EnumValueAt(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
  });
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  (void)lpReserved;
  return InSession(Op::EnumKey, hKey, [&]() -> LONG {
    return standin::EnumKeyAt(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
  });
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  (void)lpReserved;
  return InSession(Op::EnumKey, hKey, [&]() -> LONG {
    return standin::EnumKeyAt(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, DWORD cbData) {
  (void)Reserved;
  return InSession(Op::SetValue, hKey, [&]() -> LONG {
    if (!lpData && cbData > 0) return ERROR_INVALID_PARAMETER;
    std::string_view data(reinterpret_cast<const char *>(lpData), lpData ? cbData : 0);
    return standin::SetValueOf(hKey, lpValueName ? lpValueName : "", dwType, data);
  });
}

// Text the file cannot hold exactly is refused (see StoredData).
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData, DWORD cbData) {
  (void)Reserved;
  return InSession(Op::SetValue, hKey, [&]() -> LONG {
    if (!lpData && cbData > 0) return ERROR_INVALID_PARAMETER;
    const standin::FileForm &form = standin::SessionForm();
    cbData = standin::WithForgottenNul(dwType, lpData, cbData, standin::hooks.callerDataSize);
    std::string name, data;
    if (!standin::StoredName(lpValueName, form, name) || !standin::StoredData(dwType, lpData, cbData, form, data))
      return ERROR_NO_UNICODE_TRANSLATION;
    return standin::SetValueOf(hKey, name, dwType, data);
  });
}

LONG RegCloseKey(HKEY hKey) {
  if (standin::IsPredefined(hKey)) {
    standin::hooks.countPredefinedClose();
    return ERROR_SUCCESS;
  }
  return InSession(Op::Close, hKey, [&]() -> LONG { return standin::CloseHandleOf(hKey); });
}
