// The .reg reader and writer: what the stand-in stores must come back
// byte for byte, and a file that is not a registry must be refused with
// the line at fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "regfile/names.h"
#include "regfile/reg_format.h"
#include "standin/hive/keys.h"
#include "tests/support.h"

namespace {

using namespace std::string_literals;
using testsupport::DumpTree;

regfile::Key ParseOk(const std::string &text, regfile::FileForm *read = nullptr) {
  regfile::Key top;
  regfile::FileForm form = read ? *read : regfile::FileForm{};
  regfile::ParseError error;
  EXPECT_TRUE(regfile::Parse(text, top, form, error)) << error.line << ": " << error.reason;
  if (read) *read = form;
  return top;
}

// A file as regedit writes version 5: UTF-16LE after a byte-order mark,
// CR LF; `text` is given with LF.
std::string Utf16File(std::u16string_view text) {
  std::string file = "\xFF\xFE";
  for (char16_t unit : text) {
    if (unit == u'\n') file.append("\r\0", 2);
    file.push_back(static_cast<char>(unit & 0xFF));
    file.push_back(static_cast<char>(unit >> 8));
  }
  return file;
}

TEST(RegFile, ReadsEveryDataFormAsRawBytes) {
  regfile::Key top = ParseOk(
      "REGEDIT4\r\n"
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
  regfile::Key &key = regfile::FindOrAddSubkey(regfile::FindOrAddSubkey(top, "HKEY_CURRENT_USER"), "Odd");
  const std::string awkward[] = {
      std::string("plain\0", 6),         std::string("no nul"),
      std::string("in\0side\0", 8),      std::string("line\nbreak\0", 11),
      std::string("\x80\xff high\0", 8), std::string(),
      std::string(300, '\x7f'),
  };
  std::uint32_t type = 0;
  for (const std::string &data : awkward) key.SetValue("s" + std::to_string(type++), 1, data);
  key.SetValue("short dword", 4, "ab");
  key.SetValue("quoted \"name\"", 0x12345678, "x");
  key.SetValue("line\r\nbreak", 1, std::string("x\0", 2));
  key.SetValue("Seats", 4, std::string("\x19\0\0\0", 4));
  regfile::FindOrAddSubkey(key, "empty subkey");
  std::string text = regfile::Write(top);
  regfile::Key back = ParseOk(text);
  EXPECT_EQ(DumpTree(back, "HKEY_CURRENT_USER\\Odd"), DumpTree(top, "HKEY_CURRENT_USER\\Odd"));
  EXPECT_EQ(regfile::Write(back), text);
  EXPECT_NE(text.find("\"s0\"=\"plain\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"s3\"=hex(1):6c,69"), std::string::npos);
  EXPECT_NE(text.find("\"short dword\"=hex(4):61,62\n"), std::string::npos);
  EXPECT_NE(text.find("\"line\\r\\nbreak\"=\"x\"\n"), std::string::npos);

  // Cut at any byte inside a line, the file is refused or reads as exactly
  // what the whole line (with its continuations) says.
  for (std::size_t cut = 1; cut < text.size(); ++cut) {
    if (text[cut - 1] == '\n') continue;
    std::size_t end = cut;
    while ((end = text.find('\n', end)) != std::string::npos && text[end - 1] == '\\') ++end;
    regfile::Key whole, partial;
    regfile::FileForm form;
    regfile::ParseError error;
    ASSERT_TRUE(regfile::Parse(text.substr(0, end + 1), whole, form, error));
    if (regfile::Parse(text.substr(0, cut), partial, form, error)) {
      EXPECT_EQ(regfile::Write(partial), regfile::Write(whole)) << "cut after " << text.substr(0, cut);
    }
  }
}

// Strings are UTF-16 text, the data of hex(1), hex(2) and hex(7) the
// registry's UTF-16LE bytes; what quotes cannot carry exactly is written as
// hex; names keep lone surrogates; the file is written back as it was.
TEST(RegFile, ReadsAndWritesVersion5FilesExactly) {
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\n\n"
      u"[HKEY_USERS\\K\\n\xD800]\n"
      u"\"\x65E5\xDC00\"=\"\x0416 \\\"x\\\"\"\n"
      u"\"odd\"=hex(1):41,00,42\n"
      u"\"no nul\"=hex(1):41,00\n"
      u"\"path\"=hex(2):25,00,00,00\n"
      u"\"lone\"=hex(1):00,d8,00,00\n"
      u"\"n\"=dword:00000001\n\n";
  regfile::FileForm form;
  regfile::Key top = ParseOk(Utf16File(text), &form);
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\K\\n\xED\xA0\x80"),
            "HKEY_USERS\\K\\n\xED\xA0\x80\n"
            "  \xE6\x97\xA5\xED\xB0\x80 = 1: 16 04 20 00 22 00 78 00 22 00 00 00\n"
            "  odd = 1: 41 00 42\n"
            "  no nul = 1: 41 00\n"
            "  path = 2: 25 00 00 00\n"
            "  lone = 1: 00 d8 00 00\n"
            "  n = 4: 01 00 00 00\n");
  EXPECT_EQ(regfile::Write(top, form), Utf16File(text));
  // Read a piece at a time, as the store reads a file, whatever the pieces.
  const std::string file = Utf16File(text);
  for (std::size_t size : {1, 2, 3, 7}) {
    regfile::FileBytes bytes;
    for (std::size_t at = 0; at < file.size(); at += size) bytes.Add(std::string_view(file).substr(at, size));
    regfile::Key pieces;
    regfile::ParseError error;
    ASSERT_TRUE(bytes.Parse(pieces, form, error)) << size;
    EXPECT_EQ(regfile::Write(pieces, form), file) << size;
  }
}

// The file comes back in the encoding it came in: UTF-8 with or without a
// byte-order mark; regedit's \r and \n escapes, comments after data and
// after a key line, dword: with fewer digits, one-digit bytes, and blank and
// comment lines between continued hex lines are read as regedit reads them.
TEST(RegFile, KeepsTheEncodingAndReadsWhatRegeditAccepts) {
  for (std::string text : {"\xEF\xBB\xBFREGEDIT4\n\n[HKEY_USERS\\A]\n\"\xC3\xA9\"=\"x\"\n\n",
                           "Windows Registry Editor Version 5.00\n\n[HKEY_USERS\\A]\n\"\xC3\xA9\"=\"x\"\n\n",
                           "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKEY_USERS\\A]\n@=\"\xC3\xA9\"\n\n"}) {
    regfile::FileForm form;
    regfile::Key top = ParseOk(text, &form);
    EXPECT_EQ(regfile::Write(top, form), text);
  }
  regfile::Key top = ParseOk(
      "  REGEDIT4\r[HKEY_USERS\\A] ; comment\r\n"
      "\"a\\r\\nb\"=\"x\\ry\" ; comment\n"
      "\"d\"=dword: 1a ;c\n"
      "\"h\"=hex:1,2,\\ ; goes on\n"
      "; between\n"
      "\n"
      "  3;c\n"
      "\"gone\"=\"x\"\n"
      "\"gone\"=- ; removed\n");
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\A"),
            "HKEY_USERS\\A\n"
            "  a\r\nb = 1: 78 0d 79 00\n"
            "  d = 4: 1a 00 00 00\n"
            "  h = 3: 01 02 03\n");

