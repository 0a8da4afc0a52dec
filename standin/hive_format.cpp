#include "standin/hive_format.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <numeric>

#include "standin/casefold.h"
#include "standin/store.h"

namespace standin {
namespace {

constexpr std::size_t kBaseBlock = 4096;
constexpr std::uint64_t kBins = 4096;  // cells are counted from the end of the base block
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Fields of the base block, a key node and a subkey list, by their offsets
// from the start of the block or cell (the cell's size field included).
constexpr std::size_t kSequence1 = 4, kSequence2 = 8, kWritten = 12, kMajor = 20, kMinor = 24, kFileType = 28,
                      kBinsSize = 40, kChecksum = 508;
constexpr std::size_t kNodeStamp = 8, kNodeSubkeyList = 32, kNodeNameLength = 76, kNodeName = 80;
constexpr std::size_t kNodeFlags = 6;
constexpr std::uint16_t kCompressedName = 0x20;
constexpr std::size_t kListCount = 6, kListEntries = 8;

std::uint32_t Le32(const unsigned char *p) {
  return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
void PutLe32(unsigned char *p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutLe64(unsigned char *p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

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
  while (done < size) {
    ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAt(int fd, std::uint64_t offset, const unsigned char *data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The first 508 bytes of a base block XORed as 32-bit words.
std::uint32_t XorOfWords(const unsigned char *block) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kChecksum; i += 4) sum ^= Le32(block + i);
  return sum;
}

char16_t Upcase(char16_t unit) {
  if (unit < 0x80) return unit >= 'a' && unit <= 'z' ? static_cast<char16_t>(unit - 0x20) : unit;
  return UpcaseCharacter(unit);
}

// Windows' FILETIME of now: 100 ns steps since 1601.
std::uint64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) + 11644473600u) * 10000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 100;
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
  Descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  unsigned char block[512];
  if (fd.get() < 0 || !ReadAt(fd.get(), 0, sizeof block, block) || std::memcmp(block, "regf", 4) != 0) return false;
  std::uint32_t stored = Le32(block + kChecksum);
  if (XorOfWords(block) != stored && BaseBlockChecksum(block) != stored) return false;
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
  DIR *dir = opendir(folder.c_str());
  if (!dir) return logs;
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

LONG NotAHive(const std::string &path, const std::string &why) {
  return Report(path, "not a usable hive: " + why, ERROR_REGISTRY_CORRUPT);
}

LONG NotFinished(const std::string &path, const std::string &why) {
  return Report(path, why + ": let Windows load the profile once (log on and off), then run again",
                ERROR_SHARING_VIOLATION);
}

// The names of the subkeys a list cell leads to, and where its entries are.
struct Leaf {
  std::uint64_t at;
  char kind;  // 'h' (lh), 'f' (lf) or 'i' (li)
  std::uint16_t count;
};

struct Lists {
  std::vector<Leaf> leaves;
  std::vector<std::uint32_t> children;  // in the order of the leaves
};

bool ReadLeaf(int fd, std::uint64_t at, Lists &lists) {
  unsigned char head[kListEntries];
  if (!ReadAt(fd, at, sizeof head, head) || head[4] != 'l' || std::strchr("hfi", head[5]) == nullptr) return false;
  Leaf leaf{at, static_cast<char>(head[5]), Le16(head + kListCount)};
  std::size_t width = leaf.kind == 'i' ? 4 : 8;
  std::vector<unsigned char> entries(width * leaf.count);
  if (!ReadAt(fd, at + kListEntries, entries.size(), entries.data())) return false;
  for (std::size_t i = 0; i < leaf.count; ++i) lists.children.push_back(Le32(entries.data() + width * i));
  lists.leaves.push_back(leaf);
  return true;
}

bool ReadLists(int fd, std::uint32_t list, Lists &lists) {
  unsigned char head[kListEntries];
  if (!ReadAt(fd, kBins + list, sizeof head, head)) return false;
  if (head[4] != 'r' || head[5] != 'i') return ReadLeaf(fd, kBins + list, lists);
  std::vector<unsigned char> entries(4u * Le16(head + kListCount));
  if (!ReadAt(fd, kBins + list + kListEntries, entries.size(), entries.data())) return false;
  for (std::size_t i = 0; i < entries.size(); i += 4) {
    if (!ReadLeaf(fd, kBins + Le32(entries.data() + i), lists)) return false;
  }
  return true;
}

bool ReadNodeName(int fd, std::uint32_t node, std::u16string &name) {
  unsigned char head[kNodeName];
  if (!ReadAt(fd, kBins + node, sizeof head, head) || head[4] != 'n' || head[5] != 'k') return false;
  std::vector<unsigned char> raw(Le16(head + kNodeNameLength));
  if (!ReadAt(fd, kBins + node + kNodeName, raw.size(), raw.data())) return false;
  name.clear();
  if (Le16(head + kNodeFlags) & kCompressedName) {
    name.assign(raw.begin(), raw.end());
  } else {
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) name.push_back(static_cast<char16_t>(Le16(raw.data() + i)));
  }
  return true;
}

// An "lf" entry's hint: the first four characters as bytes, when they all
// are below 256; otherwise none.
void PutHint(unsigned char *hint, const std::u16string &name) {
  std::u16string_view first = std::u16string_view(name).substr(0, 4);
  bool bytes = std::all_of(first.begin(), first.end(), [](char16_t unit) { return unit < 0x100; });
  for (std::size_t c = 0; c < 4; ++c) hint[c] = bytes && c < first.size() ? static_cast<unsigned char>(first[c]) : 0;
}

// libhivex places a new subkey by comparing its UTF-8 bytes and hashes the
// UTF-8 bytes: a name beyond ASCII lands where Windows does not look for
// it. The entries are put in Windows' order, with its hashes, within the
// cells libhivex made. libhivex also makes "lh" lists in every hive, where
// Windows reads them only from format 1.5 on: in an older hive they become
// "lf" lists, the same cell with hints for hashes.
int SortSubkeys(int fd, std::uint64_t node, bool hashed) {
  unsigned char head[kNodeName];
  if (!ReadAt(fd, node, sizeof head, head)) return EBADMSG;
  std::uint32_t list = Le32(head + kNodeSubkeyList);
  Lists lists;
  if (list == kNone) return 0;
  if (!ReadLists(fd, list, lists)) return EBADMSG;
  std::vector<std::u16string> names(lists.children.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!ReadNodeName(fd, lists.children[i], names[i])) return EBADMSG;
  }
  std::vector<std::size_t> order(names.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return CompareHiveNames(names[a], names[b]) < 0; });
  for (std::size_t i = 1; i < order.size(); ++i) {
    // Two names Windows takes for one: the save is refused, not made.
    if (CompareHiveNames(names[order[i - 1]], names[order[i]]) == 0) return ENOTUNIQ;
  }
  std::size_t next = 0;
  for (Leaf leaf : lists.leaves) {
    if (leaf.kind == 'h' && !hashed) {
      const unsigned char fast[2] = {'l', 'f'};
      if (!WriteAt(fd, leaf.at + 4, fast, sizeof fast)) return errno;
      leaf.kind = 'f';
    }
    std::size_t width = leaf.kind == 'i' ? 4 : 8;
    std::vector<unsigned char> entries(width * leaf.count);
    for (std::size_t i = 0; i < leaf.count; ++i, ++next) {
      const std::u16string &name = names[order[next]];
      unsigned char *entry = entries.data() + width * i;
      PutLe32(entry, lists.children[order[next]]);
      if (leaf.kind == 'h') PutLe32(entry + 4, HiveNameHash(name));
      if (leaf.kind == 'f') PutHint(entry + 4, name);
    }
    if (!WriteAt(fd, leaf.at + kListEntries, entries.data(), entries.size())) return errno;
  }
  return 0;
}

}  // namespace

