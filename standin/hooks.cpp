#include "standin/hooks.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace standin {
namespace {

int OpenFile(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }

int RenameFile(const char *from, const char *to, bool replace) {
  return replace ? rename(from, to) : renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

void Sleep(std::chrono::milliseconds length) { std::this_thread::sleep_for(length); }
void CountNothing(Op) {}
void CountNoClose() {}
LONG NoFault(Op, const std::string &, std::optional<std::string_view>, long) { return ERROR_SUCCESS; }

constexpr Hooks kPlainHooks = {OpenFile,
                               pread,
                               pwrite,
                               fsync,
                               unlink,
                               fchown,
                               fchmod,
                               RenameFile,
                               link,
                               std::chrono::steady_clock::now,
                               Sleep,
                               CountNothing,
                               CountNoClose,
                               CountNoClose,
                               NoFault,
                               false,
                               0};

}  // namespace

// Constant-initialized, so that it holds the plain table before any code
// runs, the tests' filling of it included.
Hooks hooks = kPlainHooks;

const Hooks &PlainHooks() { return kPlainHooks; }

}  // namespace standin
