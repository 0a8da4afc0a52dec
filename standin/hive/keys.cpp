#include "standin/hive/keys.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "regfile/casefold.h"

using regfile::UpcaseCharacter;

namespace standin {

int CompareHiveNames(std::u16string_view a, std::u16string_view b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    char16_t x = UpcaseCharacter(a[i]), y = UpcaseCharacter(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::uint32_t HiveNameHash(std::u16string_view name) {
  std::uint32_t hash = 0;
  for (char16_t unit : name) hash = hash * 37 + UpcaseCharacter(unit);
  return hash;
}

namespace hive {
namespace {

std::string At(std::uint32_t offset) { return " at offset " + std::to_string(offset); }

// Names of at most 255 units below U+0100 are kept one byte a unit, as
// Windows keeps them.
bool Compressible(std::u16string_view name) {
  return std::all_of(name.begin(), name.end(), [](char16_t unit) { return unit < 0x100; });
}

std::size_t NameBytes(std::u16string_view name) { return Compressible(name) ? name.size() : 2 * name.size(); }

void PutName(unsigned char *out, std::u16string_view name) {
  bool compressed = Compressible(name);
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (compressed) {
      out[i] = static_cast<unsigned char>(name[i]);
    } else {
      PutLe16(out + 2 * i, name[i]);
    }
  }
}

std::string GetName(const unsigned char *at, std::size_t bytes, bool compressed, std::u16string &name) {
  name.clear();
  if (compressed) {
    // Widened in place: assign() from bytes would build a string apart and
    // copy it, for every key the check reads.
    name.resize(bytes);
    std::copy(at, at + bytes, name.begin());
    return "";
  }
  if (bytes % 2 != 0) return "a name of an odd number of bytes";
  for (std::size_t i = 0; i < bytes; i += 2) name.push_back(static_cast<char16_t>(Le16(at + i)));
  return "";
}

std::string ReadLeaf(const Image &image, std::uint32_t leaf, std::vector<std::uint32_t> &children,
                     std::vector<std::uint32_t> &cells) {
  const unsigned char *cell = image.Cell(leaf, kListEntries);
  bool indexed = image.Is(leaf, "li", kListEntries);
  if (!indexed && !image.Is(leaf, "lf", kListEntries) && !image.Is(leaf, "lh", kListEntries))
    return "no subkey list" + At(leaf);
  std::size_t count = Le16(cell + kListCount), width = indexed ? 4 : 8;
  if (!image.Cell(leaf, kListEntries + width * count)) return "a subkey list cut short" + At(leaf);
  for (std::size_t i = 0; i < count; ++i) children.push_back(Le32(cell + kListEntries + width * i));
  cells.push_back(leaf);
  return "";
}

std::uint32_t Segments(std::uint32_t size) { return (size + kMaxCellData - 1) / kMaxCellData; }

bool IsBig(const Image &image, std::uint32_t size) { return image.minor() >= 4 && size > kMaxCellData; }

// Without `copy`, the data's cells are checked and listed but the data is
// not copied.
std::string ReadBigData(const Image &image, std::uint32_t db, std::uint32_t size, ValueRead &value, bool copy) {
  const unsigned char *head = image.Cell(db, kDbCellSize);
  if (!image.Is(db, "db", kDbCellSize)) return "no big data cell" + At(db);
  std::uint32_t count = Le16(head + kDbCount), list = Le32(head + kDbList);
  if (count != Segments(size)) return "big data of a wrong number of segments" + At(db);
  const unsigned char *segments = image.Cell(list, 4 + 4 * std::size_t{count});
  if (!segments) return "no list of big data segments" + At(list);
  value.cells.push_back(db);
  value.cells.push_back(list);
  if (copy) value.data.reserve(size);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t segment = Le32(segments + 4 + 4 * i);
    std::size_t part = std::min<std::size_t>(kMaxCellData, size - std::size_t{i} * kMaxCellData);
    const unsigned char *bytes = image.Cell(segment, 4 + part);
    if (!bytes) return "a big data segment cut short or missing" + At(segment);
    if (copy) value.data.append(reinterpret_cast<const char *>(bytes + 4), part);
    value.cells.push_back(segment);
  }
  return "";
}

}  // namespace

std::string KeyPath(const Image &image, std::uint32_t nk) {
  std::vector<std::u16string> names;
  for (int steps = 0; steps < 1024 && nk != image.root() && image.Is(nk, "nk", kNkName); ++steps) {
    std::u16string name;
    if (!ReadKeyName(image, nk, name).empty()) break;
    names.push_back(name);
    nk = Le32(image.Cell(nk) + kNkParent);
  }
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (!path.empty()) path += '\\';
    for (char16_t unit : *name) path += unit >= 0x20 && unit < 0x7F ? std::string(1, static_cast<char>(unit)) : "?";
  }
  return path.empty() ? "the root key" : "key " + path;
}

namespace {

class Checker {
 public:
  Checker(const Image &image, Findings &found)
      : image_(image), found_(found), roles_(image.bytes().size() / 8, kNone) {}

