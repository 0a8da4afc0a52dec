// Hive files for the tests, made and checked from the published format
// descriptions and Windows' published upper-case table alone, apart from
// the program's own code:
//   hivetool blank FILE [MINOR]   a hive holding only its root key, of
//                                 format 1.MINOR (1.5 unless given)
//   hivetool check FILE           Windows' rules, one line per break of them
//                                 (the sizes a key notes among them)
//   hivetool sequence FILE N M    sets the two sequence numbers
//   hivetool nul FILE             turns U+0001 in names into NUL, which
//                                 no .reg file and no library call can hold
//   hivetool log HIVE LOG SEQ [ENTRY]
//                                 a transaction log of HIVE (Windows 8.1
//                                 form): base block at SEQ, an entry at ENTRY
// and damage Windows' loader lets through, KEY a path of ASCII names:
//   hivetool share FILE KEY OTHER subkeys|values   KEY uses OTHER's list
//   hivetool share FILE KEY OTHER data|node   KEY's first value has the
//                                 data of OTHER's first value, or OTHER's
//                                 key node for data
//   hivetool hash FILE KEY        KEY's entry in its parent's lh list
//                                 gets a wrong hash
//   hivetool swap FILE KEY        the first two entries of KEY's list swap
//   hivetool class FILE KEY N     KEY's class length is N, with no class
//   hivetool entry FILE KEY TARGET   KEY's first subkey entry leads to TARGET
//   hivetool empty FILE KEY VALUE nil|live   the value loses its data; its
//                                 data field is -1 or names the root key
//   hivetool rename FILE KEY VALUE NAME   the value takes NAME, of as
//                                 many letters, in place
//   hivetool parent FILE KEY OTHER   KEY's Parent field names OTHER
//   hivetool count FILE KEY N     KEY's subkey count is N
//   hivetool short FILE KEY VALUE   the value's data size is more than its
//                                 cell holds
//   hivetool segments FILE KEY VALUE   the value's big data counts one
//                                 segment more than it has
//   hivetool refs FILE N          the root's security cell counts N keys
//   hivetool base FILE OFFSET N   a 32-bit field of the base block
//   hivetool name FILE NAME       the name the hive gives itself
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t Get32(const Bytes &b, std::size_t at) {
  return at + 4 > b.size() ? 0 : b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t Get16(const Bytes &b, std::size_t at) {
  return at + 2 > b.size() ? 0 : static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
void Set32(Bytes &b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void Set16(Bytes &b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}

// XOR of the first 127 words; Windows never stores 0 or all ones.
std::uint32_t Checksum(const Bytes &b) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i < 508; i += 4) x ^= Get32(b, i);
  return x == 0 ? 1 : x == 0xFFFFFFFFu ? 0xFFFFFFFEu : x;
}

Bytes Read(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool Write(const char *path, const Bytes &b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
  return static_cast<bool>(out);
}

// Base block, then one bin of 4,096 bytes: the root key "ROOT", its
// security cell (owner Administrators, group SYSTEM, everyone full
// access), the rest one free cell.
Bytes Blank(std::uint32_t minor) {
  Bytes hive(8192, 0);
  std::memcpy(hive.data(), "regf", 4);
  Set32(hive, 4, 1), Set32(hive, 8, 1);        // sequence numbers
  Set32(hive, 20, 1), Set32(hive, 24, minor);  // format 1.minor
  Set32(hive, 32, 1);                          // direct memory load
  Set32(hive, 36, 0x20);                       // root cell
  Set32(hive, 40, 4096);                       // bins size
  Set32(hive, 44, 1);                          // clustering factor
  const std::size_t bin = 4096, root = bin + 0x20, sk = root + 88;
  std::memcpy(&hive[bin], "hbin", 4);
  Set32(hive, bin + 8, 4096);
  Set32(hive, root, static_cast<std::uint32_t>(-88));
  std::memcpy(&hive[root + 4], "nk", 2);
  Set16(hive, root + 6, 0x2C);  // hive entry, no delete, compressed name
  Set32(hive, root + 20, 0xFFFFFFFFu);
  for (std::size_t field : {32, 36, 44, 52}) Set32(hive, root + field, 0xFFFFFFFFu);
  Set32(hive, root + 48, static_cast<std::uint32_t>(sk - bin));
  Set16(hive, root + 76, 4);
  std::memcpy(&hive[root + 80], "ROOT", 4);
  const unsigned char descriptor[] = {
      1, 0, 0x04, 0x80, 20,   0, 0,    0, 36, 0, 0, 0, 0,    0, 0, 0, 48, 0, 0, 0,   // header: owner, group, dacl
      1, 2, 0,    0,    0,    0, 0,    5, 32, 0, 0, 0, 0x20, 2, 0, 0,                // S-1-5-32-544
      1, 1, 0,    0,    0,    0, 0,    5, 18, 0, 0, 0,                               // S-1-5-18
      2, 0, 28,   0,    1,    0, 0,    0,                                            // ACL, one entry
      0, 2, 20,   0,    0x3F, 0, 0x0F, 0, 1,  1, 0, 0, 0,    0, 0, 1, 0,  0, 0, 0};  // allow S-1-1-0
  Set32(hive, sk, static_cast<std::uint32_t>(-104));
  std::memcpy(&hive[sk + 4], "sk", 2);
  Set32(hive, sk + 8, static_cast<std::uint32_t>(sk - bin)), Set32(hive, sk + 12, static_cast<std::uint32_t>(sk - bin));
  Set32(hive, sk + 16, 1);
  Set32(hive, sk + 20, sizeof descriptor);
  std::memcpy(&hive[sk + 24], descriptor, sizeof descriptor);
  Set32(hive, sk + 104, static_cast<std::uint32_t>(8192 - (sk + 104)));
  Set32(hive, 508, Checksum(hive));
  return hive;
}

// A unit in upper case as Windows compares names: by its own table (the
// project's copy of it, which names its source), not Unicode's.
char16_t Upper(char16_t u) {
  static const std::vector<char16_t> upper = [] {
    struct Mapping {
      char16_t unit, upper;
    };
    const Mapping table[] = {
#include "regfile/windows_upcase.inc"
    };
    std::vector<char16_t> units(0x10000);
    for (std::size_t c = 0; c < units.size(); ++c) units[c] = static_cast<char16_t>(c);
    for (const Mapping &m : table) units[m.unit] = m.upper;
    return units;
  }();
  return upper[u];
}

// Replaces U+0001 by U+0000 in a name of `length` bytes at `at`.
void NulName(Bytes &hive, std::size_t at, std::size_t length, bool compressed) {
  for (std::size_t i = 0; i < length; i += compressed ? 1 : 2) {
    if (hive[at + i] == 1 && (compressed || hive[at + i + 1] == 0)) hive[at + i] = 0;
  }
}

// NulName in the names of a key, its values and its subkeys, the subkeys'
// hashes made anew.
std::uint32_t NulNames(Bytes &hive, std::size_t nk) {
  NulName(hive, nk + 80, Get16(hive, nk + 76), Get16(hive, nk + 6) & 0x20);
  for (std::uint32_t i = 0, list = Get32(hive, nk + 44); list != 0xFFFFFFFFu && i < Get32(hive, nk + 40); ++i) {
    std::size_t vk = 4096 + std::size_t{Get32(hive, 4096 + std::size_t{list} + 4 + 4 * i)};
    NulName(hive, vk + 24, Get16(hive, vk + 6), Get16(hive, vk + 20) & 1);
  }
  std::uint32_t list = Get32(hive, nk + 32);
  if (list != 0xFFFFFFFFu) {
    std::size_t leaf = 4096 + std::size_t{list};
    if (hive[leaf + 4] != 'l' || hive[leaf + 5] != 'h') return 1;  // only what the layer writes
    for (std::size_t i = 0; i < Get16(hive, leaf + 6); ++i) {
      std::size_t child = 4096 + std::size_t{Get32(hive, leaf + 8 + 8 * i)};
      if (NulNames(hive, child) != 0) return 1;
      std::uint32_t hash = 0;
      bool compressed = Get16(hive, child + 6) & 0x20;
      for (std::size_t c = 0; c < Get16(hive, child + 76); c += compressed ? 1 : 2)
        hash = 37 * hash + Upper(compressed ? hive[child + 80 + c] : Get16(hive, child + 80 + c));
      Set32(hive, leaf + 12 + 8 * i, hash);
    }
  }
  return 0;
}

class Checker {
 public:
  explicit Checker(Bytes hive) : hive_(std::move(hive)) {}
  int Run() {
    if (hive_.size() < 8192 || std::memcmp(hive_.data(), "regf", 4) != 0) return Fail("no base block");
    if (Get32(hive_, 508) != Checksum(hive_)) Fail("base block checksum");
    if (Get32(hive_, 4) != Get32(hive_, 8)) Fail("sequence numbers differ");
    if (std::memcmp(&hive_[12], &hive_[4096 + 20], 8) != 0) Fail("the first bin's time stamp is not the base block's");
    if (4096 + std::size_t{Get32(hive_, 40)} != hive_.size()) Fail("bins size is not the file's");
    if (Get32(hive_, 32) != 1 || Get32(hive_, 44) != 1) Fail("format or clustering factor not 1");
    cells_.assign(hive_.size() / 8, 0);
    for (std::size_t at = 4096; at < hive_.size() && at >= 4096; at += Get32(hive_, at + 8)) {
      if (std::memcmp(&hive_[at], "hbin", 4) != 0 || Get32(hive_, at + 4) != at - 4096 || Get32(hive_, at + 8) % 4096 ||
          Get32(hive_, at + 8) == 0 || at + Get32(hive_, at + 8) > hive_.size())
        return Fail("bin at " + std::to_string(at));
      if (!Tile(at + 32, at + Get32(hive_, at + 8))) return Fail("cells do not tile the bin at " + std::to_string(at));
    }
    Key(Get32(hive_, 36), "", 0);
    for (const auto &[sk, users] : users_) {
      if (Get32(hive_, sk + 16) != users)
        Fail("security cell at " + std::to_string(sk) + " counts other than its keys");
    }
    return failures_ == 0 ? 0 : 1;
  }

 private:
  // Cells tile each bin; each is marked where it starts: 1 free, 2 in use,
  // 3 in use and referenced.
  bool Tile(std::size_t at, std::size_t end) {
    while (at < end) {
      auto raw = static_cast<std::int32_t>(Get32(hive_, at));
      std::size_t size = raw < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(raw)) : std::size_t(raw);
      if (size < 8 || size % 8 || at + size > end) return false;
      cells_[at / 8] = raw < 0 ? 2 : 1;
      at += size;
    }
    return true;
  }
  // A reference to a cell of at least `size` bytes: it must be in use, and
  // referenced nowhere else (security cells are shared, by count).
  bool Use(std::uint32_t offset, std::size_t size, const std::string &what, bool shared = false) {
    std::size_t at = Cell(offset);
    if (offset % 8 || at >= hive_.size() || cells_[at / 8] < 2 ||
        static_cast<std::size_t>(-static_cast<std::int32_t>(Get32(hive_, at))) < size) {
      Fail(what + ": no cell in use of " + std::to_string(size) + " bytes at " + std::to_string(offset));
      return false;
    }
    if (!shared && cells_[at / 8] == 3) Fail(what + ": cell at " + std::to_string(offset) + " referenced twice");
    if (!shared) cells_[at / 8] = 3;
    return true;
  }
  int Fail(const std::string &what) {
    std::printf("hive rule broken: %s\n", what.c_str());
    ++failures_;
    return 1;
  }
  std::size_t Cell(std::uint32_t offset) const { return 4096 + std::size_t{offset}; }
  bool Is(std::size_t cell, const char *id) const {
    return cell + 6 <= hive_.size() && hive_[cell + 4] == id[0] && hive_[cell + 5] == id[1];
  }
  std::u16string Name(std::size_t nk) const {
    std::u16string name;
    std::size_t length = Get16(hive_, nk + 76);
    for (std::size_t i = 0; i < length && nk + 80 + i < hive_.size();) {
      if (Get16(hive_, nk + 6) & 0x20) {
        name.push_back(hive_[nk + 80 + i++]);
      } else {
        name.push_back(static_cast<char16_t>(Get16(hive_, nk + 80 + i)));
        i += 2;
      }
    }
    return name;
  }
  static std::string Printable(const std::u16string &name) {
    std::string out;
    for (char16_t u : name)
      out += u < 0x80 && u >= 0x20 ? std::string(1, static_cast<char>(u)) : "<" + std::to_string(u) + ">";
    return out;
  }
  // Names in Windows' order: upper case unit by unit, then shorter first.
  static bool Before(const std::u16string &a, const std::u16string &b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
      if (Upper(a[i]) != Upper(b[i])) return Upper(a[i]) < Upper(b[i]);
    }
    return a.size() < b.size();
  }
  // An lf hint: the first four characters as bytes when each is below 256,
  // else a NUL first byte.
  bool HintFits(const std::u16string &name, std::size_t at) const {
    std::u16string first = name.substr(0, 4);
    for (char16_t u : first) {
      if (u >= 0x100) return hive_[at] == 0;
    }
    for (std::size_t c = 0; c < 4; ++c) {
      if (hive_[at + c] != (c < first.size() ? first[c] : 0)) return false;
    }
    return true;
  }
  void Leaf(std::uint32_t offset, std::vector<std::uint32_t> &children, const std::string &path) {
    std::size_t list = Cell(offset);
    if (!Use(offset, 8, path + ": subkey list", true)) return;
    std::size_t count = Get16(hive_, list + 6);
    if (!Use(offset, 8 + count * (Is(list, "li") ? 4 : 8), path + ": subkey list")) return;
    // Windows splits a leaf at what fits a bin of 4,096 bytes.
    if (count > (Is(list, "li") ? 1014u : 507u)) Fail(path + ": a leaf of " + std::to_string(count) + " subkeys");
    bool hashed = Is(list, "lh"), indexed = Is(list, "li");
    if (!hashed && !indexed && !Is(list, "lf")) {
      Fail(path + ": subkey list of unknown kind");
      return;
    }
    if (hashed && Get32(hive_, 24) < 5) Fail(path + ": an lh list in a hive older than 1.5");
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t child = Get32(hive_, list + 8 + i * (indexed ? 4 : 8));
      children.push_back(child);
      if (!hashed && !indexed && !HintFits(Name(Cell(child)), list + 12 + i * 8))
        Fail(path + ": lf hint of " + Printable(Name(Cell(child))));
      if (!hashed) continue;
      std::uint32_t hash = 0;
      for (char16_t u : Name(Cell(child))) hash = 37 * hash + Upper(u);
      if (hash != Get32(hive_, list + 12 + i * 8)) Fail(path + ": lh hash of " + Printable(Name(Cell(child))));
    }
  }
  void Key(std::uint32_t offset, const std::string &path, int depth) {
    std::size_t nk = Cell(offset);
    if (!Use(offset, 80, path + ": key") || !Is(nk, "nk") || depth > 600 ||
        !Use(offset, 80 + std::size_t{Get16(hive_, nk + 76)}, path + ": key", true)) {
      Fail(path + ": not a key node");
      return;
    }
    std::uint32_t sk = Get32(hive_, nk + 48);
    if (Use(sk, 24, path + ": security", true) && Is(Cell(sk), "sk")) ++users_[Cell(sk)];
    // Windows resets a class length without a class as it loads the hive.
    if (Get16(hive_, nk + 78) != 0 && Get32(hive_, nk + 52) == 0xFFFFFFFFu) Fail(path + ": a class length, no class");
    std::vector<std::uint32_t> children;
    std::uint32_t list = Get32(hive_, nk + 32);
    if (Get32(hive_, nk + 24) == 0) {
      // No subkeys: the list, if any, is not read.
    } else if (Is(Cell(list), "ri") && Use(list, 8 + 4 * std::size_t{Get16(hive_, Cell(list) + 6)}, path + ": index")) {
      for (std::size_t i = 0; i < Get16(hive_, Cell(list) + 6); ++i)
        Leaf(Get32(hive_, Cell(list) + 8 + 4 * i), children, path);
    } else {
      Leaf(list, children, path);
    }
    for (std::uint32_t child : children) {
      if (Cell(child) + 24 <= hive_.size() && Get32(hive_, Cell(child) + 20) != offset)
        Fail(path + ": a subkey names another parent");
    }
    if (children.size() != Get32(hive_, nk + 24)) Fail(path + ": subkey count");
    for (std::size_t i = 0; i < children.size(); ++i) {
      std::u16string name = Name(Cell(children[i]));
      if (i > 0 && !Before(Name(Cell(children[i - 1])), name))
        Fail(path + ": " + Printable(name) + " out of order or a case duplicate");
      Key(children[i], path + "\\" + Printable(name), depth + 1);
    }
    // The largest sizes a key notes, which Windows raises with each new
    // subkey and value and callers size buffers by (RegQueryInfoKey gives
    // them in units): names in bytes of UTF-16, whatever form a name is
    // kept in, and data in bytes.
    std::size_t longest = 0;
    for (std::uint32_t child : children) longest = std::max(longest, 2 * Name(Cell(child)).size());
    Largest(Get16(hive_, nk + 56), longest, path + ": largest subkey name");
    Values(nk, path);
  }
  // Data beyond 16,344 bytes Windows reads from a "db" cell (format 1.4 on).
  void Largest(std::size_t noted, std::size_t largest, const std::string &what) {
    if (noted < largest) Fail(what + " noted as " + std::to_string(noted) + ", not " + std::to_string(largest));
  }
  void Values(std::size_t nk, const std::string &path) {
    std::uint32_t count = Get32(hive_, nk + 40), list = Get32(hive_, nk + 44);
    if (count > 0 && !Use(list, 4 + 4 * std::size_t{count}, path + ": value list")) return;
    std::size_t longestName = 0, largestData = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t offset = Get32(hive_, Cell(list) + 4 + 4 * i);
      std::size_t vk = Cell(offset);
      if (!Use(offset, 24, path + ": value") || !Is(vk, "vk") ||
          !Use(offset, 24 + std::size_t{Get16(hive_, vk + 6)}, path + ": value", true)) {
        Fail(path + ": not a value");
        continue;
      }
      std::uint32_t size = Get32(hive_, vk + 8), data = Get32(hive_, vk + 12);
      std::size_t nameBytes = Get16(hive_, vk + 6);
      longestName = std::max(longestName, Get16(hive_, vk + 20) & 1 ? 2 * nameBytes : nameBytes);
      largestData = std::max<std::size_t>(largestData, size & 0x7FFFFFFFu);
      if (size & 0x80000000u) {
        if ((size & 0x7FFFFFFFu) > 4) Fail(path + ": inline data over 4 bytes");
      } else if (size > 16344 && Get32(hive_, 24) >= 4) {
        if (!Use(data, 12, path + ": big data") || !Is(Cell(data), "db")) {
          Fail(path + ": big value without a db cell");
          continue;
        }
        std::size_t segments = Get16(hive_, Cell(data) + 6), segmentList = Get32(hive_, Cell(data) + 8);
        if (segments != (size + 16343) / 16344) Fail(path + ": big data of a wrong number of segments");
        if (!Use(static_cast<std::uint32_t>(segmentList), 4 + 4 * segments, path + ": segment list")) continue;
        // Windows gives every segment, the last one too, a cell of 16,344
        // bytes, and other readers take each to be that large.
        for (std::size_t s = 0; s < segments; ++s)
          Use(Get32(hive_, Cell(static_cast<std::uint32_t>(segmentList)) + 4 + 4 * s), 4 + 16344, path + ": segment");
      } else if (size > 0) {
        Use(data, 4 + std::size_t{size}, path + ": data");
      }
    }
    Largest(Get32(hive_, nk + 64), longestName, path + ": largest value name");
    Largest(Get32(hive_, nk + 68), largestData, path + ": largest data");
  }

  Bytes hive_;
  int failures_ = 0;
  std::vector<unsigned char> cells_;            // see Tile
  std::map<std::size_t, std::uint32_t> users_;  // keys of each security cell
};

