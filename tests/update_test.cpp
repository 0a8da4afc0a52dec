// The update run in-process against the stand-in registry, with failures
// injected into chosen operations.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "regcopy/copy.h"
#include "tests/support.h"

namespace {

using standin::Fault;
using standin::Op;
using testsupport::Expected;
using testsupport::RegistryTest;

const char kSource[] = "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro";
const char kDestination[] = "HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro";

const char kProfile[] =
    "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro]\n"
    "\"A\"=\"one\"\n"
    "\"B\"=dword:00000002\n"
    "@=hex:01,02\n"
    "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Sub1]\n"
    "\"S\"=\"x\"\n"
    "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Sub1\\Deep]\n"
    "\"D\"=hex(0):\n"
    "\"E\"=\"y\"\n"
    "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Sub2]\n"
    "\"T\"=\"z\"\n"
    "[HKEY_CURRENT_USER\\Software]\n";

Fault MakeFault(Op op, const std::string &keyPath, LONG status) {
  Fault fault;
  fault.op = op;
  fault.keyPath = keyPath;
  fault.status = status;
  return fault;
}

// The destination subtree, written as if it were the source, so that the
// two dumps compare directly.
std::string CopiedAsSource(const regfile::Key &top) {
  std::string dump = testsupport::DumpTree(top, kDestination);
  const std::string from = kDestination, to = kSource;
  for (std::size_t at = dump.find(from); at != std::string::npos; at = dump.find(from, at + to.size()))
    dump.replace(at, from.size(), to);
  return dump;
}

class UpdateTest : public RegistryTest {
 protected:
  // A run on the profile above with one failure injected; every such run
  // reports errors.
  void RunFailing(const Fault &fault, const std::string &lines) {
    Load(kProfile);
    standin::Reset();
    standin::InjectFault(fault);
    auto result = Run();
    EXPECT_EQ(result.output, Expected(lines, true));
    EXPECT_EQ(result.status, 1);
    ExpectAllHandlesClosed();
  }
  void ExpectAllHandlesClosed() {
    EXPECT_EQ(standin::OpenHandleCount(), 0u);
    EXPECT_EQ(standin::PredefinedCloseCount(), 0u);
    EXPECT_EQ(standin::InvalidCloseCount(), 0u);
  }
};

TEST_F(UpdateTest, CopiesEveryKeyAndValueAndReportsSuccess) {
  Load(kProfile);
  auto result = Run();
  EXPECT_EQ(result.output, Expected("", false));
  EXPECT_EQ(result.status, 0);
  regfile::Key top = OnDisk();
  EXPECT_EQ(CopiedAsSource(top), testsupport::DumpTree(top, kSource));
  EXPECT_EQ(standin::CallCount(Op::Save), 1u);
  ExpectAllHandlesClosed();
}

// A run makes exactly the registry calls the copy needs, on a tree of keys
// with none to three values and none to three subkeys: each key is opened,
// created and closed on both sides, its values and subkeys enumerated up to
// the end of each list, and each value written once.
TEST_F(UpdateTest, ARunMakesOnlyTheCallsTheCopyNeeds) {
  std::vector<std::string> paths{kSource};
  std::string text;
  unsigned long values = 0;
  for (std::size_t key = 0; key < 40; ++key) {
    if (key > 0) paths.push_back(paths[(key - 1) / 3] + "\\K" + std::to_string(key));
    text += "[" + paths[key] + "]\n";
    for (std::size_t value = 0; value < key % 4; ++value, ++values)
      text += "\"V" + std::to_string(value) + "\"=hex:" + std::to_string(key % 10) + "\n";
  }
  Load(text + "[HKEY_CURRENT_USER\\Software]\n");
  ASSERT_EQ(Run().status, 0);
  const unsigned long keys = paths.size();
  // The two roots and the vendor key besides.
  const std::pair<Op, unsigned long> needed[] = {
      {Op::Open, keys + 2},   {Op::Create, keys + 1},      {Op::EnumValue, keys + values},
      {Op::SetValue, values}, {Op::EnumKey, 2 * keys - 1}, {Op::Close, 2 * keys + 3},
  };
  for (const auto &[op, calls] : needed) EXPECT_EQ(standin::CallCount(op), calls) << static_cast<int>(op);
}

TEST_F(UpdateTest, RootKeyFailuresAreReportedWithTheCallsOwnStatus) {
  struct Case {
    const char *what;
    Fault fault;
    std::string lines;
    bool copies;
  };
  const Case cases[] = {
      {"source root refused", MakeFault(Op::Open, "HKEY_USERS\\.DEFAULT\\Software", 5),
       "Error 5 occurred opening Software key for .DEFAULT user\n", false},
      {"destination root refused", MakeFault(Op::Open, "HKEY_CURRENT_USER\\Software", 5),
       "Error 5 occurred opening Current User Software key\n", false},
      {"source root close fails", MakeFault(Op::Close, "HKEY_USERS\\.DEFAULT\\Software", 6),
       "Error 6 occurred closing Default User key\n", true},
      {"destination root close fails", MakeFault(Op::Close, "HKEY_CURRENT_USER\\Software", 1016),
       "Error 1016 occurred closing current user key\n", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunFailing(c.fault, c.lines);
    EXPECT_EQ(Dump(kDestination) != "(missing)\n", c.copies);
    // No vendor key is asked for without a destination root.
    EXPECT_EQ(standin::CallCount(Op::Create), c.copies ? 5u : 0u);
  }
}

// Opening keys that are there already changes nothing: nothing is written
// back (the e2e case no-product-key shows the output and the vendor key).
TEST_F(UpdateTest, ARunThatChangesNothingWritesNothingBack) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Other]\n[HKEY_CURRENT_USER\\Software\\Norvane]\n");
  EXPECT_EQ(Run().status, 1);
  EXPECT_EQ(standin::CallCount(Op::Save), 0u);
}