  std::string Run() {
    std::vector<std::uint32_t> pending{image_.root()};
    Claim(image_.root(), kKeyPart);
    while (!pending.empty()) {
      std::uint32_t nk = pending.back();
      pending.pop_back();
      std::string why = Key(nk, pending);
      if (!why.empty()) return KeyPath(image_, nk) + ": " + why;
    }
    for (const auto &[sk, users] : users_) {
      if (Le32(image_.Cell(sk) + kSkReferences) != users) found_.securityCounts.emplace_back(sk, users);
    }
    return "";
  }

 private:
  // What a cell serves as. A key node or a subkey list serves as nothing
  // else, and is gone through once, though more than one key may list a
  // key or hold a list (see Key); a security cell serves any number of
  // keys; the cells of values and classes any number too, as Windows'
  // loader never looks, but nothing else.
  enum Role : unsigned char { kNone, kKeyPart, kList, kSecurity, kValuePart };

  bool Claim(std::uint32_t cell, Role role) {
    unsigned char &held = roles_[cell / 8];
    if (held == kNone) {
      held = role;
      return true;
    }
    if (held != role || role == kKeyPart || role == kList) return false;
    if (role == kValuePart) found_.shared.insert(cell);
    return true;
  }
  std::string ClaimAll(const std::vector<std::uint32_t> &cells, Role role) {
    for (std::uint32_t cell : cells) {
      if (!Claim(cell, role)) return "the cell" + At(cell) + " is also another's";
    }
    return "";
  }

