#include "profiles/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "standin/file_io.h"
#include "standin/hooks.h"

namespace profiles {

std::string LinkedFile(std::string path) {
  char target[PATH_MAX];
  struct stat st {};
  for (int links = 0; links < 40 && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++links) {
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    target[length] = '\0';
    path = target[0] == '/' ? std::string(target) : standin::FolderOf(path) + "/" + target;
  }
  return path;
}

namespace {

// The command's standard output or error, when `path` names it through the
// system's names for them (/dev/stdout, /dev/fd/2, /proc/self/fd/1); -1
// otherwise. Opened anew, a file there would be written from its start,
// over the lines, or replaced by the report.
int StandardStreamNamed(const std::string &path) {
  if (path.compare(0, 5, "/dev/") != 0 && path.compare(0, 6, "/proc/") != 0) return -1;
  struct stat named {};
  struct stat stream {};
  if (stat(path.c_str(), &named) != 0) return -1;
  for (int fd : {STDOUT_FILENO, STDERR_FILENO})
    if (fstat(fd, &stream) == 0 && stream.st_dev == named.st_dev && stream.st_ino == named.st_ino) return fd;
  return -1;
}

}  // namespace

bool ReportFile::Open(const std::string &path, std::string &why) {
  if (int fd = StandardStreamNamed(path); fd >= 0) {
    // Through the same descriptor: rows and lines follow each other.
    if ((stream_ = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
      why = std::string("cannot write to it: ") + std::strerror(errno);
      return false;
    }
    path_ = path;
    Put(CsvHeader());
    return true;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return OpenStream(path, why);
  path_ = LinkedFile(path);
  std::string folder = standin::FolderOf(path_) + "/";
  if (int error = file_.Begin(folder + "." + path_.substr(path_.rfind('/') + 1, 200) + ".lorimex-report-")) {
    why = "cannot write a file in " + folder + ": " + std::strerror(error);
    return false;
  }
  pending_ = true;
  // Readable as a file made by redirecting the output would be: an older
  // report's owner and mode are kept (the owner where root runs).
  struct stat older {};
  if (stat(path_.c_str(), &older) == 0 && S_ISREG(older.st_mode)) {
    if (getuid() == 0) (void)standin::hooks.fchown(file_.fd(), older.st_uid, older.st_gid);
    standin::hooks.fchmod(file_.fd(), older.st_mode & 07777);
  } else {
    mode_t mask = umask(0);
    umask(mask);
    standin::hooks.fchmod(file_.fd(), 0666 & ~mask);
  }
  Put(CsvHeader());
  return true;
}

// What is not a file (a terminal, a pipe, /dev/stdout) is written to as
// it is, with nothing to rename.
bool ReportFile::OpenStream(const std::string &path, std::string &why) {
  stream_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (stream_ < 0) {
    why = std::string("cannot write to it: ") + std::strerror(errno);
    return false;
  }
  path_ = path;
  Put(CsvHeader());
  return true;
}

// A row that cannot be written is the report's failure, said at its close.
void ReportFile::Put(const std::string &text) {
  if (error_ != 0) return;
  if (pending_) {
    error_ = file_.Write(text);
    return;
  }
  std::size_t done = 0;
  errno = EIO;
  if (!standin::Transfer(text.size(), done,
                         [&](std::size_t at, std::size_t left) { return write(stream_, text.data() + at, left); }) ||
      done < text.size())
    error_ = errno;
}

ReportFile::~ReportFile() {
  if (stream_ >= 0) close(stream_);
}

void ReportFile::Add(const std::string &profile, const Outcome &outcome) {
  if (pending_ || stream_ >= 0) Put(CsvRow(profile, outcome));
}

bool ReportFile::Close(std::string &why) {
  int error = error_;
  if (pending_) {
    pending_ = false;
    // A report that lost a row is not published: no half-written file.
    if (error == 0) error = file_.Publish(path_, standin::Naming::kReplace);
    file_.Abandon();
  } else if (stream_ >= 0) {
    if (close(stream_) != 0 && error == 0) error = errno;
    stream_ = -1;
  } else {
    return true;
  }
  if (error == 0) return true;
  why = path_ + ": the report is not written: " + std::strerror(error);
  return false;
}

}  // namespace profiles
