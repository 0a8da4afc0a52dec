// Hive files: refused when Windows has not finished with them or they are
// not whole, written only when a run changes the user's hive.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>

#include "tests/standin_fixture.h"

namespace {

using testsupport::ReadFile;
using testsupport::StandinTest;
using testsupport::WriteFile;

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
  // A session that creates Software\Norvane\KEY and sets a value in it,
  // its system calls changed by `fault`.
  LONG Change(const char *key, const std::string &data, const char *value = "Value",
              void (*fault)(standin::Hooks &) = nullptr) {
    standin::Reset();
    if (fault) fault(standin::hooks);
    HKEY created = nullptr;
    char noClass[1] = "";
    std::string path = std::string("Software\\Norvane\\") + key;
    LONG status =
        RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    // No data: the key is only opened, nothing set.
    if (status == ERROR_SUCCESS && !data.empty()) status = Set(created, value, data);
    LONG closed = created ? RegCloseKey(created) : ERROR_SUCCESS;
    return status != ERROR_SUCCESS ? status : closed;
  }
  // One session that sets Value in each of Software\Norvane\KEYS, to the
  // key's name.
  LONG SetInOneSession(std::initializer_list<const char *> keys) {
    standin::Reset();
    HKEY held = nullptr;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &held);
    for (const char *key : keys) {
      HKEY opened = nullptr;
      std::string path = std::string("Software\\Norvane\\") + key;
      if (status == ERROR_SUCCESS) status = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &opened);
      if (status == ERROR_SUCCESS) status = Set(opened, "Value", key);
      if (opened) RegCloseKey(opened);
    }
    LONG closed = held ? RegCloseKey(held) : ERROR_SUCCESS;
    return status != ERROR_SUCCESS ? status : closed;
  }
  // The values of Software\Norvane\KEY as a session reads them.
  std::string Values(const char *key) {
    standin::Reset();
    HKEY opened = nullptr;
    LONG status =
        RegOpenKeyExA(HKEY_CURRENT_USER, (std::string("Software\\Norvane\\") + key).c_str(), 0, KEY_READ, &opened);
    std::string text;
    for (DWORD i = 0; status == ERROR_SUCCESS; ++i) {
      char name[256];
      BYTE data[256];
      DWORD nameLength = sizeof name, size = sizeof data, type = 0;
      status = RegEnumValueA(opened, i, name, &nameLength, nullptr, &type, data, &size);
      if (status == ERROR_SUCCESS) text += std::string(name) + "=" + std::string(data, data + size) + "\n";
    }
    if (opened) RegCloseKey(opened);
    return text + "status " + std::to_string(status);
  }
  // A 32-bit field of the file's base block.
  std::uint32_t Field(std::size_t at) {
    const std::string hive = ReadFile(user_);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && at + i < hive.size(); ++i)
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(hive[at + i])) << (8 * i);
    return value;
  }
  std::string defaults_, user_;
};