  // The scratch buffers below are the check's own, reused key after key:
  // a hive of a user of some years holds 100,000 values.
  std::string Key(std::uint32_t nk, std::vector<std::uint32_t> &pending) {
    std::u16string &name = name_;
    std::string why = ReadKeyName(image_, nk, name);
    if (!why.empty()) return why;
    const unsigned char *node = image_.Cell(nk);
    std::uint32_t sk = Le32(node + kNkSecurity);
    if (!image_.Is(sk, "sk", kSkReferences + 4)) return "no security cell" + At(sk);
    if (!Claim(sk, kSecurity)) return "its security cell" + At(sk) + " is also another's";
    ++users_[sk];
    std::uint32_t classCell = Le32(node + kNkClass), classLength = Le16(node + kNkClassLength);
    if (classLength > 0 && classCell == kNil) {
      found_.classless.push_back(nk);
    } else if (classLength > 0) {
      if (!image_.Cell(classCell, 4 + std::size_t{classLength})) return "no class" + At(classCell);
      if (!Claim(classCell, kValuePart)) return "its class" + At(classCell) + " is also another's";
    }
    std::vector<std::uint32_t> &children = children_, &cells = cells_;
    if (!(why = ReadSubkeys(image_, nk, children, cells)).empty()) return why;
    if (children.size() != Le32(node + kNkSubkeyCount))
      found_.subkeyCounts.emplace_back(nk, static_cast<std::uint32_t>(children.size()));
    // A list another key holds too, whole, Windows loads: it is never freed
    // nor changed in place (a key the run changes gets a list of its own).
    if (!cells.empty() && listTops_.count(cells[0]) != 0) {
      found_.shared.insert(cells.begin(), cells.end());
    } else if (!(why = ClaimAll(cells, kList)).empty()) {
      return why;
    } else if (!cells.empty()) {
      listTops_.insert(cells[0]);
    }
    for (std::uint32_t child : children) {
      if (!image_.Is(child, "nk", kNkName)) return "a subkey that is not a key" + At(child);
      if (Claim(child, kKeyPart)) {
        if (Le32(image_.Cell(child) + kNkParent) != nk) found_.parents.emplace_back(child, nk);
        pending.push_back(child);
      } else if (roles_[child / 8] == kKeyPart && !Reaches(child, nk)) {
        // A key two keys list: Windows loads it, and the check went
        // through it once.
        others_[child].push_back(nk);
      } else {
        return "the subkey" + At(child) + " is reached twice (a cycle)";
      }
    }
    std::vector<std::uint32_t> &values = values_;
    std::uint32_t list = kNil;
    if (!(why = ReadValueList(image_, nk, values, list)).empty()) return why;
    if (list != kNil && !Claim(list, kValuePart)) return "its value list" + At(list) + " is also another's";
    for (std::uint32_t vk : values) {
      ValueRead &value = value_;
      if (!(why = CheckValueName(image_, vk)).empty()) return why;
      if (!Claim(vk, kValuePart)) return "the value" + At(vk) + " is also another's";
      if (!ReadValueData(image_, vk, value, false).empty()) {
        Unreadable(vk, value);
      } else if (!(why = ClaimAll(value.cells, kValuePart)).empty()) {
        return why;
      }
    }
    return "";
  }

  // Windows reads a value's data only when asked, and then only that value
  // fails: data it cannot read is no reason to refuse the hive. The cells
  // the value leads to are never freed nor changed, whatever they are, so
  // that the value is carried as it is.
  void Unreadable(std::uint32_t vk, const ValueRead &value) {
    const unsigned char *cell = image_.Cell(vk);
    if (!(Le32(cell + kVkDataSize) & kVkDataInline)) found_.shared.insert(Le32(cell + kVkData));
    found_.shared.insert(value.cells.begin(), value.cells.end());
  }

  // The key that lists `nk` first: its Parent field, as repaired.
  std::uint32_t Above(std::uint32_t nk) const {
    for (const auto &[child, parent] : found_.parents) {
      if (child == nk) return parent;
    }
    return nk == image_.root() ? kNil : Le32(image_.Cell(nk) + kNkParent);
  }

  // Whether the key `from` is `to` or above it, by any key that lists it.
  bool Reaches(std::uint32_t from, std::uint32_t to) const {
    std::vector<std::uint32_t> pending{to};
    std::unordered_set<std::uint32_t> seen;
    while (!pending.empty()) {
      std::uint32_t at = pending.back();
      pending.pop_back();
      if (at == from) return true;
      if (!seen.insert(at).second) continue;
      if (at != image_.root()) pending.push_back(Above(at));
      auto more = others_.find(at);
      if (more != others_.end()) pending.insert(pending.end(), more->second.begin(), more->second.end());
    }
    return false;
  }

