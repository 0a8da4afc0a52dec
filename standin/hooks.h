// What a test may replace in the stand-in, in one table: the system calls
// whose failures nothing outside the process can bring about on demand (the
// save's, every file's publication (publish.h), and those that read and
// write a hive), the
// clock the lock wait runs on, and the calls' hold for the tests (counted
// calls, chosen failures, the administrator's role, the caller's buffers).
// The program runs on the plain table; the tests' library
// (standin/testing/faults.cpp) fills it with its own entries.
#ifndef LORIMEX_STANDIN_HOOKS_H
#define LORIMEX_STANDIN_HOOKS_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "standin/api.h"

namespace standin {

// The registry's operations, as the tests count them and make them fail.
enum class Op { Open, Create, EnumValue, EnumKey, SetValue, Close, Save, Count };

struct Hooks {
  // The hive files' reads and writes, and the files they and the lock open.
  int (*open)(const char *path, int flags, mode_t mode);
  ssize_t (*pread)(int fd, void *buffer, size_t size, off_t offset);
  ssize_t (*pwrite)(int fd, const void *buffer, size_t size, off_t offset);
  int (*fsync)(int fd);
  int (*unlink)(const char *path);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*fchmod)(int fd, mode_t mode);
  // rename(2), or with `replace` false renameat2's RENAME_NOREPLACE.
  int (*rename)(const char *from, const char *to, bool replace);
  int (*link)(const char *from, const char *to);
  // The lock wait's clock and its pause between two tries.
  std::chrono::steady_clock::time_point (*now)();
  void (*pause)(std::chrono::milliseconds length);
  // Each operation is counted; a close of a predefined key, or of a handle
  // that is not open, too.
  void (*countCall)(Op op);
  void (*countPredefinedClose)();
  void (*countInvalidClose)();
  // The status a test chose for this call (ERROR_SUCCESS: none); the value
  // name and index only for the calls that have them.
  LONG (*injectedStatus)(Op op, const std::string &keyPath, std::optional<std::string_view> valueName, long index);
  // The calls act as an administrator's, who may write HKEY_USERS\.DEFAULT.
  bool actsAsAdministrator;
  // How many bytes the caller's data buffers hold from the data's start
  // (see WithForgottenNul in calls_text.h); 0: nothing past the count.
  std::size_t callerDataSize;
};

// The table the stand-in uses; the program's holds PlainHooks().
extern Hooks hooks;
// The real system calls and clock; no call counted, none failed, never an
// administrator, nothing read past a text's count.
const Hooks &PlainHooks();

// The status a test chose for a call (see Hooks::injectedStatus).
inline LONG InjectedStatus(Op op, const std::string &keyPath, std::optional<std::string_view> valueName = std::nullopt,
                           long index = -1) {
  return hooks.injectedStatus(op, keyPath, valueName, index);
}

}  // namespace standin

#endif
