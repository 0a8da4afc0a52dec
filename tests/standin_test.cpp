// The stand-in registry behaves as the platform's does wherever the program
// can tell, and keeps its file whole.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RegistryTest;
using testsupport::WriteFile;

class StandinTest : public RegistryTest {
 protected:
  HKEY Open(HKEY parent, const char *path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(parent, path, 0, access, &key), ERROR_SUCCESS) << path;
    return key;
  }
  HKEY Create(HKEY parent, const char *path, DWORD *disposition = nullptr) {
    HKEY key = nullptr;
    char noClass[1] = "";
    EXPECT_EQ(RegCreateKeyExA(parent, path, 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS)
        << path;
    return key;
  }
  LONG Set(HKEY key, const char *name, const std::string &data, DWORD type = REG_BINARY) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                          static_cast<DWORD>(data.size()));
  }
  std::string SubkeyAt(HKEY key, DWORD index, LONG expected = ERROR_SUCCESS, DWORD capacity = 512) {
    char name[600] = "";
    FILETIME lastWrite;
    EXPECT_EQ(RegEnumKeyExA(key, index, name, &capacity, nullptr, nullptr, nullptr, &lastWrite), expected);
    return name;
  }
};

TEST_F(StandinTest, KeysOpenWithoutCaseAndCreateWholePaths) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Norvane]\n");
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
  for (HKEY key : {made, again, software}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(Dump("HKEY_USERS\\.DEFAULT\\Software\\Norvane"),
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\n"
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\New\n"
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\\New\\Deeper\n");
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

TEST_F(StandinTest, ChangesReachTheFileAtTheLastCloseAndNothingElseChanges) {
  const std::string others =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"keep\"=hex(2):25,00\n\n"
      "[HKEY_USERS\\S-1-5-18\\Empty]\n\n";
  Load(others);
  HKEY user = Create(HKEY_CURRENT_USER, "Software");
  HKEY key = Create(user, "Mine");
  EXPECT_EQ(Set(key, "v", std::string("\0\1", 2), 0x7777), ERROR_SUCCESS);
  EXPECT_EQ(Set(key, "v", "again", 0x7777), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(file_), "REGEDIT4\n\n" + others) << "written before the last close";
  EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(file_),
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER\\Software\\Mine]\n\"v\"=hex(7777):61,67,61,69,6e\n\n" +
                others);
  auto leftovers = std::distance(std::filesystem::directory_iterator(folder_), {});
  EXPECT_EQ(leftovers, 1) << "temporary file left beside the registry";
}

TEST_F(StandinTest, ARegistryBehindALinkIsWrittenWhereTheLinkPoints) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  const std::string link = folder_ + "/link.reg";
  std::filesystem::create_symlink(file_, link);
  setenv("LORIMEX_REGISTRY", link.c_str(), 1);
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\New");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(ReadFile(file_).find("[HKEY_CURRENT_USER\\Software\\New]"), std::string::npos);
}

TEST_F(StandinTest, AMissingFileIsEmptyAndOnlyAWriteCreatesIt) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  HKEY user = Open(HKEY_CURRENT_USER, "");
  EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(file_));
  user = Create(HKEY_CURRENT_USER, "Software");
  EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(file_), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n");
}

TEST_F(StandinTest, ACorruptFileFailsEveryOperationAndStaysAsItWas) {
  const std::string corrupt = "REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:zz\n";
  testsupport::WriteFile(file_, corrupt);
  ::testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "A", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "B", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(Set(HKEY_CURRENT_USER, "v", "x"), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "lorimex: " + file_ + ":3: bad value data\n");
  EXPECT_EQ(ReadFile(file_), corrupt);
}

TEST_F(StandinTest, MalformedFilesAreRefusedAndLeftAlone) {
  const std::string malformed[] = {
      "",
      "REGEDIT4\n[HKEY_USERS\\A",
      "REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:0",
      "REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=hex:01,xy\n",
      "REGEDIT4\n\"v\"=\"before any key\"\n",
      "[HKEY_USERS\\A]\n\"v\"=\"no header\"\n",
      std::string("\x7f"
                  "ELF\x02\x01\x01\0\0\0\xff\xfe\n",
                  14),
  };
  for (const std::string &text : malformed) {
    SCOPED_TRACE(text);
    testsupport::WriteFile(file_, text);
    standin::Reset();
    ::testing::internal::CaptureStderr();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "A", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Set(HKEY_USERS, "v", "x"), ERROR_REGISTRY_CORRUPT);
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.rfind("lorimex: " + file_ + ":", 0), 0u) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);
    EXPECT_EQ(ReadFile(file_), text);
  }
  std::filesystem::remove(file_);
  std::filesystem::create_directory(file_);
  standin::Reset();
  ::testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "A", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "lorimex: " + file_ + ": not a regular file\n");
  EXPECT_TRUE(std::filesystem::is_directory(file_));
}

