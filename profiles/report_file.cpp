#include "profiles/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "standin/file_io.h"

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

ReportFile::~ReportFile() {
  if (!file_) return;
  std::fclose(file_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
}

bool ReportFile::Open(const std::string &path, std::string &why) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return OpenStream(path, why);
  path_ = LinkedFile(path);
  std::string folder = standin::FolderOf(path_) + "/";
  temporary_ = folder + "." + path_.substr(path_.rfind('/') + 1, 200) + ".lorimex-report-XXXXXX";
  int fd = mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd < 0 || !(file_ = fdopen(fd, "w"))) {
    why = "cannot write a file in " + folder + ": " + std::strerror(errno);
    if (fd >= 0) close(fd), unlink(temporary_.c_str());
    return false;
  }
  // Readable as a file made by redirecting the output would be.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  std::fputs(CsvHeader().c_str(), file_);
  return true;
}

// What is not a file (a terminal, a pipe, /dev/stdout) is written to as
// it is, with nothing to rename.
bool ReportFile::OpenStream(const std::string &path, std::string &why) {
  if (!(file_ = std::fopen(path.c_str(), "we"))) {
    why = std::string("cannot write to it: ") + std::strerror(errno);
    return false;
  }
  path_ = path;
  std::fputs(CsvHeader().c_str(), file_);
  return true;
}

void ReportFile::Add(const std::string &profile, const Outcome &outcome) {
  if (file_) std::fputs(CsvRow(profile, outcome).c_str(), file_);
}

bool ReportFile::Close(std::string &why) {
  if (!file_) return true;
  bool written = std::fflush(file_) == 0 && (temporary_.empty() || fsync(fileno(file_)) == 0);
  int error = errno;
  if (std::fclose(file_) != 0 && written) written = false, error = errno;
  file_ = nullptr;
  if (written && (temporary_.empty() || rename(temporary_.c_str(), path_.c_str()) == 0)) return true;
  if (written) error = errno;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  why = path_ + ": the report is not written: " + std::strerror(error);
  return false;
}

}  // namespace profiles
