// The .reg reader and writer: what the stand-in stores must come back
// byte for byte, and a file that is not a registry must be refused with
// the line at fault.
#include "registry/regfile.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support.h"

namespace {

using testsupport::DumpTree;

regfile::Key ParseOk(const std::string &text) {
  regfile::Key top;
  regfile::ParseError error;
  EXPECT_TRUE(regfile::Parse(text, top, error)) << error.line << ": " << error.reason;
  return top;
}

TEST(RegFile, ReadsEveryDataFormAsRawBytes) {
  regfile::Key top = ParseOk(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[hkey_users\\.DEFAULT\\K]\r\n"
      "@=\"quote \\\" and \\\\ backslash\"\r\n"
      "\"d\" = dword:0000ff01\r\n"
      "\"b\"=hex:00,FF\r\n"
      "\"long\"=hex(ffffffff):01,02,\\\r\n"
      "   03,04\r\n"
      "\"empty\"=hex(1):\r\n"
      "\"with\\\\back\"=\"\"\r\n");
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\.DEFAULT\\K"),
            "HKEY_USERS\\.DEFAULT\\K\n"
            "   = 1: 71 75 6f 74 65 20 22 20 61 6e 64 20 5c 20 62 61 63 6b 73 6c 61 73 68 00\n"
            "  d = 4: 01 ff 00 00\n"
            "  b = 3: 00 ff\n"
            "  long = 4294967295: 01 02 03 04\n"
            "  empty = 1: \n"
            "  with\\back = 1: 00\n");
}

TEST(RegFile, WritesWhatItReadsAndRoundTripsAwkwardData) {
  regfile::Key top;
  regfile::Key &key = regfile::AddSubkey(regfile::AddSubkey(top, "HKEY_CURRENT_USER"), "Odd");
  const std::string awkward[] = {
      std::string("plain\0", 6),         std::string("no nul"),
      std::string("in\0side\0", 8),      std::string("line\nbreak\0", 11),
      std::string("\x80\xff high\0", 8), std::string(),
      std::string(300, '\x7f'),
  };
  std::uint32_t type = 0;
  for (const std::string &data : awkward) regfile::SetValue(key, "s" + std::to_string(type++), 1, data);
  regfile::SetValue(key, "short dword", 4, "ab");
  regfile::SetValue(key, "quoted \"name\"", 0x12345678, "x");
  regfile::AddSubkey(key, "empty subkey");
  std::string text = regfile::Write(top);
  regfile::Key back = ParseOk(text);
  EXPECT_EQ(DumpTree(back, "HKEY_CURRENT_USER\\Odd"), DumpTree(top, "HKEY_CURRENT_USER\\Odd"));
  EXPECT_EQ(regfile::Write(back), text);
  EXPECT_NE(text.find("\"s0\"=\"plain\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"s3\"=hex(1):6c,69"), std::string::npos);
  EXPECT_NE(text.find("\"short dword\"=hex(4):61,62\n"), std::string::npos);
}

TEST(RegFile, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  regfile::Key top;
  regfile::Key &root = regfile::AddSubkey(top, "HKEY_USERS");
  for (const char *name : {"beta", "Alpha", "_under", "ALPHA", "Zed"}) regfile::AddSubkey(root, name);
  std::string order;
  for (const auto &k : root.subkeys) order += k->name + " ";
  // Lower-cased comparison puts '_' before the letters, as the platform does.
  EXPECT_EQ(order, "_under Alpha beta Zed ");

  // Names are UTF-8: letters of any script fold, and names sort by the
  // UTF-16 code units of their lower-case forms, so an emoji (a surrogate
  // pair) comes before a fullwidth letter. Kelvin sign and 'k' stay apart, as
  // in the platform's registry. Bytes that are not UTF-8 match only
  // themselves.
  regfile::Key unicode;
  for (const char *name : {"\xef\xbd\x9a", "caf\xc3\xa9", "\xd0\x9a\xd0\x9b\xd0\xae\xd0\xa7", "\xf0\x9f\x98\x80",
                           "CAF\xc3\x89", "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87", "\xe2\x84\xaa", "k", "\xc3\x9f",
                           "\xe1\xba\x9e", "A\xe9", "a\xe9", "a\xc9", "\xe6\x97\xa5"})
    regfile::AddSubkey(unicode, name);
  order.clear();
  for (const auto &k : unicode.subkeys) order += k->name + " ";
  EXPECT_EQ(order,
            "a\xc9 A\xe9 caf\xc3\xa9 k \xc3\x9f \xd0\x9a\xd0\x9b\xd0\xae\xd0\xa7 \xe1\xba\x9e \xe2\x84\xaa \xe6\x97\xa5 "
            "\xf0\x9f\x98\x80 \xef\xbd\x9a ");
  EXPECT_TRUE(regfile::EqualNoCase("\xc8\xba", "\xe2\xb1\xa5"));  // lengths differ in UTF-8

  regfile::SetValue(root, "First", 1, "a");
  regfile::SetValue(root, "second", 1, "b");
  regfile::SetValue(root, "FIRST", 3, "c");
  ASSERT_EQ(root.values.size(), 2u);
  EXPECT_EQ(root.values[0].name, "First");
  EXPECT_EQ(root.values[0].type, 3u);
  EXPECT_EQ(root.values[0].data, "c");
}

TEST(RegFile, RefusesWhatIsNotARegistryFileNamingTheLine) {
  struct Case {
    std::string text;
    std::size_t line;
  };
  const Case cases[] = {
      {"", 1},
      {"[HKEY_USERS\\A]\n", 1},
      {"\xff\xfeW\0i\0", 1},
      {"REGEDIT4\n\"v\"=\"before any key\"\n", 2},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=\"unterminated\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,0g\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,\\\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=\"a\\q\"\n", 3},
      {"REGEDIT4\n\n[HKEY_NOWHERE\\A]\n", 3},
      {"REGEDIT4\n[HKEY_USERS\\\\A]\n", 2},
      {"REGEDIT4\n[HKEY_USERS\\A\n", 2},
      {"REGEDIT4\n[HKEY_USERS\\A]\njunk\n", 3},
      {std::string("REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=\"x\"\0\n", 30), 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    regfile::Key top;
    regfile::ParseError error;
    EXPECT_FALSE(regfile::Parse(c.text, top, error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_FALSE(error.reason.empty());
  }
}

TEST(RegFile, RemovalLinesDeleteKeysAndValues) {
  regfile::Key top = ParseOk(
      "REGEDIT4\n[HKEY_USERS\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n[HKEY_USERS\\A\\C]\n"
      "[-HKEY_USERS\\A\\C]\n[HKEY_USERS\\A\\B]\n\"X\"=-\n");
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\A"), "HKEY_USERS\\A\nHKEY_USERS\\A\\B\n  y = 1: 32 00\n");
}

}  // namespace