  const Image &image_;
  Findings &found_;
  std::vector<unsigned char> roles_;  // one for each 8 bytes
  std::unordered_map<std::uint32_t, std::uint32_t> users_;
  std::unordered_set<std::uint32_t> listTops_;                         // the first cell of each subkey list
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> others_;  // keys listed by more than one key
  std::u16string name_;
  std::vector<std::uint32_t> children_, cells_, values_;
  ValueRead value_;
};

void PutEntryKey(unsigned char *entry, const Child &child, bool hashed) {
  if (hashed) {
    PutLe32(entry, HiveNameHash(child.name));
    return;
  }
  // An "lf" hint: the first four characters as bytes when each is below
  // 256, otherwise nothing.
  std::u16string_view first = std::u16string_view(child.name).substr(0, 4);
  bool bytes = Compressible(first);
  for (std::size_t c = 0; c < 4; ++c) entry[c] = bytes && c < first.size() ? static_cast<unsigned char>(first[c]) : 0;
}

std::uint32_t WriteLeaf(Image &image, const Child *children, std::size_t count) {
  std::uint32_t leaf = image.Allocate(kListEntries + 8 * count);
  if (leaf == kNil) return kNil;
  bool hashed = image.minor() >= 5;
  unsigned char *cell = image.MutableCell(leaf);
  cell[4] = 'l', cell[5] = hashed ? 'h' : 'f';
  PutLe16(cell + kListCount, static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    PutLe32(cell + kListEntries + 8 * i, children[i].node);
    PutEntryKey(cell + kListEntries + 8 * i + 4, children[i], hashed);
  }
  return leaf;
}

// Puts `data` where a value keeps it: in the value's data field when small,
// else in cells of its own. False when the hive cannot grow.
bool StoreData(Image &image, std::string_view data, std::uint32_t &field, std::uint32_t &size) {
  size = static_cast<std::uint32_t>(data.size());
  if (data.size() <= kMaxInlineData) {
    unsigned char inline_[4] = {};
    std::memcpy(inline_, data.data(), data.size());
    field = Le32(inline_);
    size |= kVkDataInline;
    return true;
  }
  // Each segment of big data gets a cell of kMaxCellData, the last one too,
  // as Windows allocates them (and other readers take them to be).
  auto copy = [&](std::size_t from, std::size_t length, std::size_t room) {
    std::uint32_t cell = image.Allocate(4 + room);
    if (cell == kNil) return kNil;
    std::memcpy(image.MutableCell(cell) + 4, data.data() + from, length);
    std::memset(image.MutableCell(cell) + 4 + length, 0, room - length);
    return cell;
  };
  if (!IsBig(image, size)) return (field = copy(0, data.size(), data.size())) != kNil;
  std::uint32_t count = Segments(size);
  std::uint32_t list = image.Allocate(4 + 4 * std::size_t{count});
  if (list == kNil) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::size_t from = std::size_t{i} * kMaxCellData;
    std::uint32_t segment = copy(from, std::min<std::size_t>(kMaxCellData, data.size() - from), kMaxCellData);
    if (segment == kNil) return false;
    PutLe32(image.MutableCell(list) + 4 + 4 * i, segment);
  }
  field = image.Allocate(kDbCellSize);
  if (field == kNil) return false;
  unsigned char *db = image.MutableCell(field);
  db[4] = 'd', db[5] = 'b';
  PutLe16(db + kDbCount, static_cast<std::uint16_t>(count));
  PutLe32(db + kDbList, list);
  return true;
}

}  // namespace

std::string ReadKeyName(const Image &image, std::uint32_t nk, std::u16string &name) {
  if (!image.Is(nk, "nk", kNkName)) return "no key node" + At(nk);
  const unsigned char *node = image.Cell(nk);
  std::size_t length = Le16(node + kNkNameLength);
  if (!image.Cell(nk, kNkName + length)) return "a key node cut short" + At(nk);
  return GetName(node + kNkName, length, Le16(node + kNkFlags) & kNkCompressedName, name);
}