// A transaction log of the Windows 8.1 form: a base block (file type 6)
// and, when asked, one log entry "HvLE" with no pages.
Bytes Log(const Bytes &hive, std::uint32_t sequence, long entry) {
  Bytes log(entry >= 0 ? 1024 : 512, 0);
  std::memcpy(log.data(), hive.data(), 512);
  Set32(log, 4, sequence), Set32(log, 8, sequence), Set32(log, 28, 6);
  Set32(log, 508, Checksum(log));
  if (entry >= 0) {
    std::memcpy(&log[512], "HvLE", 4);
    Set32(log, 516, 512), Set32(log, 524, static_cast<std::uint32_t>(entry)), Set32(log, 528, Get32(hive, 40));
  }
  return log;
}

// Damage for the tests, of kinds Windows' loader lets through. Keys are
// found by path of ASCII names below the root ("" for the root).
std::size_t KeyAt(const Bytes &hive, const std::string &path) {
  std::size_t nk = 4096 + std::size_t{Get32(hive, 36)};
  for (std::size_t from = 0; from < path.size();) {
    std::size_t end = path.find('\\', from);
    std::string name = path.substr(from, end == std::string::npos ? std::string::npos : end - from);
    from = end == std::string::npos ? path.size() : end + 1;
    std::size_t list = 4096 + std::size_t{Get32(hive, nk + 32)}, found = 0;
    for (std::size_t i = 0; Get32(hive, nk + 24) && i < Get16(hive, list + 6); ++i) {
      std::size_t child = 4096 + std::size_t{Get32(hive, list + 8 + 8 * i)};
      std::string childName(reinterpret_cast<const char *>(&hive[child + 80]), Get16(hive, child + 76));
      if (strcasecmp(childName.c_str(), name.c_str()) == 0) found = child;
    }
    if (!found) return 0;
    nk = found;
  }
  return nk;
}

