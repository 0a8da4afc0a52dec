// The stand-in registry's calls behave as the platform's do wherever the
// program can tell: names, enumeration, wide text, depth, access rights.
#include <string>
#include <vector>

#include "tests/standin_fixture.h"

namespace {

using testsupport::ReadFile;
using testsupport::StandinTest;
using testsupport::WriteFile;

TEST_F(StandinTest, KeysOpenWithoutCaseAndCreateWholePaths) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Norvane]\n");
  standin::ActAsAdministrator(true);
  HKEY software = Open(HKEY_USERS, ".default\\SOFTWARE");
  DWORD disposition = 0;
  HKEY made = Create(software, "NORVANE\\New\\Deeper\\", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY again = Create(software, "norvane\\new", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(software, "Nothing", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegOpenKeyExA(software, "a\\\\b", 0, KEY_READ, &missing), ERROR_BAD_PATHNAME);
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(nullptr, "X", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &missing, nullptr),
            ERROR_INVALID_HANDLE);
  // A value name holds at most 16,383 characters, as on the platform.
  EXPECT_EQ(RegSetValueExA(software, std::string(16383, 'n').c_str(), 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(software, std::string(16384, 'n').c_str(), 0, REG_BINARY, nullptr, 0),
            ERROR_INVALID_PARAMETER);
  for (HKEY key : {made, again, software}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(Dump("HKEY_USERS\\.DEFAULT\\Software\\Norvane"),
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\n"
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\New\n"
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\New\\Deeper\n");
}

// A key made with REG_OPTION_CREATE_LINK whose SymbolicLinkValue names a
// target as the kernel does is a link: opens and creates go to its target,
// on the way and at the end, unless REG_OPTION_OPEN_LINK opens it as itself.
TEST_F(StandinTest, LinksLeadToTheirTargetUnlessOpenedAsThemselves) {
  Load(
      "[HKEY_USERS\\.DEFAULT\\Software\\Target]\n\"t\"=\"1\"\n[HKEY_USERS\\.DEFAULT\\Software\\Target\\Sub]\n"
      "\"s\"=\"1\"\n[HKEY_LOCAL_MACHINE\\Software\\M]\n\"m\"=\"1\"\n");
  standin::ActAsAdministrator(true);
  HKEY software = Create(HKEY_CURRENT_USER, "Software"), profile = Open(HKEY_USERS, ".DEFAULT\\Software");
  auto link = [&](HKEY parent, const char *name, const std::string &target) {
    HKEY key = nullptr;
    char noClass[1] = "";
    EXPECT_EQ(RegCreateKeyExA(parent, name, 0, noClass, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::string units;
    for (char c : target) units += std::string{c, '\0'};
    EXPECT_EQ(Set(key, "SymbolicLinkValue", units, REG_LINK), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  };
  const std::string profileKernel = "\\REGISTRY\\USER\\.DEFAULT\\Software\\";
  link(software, "ToUser", profileKernel + "Target");
  link(software, "ToMachine", "\\Registry\\Machine\\Software\\M");
  link(software, "ToLink", profileKernel + "Hop");
  link(profile, "Hop", profileKernel + "Target");
  link(software, "Nowhere", profileKernel + "None");
  link(software, "Outside", "\\Device\\Software");
  link(software, "Circle", profileKernel + "Loop");
  link(profile, "Loop", profileKernel + "Loop");
  struct Case {
    const char *path;
    DWORD options;
    LONG status;
    const char *firstValue;  // of the key opened
  };
  const Case cases[] = {
      {"ToUser", 0, ERROR_SUCCESS, "t"},
      {"ToUser\\Sub", 0, ERROR_SUCCESS, "s"},
      {"ToUser", REG_OPTION_OPEN_LINK, ERROR_SUCCESS, "SymbolicLinkValue"},
      {"ToUser\\Sub", REG_OPTION_OPEN_LINK, ERROR_SUCCESS, "s"},
      {"ToMachine", 0, ERROR_SUCCESS, "m"},
      {"ToLink", 0, ERROR_SUCCESS, "t"},
      {"Nowhere", 0, ERROR_FILE_NOT_FOUND, nullptr},
      {"Nowhere", REG_OPTION_OPEN_LINK, ERROR_SUCCESS, "SymbolicLinkValue"},
      {"Outside", 0, ERROR_FILE_NOT_FOUND, nullptr},
      {"Circle", 0, ERROR_CANT_RESOLVE_FILENAME, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(software, c.path, c.options, KEY_READ, &key), c.status);
    if (!c.firstValue) continue;
    char name[64];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, length), c.firstValue);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  // A create goes through a link too; the file keeps the links as the keys
  // holding their targets.
  EXPECT_EQ(RegCloseKey(Create(software, "ToUser\\New")), ERROR_SUCCESS);
  for (HKEY key : {software, profile}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  std::string tree = Dump("HKEY_USERS\\.DEFAULT\\Software\\Target");
  EXPECT_NE(tree.find("Target\\New\n"), std::string::npos) << tree;
  EXPECT_NE(ReadFile(file_).find("[HKEY_CURRENT_USER\\Software\\ToUser]\n\"SymbolicLinkValue\"=hex(6):5c,00,52,"),
            std::string::npos);
}

TEST_F(StandinTest, EnumerationNeverTruncates) {
  Load(
      "[HKEY_USERS\\K\\b]\n[HKEY_USERS\\K\\A]\n[HKEY_USERS\\K\\_c]\n[HKEY_USERS\\K]\n"
      "\"zz\"=hex:01,02,03\n\"aa\"=\"\"\n");
  HKEY key = Open(HKEY_USERS, "K", KEY_READ);
  EXPECT_EQ(SubkeyAt(key, 0, ERROR_SUCCESS, 3), "_c");
  EXPECT_EQ(SubkeyAt(key, 0, ERROR_MORE_DATA, 2), "");
  EXPECT_EQ(SubkeyAt(key, 1), "A");
  EXPECT_EQ(SubkeyAt(key, 2), "b");
  EXPECT_EQ(SubkeyAt(key, 3, ERROR_NO_MORE_ITEMS), "");

  char name[8];
  BYTE data[3];
  DWORD type = 0;
  DWORD nameLength = 3, dataLength = 3;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, data, &dataLength), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name), "zz");
  EXPECT_EQ(dataLength, 3u);
  nameLength = 2;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, data, &dataLength), ERROR_MORE_DATA);
  nameLength = 8;
  dataLength = 2;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, &type, data, &dataLength), ERROR_MORE_DATA);
  nameLength = 8;
  dataLength = 3;
  EXPECT_EQ(RegEnumValueA(key, 2, name, &nameLength, nullptr, &type, data, &dataLength), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// The wide calls keep every unit exactly: a byte that is not UTF-8 travels
// as a unit of its own, a lone surrogate is held in three bytes; text of an
// odd length, and units that stand for bytes of a character, are refused. Nothing past the caller's count is read
// unless the caller's buffer is known to hold it (an exact heap buffer here).
TEST_F(StandinTest, WideCallsKeepEveryUnitExactly) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  HKEY key = Open(HKEY_CURRENT_USER, "Software");
  auto set = [key](std::u16string name, std::u16string text, DWORD type = REG_SZ, DWORD drop = 0) {
    standin::SetCallerDataSize(2 * text.size());
    return RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(text.data()),
                          static_cast<DWORD>(2 * text.size() - drop));
  };
  EXPECT_EQ(set(u"a\xD800", u"x"), ERROR_SUCCESS);
  EXPECT_EQ(set(u"b", std::u16string(u"A\xD800", 2)), ERROR_SUCCESS);
  EXPECT_EQ(set(u"c", u"AB", REG_MULTI_SZ, 1), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(set(u"d", u"\xDCC3\xDCA9", REG_EXPAND_SZ), ERROR_NO_UNICODE_TRANSLATION) << "would read back as é";
  EXPECT_EQ(set(u"e\xDCE9", std::u16string(u"\xDCE9\0", 2)), ERROR_SUCCESS);
  EXPECT_EQ(set(u"f", std::u16string(u"x\0", 2), REG_SZ, 2), ERROR_SUCCESS) << "the NUL after it is counted";
  EXPECT_EQ(set(u"g", std::u16string(u"\xD800", 1), REG_BINARY), ERROR_SUCCESS);
  standin::SetCallerDataSize(0);
  std::vector<BYTE> exact{'a', 0, 'b', 0};
  EXPECT_EQ(RegSetValueExW(key, u"h", 0, REG_SZ, exact.data(), 4), ERROR_SUCCESS);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(key, u"k\xD800", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(key, u"K\xD800", 0, KEY_READ, &sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  char16_t name[8];
  BYTE data[8];
  DWORD nameLength = 8, dataLength = 8, type = 0;
  ASSERT_EQ(RegEnumValueW(key, 2, name, &nameLength, nullptr, &type, data, &dataLength), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, nameLength), u"e\xDCE9");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(data), dataLength), std::string("\xE9\xDC\0\0", 4));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(Dump("HKEY_CURRENT_USER\\Software"),
            "HKEY_CURRENT_USER\\Software\n  a\xED\xA0\x80 = 1: 78\n  b = 1: 41 ed a0 80\n"
            "  e\xE9 = 1: e9 00\n  f = 1: 78 00\n  g = 3: 00 d8\n  h = 1: 61 62\n"
            "HKEY_CURRENT_USER\\Software\\k\xED\xA0\x80\n");
}