  // A version 5 file saved as UTF-8: regedit reads the bytes of hex text
  // as 8-bit characters, with a NUL after a last byte that is not one.
  const std::string v5 = "Windows Registry Editor Version 5.00\n\n[HKEY_USERS\\A]\n";
  regfile::FileForm form;
  top = ParseOk(v5 + "\"p\"=hex(2):41,00,00,00\n\"m\"=hex(7):61,00,62\n\"s\"=hex(1):41,00,42\n\"e\"=hex(2):\n", &form);
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\A"),
            "HKEY_USERS\\A\n"
            "  p = 2: 41 00 00 00 00 00 00 00\n"
            "  m = 7: 61 00 00 00 62 00 00 00\n"
            "  s = 1: 41 00 00 00 42 00 00 00\n"
            "  e = 2: \n");
  const std::string written = regfile::Write(top, form);
  EXPECT_EQ(written,
            v5 + "\"p\"=hex(2):41,00,00,00\n\"m\"=hex(7):61,00,62,00\n\"s\"=hex(1):41,00,42,00\n\"e\"=hex(2):\n\n");
  EXPECT_EQ(DumpTree(ParseOk(written), "HKEY_USERS\\A"), DumpTree(top, "HKEY_USERS\\A"));
}

// A REGEDIT4 file in an 8-bit code page: names compare as the registry
// compares their characters, a double-byte character is read whole (the
// second byte of 能 is a backslash), and the bytes come back as they were.
TEST(RegFile, ReadsREGEDIT4InACodePage) {
  std::string error;
  regfile::FileForm form;
  form.codePage = regfile::CodePage::Open("1252", error);
  ASSERT_TRUE(form.codePage) << error;
  regfile::Key top =
      ParseOk("REGEDIT4\n[HKEY_USERS\\K\\CAF\xC9]\n\"a\"=\"1\"\n[HKEY_USERS\\K\\Caf\xE9]\n\"A\"=\"2\"\n", &form);
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\K"), "HKEY_USERS\\K\nHKEY_USERS\\K\\CAF\xC3\x89\n  a = 1: 32 00\n");
  form.codePage = regfile::CodePage::Open("932", error);
  ASSERT_TRUE(form.codePage) << error;
  const std::string text =
      "REGEDIT4\n\n[HKEY_USERS\\K\\\x94\x5c]\n\"\x94\x5c\"=\"\x95\x5c\"\n\"t\"=hex(2):83,5c,00\n\n"
      "[HKEY_USERS\\K\\\x82\x60\x82\x61]\n\"x\"=\"2\"\n\n";
  top = ParseOk(text + "[HKEY_USERS\\K\\\x82\x81\x82\x82]\n\"x\"=\"2\"\n", &form);
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\K\\\xE8\x83\xBD"),
            "HKEY_USERS\\K\\\xE8\x83\xBD\n  \xE8\x83\xBD = 1: e8 a1 a8 00\n  t = 2: e3 82 bd 00\n");
  EXPECT_EQ(regfile::Write(top, form), text);
  regfile::ParseError refused;
  EXPECT_FALSE(regfile::Parse("REGEDIT4\n[HKEY_USERS\\A]\n;\x81\n", top, form, refused));
  EXPECT_EQ(std::to_string(refused.line) + ": " + refused.reason, "3: bytes that code page 932 does not map exactly");
  EXPECT_FALSE(regfile::CodePage::Open("no such page", error));
}

