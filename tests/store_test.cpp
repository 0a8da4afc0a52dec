// The registry file: changes reach it whole at the last close, a file that
// cannot be used is left alone, a save keeps who may use the file, and a run
// by root or a group member acts as the owner would.
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

#include "standin/system_calls.h"
#include "tests/standin_fixture.h"

namespace {

using testsupport::ReadFile;
using testsupport::StandinTest;
using testsupport::WriteFile;

// The registry file as a store: its own suite, on the stand-in's fixture.
class StoreTest : public StandinTest {};

// A run as another process makes it: creates Software\New for the current
// user and, when `close`, closes it, which writes the change back.
LONG CreateNewKey(bool close) {
  standin::Reset();
  HKEY key = nullptr;
  char noClass[1] = "";
  LONG status =
      RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (close && status == ERROR_SUCCESS) status = RegCloseKey(key);
  return status;
}

TEST_F(StoreTest, ChangesReachTheFileAtTheLastCloseAndNothingElseChanges) {
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

// Memory running out in a call fails it and leaves the tree as it was: the
// value replaced is the old one, the value added is not there, and the file
// holds what the calls that went well made.
TEST_F(StoreTest, MemoryRunningOutInASetLeavesTheValueAsItWas) {
  struct Case {
    const char *what, *name, *before;  // the value's line in the file, if any
  };
  const Case cases[] = {
      {"a DWORD made long", "v", "\"v\"=dword:00000001\n"},
      {"text under a long name made long", "A value with a long name", "\"A value with a long name\"=\"text\"\n"},
      {"a value added", "new", ""},
  };
  auto values = [](HKEY key) {
    std::string all;
    char name[600];
    BYTE data[4096];
    DWORD nameLength = sizeof name, type = 0, dataLength = sizeof data;
    for (DWORD i = 0; RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) == ERROR_SUCCESS;
         ++i, nameLength = sizeof name, dataLength = sizeof data)
      all += std::string(name, nameLength) + " = " + std::to_string(type) + ": " +
             testsupport::HexBytes(std::string(data, data + dataLength)) + "\n";
    return all;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Load(std::string("[HKEY_CURRENT_USER\\Software]\n") + c.before);
    standin::Reset();
    HKEY key = Open(HKEY_CURRENT_USER, "Software");
    const std::string before = values(key), data(1000, 'x');
    stderrCapture.Start();
    {
      testsupport::FailingAllocations failing(data.size());
      EXPECT_EQ(Set(key, c.name, data), ERROR_OUTOFMEMORY);
    }
    EXPECT_NE(stderrCapture.Text().find("out of memory"), std::string::npos);
    EXPECT_EQ(values(key), before);
    EXPECT_EQ(Set(key, "after", "y"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(file_),
              std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n") + c.before + "\"after\"=hex:79\n\n");
  }
}

TEST_F(StoreTest, ARegistryBehindALinkIsWrittenWhereTheLinkPoints) {
  Load("[HKEY_CURRENT_USER\\Software]\n");
  const std::string link = folder_ + "/link.reg";
  std::filesystem::create_symlink(file_, link);
  setenv("LORIMEX_REGISTRY", link.c_str(), 1);
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\New");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_NE(ReadFile(file_).find("[HKEY_CURRENT_USER\\Software\\New]"), std::string::npos);
}

TEST_F(StoreTest, AMissingFileIsEmptyAndOnlyAWriteCreatesIt) {
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

TEST_F(StoreTest, ACorruptFileFailsEveryOperationAndStaysAsItWas) {
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

TEST_F(StoreTest, AFailedWriteBackIsTheCloseStatusAndKeepsTheOldFile) {
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
TEST_F(StoreTest, FilesThatCannotBeUsedAreLeftAlone) {
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
      {"a lock held longer than a run waits",
       [&] {
         Load("");
         held = open(file_.c_str(), O_RDWR);
         EXPECT_EQ(flock(held, LOCK_EX), 0);
       },
       ERROR_SHARING_VIOLATION, "held by process " + std::to_string(getpid()) + " for more than 10 seconds"},
      // Not first: the sanitizers' check of the first call through the
      // session's Backend reads memory through a pipe, which needs two.
      {"no descriptor left",
       [&] {
         rlimit none = files;
         none.rlim_cur = static_cast<rlim_t>(dup(0));
         close(static_cast<int>(none.rlim_cur));
         setrlimit(RLIMIT_NOFILE, &none);
       },
       ERROR_TOO_MANY_OPEN_FILES},
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
      {"a file missing from its folder", [&] { setenv("LORIMEX_REGISTRY", (folder_ + "/registy.reg").c_str(), 1); },
       ERROR_FILE_NOT_FOUND, "registy.reg: no such file"},
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
TEST_F(StoreTest, SavingKeepsWhoMayUseTheFileOrLeavesItAlone) {
  struct Case {
    const char *what;
    std::function<void()> prepare;
    LONG status;
    std::string line = "";  // within the line on standard error
  };
  standin::Hooks &calls = standin::hooks;
  auto inodeFlags = [&](int set) {
    int fd = open(file_.c_str(), O_RDONLY), flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && set >= 0) flags |= set, ioctl(fd, FS_IOC_SETFLAGS, &flags);
    close(fd);
    return flags & (FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL);
  };
  const std::string link = folder_ + "/link.reg";
  // Only root may make a file immutable, and not on every file system.
  WriteFile(link, "");
  int probe = open(link.c_str(), O_RDONLY), immutable = FS_IMMUTABLE_FL, none = 0;
  const bool canBeImmutable = ioctl(probe, FS_IOC_SETFLAGS, &immutable) == 0;
  ioctl(probe, FS_IOC_SETFLAGS, &none);
  close(probe);
  std::filesystem::remove(link);
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
      {"an immutable file (chattr +i), said as such", [&] { inodeFlags(FS_IMMUTABLE_FL); },
       canBeImmutable ? LONG{ERROR_ACCESS_DENIED} : LONG{ERROR_SUCCESS},
       canBeImmutable ? "is immutable or append-only" : ""},
      {"owners that cannot change (chown gives ENOSYS)",
       [&] { calls.fchown = [](int, uid_t, gid_t) { return errno = ENOSYS, -1; }; }, ERROR_SUCCESS},
      {"modes that cannot change (FAT through FUSE: chmod gives ENOSYS)",
       [&] {
         chmod(file_.c_str(), 0600);
         calls.fchmod = [](int, mode_t) { return errno = ENOSYS, -1; };
       },
       ERROR_SUCCESS},
      {"modes that differ and cannot be set", [&] { calls.fchmod = [](int, mode_t) { return errno = EPERM, -1; }; },
       ERROR_ACCESS_DENIED, "cannot give the new file the old one's permissions"},
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
    standin::Reset();
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
  // The registry's own inode under a temporary's name is the registry
  // itself: left alone, as a file of two names is by the save.
  standin::Reset();
  const std::string twin = folder_ + "/.registry.reg.lorimex-save-Hh22Jj";
  std::filesystem::create_hard_link(file_, twin);
  EXPECT_EQ(RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\Twin")), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(std::filesystem::exists(twin));
  std::filesystem::remove(twin);

  standin::Reset();
  const std::string longName = folder_ + "/" + std::string(250, 'r') + ".reg";
  setenv("LORIMEX_REGISTRY", longName.c_str(), 1);
  EXPECT_EQ(RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\New")), ERROR_SUCCESS);
}

// Run as an ordinary user (root may do anything): a folder it cannot write
// holds no lock of its, a file it may not read is refused for what it is,
// and a file it may write but not give back to its owner is not replaced.
TEST_F(StoreTest, WhatAnotherUserMayNotDoFailsAsAccessDenied) {
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
      _exit(ok && CreateNewKey(c.save) == ERROR_ACCESS_DENIED ? 0 : 1);
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
    LONG status = CreateNewKey(true);
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
TEST_F(StoreTest, RootAndGroupRunsActAsTheOwnerWould) {
  // Users are added to the host's own database, so only when asked
  // (tests/run_all.sh asks).
  const char *asked = std::getenv("LORIMEX_TEST_USERS");
  if (!asked || std::string(asked) != "1") GTEST_SKIP() << "makes system users: set LORIMEX_TEST_USERS=1";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make users";
  chmod(folder_.c_str(), 0755);
  TestUsers users;
  const std::string home = folder_ + "/alice", config = home + "/.config/lorimex", other = folder_ + "/carol";
  const uid_t alice = users.Add("alice", home), carol = users.Add("carol", other);
  const uid_t bob = users.Add("bob", folder_ + "/bob", "alice");
  ASSERT_TRUE(alice && bob && carol);
  const std::string text = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n";
  const std::string file = config + "/registry.reg", name = getpwuid(alice)->pw_name;
  struct Case {
    const char *what;
    std::function<void()> prepare;
    uid_t runner;
    LONG status;
    std::string line = "";  // within root's refusal, which says whose rights it had
    bool usersFile = true;  // the file, if any, is given to the user
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
      {"root, a file of root's in the user's folder",
       [&] {
         MakeFolders(folder_, config, alice);
         WriteFile(file, text);
       },
       0, ERROR_ACCESS_DENIED,
       file + ": is root's, in " + name + "'s folder " + config + ": not saved (chown " + name + " " + file +
           ") (root acting as " + name + ", the owner of " + config + ")",
       false},
      {"root, a file of root's in a folder of root's in the user's home",
       [&] {
         MakeFolders(folder_, home + "/.config", alice);
         std::filesystem::create_directories(config);
         WriteFile(file, text);
       },
       0, ERROR_ACCESS_DENIED,
       file + ": is root's, as is its folder " + config + ": not saved (both must be " + name + "'s)", false},
      {"root, the user's file in a folder of root's",
       [&] {
         MakeFolders(folder_, home + "/.config", alice);
         std::filesystem::create_directories(config);
         WriteFile(file, text);
       },
       0, ERROR_ACCESS_DENIED,
       file + ": cannot make a temporary file in " + config + ", which is root's: Permission denied: not saved (" +
           name + " needs write access to the folder: chown " + name + " " + config + ") (root acting as " + name +
           ", the owner of " + file + ")"},
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
    if (std::filesystem::exists(file) && c.usersFile) GiveTo(file, alice), chmod(file.c_str(), c.runner ? 0664 : 0600);
    auto entries = [&](uid_t owner) {
      std::vector<std::string> found;
      for (const std::string &top : {home, other, folder_ + "/etc"}) {
        if (!std::filesystem::exists(top)) continue;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(top)) {
          struct stat st {};
          lstat(entry.path().c_str(), &st);
          if (st.st_uid == owner && !entry.is_symlink()) found.push_back(entry.path());
        }
      }
      return found;
    };
    const std::vector<std::string> roots = entries(0);
    stderrCapture.Start();
    EXPECT_EQ(RunAs(c.runner, home), c.status);
    // A refusal of root's says whose rights it had.
    const std::string said = stderrCapture.Text();
    if (c.runner == 0 && c.status != ERROR_SUCCESS) {
      EXPECT_NE(said.find("(root acting as " + name), said.npos) << said;
      EXPECT_NE(said.find(c.line), said.npos) << said;
    }
    // Nothing of root's but what was there, nothing of the group member's
    // in the user's folders or the other user's, and nothing in root's
    // folder; the other user's file is as it was.
    EXPECT_EQ(entries(0), roots);
    EXPECT_EQ(entries(bob), std::vector<std::string>{});
    EXPECT_TRUE(!std::filesystem::exists(folder_ + "/etc") || std::filesystem::is_empty(folder_ + "/etc"));
    if (std::filesystem::exists(other)) {
      EXPECT_EQ(ReadFile(other + "/registry.reg"), text);
    }
    // The owner can always run afterwards.
    EXPECT_EQ(RunAs(alice, home),
              c.status == ERROR_ACCESS_DENIED && c.runner == 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
  }
}

TEST_F(StoreTest, ConcurrentRunsLoseNeithersWrites) {
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