int CompareHiveNames(std::u16string_view a, std::u16string_view b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    char16_t x = Upcase(a[i]), y = Upcase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::uint32_t HiveNameHash(std::u16string_view name) {
  std::uint32_t hash = 0;
  for (char16_t unit : name) hash = hash * 37 + Upcase(unit);
  return hash;
}

std::uint32_t BaseBlockChecksum(const unsigned char *block) {
  std::uint32_t sum = XorOfWords(block);
  if (sum == 0) return 1;
  if (sum == kNone) return kNone - 1;
  return sum;
}

LONG CheckHiveFile(const std::string &path) {
  Descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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

int FixUpSavedHive(int fd, std::vector<std::uint64_t> grown, const std::vector<std::uint64_t> &touched) {
  unsigned char block[kBaseBlock];
  if (!ReadAt(fd, 0, sizeof block, block)) return EBADMSG;
  std::sort(grown.begin(), grown.end());
  grown.erase(std::unique(grown.begin(), grown.end()), grown.end());
  for (std::uint64_t node : grown) {
    if (int error = SortSubkeys(fd, node, Le32(block + kMinor) >= 5)) return error;
  }
  // libhivex gives new keys their parent's time and leaves the hive's as it
  // was: Windows stamps what it writes.
  unsigned char stamp[8];
  PutLe64(stamp, Now());
  for (std::uint64_t node : touched) {
    if (!WriteAt(fd, node + kNodeStamp, stamp, sizeof stamp)) return errno;
  }
  std::memcpy(block + kWritten, stamp, sizeof stamp);
  PutLe32(block + kChecksum, BaseBlockChecksum(block));
  return WriteAt(fd, 0, block, sizeof block) ? 0 : errno;
}

}  // namespace standin