// The first value of a key, by name.
std::size_t ValueAt(const Bytes &hive, std::size_t nk, const std::string &name) {
  std::size_t list = 4096 + std::size_t{Get32(hive, nk + 44)};
  for (std::size_t i = 0; i < Get32(hive, nk + 40); ++i) {
    std::size_t vk = 4096 + std::size_t{Get32(hive, list + 4 + 4 * i)};
    if (std::string(reinterpret_cast<const char *>(&hive[vk + 24]), Get16(hive, vk + 6)) == name) return vk;
  }
  return 0;
}

int Damage(const std::string &command, char **args, int count) {
  Bytes hive = Read(args[0]);
  if (hive.size() < 8192) return 1;
  std::size_t key = count > 1 ? KeyAt(hive, args[1]) : 0;
  std::string what = count == 4 ? args[3] : "";
  // KEY, holding what OTHER holds, notes OTHER's largest sizes too: the
  // damage is the sharing alone.
  auto noteSizes = [&](std::size_t other) {
    Set16(hive, key + 56, std::max(Get16(hive, key + 56), Get16(hive, other + 56)));
    for (std::size_t field : {64, 68})
      Set32(hive, key + field, std::max(Get32(hive, key + field), Get32(hive, other + field)));
  };
  if (command == "share" && count == 4 && (what == "data" || what == "node")) {
    // KEY's first value takes OTHER's first value's data, or OTHER's node.
    std::size_t other = KeyAt(hive, args[2]);
    if (!key || !other || !Get32(hive, key + 40) || !Get32(hive, other + 40)) return 1;
    std::size_t vk = 4096 + std::size_t{Get32(hive, 4096 + std::size_t{Get32(hive, key + 44)} + 4)};
    std::size_t from = 4096 + std::size_t{Get32(hive, 4096 + std::size_t{Get32(hive, other + 44)} + 4)};
    Set32(hive, vk + 8, what == "node" ? 8 : Get32(hive, from + 8));
    Set32(hive, vk + 12, what == "node" ? static_cast<std::uint32_t>(other - 4096) : Get32(hive, from + 12));
    noteSizes(other);
  } else if (command == "share" && count == 4) {
    // KEY takes OTHER's subkey list or value list: one cell, two keys.
    std::size_t other = KeyAt(hive, args[2]), field = what == "values" ? 40 : 24;
    if (!key || !other) return 1;
    Set32(hive, key + field, Get32(hive, other + field));
    Set32(hive, key + field + (field == 24 ? 8 : 4), Get32(hive, other + field + (field == 24 ? 8 : 4)));
    noteSizes(other);
  } else if (command == "hash" && count == 2) {
    // KEY's entry in its parent's list gets a hash one off.
    std::size_t list = key ? 4096 + std::size_t{Get32(hive, 4096 + std::size_t{Get32(hive, key + 20)} + 32)} : 0;
    for (std::size_t i = 0; key && i < Get16(hive, list + 6); ++i) {
      if (4096 + std::size_t{Get32(hive, list + 8 + 8 * i)} == key)
        Set32(hive, list + 12 + 8 * i, Get32(hive, list + 12 + 8 * i) + 1);
    }
    if (!key) return 1;
  } else if (command == "swap" && count == 2) {
    std::size_t list = 4096 + std::size_t{Get32(hive, key + 32)};
    if (!key || Get32(hive, key + 24) < 2) return 1;
    for (std::size_t at = list + 8; at < list + 16; ++at) std::swap(hive[at], hive[at + 8]);
  } else if (command == "class" && count == 3) {
    if (!key) return 1;
    Set32(hive, key + 52, 0xFFFFFFFFu);
    Set16(hive, key + 78, static_cast<std::uint16_t>(std::stoul(args[2])));
  } else if (command == "entry" && count == 3) {
    // KEY's first subkey entry leads to TARGET instead, with its hash.
    std::size_t target = KeyAt(hive, args[2]), list = 4096 + std::size_t{Get32(hive, key + 32)};
    if (!key || !target || Get32(hive, key + 24) == 0) return 1;
    Set32(hive, list + 8, static_cast<std::uint32_t>(target - 4096));
    std::uint32_t hash = 0;
    for (std::size_t c = 0; c < Get16(hive, target + 76); ++c) hash = 37 * hash + Upper(hive[target + 80 + c]);
    Set32(hive, list + 12, hash);
  } else if (command == "empty" && count == 4) {
    // A value of KEY without data, its data field the nil cell or the root.
    std::size_t vk = key ? ValueAt(hive, key, args[2]) : 0;
    if (!vk) return 1;
    Set32(hive, vk + 8, 0);
    Set32(hive, vk + 12, std::strcmp(args[3], "nil") == 0 ? 0xFFFFFFFFu : Get32(hive, 36));
  } else if (command == "rename" && count == 4) {
    std::size_t vk = key ? ValueAt(hive, key, args[2]) : 0;
    if (!vk || std::strlen(args[3]) != Get16(hive, vk + 6)) return 1;
    std::memcpy(&hive[vk + 24], args[3], std::strlen(args[3]));
  } else if (command == "parent" && count == 3) {
    std::size_t other = KeyAt(hive, args[2]);
    if (!key || !other) return 1;
    Set32(hive, key + 20, static_cast<std::uint32_t>(other - 4096));
  } else if (command == "count" && count == 3) {
    if (!key) return 1;
    Set32(hive, key + 24, static_cast<std::uint32_t>(std::stoul(args[2])));
  } else if (command == "short" && count == 3) {
    std::size_t vk = key ? ValueAt(hive, key, args[2]) : 0;
    if (!vk || (Get32(hive, vk + 8) & 0x80000000u)) return 1;
    std::size_t data = 4096 + std::size_t{Get32(hive, vk + 12)};
    Set32(hive, vk + 8, 0u - Get32(hive, data));  // the cell's size, its size field included
  } else if (command == "segments" && count == 3) {
    std::size_t vk = key ? ValueAt(hive, key, args[2]) : 0;
    if (!vk || Get32(hive, vk + 8) <= 16344) return 1;
    std::size_t db = 4096 + std::size_t{Get32(hive, vk + 12)};
    Set16(hive, db + 6, static_cast<std::uint16_t>(Get16(hive, db + 6) + 1));
  } else if (command == "refs" && count == 2) {
    Set32(hive, 4096 + std::size_t{Get32(hive, 4096 + std::size_t{Get32(hive, 36)} + 48)} + 16,
          static_cast<std::uint32_t>(std::stoul(args[1])));
  } else if (command == "base" && count == 3) {
    Set32(hive, std::stoul(args[1]), static_cast<std::uint32_t>(std::stoul(args[2])));
  } else if (command == "name" && count == 2) {
    // Windows keeps the last 31 characters of the path.
    std::string name = args[1];
    if (name.size() > 31) name = name.substr(name.size() - 31);
    for (std::size_t i = 0; i < 32; ++i) Set16(hive, 48 + 2 * i, i < name.size() && i < 31 ? name[i] : 0);
  } else {
    return 2;
  }
  Set32(hive, 508, Checksum(hive));
  return Write(args[0], hive) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string command = argc > 2 ? argv[1] : "";
  if (command == "blank" && (argc == 3 || argc == 4))
    return Write(argv[2], Blank(argc == 4 ? static_cast<std::uint32_t>(std::stoul(argv[3])) : 5)) ? 0 : 1;
  if (command == "check" && argc == 3) return Checker(Read(argv[2])).Run();
  if (command == "nul" && argc == 3) {
    Bytes hive = Read(argv[2]);
    return hive.size() >= 8192 && NulNames(hive, 4096 + std::size_t{Get32(hive, 36)}) == 0 && Write(argv[2], hive) ? 0
                                                                                                                   : 1;
  }
  if (command == "sequence" && argc == 5) {
    Bytes hive = Read(argv[2]);
    if (hive.size() < 4096) return 1;
    Set32(hive, 4, static_cast<std::uint32_t>(std::stoul(argv[3]))),
        Set32(hive, 8, static_cast<std::uint32_t>(std::stoul(argv[4])));
    Set32(hive, 508, Checksum(hive));
    return Write(argv[2], hive) ? 0 : 1;
  }
  if (command == "log" && (argc == 5 || argc == 6)) {
    Bytes hive = Read(argv[2]);
    if (hive.size() < 4096) return 1;
    return Write(argv[3],
                 Log(hive, static_cast<std::uint32_t>(std::stoul(argv[4])), argc == 6 ? std::stol(argv[5]) : -1))
               ? 0
               : 1;
  }
  if (argc > 2) {
    int damaged = Damage(command, argv + 2, argc - 2);
    if (damaged != 2) return damaged;
  }
  std::fprintf(stderr, "usage: hivetool blank|check FILE | sequence FILE N M | log HIVE LOG SEQ [ENTRY] | damage\n");
  return 2;
}