TEST_F(StandinTest, AFailedWriteBackIsTheCloseStatusAndKeepsTheOldFile) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  const std::string before = ReadFile(file_);
  standin::Fault fault;
  fault.op = standin::Op::Save;
  fault.status = ERROR_REGISTRY_IO_FAILED;
  standin::InjectFault(fault);
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\New");
  EXPECT_EQ(RegCloseKey(key), ERROR_REGISTRY_IO_FAILED);
  EXPECT_EQ(ReadFile(file_), before);
}

// Each file the registry cannot use fails the first call with its status,
// promptly, and is left as it was.
TEST_F(StandinTest, FilesThatCannotBeUsedAreLeftAlone) {
  struct Case {
    const char *what;
    std::function<void()> prepare;
    LONG status;
  };
  const std::string fifo = folder_ + "/fifo.reg", sparse = folder_ + "/sparse.reg";
  const Case cases[] = {
      {"a FIFO", [&] { mkfifo(fifo.c_str(), 0600), setenv("LORIMEX_REGISTRY", fifo.c_str(), 1); },
       ERROR_REGISTRY_CORRUPT},
      {"a sparse file of 1 TB",
       [&] {
         WriteFile(sparse, "REGEDIT4\n");
         EXPECT_EQ(truncate(sparse.c_str(), off_t{1} << 40), 0);
         setenv("LORIMEX_REGISTRY", sparse.c_str(), 1);
       },
       ERROR_OUTOFMEMORY},
      {"a folder whose parent is missing",
       [&] { setenv("LORIMEX_REGISTRY", (folder_ + "/no/such/registry.reg").c_str(), 1); }, ERROR_PATH_NOT_FOUND},
      {"no absolute HOME or XDG_CONFIG_HOME",
       [] { unsetenv("LORIMEX_REGISTRY"), setenv("HOME", "home", 1), setenv("XDG_CONFIG_HOME", "config", 1); },
       ERROR_PATH_NOT_FOUND},
  };
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    c.prepare();
    HKEY key = nullptr;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), c.status);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("lorimex: "), std::string::npos);
  }
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  struct stat st {};
  EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat(sparse.c_str(), &st) == 0 && st.st_size == off_t{1} << 40);
}

// A save keeps the file's owner and never replaces a read-only file; a run
// clears what a run killed while saving left behind, and saves beside a file
// whose name is as long as names go.
TEST_F(StandinTest, SavingKeepsOwnerAndPermissionAndLeavesNothingBehind) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  const std::string before = ReadFile(file_);
  chmod(file_.c_str(), 0444);
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\New");
  EXPECT_EQ(RegCloseKey(key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(file_), before);

  standin::Reset();
  chmod(file_.c_str(), 0640);
  bool root = geteuid() == 0;
  if (root) {
    EXPECT_EQ(chown(file_.c_str(), 65534, 65534), 0);
  }
  WriteFile(folder_ + "/.lorimex-Ab12Cd", "left by a killed run");
  key = Create(HKEY_CURRENT_USER, "Software\\New");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  struct stat st {};
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(folder_)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"registry.reg"});

  standin::Reset();
  const std::string longName = folder_ + "/" + std::string(250, 'r') + ".reg";
  setenv("LORIMEX_REGISTRY", longName.c_str(), 1);
  key = Create(HKEY_CURRENT_USER, "Software\\New");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// A folder that cannot be locked is not used: run as an ordinary user, for
// whom a folder without read permission cannot be opened to lock it.
TEST_F(StandinTest, AFolderThatCannotBeLockedIsNotUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const std::string locked = folder_ + "/locked";
  mkdir(locked.c_str(), 0300);
  EXPECT_EQ(chown(locked.c_str(), 65534, 65534), 0);
  chmod(folder_.c_str(), 0711);
  pid_t child = fork();
  if (child == 0) {
    bool ok = setgid(65534) == 0 && setuid(65534) == 0;
    setenv("LORIMEX_REGISTRY", (locked + "/registry.reg").c_str(), 1);
    standin::Reset();
    HKEY key = nullptr;
    ok = ok && RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key) == ERROR_ACCESS_DENIED;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(StandinTest, ConcurrentRunsLoseNeithersWrites) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  pid_t children[2];
  for (int i = 0; i < 2; ++i) {
    children[i] = fork();
    if (children[i] == 0) {
      standin::Reset();
      HKEY software = nullptr;
      char noClass[1] = "";
      std::string name = "Writer" + std::to_string(i);
      bool ok = RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &software) == ERROR_SUCCESS;
      HKEY key = nullptr;
      ok = ok && RegCreateKeyExA(software, name.c_str(), 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                     ERROR_SUCCESS;
      usleep(100000);  // both runs hold their copy of the registry at once, were it not for the lock
      ok = ok && RegCloseKey(key) == ERROR_SUCCESS && RegCloseKey(software) == ERROR_SUCCESS;
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(
      Dump("HKEY_CURRENT_USER\\Software"),
      "HKEY_CURRENT_USER\\Software\nHKEY_CURRENT_USER\\Software\\Writer0\nHKEY_CURRENT_USER\\Software\\Writer1\n");
}

}  // namespace