TEST(RegFile, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  regfile::Key top;
  regfile::Key &root = regfile::FindOrAddSubkey(top, "HKEY_USERS");
  for (const char *name : {"beta", "Alpha", "_under", "ALPHA", "Zed"}) regfile::FindOrAddSubkey(root, name);
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
    regfile::FindOrAddSubkey(unicode, name);
  order.clear();
  for (const auto &k : unicode.subkeys) order += k->name + " ";
  EXPECT_EQ(
      order,
      "a\xc9 A\xe9 caf\xc3\xa9 k \xc3\x9f \xd0\x9a\xd0\x9b\xd0\xae\xd0\xa7 \xe1\xba\x9e \xe2\x84\xaa \xe6\x97\xa5 "
      "\xf0\x9f\x98\x80 \xef\xbd\x9a ");
  EXPECT_TRUE(regfile::EqualNoCase("\xc8\xba", "\xe2\xb1\xa5"));  // lengths differ in UTF-8
  // Case is Windows' own table, not Unicode's: scripts that got their cases
  // after it, and letters it leaves without a capital, stay apart.
  struct Pair {
    const char *a, *b;
    bool one;
  };
  const Pair pairs[] = {
      {"\xe1\x83\x90", "\xe1\xb2\x90", false},    // Georgian U+10D0, Mtavruli U+1C90
      {"\xea\xad\xb0x", "\xe1\x8e\xa0X", false},  // Cherokee U+AB70, U+13A0
      {"\xe1\x8f\xb8", "\xe1\x8f\xb0", false},    // Cherokee U+13F8, U+13F0
      {"\xc9\xa5", "\xea\x9e\x8d", false},        // U+0265, U+A78D
      {"\xc2\xb5", "\xce\x9c", false},            // micro sign, capital mu
      {"\xcf\x82", "\xce\xa3", false},            // final sigma, capital sigma
      {"\xc7\x85", "\xc7\x84", false},            // title-case DZ with caron, capital
      {"\xc4\xb1", "I", false},                   // dotless i
      {"\xc5\xbf", "S", false},                   // long s
      {"\xce\xbc", "\xce\x9c", true},             // mu
      {"\xc7\x86", "\xc7\x84", true},             // dz with caron
      {"\xc3\xbf", "\xc5\xb8", true},             // y with diaeresis
      {"\xe2\x93\x90", "\xe2\x92\xb6", true},     // circled letters
  };
  for (const Pair &p : pairs) {
    EXPECT_EQ(regfile::EqualNoCase(p.a, p.b), p.one) << p.a << " " << p.b;
    EXPECT_TRUE(!p.one || regfile::HashNoCase(p.a) == regfile::HashNoCase(p.b)) << p.a;
  }
  regfile::Key georgian;
  for (const char *name : {"\xe1\xb2\x90", "\xe1\x83\x90", "\xe1\x83\x91"}) regfile::FindOrAddSubkey(georgian, name);
  EXPECT_EQ(georgian.subkeys.size(), 3u) << "two keys Windows keeps apart merged";

  root.SetValue("First", 1, "a");
  root.SetValue("second", 1, "b");
  root.SetValue("FIRST", 3, "c");
  ASSERT_EQ(root.values().size(), 2u);
  EXPECT_EQ(root.values()[0].name(), "First");
  EXPECT_EQ(root.values()[0].type(), 3u);
  EXPECT_EQ(root.values()[0].data(), "c");
  // So do the values of a key large enough to be found through its index.
  for (int i = 0; i < 100; ++i) root.SetValue("Many" + std::to_string(i), 4, "1234");
  root.SetValue("MANY50", 3, "x");
  ASSERT_EQ(root.values().size(), 102u);
  EXPECT_EQ(root.FindValue("many50")->data(), "x");
  // However the index grows and gaps fill it, a slot stays free: a search
  // for a name the key lacks ends there (without one it never ends).
  regfile::Key grown;
  for (int i = 0; i < 2000; ++i) {
    grown.SetValue("g" + std::to_string(i), 4, "1234");
    ASSERT_EQ(grown.FindValue("absent"), nullptr) << i;
  }
  for (int i = 0; i < 2000; i += 2) {
    grown.RemoveValue("G" + std::to_string(i));
    grown.SetValue("n" + std::to_string(i), 4, "1234");
    ASSERT_EQ(grown.FindValue("absent"), nullptr) << i;
  }
}