std::string ReadSubkeys(const Image &image, std::uint32_t nk, std::vector<std::uint32_t> &children,
                        std::vector<std::uint32_t> &cells) {
  const unsigned char *node = image.Cell(nk, kNkName);
  std::uint32_t count = Le32(node + kNkSubkeyCount), list = Le32(node + kNkSubkeyList);
  children.clear();
  cells.clear();
  if (count == 0) return "";
  std::string why;
  if (image.Is(list, "ri", kListEntries)) {
    const unsigned char *index = image.Cell(list);
    std::size_t leaves = Le16(index + kListCount);
    if (!image.Cell(list, kListEntries + 4 * leaves)) return "a subkey index cut short" + At(list);
    cells.push_back(list);
    for (std::size_t i = 0; i < leaves && why.empty(); ++i)
      why = ReadLeaf(image, Le32(index + kListEntries + 4 * i), children, cells);
  } else {
    why = ReadLeaf(image, list, children, cells);
  }
  return why;
}

std::string ReadValueList(const Image &image, std::uint32_t nk, std::vector<std::uint32_t> &values,
                          std::uint32_t &cell) {
  const unsigned char *node = image.Cell(nk, kNkName);
  std::uint32_t count = Le32(node + kNkValueCount);
  values.clear();
  cell = kNil;
  if (count == 0) return "";
  std::uint32_t list = Le32(node + kNkValueList);
  const unsigned char *entries = image.Cell(list, 4 + 4 * std::size_t{count});
  if (!entries) return "no value list of " + std::to_string(count) + " values" + At(list);
  for (std::uint32_t i = 0; i < count; ++i) values.push_back(Le32(entries + 4 + 4 * i));
  cell = list;
  return "";
}

std::string ReadValue(const Image &image, std::uint32_t vk, ValueRead &value) {
  std::string why = ReadValueName(image, vk, value);
  return why.empty() ? ReadValueData(image, vk, value) : why;
}

std::string ReadValueName(const Image &image, std::uint32_t vk, ValueRead &value) {
  std::string why = CheckValueName(image, vk);
  if (!why.empty()) return why;
  const unsigned char *cell = image.Cell(vk);
  GetName(cell + kVkName, Le16(cell + kVkNameLength), Le16(cell + kVkFlags) & kVkCompressedName, value.name);
  value.type = Le32(cell + kVkType);
  return "";
}

std::string CheckValueName(const Image &image, std::uint32_t vk) {
  if (!image.Is(vk, "vk", kVkName)) return "no value" + At(vk);
  const unsigned char *cell = image.Cell(vk);
  std::size_t length = Le16(cell + kVkNameLength);
  if (!image.Cell(vk, kVkName + length)) return "a value cut short" + At(vk);
  if (!(Le16(cell + kVkFlags) & kVkCompressedName) && length % 2 != 0) return "a name of an odd number of bytes" + At(vk);
  return "";
}

std::string ReadValueData(const Image &image, std::uint32_t vk, ValueRead &value) {
  return ReadValueData(image, vk, value, true);
}

std::string ReadValueData(const Image &image, std::uint32_t vk, ValueRead &value, bool copy) {
  const unsigned char *cell = image.Cell(vk);
  value.data.clear();
  value.cells.clear();
  std::uint32_t size = Le32(cell + kVkDataSize), data = Le32(cell + kVkData);
  if (size & kVkDataInline) {
    size &= ~kVkDataInline;
    if (size > kMaxInlineData) return "a value of " + std::to_string(size) + " bytes held in its own cell" + At(vk);
    if (copy) value.data.assign(reinterpret_cast<const char *>(cell + kVkData), size);
    return "";
  }
  // A value without data leads nowhere, whatever its data field holds.
  if (size == 0) return "";
  if (IsBig(image, size)) return ReadBigData(image, data, size, value, copy);
  const unsigned char *bytes = image.Cell(data, 4 + std::size_t{size});
  if (!bytes) return "no data cell of " + std::to_string(size) + " bytes" + At(data);
  if (copy) value.data.assign(reinterpret_cast<const char *>(bytes + 4), size);
  value.cells.push_back(data);
  return "";
}

