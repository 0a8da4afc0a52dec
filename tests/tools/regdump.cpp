// Prints a registry subtree in a form that compares across registries: keys
// in enumeration order, each key's values sorted by name (one registry lists
// them in creation order, another in name order), data as hex. The calls are
// the 8-bit ones (under the UTF-8 code page of the tools' manifest); with
// --wide the wide-character ones, names and string data converted to UTF-8
// for printing.
//   regdump [--wide] hku|hkcu PATH
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/tools/calls.h"

namespace {

struct Entry {
  std::string name;
  DWORD type;
  std::string data;
};

void PrintValues(HKEY key) {
  std::vector<Entry> entries;
  for (DWORD index = 0;; ++index) {
    Entry entry{{}, 0, {}};
    LONG status = calls::EnumValue(key, index, entry.name, entry.type, entry.data);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      std::printf("  (value %lu: error %ld)\n", static_cast<unsigned long>(index), static_cast<long>(status));
      break;
    }
    entries.push_back(std::move(entry));
  }
  // Any fixed order will do, as long as both registries print the same.
  std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
  for (const Entry &entry : entries) {
    std::printf("  \"%s\" %lu:", entry.name.c_str(), static_cast<unsigned long>(entry.type));
    for (char byte : entry.data) std::printf(" %02x", static_cast<unsigned char>(byte));
    std::printf("\n");
  }
}

void PrintKey(HKEY parent, const std::string &name, const std::string &path) {
  HKEY key = nullptr;
  LONG status = calls::Open(parent, name, key);
  if (status != ERROR_SUCCESS) {
    std::printf("%s (error %ld)\n", path.c_str(), static_cast<long>(status));
    return;
  }
  std::printf("%s\n", path.c_str());
  PrintValues(key);
  std::string child;
  for (DWORD index = 0; (status = calls::EnumKey(key, index, child)) == ERROR_SUCCESS; ++index)
    PrintKey(key, child, path + "\\" + child);
  if (status != ERROR_NO_MORE_ITEMS) std::printf("%s (subkeys: error %ld)\n", path.c_str(), static_cast<long>(status));
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char **argv) {
  if (calls::TakeWideOption(argc, argv) != 3) {
    std::fprintf(stderr, "usage: regdump [--wide] hku|hkcu PATH\n");
    return 2;
  }
  HKEY root = std::string(argv[1]) == "hku" ? HKEY_USERS : HKEY_CURRENT_USER;
  PrintKey(root, argv[2], argv[2]);
  return 0;
}