// Every unit of the plane against a plain reading of Windows' table: the
// stand-in's names are one exactly when their units upper-case alike, are
// ordered by the lower-case unit of each pair, and hash alike when one; a
// hive's are ordered and hashed by upper case.
TEST(RegFile, EveryUnitComparesAsWindowsTableSays) {
  struct Mapping {
    char16_t unit, upper;
  };
  const Mapping table[] = {
#include "regfile/windows_upcase.inc"
  };
  std::vector<char16_t> upper(0x10000), lower(0x10000);
  for (std::size_t c = 0; c < upper.size(); ++c) upper[c] = lower[c] = static_cast<char16_t>(c);
  for (const Mapping &m : table) upper[m.unit] = m.upper, lower[m.upper] = m.unit;
  struct Name {
    char16_t unit;
    std::u16string units;  // "x", the unit, "y"
    std::string text;
  };
  std::vector<Name> names;
  for (std::size_t c = 0; c < upper.size(); ++c) {
    Name name{static_cast<char16_t>(c), {u'x', static_cast<char16_t>(c), u'y'}, {}};
    if (regfile::FromUtf16(name.units, name.text)) names.push_back(name);
  }
  ASSERT_GT(names.size(), 65000u);
  std::size_t wrong = 0;
  std::string first;
  auto expect = [&](bool holds, const Name &a, const Name &b, const char *what) {
    if (holds) return;
    if (wrong++ == 0) first = std::string(what) + " " + std::to_string(a.unit) + " " + std::to_string(b.unit);
  };
  std::sort(names.begin(), names.end(),
            [](const Name &a, const Name &b) { return regfile::CompareNoCase(a.text, b.text) < 0; });
  for (std::size_t i = 1; i < names.size(); ++i) {
    const Name &a = names[i - 1], &b = names[i];
    bool one = upper[a.unit] == upper[b.unit];
    expect(lower[a.unit] <= lower[b.unit], a, b, "stand-in order");
    expect(regfile::EqualNoCase(a.text, b.text) == one, a, b, "stand-in equality");
    expect(!one || regfile::HashNoCase(a.text) == regfile::HashNoCase(b.text), a, b, "stand-in hash");
  }
  std::sort(names.begin(), names.end(),
            [](const Name &a, const Name &b) { return standin::CompareHiveNames(a.units, b.units) < 0; });
  for (std::size_t i = 1; i < names.size(); ++i) {
    const Name &a = names[i - 1], &b = names[i];
    expect(upper[a.unit] <= upper[b.unit], a, b, "hive order");
    expect((standin::CompareHiveNames(a.units, b.units) == 0) == (upper[a.unit] == upper[b.unit]), a, b,
           "hive equality");
    expect(standin::HiveNameHash(b.units) == (u'X' * 37u + upper[b.unit]) * 37u + u'Y', b, b, "hive hash");
  }
  // Names that share a start and differ within or beside a surrogate (of a
  // pair, a lone one, one that stands for a byte) order as their whole
  // lower-case units do, wherever the comparison of their bytes stops: a
  // high surrogate in three bytes, say, is one unit or three as what
  // follows it says.
  const std::u16string starts[] = {u"", u"x", {0xD800}, {0xDCED, 0xDCA0, 0xDC80}, {0xD83D, 0xDE00}};
  const char16_t some[] = {0, u'a', u'B', 0xE9, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xDC80, 0xDCED, 0xFFFF};
  std::vector<Name> mixed;
  for (const std::u16string &start : starts) {
    for (char16_t x : some) {
      for (char16_t y : some) {
        Name name{x, start, {}};
        for (char16_t unit : {x, y}) name.units += unit ? std::u16string(1, unit) : u"";
        if (regfile::FromUtf16(name.units, name.text)) mixed.push_back(name);
      }
    }
  }
  auto lowered = [&](const std::u16string &units) {
    std::u16string out;
    for (char16_t unit : units) out += lower[unit];
    return out;
  };
  for (const Name &a : mixed) {
    for (const Name &b : mixed) {
      int want = lowered(a.units).compare(lowered(b.units)), got = regfile::CompareNoCase(a.text, b.text);
      expect((want < 0) == (got < 0) && (want == 0) == (got == 0), a, b, "stand-in order of surrogates");
    }
  }
  EXPECT_EQ(wrong, 0u) << "first: " << first;
}