std::string CheckHive(const Image &image, Findings &found) {
  found = Findings{};
  return Checker(image, found).Run();
}

void RepairAsLoaded(Image &image, const Findings &found) {
  for (const auto &[nk, count] : found.subkeyCounts) PutLe32(image.MutableCell(nk) + kNkSubkeyCount, count);
  for (const auto &[nk, parent] : found.parents) PutLe32(image.MutableCell(nk) + kNkParent, parent);
  for (const auto &[sk, users] : found.securityCounts) PutLe32(image.MutableCell(sk) + kSkReferences, users);
  for (std::uint32_t nk : found.classless) PutLe16(image.MutableCell(nk) + kNkClassLength, 0);
}

namespace {

// The check of Searchable, of every entry or only of `only`'s (kNil: every).
bool ListSearchable(const Image &image, std::uint32_t nk, std::uint32_t only) {
  std::vector<std::uint32_t> children, cells;
  if (!ReadSubkeys(image, nk, children, cells).empty()) return false;
  std::unordered_map<std::uint32_t, std::u16string> names;
  const std::u16string *previous = nullptr;
  for (std::uint32_t child : children) {
    std::u16string &name = names[child];
    if (!ReadKeyName(image, child, name).empty()) return false;
    // Whether a list out of order hides one key depends on where a search
    // by halves falls: only a list as a whole is judged by its order.
    if (only == kNil && previous && CompareHiveNames(*previous, name) >= 0) return false;
    previous = &name;
  }
  for (std::uint32_t leaf : cells) {
    if (image.Is(leaf, "ri", kListEntries)) continue;
    const unsigned char *cell = image.Cell(leaf);
    bool hashed = image.Is(leaf, "lh", kListEntries);
    std::size_t count = Le16(cell + kListCount);
    if (count == 0) return false;
    if (!hashed && !image.Is(leaf, "lf", kListEntries)) continue;
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned char *entry = cell + kListEntries + 8 * i;
      if (only != kNil && Le32(entry) != only) continue;
      unsigned char expected[4];
      PutEntryKey(expected, Child{names[Le32(entry)], Le32(entry)}, hashed);
      if (std::memcmp(expected, entry + 4, 4) != 0) return false;
    }
  }
  return true;
}

}  // namespace

bool Searchable(const Image &image, std::uint32_t nk) { return ListSearchable(image, nk, kNil); }

bool Findable(const Image &image, std::uint32_t nk, std::uint32_t child) { return ListSearchable(image, nk, child); }

std::uint32_t WriteKeyNode(Image &image, std::u16string_view name, std::uint32_t parent, std::uint64_t now) {
  std::size_t nameBytes = NameBytes(name);
  std::uint32_t nk = image.Allocate(kNkName + nameBytes);
  if (nk == kNil) return kNil;
  std::uint32_t sk = Le32(image.Cell(parent) + kNkSecurity);
  unsigned char *node = image.MutableCell(nk);
  std::memset(node + 4, 0, image.Allocated(nk) - 4);
  node[4] = 'n', node[5] = 'k';
  PutLe16(node + kNkFlags, Compressible(name) ? kNkCompressedName : 0);
  PutLe64(node + kNkWritten, now);
  PutLe32(node + kNkParent, parent);
  for (std::size_t field : {kNkSubkeyList, kNkVolatileList, kNkValueList, kNkClass}) PutLe32(node + field, kNil);
  PutLe32(node + kNkSecurity, sk);
  PutLe16(node + kNkNameLength, static_cast<std::uint16_t>(nameBytes));
  PutName(node + kNkName, name);
  unsigned char *security = image.MutableCell(sk);
  PutLe32(security + kSkReferences, Le32(security + kSkReferences) + 1);
  return nk;
}

