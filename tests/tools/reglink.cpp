// Makes the default profile's product subtree contain itself: creates the
// key Norvane\Kelvaro\Loop as a symbolic link back to Norvane\Kelvaro.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#ifndef REG_OPTION_CREATE_LINK
#define REG_OPTION_CREATE_LINK 0x00000002L
#endif

int main() {
  const wchar_t target[] = L"\\Registry\\User\\.Default\\Software\\Norvane\\Kelvaro";
  HKEY link = NULL;
  char noClass[1] = "";
  LONG status = RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software\\Norvane\\Kelvaro\\Loop", 0, noClass,
                                REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, NULL, &link, NULL);
  if (status != ERROR_SUCCESS) {
    std::printf("reglink: creating the link: %ld\n", status);
    return 1;
  }
  // The link's target is UTF-16 without a terminating NUL.
  status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE *>(target),
                          static_cast<DWORD>(std::wcslen(target) * sizeof(wchar_t)));
  RegCloseKey(link);
  if (status != ERROR_SUCCESS) {
    std::printf("reglink: setting the target: %ld\n", status);
    return 1;
  }
  return 0;
}