TEST(RegFile, RefusesWhatIsNotARegistryFileNamingTheLine) {
  const std::string kUnknownData = "unknown data: regedit reads \"text\", dword:, hex: and hex(N): in lower case only";
  const std::string kNul = "a NUL in the line: regedit reads a line only up to it";
  std::string deep = "REGEDIT4\n[HKEY_USERS";
  for (int level = 1; level <= 513; ++level) deep += "\\k";
  struct Case {
    std::string text;
    std::string error;  // "line: reason"
  };
  const Case cases[] = {
      {"", "1: empty file: the first line must be REGEDIT4"},
      {"[HKEY_USERS\\A]\n", "1: the first line must be REGEDIT4 or Windows Registry Editor Version 5.00"},
      {"\xff\xfeW\0i\0", "1: UTF-16 text of an odd number of bytes: it may be cut short"},
      {std::string("\xff\xfeR\0E\0G\0E\0D\0I\0T\0\x34\0\n\0", 20),
       "1: the first line must be REGEDIT4 or Windows Registry Editor Version 5.00"},
      {"\xfe\xff\0R", "1: UTF-16 text in big-endian order is not read"},
      {std::string("R\0E\0G\0", 6), "1: UTF-16 text without a byte-order mark: it is read only after one (FF FE)"},
      {"REGEDIT4\n\"v\"=\"before any key\"\n", "2: a value before any [key] line"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=\"unterminated\n", "3: bad string data"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,0g\n", "3: bad value data"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,\n", "3: bad value data"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,\\\n", "3: the value runs on past the end of the file"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=dword:123456789\n", "3: bad dword data: it takes one to eight hex digits"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=dword:1", "3: the file ends inside dword data: it may be cut short"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex(100000001):00\n", "3: bad value data"},
      // What regedit reads otherwise: tags in upper case, a blank before a
      // comma, a byte split over a continuation, blanks after the header,
      // a NUL (regedit drops the rest of the line), a junk after a key.
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=DWORD:00000001\n", "3: " + kUnknownData},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=HEX:01\n", "3: " + kUnknownData},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=Hex(2):41,00\n", "3: " + kUnknownData},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01 ,02\n", "3: bad value data"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,0\\\n  2\n", "3: bad value data"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,\\\n[HKEY_USERS\\B]\n", "4: a hex list must go on with a hex digit"},
      {"REGEDIT4  \n[HKEY_USERS\\A]\n", "1: the first line must be REGEDIT4 or Windows Registry Editor Version 5.00"},
      {Utf16File(u"Windows Registry Editor Version 5.00\n[HKEY_USERS\\A]\n\"v\"=\"a\0b\"\n"s),
       "3: a NUL in the line: regedit reads a line only up to it"},
      {"REGEDIT4\n[HKEY_USERS\\A] x\n", "2: only a comment may follow the ] of a key line"},
      {"Windows Registry Editor Version 5.00\n[HKEY_USERS\\A]\n\"caf\xe9\"=\"x\"\n",
       "3: version 5 text that is neither UTF-16 nor UTF-8: regedit would read it in the machine's 8-bit code page"},
      {"Windows Registry Editor Version 5.00\n[HKEY_USERS\\A]\n\"p\"=hex(2):25,c3,a9,00\n",
       "3: hex(2) bytes beyond ASCII in a version 5 file saved as UTF-8: regedit reads them as characters of the "
       "machine's 8-bit code page (save the file as UTF-16)"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,02", "3: the file ends inside hex data: it may be cut short"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex(7):01,\\\n  02", "3: the file ends inside hex data: it may be cut short"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=\"a\\q\"\n", "3: bad string data"},
      {"REGEDIT4\n\n[HKEY_NOWHERE\\A]\n", "3: unknown root key HKEY_NOWHERE"},
      {"REGEDIT4\n[HKEY_USERS\\\\A]\n", "2: empty key name in the path"},
      {"REGEDIT4\n[HKEY_USERS\\A\n", "2: a key line must end with ]"},
      {"REGEDIT4\n[HKEY_USERS\\A]\njunk\n", "3: neither a [key], a value nor a comment"},
      {std::string("REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=\"x\"\0\n", 33), "3: " + kNul},
      {std::string("REGEDIT4\n[HKEY_USERS\\A]\n\"Mode\0x\"=\"other\"\n", 42), "3: " + kNul},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\rb\"=\"x\"\n", "3: a value name must be a quoted string"},
      {std::string("REGEDIT4\n[HKEY_USERS\\A\0B]\n", 27), "2: " + kNul},
      {"REGEDIT4\n[HKEY_USERS\\A\rB]\n", "2: a key line must end with ]"},
      {"REGEDIT4\n[-HKEY_USERS]\n", "2: a root key cannot be removed"},
      {deep + "]\n", "2: the key lies more than 512 levels deep"},
      {"REGEDIT4\n[HKEY_USERS\\A", "2: a key line must end with ]"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:0", "3: the file ends inside hex data: it may be cut short"},
      {std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0\xff\xfe\n",
                   14),
       "1: the first line must be REGEDIT4 or Windows Registry Editor Version 5.00"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    regfile::Key top;
    regfile::FileForm form;
    regfile::ParseError error;
    EXPECT_FALSE(regfile::Parse(c.text, top, form, error));
    EXPECT_EQ(std::to_string(error.line) + ": " + error.reason, c.error);
  }
}