TEST_F(UpdateTest, VendorKeyFailureIsSilentAndTheCopyGoesOn) {
  Load(kProfile);
  standin::InjectFault(MakeFault(Op::Create, "HKEY_CURRENT_USER\\Software\\Norvane", 5));
  auto result = Run();
  EXPECT_EQ(result.output, Expected("", false));
  EXPECT_NE(Dump(kDestination), "(missing)\n");
}

TEST_F(UpdateTest, CopyFailuresAreReportedAndTurnTheVerdict) {
  const std::string sub1 = std::string(kSource) + "\\Sub1";
  Fault writeDefault = MakeFault(Op::SetValue, kDestination, 5);
  writeDefault.valueName = "";
  Fault writeDeep = MakeFault(Op::SetValue, std::string(kDestination) + "\\Sub1\\Deep", 5);
  writeDeep.valueName = "D";
  Fault enumValue = MakeFault(Op::EnumValue, kSource, 1);
  enumValue.index = 1;
  Fault enumKey = MakeFault(Op::EnumKey, kSource, 1);
  enumKey.index = 1;
  struct Case {
    const char *what;
    Fault fault;
    std::string lines;
    const char *copied;     // still copied after the failure
    const char *notCopied;  // left out because of it
  };
  const Case cases[] = {
      {"top source key", MakeFault(Op::Open, kSource, 5), "Error opening source key Norvane\\Kelvaro\n", nullptr,
       "Kelvaro"},
      {"top destination key", MakeFault(Op::Create, kDestination, 5),
       "Error creating destination key Norvane\\Kelvaro\n", nullptr, "Kelvaro"},
      {"nested source key", MakeFault(Op::Open, sub1, 5), "Error opening source key Sub1\n", "Sub2", "Sub1"},
      {"nested destination key", MakeFault(Op::Create, std::string(kDestination) + "\\Sub1", 5),
       "Error creating destination key Sub1\n", "Sub2", "Sub1"},
      {"subkey enumeration", enumKey, "Error enumerating value at index 1\n", "Sub1", "Sub2"},
      {"value enumeration", enumValue, "Error enumerating value at index 1\n", "Sub2", "  B = "},
      {"default value write", writeDefault, "  Error writing value \n", "Sub2", "   = "},
      {"write at depth 3", writeDeep, "      Error writing value D\n", "Sub2", "  E = "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunFailing(c.fault, c.lines);
    std::string copy = Dump("HKEY_CURRENT_USER\\Software\\Norvane");
    if (c.copied) {
      EXPECT_NE(copy.find(c.copied), std::string::npos) << copy;
    }
    EXPECT_EQ(copy.find(c.notCopied), std::string::npos) << copy;
  }
}

// The registry holds keys up to 512 levels below a root: the product key's
// subtree up to 509 levels. It is copied whole, and so is the destination
// written back. (Deeper sources, only possible through links, are cut off by
// the copy itself; the Wine tests show that.)
TEST_F(UpdateTest, TheDeepestTreeTheRegistryHoldsIsCopiedWhole) {
  std::string path = kSource, text;
  for (int depth = 2; depth <= 509; ++depth) {
    path += "\\L" + std::to_string(depth);
    text += "[" + path + "]\n\"d\"=dword:0000000" + std::to_string(depth % 10) + "\n";
  }
  Load(text + "[HKEY_CURRENT_USER\\Software]\n");
  auto result = Run();
  EXPECT_EQ(result.output, Expected("", false));
  EXPECT_NE(Dump(kDestination).find("\\L509\n  d = 4: 09 00 00 00\n"), std::string::npos);
  ExpectAllHandlesClosed();
}

// The copy goes 512 levels deep, the product key being level 1: a chain
// that starts at level 1 is copied to its 512th key, one that starts at level
// 2 is cut off there. (The registry holds 512 levels below a root, so this
// chain hangs from HKEY_USERS itself.)
TEST_F(UpdateTest, TheCopyGoesExactly512LevelsDeep) {
  std::string path = "HKEY_USERS", text;
  for (int level = 1; level <= 512; ++level) {
    path += "\\C" + std::to_string(level);
    text += "[" + path + "]\n";
  }
  Load(text + "[HKEY_CURRENT_USER\\Software]\n");
  for (int start : {1, 2}) {
    SCOPED_TRACE(start);
    standin::Reset();
    testsupport::Capture out(1);
    out.Start();
    bool copied = CopyKeyTree(HKEY_USERS, HKEY_CURRENT_USER, u"C1", start);
    EXPECT_EQ(out.Text(), start == 1 ? "" : "Error opening source key C512\n");
    EXPECT_EQ(copied, start == 1);
    ExpectAllHandlesClosed();
  }
}

// The values alone, none of the subkeys; a failed write ends the key's
// values, indented by the depth given.
TEST_F(UpdateTest, CopyKeyValuesCopiesTheValuesOfOneKey) {
  for (bool failing : {false, true}) {
    SCOPED_TRACE(failing);
    Load(kProfile);
    standin::Reset();
    Fault fault = MakeFault(Op::SetValue, "HKEY_CURRENT_USER\\Software\\Copy", ERROR_ACCESS_DENIED);
    fault.valueName = "B";
    if (failing) standin::InjectFault(fault);
    HKEY source = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u".DEFAULT\\Software\\Norvane\\Kelvaro", 0, KEY_READ, &source), ERROR_SUCCESS);
    HKEY destination = OpenOrCreateKey(HKEY_CURRENT_USER, u"Software\\Copy");
    testsupport::Capture out(1);
    out.Start();
    EXPECT_EQ(CopyKeyValues(source, destination, 2), !failing);
    EXPECT_EQ(out.Text(), failing ? "    Error writing value B\n" : "");
    EXPECT_EQ(RegCloseKey(source) | RegCloseKey(destination), ERROR_SUCCESS);
    EXPECT_EQ(Dump("HKEY_CURRENT_USER\\Software\\Copy"),
              std::string("HKEY_CURRENT_USER\\Software\\Copy\n  A = 1: 6f 6e 65 00\n") +
                  (failing ? "" : "  B = 4: 02 00 00 00\n   = 3: 01 02\n"));
  }
}

