#include <algorithm>
#include <array>

#include "standin/file.h"
#include "standin/names.h"

namespace standin {
namespace {

constexpr std::array<std::string_view, 5> kRoots = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                                    "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

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

// Text of the registry's UTF-16LE bytes: its units, NUL included.
std::string Utf16Bytes(std::string_view text) {
  std::string bytes(2 * CountUtf16Units(text), '\0');
  CopyUtf16Bytes(text, reinterpret_cast<unsigned char *>(bytes.data()));
  return bytes;
}

// The text of a UTF-16LE file as the version 5 form stores names: every
// unit kept, a lone surrogate included.
std::string FromUtf16File(std::string_view bytes) {
  std::string text;
  FromUtf16(UnitsOfBytes(bytes), text);
  return text;
}

// Builds the tree of a registry file. While reading, a key's subkeys stay in
// the order they came and are found through one hash index, so that any
// order of sections costs the same; they are sorted once at the end.
class Parser {
 public:
  Parser(std::string_view text, bool utf16, Key &top, ParseError &error)
      : reader_(text), top_(top), error_(error), utf16_(utf16) {}

  bool Run() {
    Line line{1, {}};
    if (!reader_.Next(line)) return Fail(1, "empty file: the first line must be REGEDIT4");
    std::string_view header = line.text;
    if (header.substr(0, 2) == "\xFE\xFF") return Fail(1, "UTF-16 text in big-endian order is not read");
    if (header.substr(0, 3) == "\xEF\xBB\xBF") header.remove_prefix(3);
    if (header == kRegedit5) {
      SetTextForm(TextForm::kRegedit5);
    } else if (header == kRegedit4 && !utf16_) {
      SetTextForm(TextForm::kRegedit4);
    } else {
      return Fail(1, "the first line must be REGEDIT4 or " + std::string(kRegedit5));
    }
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
        return CompareNoCase(a->name, b->name) < 0;
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
      // A version 5 file's strings are text, which the registry holds in
      // UTF-16; the data of hex(1), hex(2) and hex(7) are those bytes already.
      if (CurrentTextForm() == TextForm::kRegedit5) bytes = Utf16Bytes(bytes);
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
  bool utf16_;                           // the file was UTF-16, decoded before
};

}  // namespace

bool Parse(std::string_view text, Key &top, ParseError &error) {
  top.subkeys.clear();
  std::string decoded;
  bool utf16 = text.substr(0, 2) == "\xFF\xFE";
  if (utf16 && text.size() % 2 != 0) {
    error = {1, "UTF-16 text of an odd number of bytes: it may be cut short"};
    return false;
  }
  if (utf16) {
    // Names keep lone surrogates (see names.h): decoded for the version 5
    // form before the header says which form the file is.
    SetTextForm(TextForm::kRegedit5);
    decoded = FromUtf16File(text.substr(2));
    text = decoded;
  }
  return Parser(text, utf16, top, error).Run();
}

}  // namespace standin
