// Loads a .reg fixture into the registry, after removing the Norvane
// subtrees that an earlier case may have left. Keys are created one level per
// call: the platform refuses a create that adds very many levels at once.
// The calls are the 8-bit ones (under the UTF-8 code page of the tools'
// manifest, so that bytes stay exact); with --wide the wide-character ones,
// the fixture's UTF-8 converted on the way. With --into-user KEY only the
// file's KEY (HKEY_USERS\.DEFAULT, say) is loaded, as the current user's
// root: so a hive file of any profile is filled.
//   regload [--wide] [--into-user KEY] FILE
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "regfile/reg_format.h"
#ifndef _WIN32
#include "standin/testing/control.h"
#endif
#include "regfile/names.h"
#include "tests/tools/calls.h"

#ifdef _WIN32
#ifndef REG_OPTION_CREATE_LINK
#define REG_OPTION_CREATE_LINK 0x00000002L
#endif
extern "C" LONG WINAPI NtDeleteKey(HANDLE key);
#endif

namespace {

// A key holding SymbolicLinkValue, of type REG_LINK, is how a file holds a
// registry link: it is made one.
bool IsLink(const regfile::Key &key) {
  const regfile::Value *link = key.FindValue("SymbolicLinkValue");
  return link && link->type() == REG_LINK;
}

bool LoadKey(HKEY parent, const regfile::Key &key) {
  HKEY handle = nullptr;
  LONG status = calls::Create(parent, key.name, handle, IsLink(key) ? REG_OPTION_CREATE_LINK : REG_OPTION_NON_VOLATILE);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "regload: creating %s: %ld\n", key.name.c_str(), static_cast<long>(status));
    return false;
  }
  bool ok = true;
  for (const regfile::Value &value : key.values()) {
    status = calls::SetValue(handle, std::string(value.name()), value.type(), std::string(value.data()));
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "regload: setting %s: %ld\n", std::string(value.name()).c_str(), static_cast<long>(status));
      ok = false;
    }
  }
  for (const auto &subkey : key.subkeys) ok = LoadKey(handle, *subkey) && ok;
  RegCloseKey(handle);
  return ok;
}

// The root is held open while its keys are loaded, so that the stand-in
// takes them all in one session: a hive is checked once, as it was before
// the first key.
bool LoadRoot(HKEY root, const regfile::Key *key) {
  bool ok = true;
  HKEY held = nullptr;
  if (RegOpenKeyExA(root, "", 0, KEY_READ, &held) != ERROR_SUCCESS) held = nullptr;
  if (key) {
    for (const auto &subkey : key->subkeys) ok = LoadKey(root, *subkey) && ok;
  }
  if (held) RegCloseKey(held);
  return ok;
}

#ifdef _WIN32
// In the 64-bit view, as everything the tools and lorimex.exe do: a 32-bit
// tool must not be sent to Wow6432Node. Every key is opened as itself, so
// that a link is deleted, never the key it leads to (nor, through a link to
// an ancestor, the walk sent round without end).
void DeleteTree(HKEY parent, const WCHAR *name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return;
  WCHAR subkey[512];
  for (DWORD index = 0;;) {
    DWORD length = sizeof subkey / sizeof *subkey;
    if (RegEnumKeyExW(key, index, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DeleteTree(key, subkey);
    HKEY left = nullptr;  // one that could not be deleted is passed over
    if (RegOpenKeyExW(key, subkey, REG_OPTION_OPEN_LINK, KEY_READ | KEY_WOW64_64KEY, &left) == ERROR_SUCCESS) {
      RegCloseKey(left);
      ++index;
    }
  }
  NtDeleteKey(key);
  RegCloseKey(key);
}
#endif
}  // namespace

int main(int argc, char **argv) {
  int left = calls::TakeWideOption(argc, argv);
  std::string intoUser;
  if (left == 4 && std::string(argv[1]) == "--into-user") {
    intoUser = argv[2];
    argv += 2;
    left -= 2;
  }
  if (left != 2) {
    std::fprintf(stderr, "usage: regload [--wide] [--into-user KEY] FILE\n");
    return 2;
  }
  const char *file = argv[1];
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  regfile::Key top;
  regfile::FileForm form;
  regfile::ParseError error;
  if (!in || !regfile::Parse(text.str(), top, form, error)) {
    std::fprintf(stderr, "regload: %s:%zu: %s\n", file, error.line, error.reason.c_str());
    return 2;
  }
  calls::UseUtf16Data(form.HoldsUtf16Data());
  if (!intoUser.empty()) return LoadRoot(HKEY_CURRENT_USER, regfile::FindKeyPath(top, intoUser)) ? 0 : 1;
#ifdef _WIN32
  DeleteTree(HKEY_USERS, L".DEFAULT\\Software\\Norvane");
  DeleteTree(HKEY_CURRENT_USER, L"Software\\Norvane");
#else
  // The default profile is an administrator's to write.
  standin::ActAsAdministrator(true);
#endif
  bool ok = LoadRoot(HKEY_USERS, regfile::FindSubkey(top, "HKEY_USERS"));
  ok = LoadRoot(HKEY_CURRENT_USER, regfile::FindSubkey(top, "HKEY_CURRENT_USER")) && ok;
  return ok ? 0 : 1;
}
