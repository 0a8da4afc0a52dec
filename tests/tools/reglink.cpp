// Makes what the fixture files cannot hold. With "link NAME TARGET", creates
// the key Norvane\Kelvaro\NAME of the default profile as a symbolic link to
// TARGET; with "chain LEVELS", a chain of keys L2, L3, ...
// below Norvane\Kelvaro, LEVELS in all, each with a DWORD "depth". The chain
// is made here, one level per call, because the registry file reader holds
// nothing deeper than 512 levels. With "nul", sets the value "Режим<NUL>x" =
// "other" in Norvane\Kelvaro and creates its subkey "n<NUL>z" with "v" =
// "other", through the native calls: no other call can name them; "unnul"
// deletes that key again. With
// "deny NAME", gives the key Norvane\Kelvaro\NAME (UTF-8) an empty access
// list, so that nobody may open it, until "allow NAME" or until Wine's
// server ends. "guard PATH" and "unguard PATH": see Guard; "wow" and
// "unwow": see Wow6432Node.
//   reglink link NAME TARGET | chain LEVELS | nul | unnul | deny NAME | allow NAME | guard PATH | unguard PATH |
//           wow | unwow
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#ifndef REG_OPTION_CREATE_LINK
#define REG_OPTION_CREATE_LINK 0x00000002L
#endif

namespace {

// A "protect from deletion" rule on the current user's key PATH: everybody
// is denied DELETE, WRITE_DAC and WRITE_OWNER and allowed the rest; or, with
// `on` false, no access list at all (everybody may do anything).
int Guard(const char *path, bool on) {
  HKEY key = NULL;
  LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, WRITE_DAC | KEY_WOW64_64KEY, &key);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everybody = NULL;
  alignas(DWORD) BYTE acl[256];
  SECURITY_DESCRIPTOR descriptor;
  PACL list = reinterpret_cast<PACL>(acl);
  if (status == ERROR_SUCCESS &&
      (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everybody) ||
       !InitializeAcl(list, sizeof acl, ACL_REVISION) ||
       !AddAccessDeniedAce(list, ACL_REVISION, DELETE | WRITE_DAC | WRITE_OWNER, everybody) ||
       !AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, everybody) ||
       !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
       !SetSecurityDescriptorDacl(&descriptor, TRUE, on ? list : NULL, FALSE)))
    status = static_cast<LONG>(GetLastError());
  if (status == ERROR_SUCCESS) status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  if (everybody) FreeSid(everybody);
  if (key) RegCloseKey(key);
  if (status != ERROR_SUCCESS) std::printf("reglink: guarding %s: %ld\n", path, status);
  return status == ERROR_SUCCESS ? 0 : 1;
}

// Keys of the 32-bit view (Wow6432Node) beside the product keys, with a
// value "decoy": a build that reads or writes them there does not use the
// keys the other build uses. `make` false deletes Wow6432Node whole, as a
// fresh prefix lacks it: while it is there, Wine sends a 32-bit program
// (the reg.exe other cases compare with) into it.
int Wow6432Node(bool make) {
  const HKEY roots[] = {HKEY_USERS, HKEY_CURRENT_USER};
  const char *const paths[] = {".DEFAULT\\Software\\Wow6432Node", "Software\\Wow6432Node"};
  LONG status = ERROR_SUCCESS;
  for (int i = 0; i < 2; ++i) {
    HKEY key = NULL;
    char noClass[1] = "";
    std::string path = std::string(paths[i]) + (make ? "\\Norvane\\Kelvaro" : "");
    LONG result =
        RegCreateKeyExA(roots[i], path.c_str(), 0, noClass, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, NULL, &key, NULL);
    const char decoy[] = "32-bit view";
    if (result == ERROR_SUCCESS && make)
      result = RegSetValueExA(key, "decoy", 0, REG_SZ, reinterpret_cast<const BYTE *>(decoy), sizeof decoy);
    if (result == ERROR_SUCCESS && !make) result = RegDeleteTreeA(key, NULL);
    if (key) RegCloseKey(key);
    if (result == ERROR_SUCCESS && !make) result = RegDeleteKeyExA(roots[i], paths[i], KEY_WOW64_64KEY, 0);
    if (result != ERROR_SUCCESS) status = result;
  }
  if (status != ERROR_SUCCESS) std::printf("reglink: the 32-bit view's keys: %ld\n", status);
  return status == ERROR_SUCCESS ? 0 : 1;
}

