// Prints a registry subtree in a form that compares across registries: keys
// in enumeration order, each key's values sorted by name (one registry lists
// them in creation order, another in name order), data as hex.
//   regdump hku|hkcu PATH
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "registry/regfile.h"
#include "registry/registry.h"

namespace {

struct Entry {
  std::string name;
  DWORD type;
  std::vector<BYTE> data;
};

void PrintValues(HKEY key) {
  std::vector<Entry> entries;
  std::vector<char> name(16384);
  std::vector<BYTE> data(1 << 20);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataLength = static_cast<DWORD>(data.size());
    DWORD type = 0;
    LONG status = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      std::printf("  (value %lu: error %ld)\n", static_cast<unsigned long>(index), static_cast<long>(status));
      break;
    }
    entries.push_back(
        {std::string(name.data(), nameLength), type, std::vector<BYTE>(data.begin(), data.begin() + dataLength)});
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry &a, const Entry &b) { return regfile::Fold(a.name) < regfile::Fold(b.name); });
  for (const Entry &entry : entries) {
    std::printf("  \"%s\" %lu:", entry.name.c_str(), static_cast<unsigned long>(entry.type));
    for (BYTE byte : entry.data) std::printf(" %02x", byte);
    std::printf("\n");
  }
}

void PrintKey(HKEY parent, const std::string &name, const std::string &path) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) {
    std::printf("%s (error %ld)\n", path.c_str(), static_cast<long>(status));
    return;
  }
  std::printf("%s\n", path.c_str());
  PrintValues(key);
  std::vector<char> subkey(16384);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(subkey.size());
    FILETIME lastWrite;
    status = RegEnumKeyExA(key, index, subkey.data(), &length, nullptr, nullptr, nullptr, &lastWrite);
    if (status != ERROR_SUCCESS) break;
    std::string child(subkey.data(), length);
    PrintKey(key, child, path + "\\" + child);
  }
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: regdump hku|hkcu PATH\n");
    return 2;
  }
  HKEY root = std::string(argv[1]) == "hku" ? HKEY_USERS : HKEY_CURRENT_USER;
  PrintKey(root, argv[2], argv[2]);
  return 0;
}
