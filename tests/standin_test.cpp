// The stand-in registry behaves as the platform's does wherever the program
// can tell, and keeps its file whole.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "standin/store_linux.h"
#include "tests/support.h"

namespace {

using testsupport::ReadFile;
using testsupport::RegistryTest;
using testsupport::WriteFile;

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

TEST_F(StandinTest, KeysOpenWithoutCaseAndCreateWholePaths) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Norvane]\n");
  standin::ActAsAdministrator(true);
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
  // A value name holds at most 16,383 characters, as on the platform.
  EXPECT_EQ(RegSetValueExA(software, std::string(16383, 'n').c_str(), 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(software, std::string(16384, 'n').c_str(), 0, REG_BINARY, nullptr, 0),
            ERROR_INVALID_PARAMETER);
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

// The wide calls keep every unit exactly: a byte that is not UTF-8 travels
// as a unit of its own, a lone surrogate is held in three bytes; text of an
// odd length, and units that stand for bytes of a character, are refused. Nothing past the caller's count is read
// unless the caller's buffer is known to hold it (an exact heap buffer here).
TEST_F(StandinTest, WideCallsKeepEveryUnitExactly) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  HKEY key = Open(HKEY_CURRENT_USER, "Software");
  auto set = [key](std::u16string name, std::u16string text, DWORD type = REG_SZ, DWORD drop = 0) {
    standin::SetCallerDataSize(2 * text.size());
    return RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(text.data()),
                          static_cast<DWORD>(2 * text.size() - drop));
  };
  EXPECT_EQ(set(u"a\xD800", u"x"), ERROR_SUCCESS);
  EXPECT_EQ(set(u"b", std::u16string(u"A\xD800", 2)), ERROR_SUCCESS);
  EXPECT_EQ(set(u"c", u"AB", REG_MULTI_SZ, 1), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(set(u"d", u"\xDCC3\xDCA9", REG_EXPAND_SZ), ERROR_NO_UNICODE_TRANSLATION) << "would read back as é";
  EXPECT_EQ(set(u"e\xDCE9", std::u16string(u"\xDCE9\0", 2)), ERROR_SUCCESS);
  EXPECT_EQ(set(u"f", std::u16string(u"x\0", 2), REG_SZ, 2), ERROR_SUCCESS) << "the NUL after it is counted";
  EXPECT_EQ(set(u"g", std::u16string(u"\xD800", 1), REG_BINARY), ERROR_SUCCESS);
  standin::SetCallerDataSize(0);
  std::vector<BYTE> exact{'a', 0, 'b', 0};
  EXPECT_EQ(RegSetValueExW(key, u"h", 0, REG_SZ, exact.data(), 4), ERROR_SUCCESS);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(key, u"k\xD800", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(key, u"K\xD800", 0, KEY_READ, &sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  char16_t name[8];
  BYTE data[8];
  DWORD nameLength = 8, dataLength = 8, type = 0;
  ASSERT_EQ(RegEnumValueW(key, 2, name, &nameLength, nullptr, &type, data, &dataLength), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, nameLength), u"e\xDCE9");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(data), dataLength), std::string("\xE9\xDC\0\0", 4));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(Dump("HKEY_CURRENT_USER\\Software"),
            "HKEY_CURRENT_USER\\Software\n  a\xED\xA0\x80 = 1: 78\n  b = 1: 41 ed a0 80\n"
            "  e\xE9 = 1: e9 00\n  f = 1: 78 00\n  g = 3: 00 d8\n  h = 1: 61 62\n"
            "HKEY_CURRENT_USER\\Software\\k\xED\xA0\x80\n");
}

// In a REGEDIT4 file of code page 1252 (LORIMEX_CODEPAGE), the wide calls
// take only what it can write, and the file stays in it.
TEST_F(StandinTest, AFileInACodePageTakesOnlyWhatItCanWrite) {
  Load("[HKEY_CURRENT_USER\\Software]\n\"caf\xE9\"=\"\"\n");
  setenv("LORIMEX_CODEPAGE", "1252", 1);
  HKEY key = Open(HKEY_CURRENT_USER, "Software");
  unsetenv("LORIMEX_CODEPAGE");
  EXPECT_EQ(RegSetValueExW(key, u"CAF\xC9", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"\x20AC"), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, u"\x0416", 0, REG_SZ, reinterpret_cast<const BYTE *>(u"x"), 4),
            ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(testsupport::ReadFile(file_), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"caf\xE9\"=\"\x80\"\n\n");
}

