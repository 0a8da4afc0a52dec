#include "standin/hive/format.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "standin/file_io.h"
#include "standin/hive/cells.h"
#include "standin/hooks.h"
#include "standin/service.h"

namespace standin {
namespace {

using hive::BaseBlockChecksum;
using hive::kBaseBlock;
using hive::kBinsSize;
using hive::kChecksum;
using hive::kCluster;
using hive::kFileType;
using hive::kFormat;
using hive::kMajor;
using hive::kMinor;
using hive::kSequence1;
using hive::kSequence2;
using hive::Le32;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads exactly `size` bytes at `offset`, or fails.
bool ReadAt(int fd, std::uint64_t offset, std::size_t size, unsigned char *out) {
  std::size_t done = 0;
  return Transfer(size, done,
                  [&](std::size_t at, std::size_t left) {
                    return hooks.pread(fd, out + at, left, static_cast<off_t>(offset + at));
                  }) &&
         done == size;
}

// Writes all `size` bytes at `offset`, or fails with errno; a write that
// stops short without an error is EIO, never whatever errno held before.
bool WriteAt(int fd, std::uint64_t offset, const unsigned char *data, std::size_t size) {
  std::size_t done = 0;
  if (!Transfer(size, done, [&](std::size_t at, std::size_t left) {
        return hooks.pwrite(fd, data + at, left, static_cast<off_t>(offset + at));
      }))
    return false;
  if (done != size) errno = EIO;
  return done == size;
}

// Whether a transaction log beside the hive holds changes it lacks. One
// Windows could not use (no valid base block) holds none. Windows writes a
// log before the hive, and raises the hive's sequence numbers past every
// log entry it applied: a log whose base block or an entry ("HvLE", of the
// format of Windows 8.1 and later) carries a higher number has not reached
// the hive. (Windows itself applies logs only to a hive whose sequence
// numbers differ, so a clean hive written over such a log would lose
// those changes for good.)
bool LogIsNewer(const std::string &path, std::uint32_t sequence) {
  Descriptor fd(OpenForRun(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  unsigned char block[512];
  if (fd.get() < 0 || !ReadAt(fd.get(), 0, sizeof block, block) || std::memcmp(block, "regf", 4) != 0) return false;
  if (BaseBlockChecksum(block) != Le32(block + kChecksum)) return false;
  if (Le32(block + kSequence1) > sequence || Le32(block + kSequence2) > sequence) return true;
  unsigned char entry[16];
  for (std::uint64_t at = 512; ReadAt(fd.get(), at, sizeof entry, entry) && std::memcmp(entry, "HvLE", 4) == 0;) {
    std::uint32_t size = Le32(entry + 4);
    if (Le32(entry + 12) > sequence) return true;
    if (size < 512 || size % 512 != 0) break;
    at += size;
  }
  return false;
}

// The transaction logs of a hive: its name with .LOG1, .LOG2 or .LOG, in
// any case (Windows writes "ntuser.dat.LOG1" beside "NTUSER.DAT", and a
// file server may have kept either spelling).
std::vector<std::string> LogsOf(const std::string &path) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::vector<std::string> logs;
  int fd = OpenForRun(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) close(fd);
    return logs;
  }
  while (const dirent *entry = readdir(dir)) {
    std::string_view found = entry->d_name;
    if (found.size() <= name.size() || strncasecmp(found.data(), name.c_str(), name.size()) != 0) continue;
    std::string_view suffix = found.substr(name.size());
    for (const char *log : {".LOG1", ".LOG2", ".LOG"}) {
      if (suffix.size() == std::strlen(log) && strncasecmp(suffix.data(), log, suffix.size()) == 0)
        logs.push_back(folder + std::string(found));
    }
  }
  closedir(dir);
  return logs;
}

// Gives the pages of a buffer about to be read into their memory in one
// call, rather than one fault at a time as the read reaches each page (a
// hive of 1 MB is 256 of them, in a process that is new for each
// profile). Only a hint: where the system lacks it, the read faults them in.
void FaultIn(unsigned char *data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
  auto end = (reinterpret_cast<std::uintptr_t>(data) + size) / page * page;
  if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)data, (void)size;
#endif
}

LONG NotFinished(const std::string &path, const std::string &why) {
  return Report(path, why + ": let Windows load the profile once (log on and off), then run again",
                ERROR_SHARING_VIOLATION);
}

}  // namespace

LONG NotAHive(const std::string &path, const std::string &why) {
  return Report(path, "not a usable hive: " + why, ERROR_REGISTRY_CORRUPT);
}