int MakeChain(int levels) {
  HKEY key = NULL;
  char noClass[1] = "";
  LONG status = RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software\\Norvane\\Kelvaro", 0, noClass, 0, KEY_ALL_ACCESS, NULL,
                                &key, NULL);
  for (DWORD depth = 1; status == ERROR_SUCCESS; ++depth) {
    status = RegSetValueExA(key, "depth", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&depth), sizeof depth);
    HKEY next = NULL;
    if (status == ERROR_SUCCESS && static_cast<int>(depth) < levels) {
      std::string name = "L" + std::to_string(depth + 1);
      status = RegCreateKeyExA(key, name.c_str(), 0, noClass, 0, KEY_ALL_ACCESS, NULL, &next, NULL);
    }
    RegCloseKey(key);
    key = next;
    if (!key) break;
  }
  if (status != ERROR_SUCCESS) std::printf("reglink: making the chain: %ld\n", status);
  return status == ERROR_SUCCESS ? 0 : 1;
}

template <typename Function>
Function Native(const char *name) {
  // Through void (*)() because a FARPROC has no parameters to match.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

wchar_t nulKeyName[] = L"n\0z";
UNICODE_STRING nulKey{sizeof nulKeyName - sizeof(wchar_t), sizeof nulKeyName, nulKeyName};

OBJECT_ATTRIBUTES Beneath(HKEY parent, UNICODE_STRING *name) {
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = parent;
  attributes.ObjectName = name;
  return attributes;
}

LONG CreateNulKey(HKEY parent) {
  using CreateKey = LONG(WINAPI *)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING, ULONG, PULONG);
  auto createKey = Native<CreateKey>("NtCreateKey");
  wchar_t data[] = L"other";
  OBJECT_ATTRIBUTES attributes = Beneath(parent, &nulKey);
  HANDLE key = nullptr;
  LONG status = createKey ? createKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr) : 1;
  if (status != 0) return status;
  status = RegSetValueExW(static_cast<HKEY>(key), L"v", 0, REG_SZ, reinterpret_cast<const BYTE *>(data), sizeof data);
  RegCloseKey(static_cast<HKEY>(key));
  return status;
}

// Deleting by name would reach the key "n": the key is opened by its
// counted name and deleted through the handle, so that later cases can
// remove the subtree.
int DeleteNulKey() {
  using OpenKey = LONG(WINAPI *)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
  using DeleteKey = LONG(WINAPI *)(HANDLE);
  auto openKey = Native<OpenKey>("NtOpenKey");
  auto deleteKey = Native<DeleteKey>("NtDeleteKey");
  HKEY parent = NULL;
  LONG status = RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Software\\Norvane\\Kelvaro", 0, KEY_ALL_ACCESS, &parent);
  OBJECT_ATTRIBUTES attributes = Beneath(parent, &nulKey);
  HANDLE key = nullptr;
  if (status == ERROR_SUCCESS) status = openKey && deleteKey ? openKey(&key, KEY_ALL_ACCESS, &attributes) : 1;
  if (status == 0) status = deleteKey(key);
  if (key) RegCloseKey(static_cast<HKEY>(key));
  if (parent) RegCloseKey(parent);
  return status == 0 ? 0 : 1;
}

