#include "registry/regfile.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "registry/casefold.h"
#include "registry/utf16.h"

namespace regfile {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::array<std::string_view, 5> kRoots = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                                    "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
constexpr std::uint32_t kString = 1;
constexpr std::uint32_t kBinary = 3;
constexpr std::uint32_t kDword = 4;
constexpr char kHexDigits[] = "0123456789abcdef";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 1 to `maxDigits` hex digits making up all of `s`.
bool ParseHexNumber(std::string_view s, std::size_t maxDigits, std::uint32_t &out) {
  if (s.empty() || s.size() > maxDigits) return false;
  out = 0;
  for (char c : s) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    out = out * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

// Names are UTF-8. They compare as the lower-case forms of their UTF-16
// code units, in code unit order: that decides where '_' or 'é' sort among
// the letters, and is how Wine's registry, the real one tested against,
// lists subkeys. A byte that is not part of valid UTF-8 is a lone low
// surrogate of its own (see utf16.h), which no character folds to, so such
// names compare byte for byte apart from ASCII case. Surrogates are not
// folded: neither are characters beyond the BMP in the registry.
class FoldedUnits {
 public:
  explicit FoldedUnits(std::string_view name) : units_(name) {}

  bool Next(char16_t &unit) {
    if (!units_.Next(unit)) return false;
    if (unit < 0xD800 || unit > 0xDFFF) unit = FoldCharacter(unit);
    return true;
  }

 private:
  Utf16Units units_;
};

// Orders two names by their folded units, the shorter first where one
// begins the other.
int CompareNames(std::string_view left, std::string_view right) {
  FoldedUnits a(left), b(right);
  for (char16_t x = 0, y = 0;;) {
    bool more = a.Next(x);
    if (more != b.Next(y)) return more ? 1 : -1;
    if (!more) return 0;
    if (x != y) return x < y ? -1 : 1;
  }
}

std::size_t HashNoCase(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  FoldedUnits units(name);
  for (char16_t unit = 0; units.Next(unit);) hash = (hash ^ unit) * 1099511628211ull;
  return static_cast<std::size_t>(hash ^ hash >> 32);
}

auto SubkeyPosition(const Key &parent, std::string_view name) {
  return std::lower_bound(
      parent.subkeys.begin(), parent.subkeys.end(), name,
      [](const std::unique_ptr<Key> &k, std::string_view n) { return CompareNames(k->name, n) < 0; });
}

using SubkeyIterator = std::vector<std::unique_ptr<Key>>::const_iterator;

bool IsSubkeyAt(const Key &parent, SubkeyIterator it, std::string_view name) {
  return it != parent.subkeys.end() && CompareNames((*it)->name, name) == 0;
}

// The root key a file names, spelled as the platform spells it, or "" when
// it names none; the subkeys of `top` carry these names.
std::string CanonicalRootName(std::string_view name) {
  for (std::string_view root : kRoots) {
    if (EqualNoCase(name, root)) return std::string(root);
  }
  return {};
}

// Splits the text into lines, keeping the number of the first physical line
// of each; CR before LF is dropped. Remembers whether the latest line ended
// in a line break: one that does not may have been cut short.
struct Line {
  std::size_t number;
  std::string_view text;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool Next(Line &line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    endedInLineBreak_ = end != std::string_view::npos;
    if (!endedInLineBreak_) end = text_.size();
    line = {++number_, TrimRight(text_.substr(pos_, end - pos_))};
    pos_ = end + 1;
    return true;
  }
  bool EndedInLineBreak() const { return endedInLineBreak_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
  bool endedInLineBreak_ = true;
};

// Reads a quoted string at the start of `s`, with \\ and \" escapes, and
// drops it from `s`.
bool ParseQuoted(std::string_view &s, std::string &out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  for (std::size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (++i == s.size() || (s[i] != '\\' && s[i] != '"')) return false;
      c = s[i];
    }
    out.push_back(c);
  }
  return false;
}

// Comma-separated two-digit hex bytes, blanks allowed around each.
bool ParseHexBytes(std::string_view s, std::string &out) {
  out.clear();
  out.reserve(s.size() / 3 + 1);
  std::size_t i = 0, n = s.size();
  auto skipBlanks = [&] {
    while (i < n && IsBlank(s[i])) ++i;
  };
  skipBlanks();
  if (i == n) return true;
  while (true) {
    if (i + 2 > n) return false;
    int high = HexDigit(s[i]), low = HexDigit(s[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
    skipBlanks();
    if (i == n) return true;
    if (s[i++] != ',') return false;
    skipBlanks();
  }
}

// A name the file can hold: lines break at CR and LF, and the platform's
// 8-bit calls end a name at its first NUL.
bool IsStorableName(std::string_view name) { return name.find_first_of(std::string_view("\0\r\n", 3)) == name.npos; }

// Builds the tree of a registry file. While reading, a key's subkeys stay in
// the order they came and are found through one hash index, so that any
// order of sections costs the same; they are sorted once at the end.
class Parser {
 public:
  Parser(std::string_view text, Key &top, ParseError &error) : reader_(text), top_(top), error_(error) {}

  bool Run() {
    Line line{1, {}};
    if (!reader_.Next(line)) return Fail(1, "empty file: the first line must be REGEDIT4");
    std::string_view header = line.text;
    if (header.substr(0, 2) == "\xFF\xFE" || header.substr(0, 2) == "\xFE\xFF")
      return Fail(1, "UTF-16 text: only 8-bit registry files are read");
    if (header.substr(0, 3) == "\xEF\xBB\xBF") header.remove_prefix(3);
    if (header != kHeader4 && header != kHeader5) return Fail(1, "the first line must be REGEDIT4");
    bool read = true;
    while (read && reader_.Next(line)) read = ParseLine(line);
    SortAllSubkeys();
    return read;
  }

 private:
  bool Fail(std::size_t line, std::string reason) {
    error_.line = line;
    error_.reason = std::move(reason);
    return false;
  }

  bool ParseLine(const Line &line) {
    std::string_view text = TrimLeft(line.text);
    if (text.empty() || text.front() == ';') return true;
    if (text.substr(0, 2) == "[-") return ParseDeletionLine(line.number, text);
    if (text.front() == '[') return ParseKeyLine(line.number, text);
    if (text.front() == '"' || text.front() == '@') return ParseValue(line, text);
    return Fail(line.number, "neither a [key], a value nor a comment");
  }

  // A [key] line: the key becomes the one values go to, made if missing.
  bool ParseKeyLine(std::size_t number, std::string_view text) {
    inDeleted_ = false;
    if (!ReadSectionPath(number, text.substr(1))) return false;
    current_ = Walk(names_, true);
    return true;
  }

  // A [-key] line: the key goes, with all below it; a missing key is fine.
  bool ParseDeletionLine(std::size_t number, std::string_view text) {
    inDeleted_ = true;
    current_ = nullptr;
    if (!ReadSectionPath(number, text.substr(2))) return false;
    if (names_.size() == 1) return Fail(number, "a root key cannot be removed");
    Key *parent = Walk({names_.begin(), names_.end() - 1}, false);
    Child *found = parent ? Find(*parent, names_.back()) : nullptr;
    if (!found) return true;
    auto &siblings = parent->subkeys;
    auto it = std::find_if(siblings.begin(), siblings.end(), [&](const auto &k) { return k.get() == found->key; });
    // Keys below stay alive, unreachable, until the end: their index entries
    // name them by address, which no new key may take over.
    deleted_.push_back(std::move(*it));
    siblings.erase(it);
    found->parent = nullptr;
    return true;
  }

  // Splits "ROOT\\a\\b]" into names_, the root spelled as the platform
  // spells it.
  bool ReadSectionPath(std::size_t number, std::string_view path) {
    if (path.empty() || path.back() != ']') return Fail(number, "a key line must end with ]");
    path.remove_suffix(1);
    names_.clear();
    if (!SplitKeyPath(path, names_)) return Fail(number, "empty key name in the path");
    if (names_.size() - 1 > kMaxLevels)
      return Fail(number, "the key lies more than " + std::to_string(kMaxLevels) + " levels deep");
    if (!std::all_of(names_.begin(), names_.end(), IsStorableName))
      return Fail(number, "a key name holds a NUL or a line break");
    root_ = CanonicalRootName(names_.front());
    if (root_.empty()) return Fail(number, "unknown root key " + std::string(names_.front()));
    names_.front() = root_;
    return true;
  }

  // Every key made while reading, found by its parent and its name through
  // open addressing; slots of removed keys keep a null parent.
  struct Child {
    const Key *parent;
    Key *key;
  };

  std::size_t Slot(const Key &parent, std::string_view name) const {
    return (HashNoCase(name) ^ std::hash<const Key *>()(&parent)) & (index_.size() - 1);
  }

  Child *Find(const Key &parent, std::string_view name) {
    for (std::size_t slot = Slot(parent, name);; slot = (slot + 1) & (index_.size() - 1)) {
      Child &child = index_[slot];
      if (!child.key) return nullptr;
      if (child.parent == &parent && EqualNoCase(child.key->name, name)) return &child;
    }
  }

  // Keeps at least half the slots free, growing fourfold.
  void Enter(const Key &parent, Key *key) {
    if (2 * (entered_ + 1) > index_.size()) {
      std::size_t slots = 256;
      while (slots < 4 * (entered_ + 1)) slots *= 2;
      std::vector<Child> old(slots, Child{nullptr, nullptr});
      old.swap(index_);
      entered_ = 0;
      for (const Child &child : old) {
        if (child.parent) Enter(*child.parent, child.key);
      }
    }
    std::size_t slot = Slot(parent, key->name);
    while (index_[slot].key) slot = (slot + 1) & (index_.size() - 1);
    index_[slot] = Child{&parent, key};
    ++entered_;
  }

  // Finds, or with `add` makes, the key a section names. Consecutive
  // sections share most of their path: the part that is spelled the same as
  // the last one's is not looked up again.
  Key *Walk(const std::vector<std::string_view> &names, bool add) {
    std::size_t same = 0;
    while (same < names.size() && same < path_.size() && path_[same].first == names[same]) ++same;
    path_.resize(same);
    Key *key = same > 0 ? path_.back().second : &top_;
    for (std::size_t i = same; i < names.size() && key; ++i) {
      key = FindChild(*key, names[i], add);
      if (key) path_.emplace_back(std::string(names[i]), key);
    }
    return key;
  }

  Key *FindChild(Key &parent, std::string_view name, bool add) {
    if (Child *found = Find(parent, name)) return found->key;
    if (!add) return nullptr;
    auto key = std::make_unique<Key>();
    key->name = std::string(name);
    Key *made = key.get();
    parent.subkeys.push_back(std::move(key));
    Enter(parent, made);
    return made;
  }

  void SortAllSubkeys() {
    std::vector<Key *> pending{&top_};
    while (!pending.empty()) {
      Key *key = pending.back();
      pending.pop_back();
      auto byName = [](const std::unique_ptr<Key> &a, const std::unique_ptr<Key> &b) {
        return CompareNames(a->name, b->name) < 0;
      };
      // Files written here come sorted already.
      if (!std::is_sorted(key->subkeys.begin(), key->subkeys.end(), byName))
        std::sort(key->subkeys.begin(), key->subkeys.end(), byName);
      for (const auto &subkey : key->subkeys) pending.push_back(subkey.get());
    }
  }

  // Hex data may run on over lines that end in a backslash.
  bool JoinContinuations(const Line &line, std::string_view &data, std::string &joined) {
    if (data.empty() || data.back() != '\\') return true;
    joined.assign(data.substr(0, data.size() - 1));
    Line next{0, {}};
    while (true) {
      if (!reader_.Next(next)) return Fail(line.number, "the value runs on past the end of the file");
      std::string_view more = TrimLeft(next.text);
      bool goesOn = !more.empty() && more.back() == '\\';
      joined.append(goesOn ? more.substr(0, more.size() - 1) : more);
      if (!goesOn) break;
    }
    data = joined;
    return true;
  }

  bool ParseValue(const Line &line, std::string_view text) {
    std::size_t number = line.number;
    if (inDeleted_) return Fail(number, "a value under a key being removed");
    if (!current_) return Fail(number, "a value before any [key] line");
    std::string name;
    if (text.front() == '@') {
      text.remove_prefix(1);
    } else if (!ParseQuoted(text, name)) {
      return Fail(number, "a value name must be a quoted string");
    }
    if (!IsStorableName(name)) return Fail(number, "a value name holds a NUL or a line break");
    text = TrimLeft(text);
    if (text.empty() || text.front() != '=') return Fail(number, "expected = after the value name");
    std::string_view data = TrimLeft(text.substr(1));
    std::string joined;
    if (StartsWithNoCase(data, "hex")) {
      if (!JoinContinuations(line, data, joined)) return false;
      // A list of bytes cut after a comma-less byte looks whole.
      if (!reader_.EndedInLineBreak()) return Fail(number, "the file ends inside hex data: it may be cut short");
    }
    return StoreValue(number, name, data);
  }

  bool StoreValue(std::size_t number, const std::string &name, std::string_view data) {
    std::string bytes;
    std::uint32_t type = 0;
    if (data == "-") {
      current_->RemoveValue(name);
      return true;
    }
    if (!data.empty() && data.front() == '"') {
      if (!ParseQuoted(data, bytes) || !data.empty()) return Fail(number, "bad string data");
      bytes.push_back('\0');
      type = kString;
    } else if (StartsWithNoCase(data, "dword:")) {
      std::uint32_t dword = 0;
      if (data.size() != 14 || !ParseHexNumber(data.substr(6), 8, dword))
        return Fail(number, "bad dword data: it takes eight hex digits");
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((dword >> (8 * i)) & 0xFF));
      type = kDword;
    } else if (!ParseHexValue(data, type, bytes)) {
      return Fail(number, "bad value data");
    }
    current_->SetValue(name, type, bytes);
    return true;
  }

  static bool ParseHexValue(std::string_view data, std::uint32_t &type, std::string &bytes) {
    if (StartsWithNoCase(data, "hex:")) {
      type = kBinary;
      return ParseHexBytes(data.substr(4), bytes);
    }
    if (!StartsWithNoCase(data, "hex(")) return false;
    std::size_t close = data.find("):");
    return close != std::string_view::npos && ParseHexNumber(data.substr(4, close - 4), 8, type) &&
           ParseHexBytes(data.substr(close + 2), bytes);
  }

  Reader reader_;
  Key &top_;
  ParseError &error_;
  Key *current_ = nullptr;
  bool inDeleted_ = false;
  std::vector<Child> index_ = std::vector<Child>(256, Child{nullptr, nullptr});
  std::size_t entered_ = 0;
  std::vector<std::pair<std::string, Key *>> path_;  // the last section's names and keys
  std::vector<std::unique_ptr<Key>> deleted_;
  std::vector<std::string_view> names_;  // of the latest section
  std::string root_;                     // its root, as the platform spells it
};

void AppendQuoted(std::string &out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// A REG_SZ reads back as a quoted string only when that loses nothing:
// one trailing NUL and no control characters before it.
bool IsPlainString(const Value &value) {
  std::string_view d = value.data();
  if (value.type() != kString || d.empty() || d.back() != '\0') return false;
  return std::all_of(d.begin(), d.end() - 1, [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
}

// Bytes as "xx,xx": a line ends after column 76 with a backslash, and the
// next goes on indented by two blanks, as regedit writes them.
void AppendHex(std::string &out, const Value &value) {
  char type[9];
  char *typeEnd = std::to_chars(type, type + sizeof type, value.type(), 16).ptr;
  out += value.type() == kBinary ? "hex:" : "hex(" + std::string(type, typeEnd) + "):";
  std::size_t column = out.size() - out.rfind('\n') - 1;
  std::string_view data = value.data();
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto byte = static_cast<unsigned char>(data[i]);
    out += {kHexDigits[byte >> 4], kHexDigits[byte & 15]};
    column += 2;
    if (i + 1 == data.size()) break;
    out += ',';
    if (++column > 76) {
      out += "\\\n  ";
      column = 2;
    }
  }
}

void AppendValue(std::string &out, const Value &value) {
  if (value.name().empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, value.name());
  }
  out.push_back('=');
  if (IsPlainString(value)) {
    AppendQuoted(out, value.data().substr(0, value.data().size() - 1));
  } else if (value.type() == kDword && value.data().size() == 4) {
    out += "dword:";
    for (int i = 3; i >= 0; --i) {
      auto byte = static_cast<unsigned char>(value.data()[static_cast<std::size_t>(i)]);
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 15]);
    }
  } else {
    AppendHex(out, value);
  }
  out.push_back('\n');
}

// Hands the text on in pieces of about this size, so that a large registry
// is never held twice in memory.
constexpr std::size_t kChunk = 1 << 20;

bool AppendKey(std::string &out, std::string &path, const Key &key, bool isRoot, const Sink &sink) {
  std::size_t pathLength = path.size();
  if (!isRoot) path.push_back('\\');
  path += key.name;
  // A key without values is written only where no subkey's section implies
  // it, so that the file grows with the tree, not with its depth squared.
  if (!key.values().empty() || (!isRoot && key.subkeys.empty())) {
    out += '[';
    out += path;
    out += "]\n";
    for (const Value &value : key.values()) AppendValue(out, value);
    out.push_back('\n');
  }
  if (out.size() >= kChunk) {
    if (!sink(out)) return false;
    out.clear();
  }
  for (const auto &subkey : key.subkeys) {
    if (!AppendKey(out, path, *subkey, false, sink)) return false;
  }
  path.resize(pathLength);
  return true;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) { return CompareNames(a, b) == 0; }

bool SplitKeyPath(std::string_view path, std::vector<std::string_view> &names) {
  for (std::size_t start = 0;;) {
    std::size_t slash = path.find('\\', start);
    names.push_back(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (names.back().empty()) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

Key *FindSubkey(const Key &parent, std::string_view name) {
  auto it = SubkeyPosition(parent, name);
  return IsSubkeyAt(parent, it, name) ? it->get() : nullptr;
}

Key &FindOrAddSubkey(Key &parent, std::string_view name) {
  auto it = SubkeyPosition(parent, name);
  if (IsSubkeyAt(parent, it, name)) return **it;
  auto key = std::make_unique<Key>();
  key->name = std::string(name);
  return **parent.subkeys.insert(it, std::move(key));
}

Value::Value(std::string_view name, std::uint32_t type, std::string_view data)
    : nameSize_(static_cast<std::uint32_t>(name.size())), type_(type) {
  bytes_.reserve(name.size() + data.size());
  bytes_.append(name).append(data);
}

void Value::Replace(std::uint32_t type, std::string_view data) {
  bytes_.resize(nameSize_);
  bytes_.append(data);
  bytes_.shrink_to_fit();
  type_ = type;
}

namespace {

// Below this many values a key is searched from end to end; above, through
// its index.
constexpr std::size_t kUnindexedValues = 64;

}  // namespace

std::size_t Key::PositionOf(std::string_view name) const {
  if (index_.empty()) {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      if (EqualNoCase(values_[i].name(), name)) return i;
    }
    return values_.size();
  }
  for (std::size_t slot = HashNoCase(name) & (index_.size() - 1);; slot = (slot + 1) & (index_.size() - 1)) {
    if (index_[slot] == 0) return values_.size();
    if (EqualNoCase(values_[index_[slot] - 1].name(), name)) return index_[slot] - 1;
  }
}

void Key::Insert(std::size_t position) {
  std::size_t slot = HashNoCase(values_[position].name()) & (index_.size() - 1);
  while (index_[slot] != 0) slot = (slot + 1) & (index_.size() - 1);
  index_[slot] = static_cast<std::uint32_t>(position + 1);
}

// Makes the index anew, with at least half its slots free; a key small
// enough to search has none.
void Key::Reindex() {
  index_.clear();
  if (values_.size() <= kUnindexedValues) return;
  std::size_t slots = 256;
  while (slots < 4 * values_.size()) slots *= 2;
  index_.assign(slots, 0);
  for (std::size_t i = 0; i < values_.size(); ++i) Insert(i);
}

const Value *Key::FindValue(std::string_view name) const {
  std::size_t position = PositionOf(name);
  return position < values_.size() ? &values_[position] : nullptr;
}

void Key::SetValue(std::string_view name, std::uint32_t type, std::string_view data) {
  std::size_t position = PositionOf(name);
  if (position < values_.size()) {
    values_[position].Replace(type, data);
    return;
  }
  values_.emplace_back(name, type, data);
  if (2 * values_.size() > index_.size()) {
    Reindex();
  } else {
    Insert(position);
  }
}

// Positions after the removed value shift: the index is made anew.
void Key::RemoveValue(std::string_view name) {
  std::size_t position = PositionOf(name);
  if (position == values_.size()) return;
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
  Reindex();
}

bool Parse(std::string_view text, Key &top, ParseError &error) {
  top.subkeys.clear();
  return Parser(text, top, error).Run();
}

bool Write(const Key &top, const Sink &sink) {
  std::string out = std::string(kHeader4) + "\n\n";
  out.reserve(kChunk + kChunk / 4);
  std::string path;
  for (const auto &root : top.subkeys) {
    if (!AppendKey(out, path, *root, true, sink)) return false;
  }
  return sink(out);
}

std::string Write(const Key &top) {
  std::string text;
  Write(top, [&text](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace regfile