TEST(RegFile, RemovalLinesDeleteKeysAndValues) {
  regfile::Key top = ParseOk(
      "REGEDIT4\n[HKEY_USERS\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n[HKEY_USERS\\A\\C]\n"
      "[-HKEY_USERS\\A\\C]\n[HKEY_USERS\\A\\B]\n\"X\"=-\n");
  EXPECT_EQ(DumpTree(top, "HKEY_USERS\\A"), "HKEY_USERS\\A\nHKEY_USERS\\A\\B\n  y = 1: 32 00\n");
  // Many removals, of a key's values in any case and of sibling keys, in
  // any order among other lines; the values more than a key holds in its
  // first block (see ValueList).
  const int count = 10000;
  std::string many = "REGEDIT4\n[HKEY_USERS\\M]\n", expected = "HKEY_USERS\\M\n";
  for (int i = 0; i < count; ++i) many += "\"v" + std::to_string(i) + "\"=hex:01\n";
  for (int i = 0; i < count; ++i) many += "[HKEY_USERS\\M\\k" + std::to_string(i) + "]\n";
  for (int i = 0; i < count; i += 3) {
    many += "[-HKEY_USERS\\M\\K" + std::to_string(i) + "]\n[HKEY_USERS\\M]\n\"V" + std::to_string(i) + "\"=-\n";
  }
  many += "[HKEY_USERS\\M]\n\"v0\"=hex:02\n";
  for (int i = 1; i < count; ++i) {
    if (i % 3 != 0) expected += "  v" + std::to_string(i) + " = 3: 01\n";
  }
  expected += "  v0 = 3: 02\n";
  std::vector<std::string> kept;
  for (int i = 0; i < count; ++i) {
    if (i % 3 != 0) kept.push_back("HKEY_USERS\\M\\k" + std::to_string(i) + "\n");
  }
  std::sort(kept.begin(), kept.end());
  for (const std::string &line : kept) expected += line;
  EXPECT_EQ(DumpTree(ParseOk(many), "HKEY_USERS\\M"), expected);
  // Removing what is not there creates nothing.
  regfile::Key none = ParseOk("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X\\Y]\n");
  EXPECT_TRUE(none.subkeys.empty());
}

}  // namespace
