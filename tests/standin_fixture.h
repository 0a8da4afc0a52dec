// The fixture of the stand-in's tests: a private registry file, standard
// error captured, and the calls spelled short.
#ifndef LORIMEX_TESTS_STANDIN_FIXTURE_H
#define LORIMEX_TESTS_STANDIN_FIXTURE_H

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support.h"

namespace testsupport {

class StandinTest : public RegistryTest {
 protected:
  testsupport::Capture stderrCapture{2};
  HKEY Open(HKEY parent, const char *path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(parent, path, 0, access, &key), ERROR_SUCCESS) << path;
    return key;
  }
  HKEY Create(HKEY parent, const char *path, DWORD *disposition = nullptr, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    char noClass[1] = "";
    EXPECT_EQ(RegCreateKeyExA(parent, path, 0, noClass, 0, access, nullptr, &key, disposition), ERROR_SUCCESS) << path;
    return key;
  }
  LONG Set(HKEY key, const char *name, const std::string &data, DWORD type = REG_BINARY) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                          static_cast<DWORD>(data.size()));
  }
  std::vector<std::string> FolderEntries() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string SubkeyAt(HKEY key, DWORD index, LONG expected = ERROR_SUCCESS, DWORD capacity = 512) {
    char name[600] = "";
    FILETIME lastWrite;
    EXPECT_EQ(RegEnumKeyExA(key, index, name, &capacity, nullptr, nullptr, nullptr, &lastWrite), expected);
    return name;
  }
};

}  // namespace testsupport

#endif