// A hive Windows has not finished with, or one that is not whole, is
// refused as it is, with a line naming it; one whose save fails stays as it
// was, and nothing is left beside it.
TEST_F(HiveTest, HivesRefusedOrNotSavedStayUnchanged) {
  struct Case {
    const char *what;
    std::function<void()> damage;
    LONG status;
    const char *says;
    void (*fault)(standin::Hooks &) = nullptr;  // a save's system call that fails
    // What the session does: opens Software; sets Kelvaro's Value (as
    // with a fault); sets Kelvaro\A\X's and Kelvaro\B\X's.
    enum { kOpens, kSets, kSetsTwo } session = kOpens;
  };
  auto kelvaro = [&] { EXPECT_EQ(Change("Kelvaro", "1"), ERROR_SUCCESS); };
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
      {"a value whose data is a key node",
       [&] {
         EXPECT_EQ(Change("Kelvaro", "12345") | Change("Other", "2"), 0);
         Hivetool("share " + user_ + " 'Software\\Norvane\\Kelvaro' 'Software\\Norvane\\Other' node");
       },
       ERROR_REGISTRY_CORRUPT, "is also another's"},
      {"a key that lists a key above it",
       [&] {
         EXPECT_EQ(Change("Kelvaro\\Settings", "1"), 0);
         Hivetool("share " + user_ + " 'Software\\Norvane\\Kelvaro\\Settings' 'Software\\Norvane' subkeys");
       },
       ERROR_REGISTRY_CORRUPT, "(a cycle)"},
      {"a file classes' hive in the user's place",
       [&] {
         HKEY key = nullptr;
         char noClass[1] = "";
         standin::Reset();
         EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "CLSID", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) |
                       RegCloseKey(key),
                   ERROR_SUCCESS);
       },
       ERROR_FILE_NOT_FOUND, "not a user's profile hive: its root holds no Software key, only \"CLSID\": it looks like a "
                             "UsrClass.dat"},
      {"a key two keys list, which the run would change by both",
       [&] {
         EXPECT_EQ(Change("Kelvaro\\A\\X", "1") | Change("Kelvaro\\B\\X", "2"), 0);
         Hivetool("share " + user_ + " 'Software\\Norvane\\Kelvaro\\B' 'Software\\Norvane\\Kelvaro\\A' subkeys");
       },
       ERROR_REGISTRY_CORRUPT, "(a key two keys list), and the run would change it by both: not saved", nullptr,
       Case::kSetsTwo},
      {"a subkey count of 0 beside a list, on the path where the run adds a key",
       [&] {
         EXPECT_EQ(Change("Kelvaro", "1") | Change("Other", "2"), 0);
         Hivetool("count " + user_ + " 'Software\\Norvane' 0");
       },
       ERROR_REGISTRY_CORRUPT, "key Software\\Norvane counts no subkeys beside a subkey list", nullptr, Case::kSets},
      {"a clustering factor Windows refuses", [&] { Hivetool("base " + user_ + " 44 2"); }, ERROR_REGISTRY_CORRUPT,
       "clustering factor 2"},
      {"a format Windows refuses", [&] { Hivetool("base " + user_ + " 32 0"); }, ERROR_REGISTRY_CORRUPT, "format 0"},
      {"the default profile's own hive",
       [&] { Hivetool("name " + user_ + " '\\SystemRoot\\System32\\Config\\DEFAULT'"); }, ERROR_ACCESS_DENIED,
       "the default profile's hive"},
      {"the default user's NTUSER.DAT", [&] { Hivetool("name " + user_ + " '\\??\\C:\\Users\\Default\\NTUSER.DAT'"); },
       ERROR_ACCESS_DENIED, "the default profile's hive"},
      {"a machine hive", [&] { Hivetool("name " + user_ + " 'emRoot\\System32\\Config\\SOFTWARE'"); },
       ERROR_ACCESS_DENIED, "one of the machine's own hives"},
      {"a machine hive by its bare name, as Windows 10 names it", [&] { Hivetool("name " + user_ + " SYSTEM"); },
       ERROR_ACCESS_DENIED, "one of the machine's own hives"},
      {"the default hive by its bare name", [&] { Hivetool("name " + user_ + " default"); }, ERROR_ACCESS_DENIED,
       "the default profile's hive"},
      {"a machine hive in lower case", [&] { Hivetool("name " + user_ + " sam"); }, ERROR_ACCESS_DENIED,
       "one of the machine's own hives"},
      {"the boot configuration", [&] { Hivetool("name " + user_ + " '\\Device\\HarddiskVolume1\\Boot\\BCD'"); },
       ERROR_ACCESS_DENIED, "one of the machine's own hives"},
      {"a machine hive saved aside", [&] { Hivetool("name " + user_ + " 'Config\\RegBack\\SECURITY.SAV'"); },
       ERROR_ACCESS_DENIED, "one of the machine's own hives"},
      {"a service account's profile", [&] { Hivetool("name " + user_ + " 'ofiles\\LocalService\\NTUSER.DAT'"); },
       ERROR_ACCESS_DENIED, "a service account's hive"},
      {"a write that stops short", kelvaro, ERROR_REGISTRY_IO_FAILED, "not saved: Input/output error",
       [](standin::Hooks &calls) {
         calls.pwrite = [](int fd, const void *data, size_t size, off_t at) -> ssize_t {
           return at >= 4096 ? 0 : pwrite(fd, data, std::min<size_t>(size, 4096 - at), at);
         };
       }},
      {"a full disk", kelvaro, ERROR_REGISTRY_IO_FAILED, "not saved: No space left on device",
       [](standin::Hooks &calls) {
         calls.pwrite = [](int fd, const void *data, size_t size, off_t at) -> ssize_t {
           return at >= 4096 ? (errno = ENOSPC, -1) : pwrite(fd, data, std::min<size_t>(size, 4096 - at), at);
         };
       }},
      {"a flush that fails", kelvaro, ERROR_REGISTRY_IO_FAILED, "not saved: Input/output error",
       [](standin::Hooks &calls) { calls.fsync = [](int) { return errno = EIO, -1; }; }},
      {"a rename that fails", kelvaro, ERROR_REGISTRY_IO_FAILED, "not saved: Invalid cross-device link",
       [](standin::Hooks &calls) {
         calls.rename = [](const char *, const char *, bool) { return errno = EXDEV, -1; };
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.damage();
    const std::string before = ReadFile(user_);
    const std::vector<std::string> entries = FolderEntries();
    standin::Reset();
    stderrCapture.Start();
    HKEY key = nullptr;
    if (c.session == Case::kSetsTwo) {
      EXPECT_EQ(SetInOneSession({"Kelvaro\\A\\X", "Kelvaro\\B\\X"}), c.status);
    } else if (c.fault || c.session == Case::kSets) {
      EXPECT_EQ(Change("Kelvaro", "2", "Value", c.fault), c.status);
    } else {
      EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), c.status);
    }
    std::string line = stderrCapture.Text();
    // One line, naming the file (or the variable that is missing), and why.
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_NE(line.find(c.status == ERROR_PATH_NOT_FOUND ? "lorimex: " : "lorimex: " + user_ + ": "), line.npos)
        << line;
    EXPECT_NE(line.find(c.says), std::string::npos) << line;
    EXPECT_EQ(ReadFile(user_), before);
    EXPECT_EQ(FolderEntries(), entries);
    TearDown();
  }
}