// The registry nests keys at most 512 levels below a root; nothing may
// make a deeper one, or the file could not be read again.
TEST_F(StandinTest, NoKeyIsCreatedDeeperThan512Levels) {
  std::string path = "L1";
  for (int level = 2; level <= 512; ++level) path += "\\L" + std::to_string(level);
  HKEY key = Create(HKEY_USERS, path.c_str());
  HKEY deeper = nullptr;
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(key, "L513", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_NE(ReadFile(file_).find("\\L512]"), std::string::npos);
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

// A handle keeps what its create asked for; the default profile grants a
// user who is not an administrator reading only, whatever the handle.
TEST_F(StandinTest, CreatesGrantWhatTheyAskAndTheDefaultProfileOnlyReads) {
  Load("[HKEY_USERS\\.DEFAULT\\Software\\Norvane]\n[HKEY_CURRENT_USER\\Software]\n");
  HKEY reader = Create(HKEY_CURRENT_USER, "Software\\A", nullptr, KEY_READ);
  HKEY refused = nullptr;
  EXPECT_EQ(Set(reader, "x", "1"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(reader, "B", 0, nullptr, 0, KEY_WRITE, nullptr, &refused, nullptr), ERROR_ACCESS_DENIED);
  HKEY writer = Create(HKEY_CURRENT_USER, "Software\\A", nullptr, KEY_WRITE | KEY_WOW64_64KEY);
  EXPECT_EQ(Set(writer, "x", "1"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyAt(writer, 0, ERROR_ACCESS_DENIED), "");
  HKEY readable = Open(HKEY_USERS, ".DEFAULT\\Software\\Norvane", KEY_READ | KEY_WOW64_64KEY);
  for (REGSAM more : {KEY_ALL_ACCESS, KEY_WRITE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY}) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, more, &refused), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, nullptr, 0, more, nullptr, &refused, nullptr),
              ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(RegCreateKeyExA(readable, "New", 0, nullptr, 0, KEY_READ, nullptr, &refused, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software\\New", 0, nullptr, 0, KEY_READ, nullptr, &refused, nullptr),
            ERROR_ACCESS_DENIED);
  for (HKEY open : {reader, writer, readable}) EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
  EXPECT_EQ(Dump("HKEY_USERS\\.DEFAULT\\Software"),
            "HKEY_USERS\\.DEFAULT\\Software\n"
            "HKEY_USERS\\.DEFAULT\\Software\\Norvane\n");
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
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"registry.reg"})) << "a file left beside the registry";

  // A session that changed nothing ends at its last close too: the lock is
  // let go, and the next session reads the file anew.
  HKEY read = Open(HKEY_CURRENT_USER, "Software\\Mine", KEY_READ);
  EXPECT_EQ(RegCloseKey(read), ERROR_SUCCESS);
  int other = open(file_.c_str(), O_RDWR);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the lock is still held";
  close(other);
  Load("[HKEY_CURRENT_USER\\Software\\Other]\n");
  EXPECT_EQ(RegCloseKey(Open(HKEY_CURRENT_USER, "Software\\Other", KEY_READ)), ERROR_SUCCESS);
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
  // In a fresh home, the default folder is made with its parents, by the
  // first run that writes.
  unsetenv("LORIMEX_REGISTRY");
  setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/config"));
  EXPECT_EQ(RegCloseKey(Create(HKEY_CURRENT_USER, "Software")), ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_regular_file(folder_ + "/config/lorimex/registry.reg"));
  unsetenv("XDG_CONFIG_HOME");
  standin::Reset();
  setenv("LORIMEX_REGISTRY", file_.c_str(), 1);
  standin::Reset();
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
  stderrCapture.Start();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "A", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "B", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(Set(HKEY_CURRENT_USER, "v", "x"), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(stderrCapture.Text(), "lorimex: " + file_ + ":3: bad value data\n");
  EXPECT_EQ(ReadFile(file_), corrupt);
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
    std::string line = "lorimex: ";  // within the one line on standard error
  };
  const std::string fifo = folder_ + "/fifo.reg", sparse = folder_ + "/sparse.reg", folder = folder_ + "/folder.reg";
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  int held = -1;
  const Case cases[] = {
      {"no descriptor left",
       [&] {
         rlimit none = files;
         none.rlim_cur = static_cast<rlim_t>(dup(0));
         close(static_cast<int>(none.rlim_cur));
         setrlimit(RLIMIT_NOFILE, &none);
       },
       ERROR_TOO_MANY_OPEN_FILES},
      {"a lock held longer than a run waits",
       [&] {
         Load("");
         held = open(file_.c_str(), O_RDWR);
         EXPECT_EQ(flock(held, LOCK_EX), 0);
       },
       ERROR_SHARING_VIOLATION, "held by process " + std::to_string(getpid()) + " for more than 10 seconds"},
      {"a FIFO", [&] { mkfifo(fifo.c_str(), 0600), setenv("LORIMEX_REGISTRY", fifo.c_str(), 1); },
       ERROR_REGISTRY_CORRUPT},
      {"a folder", [&] { mkdir(folder.c_str(), 0700), setenv("LORIMEX_REGISTRY", folder.c_str(), 1); },
       ERROR_REGISTRY_CORRUPT},
      {"a sparse file of 1 TB",
       [&] {
         WriteFile(sparse, "REGEDIT4\n");
         EXPECT_EQ(truncate(sparse.c_str(), off_t{1} << 40), 0);
         setenv("LORIMEX_REGISTRY", sparse.c_str(), 1);
       },
       ERROR_OUTOFMEMORY},
      {"a folder whose parent is missing",
       [&] { setenv("LORIMEX_REGISTRY", (folder_ + "/no/such/registry.reg").c_str(), 1); }, ERROR_PATH_NOT_FOUND,
       "no/such: no such folder"},
      {"a file in the path", [&] { setenv("LORIMEX_REGISTRY", (file_ + "/registry.reg").c_str(), 1); },
       ERROR_PATH_NOT_FOUND, "Not a directory"},
      {"a loop of links",
       [&] {
         std::filesystem::create_symlink("loop.reg", folder_ + "/loop.reg");
         setenv("LORIMEX_REGISTRY", (folder_ + "/loop.reg").c_str(), 1);
       },
       ERROR_CANT_RESOLVE_FILENAME, "Too many levels of symbolic links"},
      {"a name too long", [&] { setenv("LORIMEX_REGISTRY", (folder_ + "/" + std::string(300, 'n')).c_str(), 1); },
       ERROR_FILENAME_EXCED_RANGE, "File name too long"},
      {"no absolute HOME or XDG_CONFIG_HOME",
       [] { unsetenv("LORIMEX_REGISTRY"), setenv("HOME", "home", 1), setenv("XDG_CONFIG_HOME", "config", 1); },
       ERROR_PATH_NOT_FOUND, "no registry file"},
  };
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    stderrCapture.Start();
    c.prepare();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), c.status);
    setrlimit(RLIMIT_NOFILE, &files);
    EXPECT_NE(stderrCapture.Text().find(c.line), std::string::npos) << c.line;
  }
  close(held);
  // Nothing was made: no lock file, no folder.
  EXPECT_EQ(FolderEntries(),
            (std::vector<std::string>{"fifo.reg", "folder.reg", "loop.reg", "registry.reg", "sparse.reg"}));
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  struct stat st {};
  EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat(sparse.c_str(), &st) == 0 && st.st_size == off_t{1} << 40);
  EXPECT_TRUE(stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// Hive files (LORIMEX_DEFAULT_HIVE, LORIMEX_USER_HIVE) made by the test
// tools' hivetool, from the format alone.
class HiveTest : public StandinTest {
 protected:
  void SetUp() override {
    StandinTest::SetUp();
    defaults_ = folder_ + "/default.hiv", user_ = folder_ + "/NTUSER.DAT";
    Hivetool("blank " + defaults_);
    Hivetool("blank " + user_);
    setenv("LORIMEX_DEFAULT_HIVE", defaults_.c_str(), 1);
    setenv("LORIMEX_USER_HIVE", user_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("LORIMEX_DEFAULT_HIVE");
    unsetenv("LORIMEX_USER_HIVE");
    StandinTest::TearDown();
  }
  static void Hivetool(const std::string &arguments) {
    EXPECT_EQ(std::system((std::string(HIVETOOL) + " " + arguments).c_str()), 0) << arguments;
  }
  // A session that creates Software\Norvane\KEY and sets a value in it.
  LONG Change(const char *key, const std::string &data) {
    standin::Reset();
    HKEY created = nullptr;
    char noClass[1] = "";
    std::string path = std::string("Software\\Norvane\\") + key;
    LONG status =
        RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    if (status == ERROR_SUCCESS) status = Set(created, "Value", data);
    LONG closed = created ? RegCloseKey(created) : ERROR_SUCCESS;
    return status != ERROR_SUCCESS ? status : closed;
  }
  std::string defaults_, user_;
};

// A hive Windows has not finished with, or one that is not whole, is
// refused as it is, with a line naming it.
TEST_F(HiveTest, HivesNotFinishedWithOrNotWholeAreRefusedUnchanged) {
  struct Case {
    const char *what;
    std::function<void()> damage;
    LONG status;
    const char *says;
  };
  const Case cases[] = {
      {"sequence numbers that differ: it needs recovery", [&] { Hivetool("sequence " + user_ + " 3 2"); },
       ERROR_SHARING_VIOLATION, "needs recovery"},
      {"a log entry newer than the hive", [&] { Hivetool("log " + user_ + " " + user_ + ".LOG1 1 2"); },
       ERROR_SHARING_VIOLATION, ".LOG1 holds changes newer"},
      {"a log, named as Windows names it, begun after the hive",
       [&] { Hivetool("log " + user_ + " " + folder_ + "/ntuser.dat.LOG2 7"); }, ERROR_SHARING_VIOLATION,
       "ntuser.dat.LOG2 holds changes newer"},
      {"cut at the end of its base block", [&] { EXPECT_EQ(truncate(user_.c_str(), 4096), 0); }, ERROR_REGISTRY_CORRUPT,
       "cut short"},
      {"cut within a bin", [&] { EXPECT_EQ(truncate(user_.c_str(), 6000), 0); }, ERROR_REGISTRY_CORRUPT, "cut short"},
      {"cut at the end of a bin",
       [&] {
         for (int i = 0; i < 64; ++i) EXPECT_EQ(Change(("k" + std::to_string(i)).c_str(), std::string(100, 'x')), 0);
         EXPECT_EQ(truncate(user_.c_str(), 8192), 0);
       },
       ERROR_REGISTRY_CORRUPT, "cut short"},
      {"a bad checksum",
       [&] {
         std::string hive = ReadFile(user_);
         hive[100] ^= 1;
         WriteFile(user_, hive);
       },
       ERROR_REGISTRY_CORRUPT, "bad checksum"},
      {"junk", [&] { WriteFile(user_, std::string(16384, '\x5A')); }, ERROR_REGISTRY_CORRUPT, "not a usable hive"},
      {"a .reg file", [&] { WriteFile(user_, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n"); }, ERROR_REGISTRY_CORRUPT,
       "not a usable hive"},
      {"only one of the two variables set", [&] { unsetenv("LORIMEX_DEFAULT_HIVE"); }, ERROR_PATH_NOT_FOUND,
       "LORIMEX_DEFAULT_HIVE is not set"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.damage();
    const std::string before = ReadFile(user_);
    standin::Reset();
    stderrCapture.Start();
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), c.status);
    std::string line = stderrCapture.Text();
    // One line, naming the file (or the variable that is missing), and why.
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_NE(line.find(c.status == ERROR_PATH_NOT_FOUND ? "lorimex: " : "lorimex: " + user_ + ": "), line.npos)
        << line;
    EXPECT_NE(line.find(c.says), std::string::npos) << line;
    EXPECT_EQ(ReadFile(user_), before);
    TearDown();
  }
}

// Only the user's hive is written, only when something changed, and as
// Windows reads it back; an old log beside it is no reason to refuse it.
TEST_F(HiveTest, OnlyTheUsersHiveTakesChangesAndOnlyWhenThereAreAny) {
  chmod(defaults_.c_str(), 0444);
  const std::string defaults = ReadFile(defaults_);
  ASSERT_EQ(Change("Kelvaro", "1"), ERROR_SUCCESS);
  Hivetool("check " + user_);
  Hivetool("log " + user_ + " " + user_ + ".LOG1 1 1");
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(user_.c_str(), &before), 0);
  EXPECT_EQ(Change("Kelvaro", "1"), ERROR_SUCCESS);
  ASSERT_EQ(stat(user_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "a run that changed nothing wrote the hive";
  EXPECT_EQ(Change("Kelvaro", "2"), ERROR_SUCCESS);
  ASSERT_EQ(stat(user_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  Hivetool("check " + user_);
  EXPECT_EQ(ReadFile(defaults_), defaults);
  // Nothing may be created or set in the default profile's hive, not even
  // by an administrator.
  standin::Reset();
  standin::ActAsAdministrator(true);
  HKEY key = nullptr;
  char noClass[1] = "";
  EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, ".DEFAULT\\Software", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  // Nor a key name longer than Windows allows (255 characters).
  standin::Reset();
  EXPECT_EQ(Change(std::string(256, 'k').c_str(), "1"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Change(std::string(255, 'k').c_str(), "1"), ERROR_SUCCESS);
  Hivetool("check " + user_);
  standin::Reset();
  standin::ActAsAdministrator(true);
  // Nor in a root no hive holds: a save could not keep it.
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFile(defaults_), defaults);
}

// A hive of format 1.3 (before "lh" lists) gets the lists its Windows reads.
TEST_F(HiveTest, AnOlderHiveGetsTheListsOfItsFormat) {
  Hivetool("blank " + user_ + " 3");
  for (const char *name : {"Zeta", "\xC5\xA0koda", "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87", "alpha"})
    EXPECT_EQ(Change(name, "1"), ERROR_SUCCESS) << name;
  Hivetool("check " + user_);
}

// Root servicing a user's profile: the hive stays the user's, and the user
// can run on it afterwards.
TEST_F(HiveTest, ARootRunOnAUsersHiveKeepsItTheirs) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  chmod(folder_.c_str(), 0777);
  ASSERT_EQ(chown(user_.c_str(), 65534, 65534) | chmod(user_.c_str(), 0600) | chmod(defaults_.c_str(), 0644), 0);
  ASSERT_EQ(Change("Kelvaro", "root"), ERROR_SUCCESS);
  struct stat st {};
  ASSERT_EQ(stat(user_.c_str(), &st), 0);
  EXPECT_TRUE(st.st_uid == 65534 && st.st_gid == 65534 && (st.st_mode & 07777) == 0600);
  pid_t child = fork();
  if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && Change("Kelvaro", "user") == ERROR_SUCCESS ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the owner cannot run after root";
  Hivetool("check " + user_);
}

// Every extended attribute of a file, the access list among them.
std::string Attributes(const std::string &path) {
  char names[4096], value[4096];
  ssize_t size = listxattr(path.c_str(), names, sizeof names);
  std::string all;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    ssize_t length = getxattr(path.c_str(), names + at, value, sizeof value);
    all += std::string(names + at) + "=" + std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
  }
  return all;
}

// A save keeps who may use the file (owner, permissions, access list,
// attributes) or does not replace it. A run clears what a run killed while
// saving left behind, and only that; it saves beside a file whose name is
// as long as names go.
TEST_F(StandinTest, SavingKeepsWhoMayUseTheFileOrLeavesItAlone) {
  struct Case {
    const char *what;
    std::function<void()> prepare;
    LONG status;
    std::string line = "";  // within the line on standard error
  };
  standin::SystemCalls &calls = standin::StoreCalls();
  auto inodeFlags = [&](int set) {
    int fd = open(file_.c_str(), O_RDONLY), flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && set >= 0) flags |= set, ioctl(fd, FS_IOC_SETFLAGS, &flags);
    close(fd);
    return flags & (FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL);
  };
  const std::string link = folder_ + "/link.reg";
  // user::rw- user:65534:rw- group::r-- mask::rw- other::r--, as the kernel stores it.
  const unsigned char acl[] = {2, 0,   0,   0,   1,   0,   6,  0, 255, 255, 255, 255, 2,   0,  6,
                               0, 254, 255, 0,   0,   4,   0,  4, 0,   255, 255, 255, 255, 16, 0,
                               6, 0,   255, 255, 255, 255, 32, 0, 4,   0,   255, 255, 255, 255};
  const Case cases[] = {
      {"a read-only file", [&] { chmod(file_.c_str(), 0444); }, ERROR_ACCESS_DENIED},
      {"a second hard link", [&] { EXPECT_EQ(::link(file_.c_str(), link.c_str()), 0); }, ERROR_ACCESS_DENIED},
      {"an access list and an attribute",
       [&] {
         chmod(file_.c_str(), 0640);
         EXPECT_EQ(setxattr(file_.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
         EXPECT_EQ(setxattr(file_.c_str(), "user.note", "kept", 4, 0), 0);
         // Root acts as the owner, who may write the folder.
         if (geteuid() == 0) {
           EXPECT_EQ(chown(file_.c_str(), 65534, 65534) | chown(folder_.c_str(), 65534, 65534), 0);
         }
       },
       ERROR_SUCCESS},
      {"inode flags (chattr +d +A +S)", [&] { inodeFlags(FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL); }, ERROR_SUCCESS},
      {"owners that cannot change (chown gives ENOSYS)",
       [&] { calls.fchown = [](int, uid_t, gid_t) { return errno = ENOSYS, -1; }; }, ERROR_SUCCESS},
      {"a group the user is not in",
       [&] {
         EXPECT_EQ(chown(file_.c_str(), geteuid(), 65534), 0);
         calls.fchown = [](int, uid_t, gid_t) { return errno = EPERM, -1; };
       },
       ERROR_ACCESS_DENIED, "has the group nogroup, which"},
      {"a flush that fails", [&] { calls.fsync = [](int) { return errno = EIO, -1; }; }, ERROR_REGISTRY_IO_FAILED,
       "not saved: Input/output error"},
      {"a rename that fails",
       [&] { calls.rename = [](const char *, const char *, bool) { return errno = EXDEV, -1; }; },
       ERROR_REGISTRY_IO_FAILED, "not saved: Invalid cross-device link"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Load("[HKEY_CURRENT_USER\\Software]\n");
    standin::Reset();
    c.prepare();
    struct stat before {
    }, after{};
    stat(file_.c_str(), &before);
    const std::string text = ReadFile(file_), attributes = Attributes(file_);
    const int flags = inodeFlags(-1);
    stderrCapture.Start();
    EXPECT_EQ(RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\New")), c.status);
    std::string errors = stderrCapture.Text();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), c.status == ERROR_SUCCESS ? 0 : 1) << errors;
    EXPECT_NE(errors.find(c.line), std::string::npos) << errors;
    stat(file_.c_str(), &after);
    EXPECT_TRUE(after.st_uid == before.st_uid && after.st_gid == before.st_gid && after.st_mode == before.st_mode);
    EXPECT_EQ(Attributes(file_), attributes);
    EXPECT_EQ(inodeFlags(-1), flags);
    EXPECT_EQ(ReadFile(file_) == text, c.status != ERROR_SUCCESS) << "replaced, or not saved";
    // Nothing is left beside the registry, the temporary of a failed save
    // included.
    std::filesystem::remove(link);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"registry.reg"});
    int fd = open(file_.c_str(), O_RDONLY), none = 0;
    ioctl(fd, FS_IOC_SETFLAGS, &none);
    close(fd);
    chmod(file_.c_str(), 0644);
    EXPECT_EQ(chown(file_.c_str(), geteuid(), getegid()) | chown(folder_.c_str(), geteuid(), getegid()), 0);
    removexattr(file_.c_str(), "system.posix_acl_access");
    standin::RestoreStoreCalls();
  }

  standin::Reset();
  for (const char *name : {".registry.reg.lorimex-save-Ab12Cd", ".registry.reg.lorimex-save-Ab12Cd7", ".lorimex-Ab12Cd",
                           ".lorimex-config"})
    WriteFile(folder_ + "/" + name, "left by a killed run, or the user's own");
  std::filesystem::create_symlink(file_, folder_ + "/.registry.reg.lorimex-save-Zz99Yy");
  EXPECT_EQ(RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\New")), ERROR_SUCCESS);
  EXPECT_EQ(FolderEntries(),
            (std::vector<std::string>{".lorimex-Ab12Cd", ".lorimex-config", ".registry.reg.lorimex-save-Ab12Cd7",
                                      ".registry.reg.lorimex-save-Zz99Yy", "registry.reg"}));

  standin::Reset();
  const std::string longName = folder_ + "/" + std::string(250, 'r') + ".reg";
  setenv("LORIMEX_REGISTRY", longName.c_str(), 1);
  EXPECT_EQ(RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\New")), ERROR_SUCCESS);
}

// Run as an ordinary user (root may do anything): a folder it cannot write
// holds no lock of its, a file it may not read is refused for what it is,
// and a file it may write but not give back to its owner is not replaced.
TEST_F(StandinTest, WhatAnotherUserMayNotDoFailsAsAccessDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  struct Case {
    const char *what;
    mode_t folderMode, fileMode;
    bool save;  // the failure comes when the change is written back
  };
  const Case cases[] = {
      {"a folder it cannot write", 0555, 0644, true},
      {"a file it may not read", 0777, 0600, false},
      {"a group-writable file of another owner", 0775, 0664, true},
  };
  chmod(folder_.c_str(), 0711);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = folder_ + "/" + std::to_string(c.folderMode) + std::to_string(c.fileMode);
    const std::string file = folder + "/registry.reg";
    mkdir(folder.c_str(), c.folderMode);
    WriteFile(file, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n");
    EXPECT_EQ(chown(folder.c_str(), 0, 65534) | chmod(folder.c_str(), c.folderMode), 0);
    EXPECT_EQ(chown(file.c_str(), 0, 65534) | chmod(file.c_str(), c.fileMode), 0);
    pid_t child = fork();
    if (child == 0) {
      bool ok = setgid(65534) == 0 && setuid(65534) == 0;
      setenv("LORIMEX_REGISTRY", file.c_str(), 1);
      standin::Reset();
      HKEY key = nullptr;
      char noClass[1] = "";
      LONG status =
          RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (c.save && status == ERROR_SUCCESS) status = RegCloseKey(key);
      _exit(ok && status == ERROR_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st {};
    EXPECT_TRUE(stat(file.c_str(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == c.fileMode);
  }
}

// Users of this test run only, removed again.
class TestUsers {
 public:
  uid_t Add(const std::string &name, const std::string &home, const std::string &groups = "") {
    std::string user = name + std::to_string(getpid());
    std::string command = "useradd -M -U -s /bin/false -d " + home +
                          (groups.empty() ? "" : " -G " + groups + std::to_string(getpid())) + " " + user;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    names_.push_back(user);
    const passwd *entry = getpwnam(user.c_str());
    return entry ? entry->pw_uid : 0;
  }
  ~TestUsers() {
    for (auto user = names_.rbegin(); user != names_.rend(); ++user) std::system(("userdel " + *user).c_str());
  }

 private:
  std::vector<std::string> names_;
};

// Gives `path` to `owner` and the owner's group.
void GiveTo(const std::string &path, uid_t owner) {
  const passwd *entry = getpwuid(owner);
  EXPECT_EQ(lchown(path.c_str(), owner, entry ? entry->pw_gid : owner), 0) << path;
}

// Makes the folders of `path` below `base` as `owner`'s, each 0700 (as
// homes are).
void MakeFolders(const std::string &base, const std::string &path, uid_t owner) {
  std::filesystem::create_directories(path);
  for (std::string folder = path; folder.size() > base.size(); folder = folder.substr(0, folder.rfind('/'))) {
    GiveTo(folder, owner);
    chmod(folder.c_str(), 0700);
  }
}

// A run (a create and a close) as `user`, or as root; its status.
LONG RunAs(uid_t user, const std::string &home) {
  int result[2];
  EXPECT_EQ(pipe(result), 0);
  pid_t child = fork();
  if (child == 0) {
    const passwd *entry = getpwuid(user);
    if (user != 0 &&
        (!entry || initgroups(entry->pw_name, entry->pw_gid) != 0 || setgid(entry->pw_gid) != 0 || setuid(user) != 0))
      _exit(1);
    unsetenv("LORIMEX_REGISTRY");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", home.c_str(), 1);
    standin::Reset();
    HKEY key = nullptr;
    char noClass[1] = "";
    LONG status =
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) status = RegCloseKey(key);
    _exit(write(result[1], &status, sizeof status) == sizeof status ? 0 : 1);
  }
  close(result[1]);
  LONG status = -1;
  EXPECT_EQ(read(result[0], &status, sizeof status), static_cast<ssize_t>(sizeof status));
  close(result[0]);
  waitpid(child, nullptr, 0);
  return status;
}

// An administrator's run on a user's registry (root, or a member of the
// file's group) does only what the owner could, creates what the owner
// would own, and never locks the owner out.
TEST_F(StandinTest, RootAndGroupRunsActAsTheOwnerWould) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make users";
  chmod(folder_.c_str(), 0755);
  TestUsers users;
  const std::string home = folder_ + "/alice", config = home + "/.config/lorimex", other = folder_ + "/carol";
  const uid_t alice = users.Add("alice", home), carol = users.Add("carol", other);
  const uid_t bob = users.Add("bob", folder_ + "/bob", "alice");
  ASSERT_TRUE(alice && bob && carol);
  const std::string text = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n";
  struct Case {
    const char *what;
    std::function<void()> prepare;
    uid_t runner;
    LONG status;
  };
  const Case cases[] = {
      {"root on the user's 0600 file",
       [&] {
         MakeFolders(folder_, config, alice);
         WriteFile(config + "/registry.reg", text);
       },
       0, ERROR_SUCCESS},
      {"root, the user's registry a link to another user's",
       [&] {
         MakeFolders(folder_, config, alice);
         MakeFolders(folder_, other, carol);
         WriteFile(other + "/registry.reg", text);
         GiveTo(other + "/registry.reg", carol);
         std::filesystem::create_symlink(other + "/registry.reg", config + "/registry.reg");
       },
       0, ERROR_ACCESS_DENIED},
      {"root, the user's folder a link to a folder of root's",
       [&] {
         MakeFolders(folder_, home + "/.config", alice);
         std::filesystem::create_directories(folder_ + "/etc");
         std::filesystem::create_symlink(folder_ + "/etc", config);
       },
       0, ERROR_ACCESS_DENIED},
      {"root in a home without .config", [&] { MakeFolders(folder_, home, alice); }, 0, ERROR_SUCCESS},
      {"a member of the file's group, in a setgid folder",
       [&] {
         MakeFolders(folder_, config, alice);
         chmod(config.c_str(), 02775);
         chmod(home.c_str(), 0755), chmod((home + "/.config").c_str(), 0755);
         WriteFile(config + "/registry.reg", text);
         chmod((config + "/registry.reg").c_str(), 0664);
       },
       bob, ERROR_ACCESS_DENIED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(home), std::filesystem::remove_all(other),
        std::filesystem::remove_all(folder_ + "/etc");
    c.prepare();
    if (std::filesystem::exists(config + "/registry.reg"))
      GiveTo(config + "/registry.reg", alice), chmod((config + "/registry.reg").c_str(), c.runner ? 0664 : 0600);
    EXPECT_EQ(RunAs(c.runner, home), c.status);
    // Nothing of root's or the group member's in the user's folders or the
    // other user's, and nothing in root's folder; the other user's file
    // is as it was.
    for (const std::string &top : {home, other, folder_ + "/etc"}) {
      if (!std::filesystem::exists(top)) continue;
      for (const auto &entry : std::filesystem::recursive_directory_iterator(top)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        EXPECT_TRUE(st.st_uid == alice || st.st_uid == carol || entry.is_symlink()) << entry.path();
      }
    }
    EXPECT_TRUE(!std::filesystem::exists(folder_ + "/etc") || std::filesystem::is_empty(folder_ + "/etc"));
    if (std::filesystem::exists(other)) {
      EXPECT_EQ(ReadFile(other + "/registry.reg"), text);
    }
    // The owner can always run afterwards.
    EXPECT_EQ(RunAs(alice, home),
              c.status == ERROR_ACCESS_DENIED && c.runner == 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
  }
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
