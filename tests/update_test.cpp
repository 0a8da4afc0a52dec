// The update run in-process against the stand-in registry, with failures
// injected into chosen operations.
#include <string>

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
std::string CopiedAsSource(const standin::Key &top) {
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
  standin::Key top = OnDisk();
  EXPECT_EQ(CopiedAsSource(top), testsupport::DumpTree(top, kSource));
  EXPECT_EQ(standin::CallCount(Op::Save), 1u);
  ExpectAllHandlesClosed();
}

TEST_F(UpdateTest, SecondRunCopiesTheSameValuesOverThemselves) {
  Load(kProfile);
  Run();
  std::string afterFirst = testsupport::ReadFile(file_);
  standin::Reset();
  auto result = Run();
  EXPECT_EQ(result.output, Expected("", false));
  EXPECT_EQ(testsupport::ReadFile(file_), afterFirst);
}

TEST_F(UpdateTest, MergesIntoAnExistingSubtreeKeepingItsNamesAndExtras) {
  Load(std::string(kProfile) +
       "[HKEY_CURRENT_USER\\Software\\NORVANE\\kelvaro]\n"
       "\"a\"=dword:00000009\n"
       "\"Extra\"=\"stays\"\n"
       "[HKEY_CURRENT_USER\\Software\\NORVANE\\kelvaro\\SUB1]\n"
       "\"Mine\"=\"too\"\n");
  EXPECT_EQ(Run().output, Expected("", false));
  EXPECT_EQ(Dump("HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro"),
            "HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\n"
            "  a = 1: 6f 6e 65 00\n"
            "  Extra = 1: 73 74 61 79 73 00\n"
            "  B = 4: 02 00 00 00\n"
            "   = 3: 01 02\n"
            "HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\\SUB1\n"
            "  Mine = 1: 74 6f 6f 00\n"
            "  S = 1: 78 00\n"
            "HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\\SUB1\\Deep\n"
            "  D = 0: \n"
            "  E = 1: 79 00\n"
            "HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro\\Sub2\n"
            "  T = 1: 7a 00\n");
  EXPECT_NE(Dump("HKEY_CURRENT_USER\\Software\\NORVANE").find("Software\\NORVANE\\kelvaro\n"), std::string::npos);
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
  }
}

TEST_F(UpdateTest, MissingSourceProfileLeavesTheCurrentUserUntouched) {
  Load("[HKEY_CURRENT_USER\\Software\\Other]\n\"v\"=\"1\"\n");
  std::string before = testsupport::ReadFile(file_);
  auto result = Run();
  EXPECT_EQ(result.output, Expected("Error 2 occurred opening Software key for .DEFAULT user\n", true));
  EXPECT_EQ(testsupport::ReadFile(file_), before);
  EXPECT_EQ(standin::CallCount(Op::Create), 1u);
}

TEST_F(UpdateTest, MissingProductKeyStillCreatesTheVendorKey) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Other]\n[HKEY_CURRENT_USER\\Software]\n");
  auto result = Run();
  EXPECT_EQ(result.output, Expected("Error opening source key Norvane\\Kelvaro\n", true));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(Dump("HKEY_CURRENT_USER\\Software\\Norvane"), "HKEY_CURRENT_USER\\Software\\Norvane\n");
  // Once the vendor key is there, opening it changes nothing to write back.
  standin::Reset();
  Run();
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

TEST_F(UpdateTest, ValuesBeyondTheBuffersEndTheKeysValueLoop) {
  std::string source = std::string("[") + kSource + "]\n";
  auto hexOf = [](std::size_t size) {
    std::string hex = "hex:";
    for (std::size_t i = 0; i < size; ++i) hex += i ? ",ab" : "ab";
    return hex;
  };
  source += "\"v0\"=\"a\"\n\"v1\"=" + hexOf(2048) + "\n\"" + std::string(511, 'n') + "\"=\"b\"\n";
  source += "\"v3\"=" + hexOf(2049) + "\n\"v4\"=\"never\"\n";
  source += std::string("[") + kSource + "\\Sub]\n\"" + std::string(512, 'm') + "\"=\"c\"\n";
  source += std::string("[") + kSource + "\\Sub\\" + std::string(511, 'k') + "]\n";
  source += std::string("[") + kSource + "\\Sub\\" + std::string(512, 'l') + "]\n";
  Load(source + "[HKEY_CURRENT_USER\\Software]\n");
  auto result = Run();
  EXPECT_EQ(result.output, Expected("Error enumerating value at index 3\n"
                                    "Error enumerating value at index 0\n"
                                    "Error enumerating value at index 1\n",
                                    true));
  std::string copy = Dump(kDestination);
  EXPECT_NE(copy.find("  v1 = 3: ab ab"), std::string::npos);
  EXPECT_NE(copy.find("  " + std::string(511, 'n') + " = 1"), std::string::npos);
  EXPECT_EQ(copy.find("v3"), std::string::npos);
  EXPECT_EQ(copy.find("v4"), std::string::npos);
  EXPECT_NE(copy.find("Sub\\" + std::string(511, 'k') + "\n"), std::string::npos);
  EXPECT_EQ(copy.find(std::string(512, 'l')), std::string::npos);
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

}  // namespace
