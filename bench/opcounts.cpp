// Runs the update on a registry file and prints how many calls of each
// registry operation it made, beside what the copy needs at the least. The
// run's own report goes to standard output, the table to standard error.
//   LORIMEX_REGISTRY=tree.reg opcounts >/dev/null
#include <cstdio>

#include "app/update.h"
#include "regfile/reg_format.h"
#include "standin/registry_file.h"
#include "standin/testing/control.h"

namespace {

void CountTree(const regfile::Key &key, unsigned long &keys, unsigned long &values) {
  ++keys;
  values += key.values().size();
  for (const auto &subkey : key.subkeys) CountTree(*subkey, keys, values);
}

}  // namespace

int main() {
  regfile::Key top;
  {
    // Only to count the tree: the run below takes the lock itself.
    standin::RegistryLock lock;
    regfile::FileForm form;
    const standin::Configuration config = standin::ReadConfiguration();
    if (standin::LoadRegistry(standin::FindRegistryFile(config), config.codePage, lock, top, form) != ERROR_SUCCESS)
      return 1;
  }
  const regfile::Key *product = regfile::FindKeyPath(top, "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro");
  unsigned long keys = 0, values = 0;
  if (product) CountTree(*product, keys, values);

  RunUpdate();

  using standin::Op;
  struct Row {
    const char *name;
    Op op;
    unsigned long least;
  };
  // clang-format off
  const Row rows[] = {
      {"RegOpenKeyExW", Op::Open, keys + 2},
      {"RegCreateKeyExW", Op::Create, keys + 1},
      {"RegEnumValueW", Op::EnumValue, values + keys},
      {"RegSetValueExW", Op::SetValue, values},
      {"RegEnumKeyExW", Op::EnumKey, 2 * keys - 1},
      {"RegCloseKey", Op::Close, 2 * keys + 3},
  };
  // clang-format on
  std::fprintf(stderr, "tree: %lu keys, %lu values\n", keys, values);
  std::fprintf(stderr, "%-16s %10s %10s\n", "operation", "calls", "needed");
  bool exact = true;
  for (const Row &row : rows) {
    unsigned long calls = standin::CallCount(row.op);
    std::fprintf(stderr, "%-16s %10lu %10lu\n", row.name, calls, row.least);
    exact = exact && calls == row.least;
  }
  return exact ? 0 : 1;
}
