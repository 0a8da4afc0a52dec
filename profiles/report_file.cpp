#include "profiles/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace profiles {

ReportFile::~ReportFile() {
  if (!file_) return;
  std::fclose(file_);
  unlink(temporary_.c_str());
}

bool ReportFile::Open(const std::string &path, std::string &why) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  temporary_ = (slash == std::string::npos ? "" : folder) + "." + name.substr(0, 200) + ".lorimex-report-XXXXXX";
  int fd = mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd < 0 || !(file_ = fdopen(fd, "w"))) {
    why = std::string("cannot write a file in ") + folder + ": " + std::strerror(errno);
    if (fd >= 0) close(fd), unlink(temporary_.c_str());
    return false;
  }
  // Readable as a file made by redirecting the output would be.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  path_ = path;
  std::fputs(CsvHeader().c_str(), file_);
  return true;
}

void ReportFile::Add(const std::string &profile, const Outcome &outcome) {
  if (file_) std::fputs(CsvRow(profile, outcome).c_str(), file_);
}

bool ReportFile::Close(std::string &why) {
  if (!file_) return true;
  bool written = std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
  int error = errno;
  if (std::fclose(file_) != 0 && written) written = false, error = errno;
  file_ = nullptr;
  if (written && rename(temporary_.c_str(), path_.c_str()) == 0) return true;
  if (written) error = errno;
  unlink(temporary_.c_str());
  why = path_ + ": the report is not written: " + std::strerror(error);
  return false;
}

}  // namespace profiles
