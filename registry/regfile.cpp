#include "registry/regfile.h"

#include <algorithm>
#include <array>

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

// Names are 8-bit text in the Windows-1252 code page. They compare as the
// lower-case forms of their characters, ordered by code point: that decides
// where '_' or 'é' sort among the letters, and is how Wine's registry, the
// real one tested against, lists subkeys.
constexpr char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FoldChar(char c) {
  auto byte = static_cast<unsigned char>(c);
  char16_t unit = byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
  if ((unit >= u'A' && unit <= u'Z') || (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7)) return unit + 0x20;
  switch (unit) {
    case 0x0152:
    case 0x0160:
    case 0x017D:
      return unit + 1;
    case 0x0178:
      return 0x00FF;
    default:
      return unit;
  }
}

// Compares an already folded name (two bytes a character, high first) with
// a name as given, folding on the fly.
int CompareFolded(std::string_view folded, std::string_view name) {
  std::size_t n = std::min(folded.size() / 2, name.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto a = static_cast<char16_t>(static_cast<unsigned char>(folded[2 * i]) << 8 |
                                   static_cast<unsigned char>(folded[2 * i + 1]));
    char16_t b = FoldChar(name[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  std::size_t length = folded.size() / 2;
  return length == name.size() ? 0 : (length < name.size() ? -1 : 1);
}

auto SubkeyPosition(const Key &parent, std::string_view name) {
  return std::lower_bound(
      parent.subkeys.begin(), parent.subkeys.end(), name,
      [](const std::unique_ptr<Key> &k, std::string_view n) { return CompareFolded(k->folded, n) < 0; });
}

using SubkeyIterator = std::vector<std::unique_ptr<Key>>::const_iterator;

bool IsSubkeyAt(const Key &parent, SubkeyIterator it, std::string_view name) {
  return it != parent.subkeys.end() && CompareFolded((*it)->folded, name) == 0;
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
// of each; CR before LF is dropped.
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
    if (end == std::string_view::npos) end = text_.size();
    line = {++number_, TrimRight(text_.substr(pos_, end - pos_))};
    pos_ = end + 1;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
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
    while (reader_.Next(line)) {
      if (!ParseLine(line)) return false;
    }
    return true;
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
    if (text.front() == '[') return ParseSection(line.number, text);
    if (text.front() == '"' || text.front() == '@') return ParseValue(line, text);
    return Fail(line.number, "neither a [key], a value nor a comment");
  }

  bool ParseSection(std::size_t number, std::string_view text) {
    if (text.back() != ']') return Fail(number, "a key line must end with ]");
    text = text.substr(1, text.size() - 2);
    bool remove = !text.empty() && text.front() == '-';
    if (remove) text.remove_prefix(1);
    std::vector<std::string_view> names;
    if (!SplitKeyPath(text, names)) return Fail(number, "empty key name in the path");
    std::string root = CanonicalRootName(names.front());
    if (root.empty()) return Fail(number, "unknown root key " + std::string(names.front()));
    Key *key = &AddSubkey(top_, root);
    std::size_t keep = remove ? names.size() - 1 : names.size();
    for (std::size_t i = 1; i < keep && key; ++i)
      key = remove ? FindSubkey(*key, names[i]) : &AddSubkey(*key, names[i]);
    if (remove) {
      if (key && names.size() > 1) RemoveSubkey(*key, names.back());
      key = nullptr;
    }
    current_ = key;
    inRemoved_ = remove;
    return true;
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
    if (inRemoved_) return Fail(number, "a value under a key being removed");
    if (!current_) return Fail(number, "a value before any [key] line");
    std::string name;
    if (text.front() == '@') {
      text.remove_prefix(1);
    } else if (!ParseQuoted(text, name)) {
      return Fail(number, "a value name must be a quoted string");
    }
    text = TrimLeft(text);
    if (text.empty() || text.front() != '=') return Fail(number, "expected = after the value name");
    std::string_view data = TrimLeft(text.substr(1));
    std::string joined;
    if (StartsWithNoCase(data, "hex") && !JoinContinuations(line, data, joined)) return false;
    return StoreValue(number, name, data);
  }

  bool StoreValue(std::size_t number, const std::string &name, std::string_view data) {
    std::string bytes;
    std::uint32_t type = 0;
    if (data == "-") {
      RemoveValue(*current_, name);
      return true;
    }
    if (!data.empty() && data.front() == '"') {
      if (!ParseQuoted(data, bytes) || !data.empty()) return Fail(number, "bad string data");
      bytes.push_back('\0');
      type = kString;
    } else if (StartsWithNoCase(data, "dword:")) {
      std::uint32_t dword = 0;
      if (!ParseHexNumber(data.substr(6), 8, dword)) return Fail(number, "bad dword data");
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((dword >> (8 * i)) & 0xFF));
      type = kDword;
    } else if (!ParseHexValue(data, type, bytes)) {
      return Fail(number, "bad value data");
    }
    SetValue(*current_, name, type, std::move(bytes));
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
  bool inRemoved_ = false;
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
  const std::string &d = value.data;
  if (value.type != kString || d.empty() || d.back() != '\0') return false;
  return std::all_of(d.begin(), d.end() - 1, [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
}

void AppendHex(std::string &out, const Value &value) {
  const char *digits = kHexDigits;
  if (value.type == kBinary) {
    out += "hex:";
  } else {
    out += "hex(";
    std::string type;
    for (std::uint32_t t = value.type; type.empty() || t != 0; t /= 16) type.insert(type.begin(), digits[t % 16]);
    out += type + "):";
  }
  std::size_t column = out.size() - out.rfind('\n') - 1;
  const std::size_t count = value.data.size();
  // Room for "xx," per byte and a line break every 25 bytes or so.
  std::size_t start = out.size();
  out.resize(start + count * 3 + (count / 20 + 2) * 4);
  char *p = &out[start];
  for (std::size_t i = 0; i < count; ++i) {
    auto byte = static_cast<unsigned char>(value.data[i]);
    *p++ = digits[byte >> 4];
    *p++ = digits[byte & 15];
    column += 2;
    if (i + 1 == count) break;
    *p++ = ',';
    if (++column > 76) {
      *p++ = '\\';
      *p++ = '\n';
      *p++ = ' ';
      *p++ = ' ';
      column = 2;
    }
  }
  out.resize(static_cast<std::size_t>(p - out.data()));
}

void AppendValue(std::string &out, const Value &value) {
  if (value.name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, value.name);
  }
  out.push_back('=');
  if (IsPlainString(value)) {
    AppendQuoted(out, std::string_view(value.data).substr(0, value.data.size() - 1));
  } else if (value.type == kDword && value.data.size() == 4) {
    out += "dword:";
    for (int i = 3; i >= 0; --i) {
      auto byte = static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
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
  if (!isRoot || !key.values.empty()) {
    out += '[';
    out += path;
    out += "]\n";
    for (const Value &value : key.values) AppendValue(out, value);
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

std::string Fold(std::string_view name) {
  std::string folded;
  folded.reserve(2 * name.size());
  for (char c : name) {
    char16_t unit = FoldChar(c);
    folded.push_back(static_cast<char>(unit >> 8));
    folded.push_back(static_cast<char>(unit & 0xFF));
  }
  return folded;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

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

Key &AddSubkey(Key &parent, std::string_view name) {
  auto it = SubkeyPosition(parent, name);
  if (IsSubkeyAt(parent, it, name)) return **it;
  auto key = std::make_unique<Key>();
  key->name = std::string(name);
  key->folded = Fold(name);
  return **parent.subkeys.insert(it, std::move(key));
}

void RemoveSubkey(Key &parent, std::string_view name) {
  auto it = SubkeyPosition(parent, name);
  if (IsSubkeyAt(parent, it, name)) parent.subkeys.erase(it);
}

Value *FindValue(Key &key, std::string_view name) {
  for (Value &value : key.values) {
    if (EqualNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

void SetValue(Key &key, std::string_view name, std::uint32_t type, std::string data) {
  Value *value = FindValue(key, name);
  if (!value) {
    key.values.push_back(Value{std::string(name), 0, {}});
    value = &key.values.back();
  }
  value->type = type;
  value->data = std::move(data);
}

void RemoveValue(Key &key, std::string_view name) {
  Value *value = FindValue(key, name);
  if (value) key.values.erase(key.values.begin() + (value - key.values.data()));
}

bool Parse(std::string_view text, Key &top, ParseError &error) { return Parser(text, top, error).Run(); }

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