// A value whose name holds a NUL (the platform's registry can hold one; the
// file cannot) is reported, not written under the name cut at the NUL, and
// the copy goes on.
// The line shows a lone surrogate (held in three bytes) as U+FFFD, and a
// pair as its character.
TEST_F(UpdateTest, AValueNameHoldingANulIsReportedNotWritten) {
  struct Case {
    std::string name;  // as the file holds it
    const char *shown;
  };
  const Case cases[] = {
      {std::string("Mode\0x", 6), "Mode<0000>x"},
      {std::string("Mode\0\xed\xa0\x80", 8), "Mode<0000>\xef\xbf\xbd"},
      {std::string("\xed\xbf\xbf\0Mode", 8), "\xef\xbf\xbd<0000>Mode"},
      {std::string("\xf0\x9f\x98\x80\0", 5), "\xf0\x9f\x98\x80<0000>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shown);
    Load(std::string(kProfile) + "[HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro]\n\"Mode\"=\"mine\"\n");
    ASSERT_TRUE(standin::PlantValue(kSource, c.name, REG_SZ, std::string("other\0", 6)));
    auto result = Run();
    EXPECT_EQ(result.output, Expected("  Error writing value " + std::string(c.shown) + "\n", true));
    EXPECT_EQ(result.status, 1);
  }
}

// A section of a .reg file that makes `key` a link to `target`, a path as
// the kernel names it.
std::string LinkSection(const std::string &key, const std::string &target) {
  std::string section = "[" + key + "]\n\"SymbolicLinkValue\"=hex(6):";
  const char kHex[] = "0123456789abcdef";
  for (unsigned char c : target)
    section += std::string(section.back() == ':' ? "" : ",") + kHex[c >> 4] + kHex[c & 15] + ",00";
  return section + "\n";
}

// Keys Other\K1, K2, ... each holding a link N to the next, Kelvaro\Out a
// link to K1: `links` links followed one inside another reach the value
// "end" of the last key.
std::string LinkChain(int links) {
  const std::string other = "HKEY_USERS\\.DEFAULT\\Software\\Other\\K",
                    target = "\\REGISTRY\\USER\\.DEFAULT\\Software\\Other\\K";
  std::string reg = LinkSection(std::string(kSource) + "\\Out", target + "1");
  for (int i = 1; i < links; ++i) reg += LinkSection(other + std::to_string(i) + "\\N", target + std::to_string(i + 1));
  return reg + "[" + other + std::to_string(links) + "]\n\"end\"=dword:00000001\n";
}

// A link leading outside the product key is followed, its target copied in
// its place; not one to where a link followed on the way led, nor one more
// than the copy's table of followed links holds.
TEST_F(UpdateTest, LinksAreFollowedOnceAndNoDeeperThanTheTableHolds) {
  const std::string k = "\\REGISTRY\\USER\\.DEFAULT\\Software\\Other\\K";
  struct Case {
    const char *what;
    std::string reg;
    const char *lines;
    bool copiesEnd;
    int keys;  // copied, the product key's own included
  };
  const Case cases[] = {
      {"one link", LinkChain(1), "", true, 2},
      {"back to where a link led",
       LinkChain(1) + LinkSection("HKEY_USERS\\.DEFAULT\\Software\\Other\\K1\\Again", k + "1"),
       "Error opening source key Again\n", true, 2},
      {"eight nested", LinkChain(8), "", true, 9},
      {"nine nested", LinkChain(9), "Error opening source key N\n", false, 9},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Load(std::string("[") + kSource + "]\n\"A\"=\"one\"\n" + c.reg + "[HKEY_CURRENT_USER\\Software]\n");
    auto result = Run();
    EXPECT_EQ(result.output, Expected(c.lines, *c.lines != 0));
    std::string copy = Dump(kDestination);
    EXPECT_EQ(copy.find("end = 4") != std::string::npos, c.copiesEnd) << copy;
    EXPECT_EQ(std::count(copy.begin(), copy.end(), '\n') - std::count(copy.begin(), copy.end(), '='), c.keys) << copy;
    EXPECT_EQ(copy.find("SymbolicLinkValue"), std::string::npos) << copy;
    ExpectAllHandlesClosed();
  }
}

// The platform counts a NUL that follows text whose length leaves it out;
// the copy's buffer holds the previous value's bytes there, so it makes
// them non-zero: "b" is written as it was read, without "a"'s NUL.
TEST_F(UpdateTest, TextIsWrittenWithTheLengthItWasRead) {
  Load(std::string("[") + kSource + "]\n\"a\"=hex(1):61,00,00,00\n\"b\"=hex(1):62\n[HKEY_CURRENT_USER\\Software]\n");
  standin::SetCallerDataSize(4096 + 2);
  EXPECT_EQ(Run().output, Expected("", false));
  EXPECT_EQ(Dump(kDestination), std::string(kDestination) + "\n  a = 1: 61 00 00 00\n  b = 1: 62\n");
}

}  // namespace