std::uint32_t WriteValue(Image &image, std::u16string_view name, std::uint32_t type, std::string_view data) {
  std::size_t nameBytes = NameBytes(name);
  std::uint32_t vk = image.Allocate(kVkName + nameBytes);
  if (vk == kNil) return kNil;
  unsigned char *cell = image.MutableCell(vk);
  std::memset(cell + 4, 0, image.Allocated(vk) - 4);
  cell[4] = 'v', cell[5] = 'k';
  PutLe16(cell + kVkNameLength, static_cast<std::uint16_t>(nameBytes));
  PutLe16(cell + kVkFlags, Compressible(name) ? kVkCompressedName : 0);
  PutName(cell + kVkName, name);
  return ReplaceValueData(image, vk, type, data, {}) ? vk : kNil;
}

bool ReplaceValueData(Image &image, std::uint32_t vk, std::uint32_t type, std::string_view data,
                      const std::vector<std::uint32_t> &oldCells) {
  for (std::uint32_t cell : oldCells) image.Free(cell);
  std::uint32_t field = 0, size = 0;
  if (!StoreData(image, data, field, size)) return false;
  unsigned char *cell = image.MutableCell(vk);
  PutLe32(cell + kVkDataSize, size);
  PutLe32(cell + kVkData, field);
  PutLe32(cell + kVkType, type);
  return true;
}

std::uint32_t WriteValueList(Image &image, const std::vector<std::uint32_t> &values) {
  if (values.empty()) return kNil;
  std::uint32_t list = image.Allocate(4 + 4 * values.size());
  if (list == kNil) return kNil;
  unsigned char *cell = image.MutableCell(list);
  for (std::size_t i = 0; i < values.size(); ++i) PutLe32(cell + 4 + 4 * i, values[i]);
  return list;
}

std::uint32_t WriteSubkeyList(Image &image, const std::vector<Child> &children) {
  if (children.empty()) return kNil;
  if (children.size() <= kMaxLeafEntries) return WriteLeaf(image, children.data(), children.size());
  // Leaves of even sizes, as many as needed, in order under an index.
  std::size_t leaves = (children.size() + kMaxLeafEntries - 1) / kMaxLeafEntries;
  std::uint32_t index = image.Allocate(kListEntries + 4 * leaves);
  if (index == kNil) return kNil;
  unsigned char *cell = image.MutableCell(index);
  cell[4] = 'r', cell[5] = 'i';
  PutLe16(cell + kListCount, static_cast<std::uint16_t>(leaves));
  for (std::size_t i = 0, from = 0; i < leaves; ++i) {
    std::size_t to = children.size() * (i + 1) / leaves;
    std::uint32_t leaf = WriteLeaf(image, children.data() + from, to - from);
    if (leaf == kNil) return kNil;
    PutLe32(image.MutableCell(index) + kListEntries + 4 * i, leaf);
    from = to;
  }
  return index;
}

void NoteSubkeyName(Image &image, std::uint32_t nk, std::size_t units) {
  unsigned char *node = image.MutableCell(nk);
  // The upper half of the field holds flags of the key's own.
  std::uint16_t longest = Le16(node + kNkMaxNameLength);
  PutLe16(node + kNkMaxNameLength, std::max<std::uint16_t>(longest, static_cast<std::uint16_t>(2 * units)));
}

void NoteValue(Image &image, std::uint32_t nk, std::size_t nameUnits, std::size_t dataSize) {
  unsigned char *node = image.MutableCell(nk);
  PutLe32(node + kNkMaxValueNameLength,
          std::max<std::uint32_t>(Le32(node + kNkMaxValueNameLength), static_cast<std::uint32_t>(2 * nameUnits)));
  PutLe32(node + kNkMaxValueDataSize,
          std::max<std::uint32_t>(Le32(node + kNkMaxValueDataSize), static_cast<std::uint32_t>(dataSize)));
}

}  // namespace hive
}  // namespace standin
