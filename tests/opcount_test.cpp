// The run makes exactly the registry calls the copy needs and no more.
#include "tests/support.h"

namespace {

using standin::Op;

class OperationCountTest : public testsupport::RegistryTest {};

TEST_F(OperationCountTest, EachKeyAndValueCostsExactlyTheCallsItNeeds) {
  // 6 keys (the product key and 5 below it, 2 levels deep) and 9 values.
  Load(
      "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro]\n\"a\"=\"1\"\n@=dword:00000002\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\One]\n\"b\"=hex:01\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\One\\Deep]\n\"c\"=\"3\"\n\"d\"=\"4\"\n\"e\"=\"5\"\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\One\\Empty]\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Two]\n\"f\"=\"6\"\n\"g\"=\"7\"\n"
      "[HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro\\Three]\n\"h\"=\"8\"\n"
      "[HKEY_CURRENT_USER\\Software]\n");
  ASSERT_EQ(Run().status, 0);
  const unsigned long keys = 6, values = 9, subkeys = keys - 1;
  // Per key: one open, one create, one value enumeration past the last value,
  // one subkey enumeration per subkey plus one past the last, two closes.
  // Per value: one enumeration and one write. The update run adds the two
  // root opens and closes and the vendor key's create and close.
  EXPECT_EQ(standin::CallCount(Op::Open), keys + 2);
  EXPECT_EQ(standin::CallCount(Op::Create), keys + 1);
  EXPECT_EQ(standin::CallCount(Op::EnumValue), values + keys);
  EXPECT_EQ(standin::CallCount(Op::SetValue), values);
  EXPECT_EQ(standin::CallCount(Op::EnumKey), subkeys + keys);
  EXPECT_EQ(standin::CallCount(Op::Close), 2 * keys + 3);
  EXPECT_EQ(standin::CallCount(Op::Save), 1u);
}

}  // namespace