int SetNulNames() {
  using SetValueKey = LONG(WINAPI *)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
  auto setValueKey = Native<SetValueKey>("NtSetValueKey");
  HKEY key = NULL;
  LONG status = RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Software\\Norvane\\Kelvaro", 0, KEY_ALL_ACCESS, &key);
  wchar_t name[] = L"\u0420\u0435\u0436\u0438\u043c\0x", data[] = L"other";  // "Режим<NUL>x"
  UNICODE_STRING unicodeName{sizeof name - sizeof(wchar_t), sizeof name, name};
  if (status == ERROR_SUCCESS) status = setValueKey ? setValueKey(key, &unicodeName, 0, REG_SZ, data, sizeof data) : 1;
  if (status == ERROR_SUCCESS) status = CreateNulKey(key);
  if (key) RegCloseKey(key);
  if (status != ERROR_SUCCESS) std::printf("reglink: setting the names: %lx\n", static_cast<unsigned long>(status));
  return status == ERROR_SUCCESS ? 0 : 1;
}

// An empty access list lets nobody open the key; none (a null list) lets
// everybody. The owner may always change the list.
int SetAccess(const char *utf8Name, bool deny) {
  std::wstring path = L".DEFAULT\\Software\\Norvane\\Kelvaro\\";
  wchar_t name[256];
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Name, -1, name, 256);
  path += length > 0 ? name : L"";
  HKEY key = NULL;
  LONG status = RegCreateKeyExW(HKEY_USERS, path.c_str(), 0, NULL, 0, WRITE_DAC, NULL, &key, NULL);
  SECURITY_DESCRIPTOR descriptor;
  ACL empty;
  if (status == ERROR_SUCCESS && (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
                                  !InitializeAcl(&empty, sizeof empty, ACL_REVISION) ||
                                  !SetSecurityDescriptorDacl(&descriptor, TRUE, deny ? &empty : NULL, FALSE)))
    status = static_cast<LONG>(GetLastError());
  if (status == ERROR_SUCCESS) status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  if (key) RegCloseKey(key);
  if (status != ERROR_SUCCESS) std::printf("reglink: setting access: %ld\n", status);
  return status == ERROR_SUCCESS ? 0 : 1;
}

// The link's target is a registry path as the kernel names it
// ("\\Registry\\User\\.Default\\..."), given in UTF-8.
int MakeLink(const char *name, const char *utf8Target) {
  wchar_t target[512];
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Target, -1, target, 512);
  std::string path = std::string(".DEFAULT\\Software\\Norvane\\Kelvaro\\") + name;
  HKEY link = NULL;
  char noClass[1] = "";
  LONG status = length > 0 ? RegCreateKeyExA(HKEY_USERS, path.c_str(), 0, noClass, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS | KEY_CREATE_LINK | KEY_WOW64_64KEY, NULL, &link, NULL)
                           : ERROR_INVALID_PARAMETER;
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

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "chain") == 0) return MakeChain(std::atoi(argv[2]));
  if (argc == 2 && std::strcmp(argv[1], "nul") == 0) return SetNulNames();
  if (argc == 2 && std::strcmp(argv[1], "unnul") == 0) return DeleteNulKey();
  if (argc == 3 && std::strcmp(argv[1], "deny") == 0) return SetAccess(argv[2], true);
  if (argc == 3 && std::strcmp(argv[1], "allow") == 0) return SetAccess(argv[2], false);
  if (argc == 2 && std::strcmp(argv[1], "wow") == 0) return Wow6432Node(true);
  if (argc == 2 && std::strcmp(argv[1], "unwow") == 0) return Wow6432Node(false);
  if (argc == 3 && std::strcmp(argv[1], "guard") == 0) return Guard(argv[2], true);
  if (argc == 3 && std::strcmp(argv[1], "unguard") == 0) return Guard(argv[2], false);
  if (argc == 4 && std::strcmp(argv[1], "link") == 0) return MakeLink(argv[2], argv[3]);
  std::printf("reglink: unknown arguments\n");
  return 2;
}
