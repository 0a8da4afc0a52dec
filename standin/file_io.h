// What every file of the store shares, the .reg file's and the hives': the
// one line that says why a file is not used or not saved, the status an
// errno gives, and the loop of reads and writes a signal may interrupt.
#ifndef LORIMEX_STANDIN_FILE_IO_H
#define LORIMEX_STANDIN_FILE_IO_H

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "standin/api.h"

namespace standin {

// Writes the line that says why the file at `path` is not used or not
// saved (with its line number when `line` is not 0), and returns `status`;
// under a service run (service.h) gives it to the run's result instead.
LONG Report(const std::string &path, const std::string &reason, LONG status, std::size_t line = 0);
// The status of an errno, from the store's one table; `otherwise` for one
// it does not name.
LONG StatusOfError(int error, LONG otherwise);
// The folder part of a path: "." for a bare name, "/" for one in the root.
std::string FolderOf(const std::string &path);
// Whether the two paths name one file, links followed.
bool SameFile(const std::string &a, const std::string &b);
// Moves a descriptor of 0-2 above them (closing the low one), errno kept on
// failure: started with standard output closed, the program would
// otherwise write its report lines into a file it opened.
int AboveStandardStreams(int fd);

// Repeats `step`, one read or write of at most `left` bytes from `done`
// on, until `size` bytes are done or it does nothing (the end of a file),
// and again whenever a signal interrupts it; `done` says how far it got.
// False, with errno, when a step fails.
template <typename Step>
bool Transfer(std::size_t size, std::size_t &done, Step step) {
  done = 0;
  while (done < size) {
    ssize_t n = step(done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace standin

#endif