// Damage Windows' own loader lets through, or repairs as it loads, is
// serviced: the run's change is saved, every other key reads as before,
// and the hive keeps Windows' rules.
TEST_F(HiveTest, HivesWindowsLoadsAreServiced) {
  const std::string other = " 'Software\\Norvane\\Other' 'Software\\Norvane\\Kelvaro' ";
  struct Case {
    const char *what;
    std::string damage;                 // hivetool's command and its arguments after the file
    const char *value;                  // the value of Kelvaro the run sets
    const char *data = "the new data";  // empty: the run sets nothing
    std::string other = "other data";   // the data of Other's Value
    bool damaged = false;               // damage the run carries as it is: Windows' rules not checked
    const char *key = "Kelvaro";        // where the run sets the value
  };
  const std::string shared = "share" + other + "subkeys";
  const Case cases[] = {
      {"a value list two keys share: the value changed in its own cell", "share" + other + "values", "Value"},
      {"a value list two keys share: a new list, the old one kept", "share" + other + "values", "Added"},
      {"a data cell two values share: kept", "share" + other + "data", "Value"},
      {"a security cell counting more keys than use it", "refs 4294967295", "Value"},
      {"a security cell counting fewer keys than use it", "refs 1", "Value"},
      {"a class length without a class cell", "class 'Software\\Norvane\\Kelvaro' 12", "Value"},
      {"a user's hive by its name", "name '\\??\\C:\\Users\\system\\NTUSER.DAT'", "Value"},
      {"a list on the way that Windows cannot search, and nothing else to save", "hash 'Software'", "Value", ""},
      {"a Parent field that names another key", "parent 'Software\\Norvane\\Kelvaro' 'Software'", "Value"},
      {"a subkey count more than the list holds", "count 'Software\\Norvane' 5", "Added"},
      {"a subkey count less than the list holds", "count 'Software\\Norvane' 1", "Value"},
      {"value data longer than its cell, off the run's path", "short 'Software\\Norvane\\Other' Value", "Value",
       "the new data", "other data", true},
      {"big data of a wrong number of segments, off the run's path", "segments 'Software\\Norvane\\Other' Value",
       "Value", "the new data", std::string(20000, 'o'), true},
      {"a subkey list two keys share, off the run's path: carried", shared, "Value", "the new data", "other data", true},
      {"a subkey list two keys share, the run adds a key: a list of its own", shared, "Value", "the new data",
       "other data", true, "Kelvaro\\New"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    EXPECT_EQ(Change("Kelvaro", "the old data") | Change("Kelvaro\\Settings", "1") | Change("Other", c.other), 0);
    Hivetool(c.damage.substr(0, c.damage.find(' ')) + " " + user_ + c.damage.substr(c.damage.find(' ')));
    const std::string before = Values("Other");
    stderrCapture.Start();
    EXPECT_EQ(Change(c.key, c.data, c.value), ERROR_SUCCESS);
    EXPECT_EQ(stderrCapture.Text(), "");
    if (!c.damaged) Hivetool("check " + user_);
    EXPECT_EQ(Values("Other"), before);
    if (c.damage == shared) {
      EXPECT_EQ(Values("Other\\Settings"), "Value=1\nstatus 259") << "the list Other holds was lost";
    }
    const std::string data = *c.data ? c.data : "the old data";
    EXPECT_NE(Values(c.key).find(std::string(c.value) + "=" + data + "\n"), std::string::npos);
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
  const std::uint32_t sequence = Field(4);
  EXPECT_EQ(Change("Kelvaro", "2"), ERROR_SUCCESS);
  ASSERT_EQ(stat(user_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  Hivetool("check " + user_);
  // A save raises both sequence numbers, as a clean write of Windows' does:
  // a log left beside the hive is then older than it.
  EXPECT_GT(Field(4), sequence);
  EXPECT_GT(Field(8), sequence);
  // Data up to 16,344 bytes is in one cell; beyond, in segments of that
  // size, the last one too.
  for (std::size_t size : {16344u, 16345u, 32689u}) {
    EXPECT_EQ(Change("Big", std::string(size, 'b')), ERROR_SUCCESS) << size;
    Hivetool("check " + user_);
  }
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

// A hive of format 1.3 (before "lh" lists) gets the lists its Windows reads,
// in the order of Windows' own upper case: U+10D0, U+13F0, U+AB70 (Unicode
// would put them the other way round).
TEST_F(HiveTest, AnOlderHiveGetsTheListsOfItsFormat) {
  Hivetool("blank " + user_ + " 3");
  for (const char *name : {"Zeta", "\xC5\xA0koda", "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87", "alpha", "\xEA\xAD\xB0x",
                           "\xE1\x8F\xB0", "\xE1\x83\x90"})
    EXPECT_EQ(Change(name, "1"), ERROR_SUCCESS) << name;
  Hivetool("check " + user_);
}

// More subkeys than a leaf holds (507) go into leaves under an index, as
// Windows splits them; the lists the run does not change stay where they
// are, and a second run reuses the room the first one's lists left.
TEST_F(HiveTest, ManySubkeysAreSplitAsWindowsSplitsThemAndRoomIsReused) {
  auto addKeys = [&](int from, int to) {
    char noClass[1] = "";
    for (int i = from; i < to; ++i) {
      HKEY key = nullptr;
      std::string path = "Software\\Norvane\\Kelvaro\\k" + std::to_string(i);
      ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                ERROR_SUCCESS);
      ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
  };
  standin::Reset();
  HKEY held = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &held), ERROR_SUCCESS);  // one session for all
  // One more than a leaf holds.
  addKeys(0, 508);
  ASSERT_EQ(RegCloseKey(held), ERROR_SUCCESS);
  Hivetool("check " + user_);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &held), ERROR_SUCCESS);
  addKeys(508, 1100);
  ASSERT_EQ(RegCloseKey(held), ERROR_SUCCESS);
  Hivetool("check " + user_);
  const std::size_t once = ReadFile(user_).size();
  addKeys(1100, 1110);  // ten more, one session each
  Hivetool("check " + user_);
  EXPECT_LE(ReadFile(user_).size(), once + 4096) << "the old lists' room was not reused";
  standin::Reset();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Norvane\\Kelvaro\\k1105", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
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
  // A hive of root's in the folder of a user the system has no name for
  // (a file server's domain user): the advice runs as typed.
  const std::string profile = folder_ + "/4242", hive = profile + "/NTUSER.DAT";
  ASSERT_EQ(mkdir(profile.c_str(), 0700) | chown(profile.c_str(), 4242, 4242), 0);
  Hivetool("blank " + hive);
  setenv("LORIMEX_USER_HIVE", hive.c_str(), 1);
  stderrCapture.Start();
  EXPECT_EQ(Change("Kelvaro", "root"), ERROR_ACCESS_DENIED);
  EXPECT_NE(stderrCapture.Text().find("(chown 4242 " + hive + ")"), std::string::npos) << stderrCapture.Text();
}

}  // namespace