// In a REGEDIT4 file of code page 1252 (LORIMEX_CODEPAGE), and in a
// version 5 file saved as UTF-8, the wide calls take only what it can write,
// and the file stays in it.
TEST_F(StandinTest, AFileInACodePageTakesOnlyWhatItCanWrite) {
  Load("[HKEY_CURRENT_USER\\Software]\n\"caf\xE9\"=\"\"\n");
  setenv("LORIMEX_CODEPAGE", "1252", 1);
  HKEY key = Open(HKEY_CURRENT_USER, "Software");
  unsetenv("LORIMEX_CODEPAGE");
  EXPECT_EQ(RegSetValueExW(key, u"CAF\xC9", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"\x20AC"), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"\x0416", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"x"), 4),
            ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(testsupport::ReadFile(file_), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"caf\xE9\"=\"\x80\"\n\n");

  // So does a version 5 file saved as UTF-8, whose hex text regedit reads
  // as 8-bit characters: only ASCII ending in a NUL, unless quoted.
  const std::string v5 = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software]\n";
  testsupport::WriteFile(file_, v5);
  key = Open(HKEY_CURRENT_USER, "Software");
  EXPECT_EQ(RegSetValueExW(key, u"p", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(u"%x%"), 8), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"q", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(u"\xE9"), 4),
            ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(RegSetValueExW(key, u"r", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(u"ab"), 4),
            ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(RegSetValueExW(key, u"s", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"\xE9"), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(testsupport::ReadFile(file_), v5 + "\"p\"=hex(2):25,78,25,00\n\"s\"=\"\xC3\xA9\"\n\n");
}

// The registry nests keys at most 512 levels below a root; nothing may
// make a deeper one, or the file could not be read again.
TEST_F(StandinTest, NoKeyIsCreatedDeeperThan512Levels) {
  std::string path = "L1";
  for (int level = 2; level <= 512; ++level) path += "\\L" + std::to_string(level);
  HKEY key = Create(HKEY_USERS, path.c_str());
  HKEY deeper = nullptr;
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(key, "L513", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_NE(ReadFile(file_).find("\\L512]"), std::string::npos);
}

TEST_F(StandinTest, AccessRightsAndHandlesAreEnforced) {
  Load("[HKEY_CURRENT_USER\\Software\\Existing]\n\"v\"=\"1\"\n");
  HKEY readOnly = Open(HKEY_CURRENT_USER, "Software", KEY_READ);
  EXPECT_EQ(Set(readOnly, "x", "1"), ERROR_ACCESS_DENIED);
  HKEY key = nullptr;
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(readOnly, "New", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  HKEY existing = Create(readOnly, "Existing");
  EXPECT_EQ(Set(existing, "x", "1"), ERROR_SUCCESS);
  HKEY writeOnly = Open(HKEY_CURRENT_USER, "Software\\Existing", KEY_SET_VALUE);
  char name[8];
  DWORD nameLength = 8;
  EXPECT_EQ(RegEnumValueA(writeOnly, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SubkeyAt(writeOnly, 0, ERROR_ACCESS_DENIED), "");
  for (HKEY open : {writeOnly, existing}) EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(existing), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Set(existing, "y", "1"), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(standin::OpenHandleCount(), 0u);
}

// A handle keeps what its create asked for; the default profile grants a
// user who is not an administrator reading only, whatever the handle.
TEST_F(StandinTest, CreatesGrantWhatTheyAskAndTheDefaultProfileOnlyReads) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Norvane]\n[HKEY_CURRENT_USER\\Software]\n");
  HKEY reader = Create(HKEY_CURRENT_USER, "Software\\A", nullptr, KEY_READ);
  HKEY refused = nullptr;
  EXPECT_EQ(Set(reader, "x", "1"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(reader, "B", 0, nullptr, 0, KEY_WRITE, nullptr, &refused, nullptr), ERROR_ACCESS_DENIED);
  HKEY writer = Create(HKEY_CURRENT_USER, "Software\\A", nullptr, KEY_WRITE | KEY_WOW64_64KEY);
  EXPECT_EQ(Set(writer, "x", "1"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyAt(writer, 0, ERROR_ACCESS_DENIED), "");
  HKEY readable = Open(HKEY_USERS, ".DEFAULT\\Software\\Norvane", KEY_READ | KEY_WOW64_64KEY);
  for (REGSAM more : {KEY_ALL_ACCESS, KEY_WRITE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY}) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, more, &refused), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, nullptr, 0, more, nullptr, &refused, nullptr),
              ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(RegCreateKeyExA(readable, "New", 0, nullptr, 0, KEY_READ, nullptr, &refused, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software\\New", 0, nullptr, 0, KEY_READ, nullptr, &refused, nullptr),
            ERROR_ACCESS_DENIED);
  for (HKEY open : {reader, writer, readable}) EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
  EXPECT_EQ(Dump("HKEY_USERS\\.DEFAULT\\Software"),
            "HKEY_USERS\\.DEFAULT\\Software\n"
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\n");
}

}  // namespace