LONG CheckHiveFile(const std::string &path) {
  Descriptor fd(OpenForRun(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    int error = errno;
    return Report(path, std::string("cannot open the hive: ") + std::strerror(error),
                  StatusOfError(error, ERROR_REGISTRY_IO_FAILED));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return NotAHive(path, "not a regular file");
  unsigned char block[kBaseBlock];
  if (!ReadAt(fd.get(), 0, sizeof block, block) || std::memcmp(block, "regf", 4) != 0)
    return NotAHive(path, "no base block (a hive file begins with \"regf\")");
  if (BaseBlockChecksum(block) != Le32(block + kChecksum)) return NotAHive(path, "bad checksum in the base block");
  if (Le32(block + kFileType) != 0) return NotAHive(path, "a transaction log, not the hive itself");
  std::uint32_t major = Le32(block + kMajor), minor = Le32(block + kMinor);
  if (major != 1 || minor < 3 || minor > 6)
    return NotAHive(path, "format version " + std::to_string(major) + "." + std::to_string(minor) + ", not 1.3 to 1.6");
  // Windows loads only a hive laid out for direct memory load, in clusters
  // of one sector.
  if (Le32(block + kFormat) != 1) return NotAHive(path, "format " + std::to_string(Le32(block + kFormat)) + ", not 1");
  if (Le32(block + kCluster) != 1)
    return NotAHive(path, "clustering factor " + std::to_string(Le32(block + kCluster)) + ", not 1");
  std::uint32_t sequence = Le32(block + kSequence1), bins = Le32(block + kBinsSize);
  if (bins == 0 || bins % 4096 != 0 || static_cast<std::uint64_t>(st.st_size) < kBaseBlock + std::uint64_t{bins})
    return NotAHive(
        path, "cut short: its base block counts " + std::to_string(bins) + " bytes of hive bins, the file holds " +
                  std::to_string(st.st_size - static_cast<off_t>(std::min<std::uint64_t>(kBaseBlock, st.st_size))));
  if (sequence != Le32(block + kSequence2))
    return NotFinished(path, "needs recovery from its transaction logs (its sequence numbers " +
                                 std::to_string(sequence) + " and " + std::to_string(Le32(block + kSequence2)) +
                                 " differ)");
  for (const std::string &log : LogsOf(path)) {
    if (LogIsNewer(log, sequence)) return NotFinished(path, log + " holds changes newer than the hive");
  }
  return ERROR_SUCCESS;
}

LONG ReadHiveFile(const std::string &path, hive::Bytes &bytes, struct stat *read) {
  Descriptor fd(OpenForRun(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    int error = errno;
    return Report(path, std::string("cannot open the hive: ") + std::strerror(error),
                  StatusOfError(error, ERROR_REGISTRY_IO_FAILED));
  }
  // Cell offsets are 31 bits: a larger file is no hive Windows loads.
  if (st.st_size > 0x80000000LL) return NotAHive(path, "larger than 2 GB");
  bytes.resize(static_cast<std::size_t>(st.st_size));
  FaultIn(bytes.data(), bytes.size());
  if (!ReadAt(fd.get(), 0, bytes.size(), bytes.data())) {
    int error = errno;
    return Report(path, std::string("cannot read the hive: ") + std::strerror(error), ERROR_REGISTRY_IO_FAILED);
  }
  if (read) *read = st;
  return ERROR_SUCCESS;
}

bool SameHiveFile(const std::string &path, const struct stat &read) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && st.st_dev == read.st_dev && st.st_ino == read.st_ino &&
         st.st_size == read.st_size && st.st_mtim.tv_sec == read.st_mtim.tv_sec &&
         st.st_mtim.tv_nsec == read.st_mtim.tv_nsec && st.st_ctim.tv_sec == read.st_ctim.tv_sec &&
         st.st_ctim.tv_nsec == read.st_ctim.tv_nsec;
}

int WriteHiveFile(int fd, const hive::Bytes &bytes) {
  return WriteAt(fd, 0, bytes.data(), bytes.size()) ? 0 : errno;
}

std::string SharedHiveKind(std::u16string_view name) {
  // The last two parts of the path the hive names itself by, in upper case;
  // Windows 10 names its machine hives by the bare file name ("SYSTEM").
  std::string last, before;
  for (char16_t unit : name) {
    if (unit == u'\\' || unit == u'/') {
      before = std::move(last);
      last.clear();
    } else {
      last += unit < 0x80 ? static_cast<char>(std::toupper(static_cast<unsigned char>(unit))) : '?';
    }
  }
  // The file's name up to its first dot: copies such as SYSTEM.SAV are the
  // same hive.
  std::string stem = last.substr(0, last.find('.'));
  if (stem == "DEFAULT") return "the default profile's hive";
  if (last == "NTUSER.DAT") {
    if (before == "DEFAULT" || before == "DEFAULT USER") return "the default profile's hive";
    if (before == "LOCALSERVICE" || before == "NETWORKSERVICE" || before == "SYSTEMPROFILE")
      return "a service account's hive, the machine's own";
    return "";
  }
  for (const char *machine : {"SYSTEM", "SOFTWARE", "SAM", "SECURITY", "COMPONENTS", "DRIVERS", "BBI", "ELAM", "BCD",
                              "BCD-TEMPLATE", "USERDIFF", "SCHEMA", "VSMIDK", "OSDATA", "AMCACHE"}) {
    if (stem == machine) return "one of the machine's own hives";
  }
  return "";
}

}  // namespace standin
