#include <algorithm>
#include <array>

#include "regfile/key_index.h"
#include "regfile/names.h"
#include "regfile/reg_format.h"
#include "registry/text.h"

namespace regfile {
namespace {

constexpr std::array<std::string_view, 5> kRoots = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                                    "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The rest of a line after its data: blanks, perhaps a comment.
bool IsRestOfLineEmpty(std::string_view s) {
  s = TrimLeft(s);
  return s.empty() || s.front() == ';';
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

// Reads the path of a section, "ROOT\\a\\b]", into its key names, the root
// spelled as the platform spells it (held in `root`); returns what is
// wrong with it, or "".
std::string ReadSectionPath(std::string_view path, std::vector<std::string_view> &names, std::string &root) {
  if (path.empty() || path.back() != ']') return "a key line must end with ]";
  path.remove_suffix(1);
  names.clear();
  if (!SplitKeyPath(path, names)) return "empty key name in the path";
  if (names.size() - 1 > kMaxLevels) return "the key lies more than " + std::to_string(kMaxLevels) + " levels deep";
  root = CanonicalRootName(names.front());
  if (root.empty()) return "unknown root key " + std::string(names.front());
  names.front() = root;
  return {};
}

// Splits the text into lines as regedit does: a line ends at CR LF, CR or
// LF. Keeps the number of each, and remembers whether the latest ended in a
// line break: one that does not may have been cut short.
struct Line {
  std::size_t number;
  std::string_view text;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool Next(Line &line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = pos_;
    while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
    endedInLineBreak_ = end < text_.size();
    line = {++number_, text_.substr(pos_, end - pos_)};
    pos_ = end + 1;
    if (endedInLineBreak_ && text_[end] == '\r' && pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
    return true;
  }
  bool EndedInLineBreak() const { return endedInLineBreak_; }
  // The number of the line that holds the byte at `offset`, from the start.
  std::size_t LineOf(std::size_t offset) {
    Line line{1, {}};
    while (Next(line) && pos_ <= offset) continue;
    return line.number;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
  bool endedInLineBreak_ = true;
};

// Reads the rest of a quoted string after its opening quote, with the
// escapes regedit writes (\\, \", \r and \n), and drops it from `s`.
bool ParseQuotedRest(std::string_view &s, std::string &out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (++i == s.size()) return false;
      c = s[i] == 'r' ? '\r' : s[i] == 'n' ? '\n' : s[i];
      if (c != '\\' && c != '"' && c != '\r' && c != '\n') return false;
    }
    out.push_back(c);
  }
  return false;
}

// The same from the opening quote at the start of `s`.
bool ParseQuoted(std::string_view &s, std::string &out) {
  if (s.empty() || s.front() != '"') return false;
  s.remove_prefix(1);
  return ParseQuotedRest(s, out);
}

// One line's part of a hex list, as regedit reads it: bytes of one or two
// hex digits, a comma after each but the last, blanks after a comma, a
// comment at the end. A backslash after a comma (or alone) goes on in the
// next line. What regedit would not read is kBad, and so is a list ending
// in a comma, which may have been cut short.
enum class HexLine { kEnds, kGoesOn, kBad };

HexLine ParseHexLine(std::string_view s, std::string &out) {
  out.reserve(out.size() + s.size() / 3 + 1);
  std::size_t i = 0, n = s.size();
  auto skipBlanks = [&] {
    while (i < n && IsBlank(s[i])) ++i;
  };
  skipBlanks();
  for (bool afterComma = false;;) {
    if (i == n || s[i] == ';') return afterComma && i == n ? HexLine::kBad : HexLine::kEnds;
    if (s[i] == '\\') return IsRestOfLineEmpty(s.substr(i + 1)) ? HexLine::kGoesOn : HexLine::kBad;
    int value = HexDigit(s[i++]);
    if (value < 0) return HexLine::kBad;
    if (i < n && HexDigit(s[i]) >= 0) value = value * 16 + HexDigit(s[i++]);
    if (i < n && HexDigit(s[i]) >= 0) return HexLine::kBad;
    out.push_back(static_cast<char>(value));
    if (i == n || s[i] != ',') return IsRestOfLineEmpty(s.substr(i)) ? HexLine::kEnds : HexLine::kBad;
    ++i;
    skipBlanks();
    afterComma = true;
  }
}

// Text of the registry's UTF-16LE bytes: its units, NUL included.
std::string Utf16Bytes(std::string_view text) {
  std::string bytes(2 * CountUtf16Units(text), '\0');
  CopyUtf16Bytes(text, reinterpret_cast<unsigned char *>(bytes.data()));
  return bytes;
}

// Builds the tree of a registry file. While reading, a key's subkeys stay in
// the order they came and are found through one hash index, so that any
// order of sections costs the same; they are sorted once at the end.
class Parser {
 public:
  Parser(std::string_view text, const FileForm &form, Key &top, ParseError &error)
      : text_(text), reader_(text), form_(form), top_(top), error_(error) {}
  Parser(const Parser &) = delete;
  Parser &operator=(const Parser &) = delete;

  // The header has been checked already (see ReadVersion): skipped here.
  bool Run() {
    std::size_t nul = text_.find('\0');
    if (nul != std::string_view::npos)
      return Fail(Reader(text_).LineOf(nul), "a NUL in the line: regedit reads a line only up to it");
    Line line{1, {}};
    reader_.Next(line);
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
    if (text.front() == '"' || text.front() == '@') return ParseValue(line, text);
    if (text.front() != '[') return Fail(line.number, "neither a [key], a value nor a comment");
    // The path ends at the last ] of the line, as regedit reads it.
    std::size_t close = text.rfind(']');
    if (close != std::string_view::npos) {
      if (!IsRestOfLineEmpty(text.substr(close + 1)))
        return Fail(line.number, "only a comment may follow the ] of a key line");
      text = text.substr(0, close + 1);
    }
    if (text.substr(0, 2) == "[-") return ParseDeletionLine(line.number, text);
    return ParseKeyLine(line.number, text);
  }

  // A [key] line: the key becomes the one values go to, made if missing.
  bool ParseKeyLine(std::size_t number, std::string_view text) {
    inDeleted_ = false;
    if (!ReadSection(number, text.substr(1))) return false;
    current_ = keys_.Walk(names_, true);
    return true;
  }

  // A [-key] line: the key goes, with all below it; a missing key is fine.
  // It is dropped from its parent's subkeys at the end (see KeyIndex).
  bool ParseDeletionLine(std::size_t number, std::string_view text) {
    inDeleted_ = true;
    current_ = nullptr;
    if (!ReadSection(number, text.substr(2))) return false;
    if (names_.size() == 1) return Fail(number, "a root key cannot be removed");
    if (keys_.Remove(names_)) ++removedKeys_;
    return true;
  }

  bool ReadSection(std::size_t number, std::string_view path) {
    std::string why = ReadSectionPath(path, names_, root_);
    return why.empty() || Fail(number, std::move(why));
  }

  // Sorts each key's subkeys, drops the removed ones and closes the gaps of
  // removed values.
  void SortAllSubkeys() {
    std::vector<Key *> pending{&top_};
    while (!pending.empty()) {
      Key *key = pending.back();
      pending.pop_back();
      key->Compact();
      if (removedKeys_ > 0) {
        auto kept = [](const std::unique_ptr<Key> &k) { return !k->name.empty(); };
        auto gone = std::stable_partition(key->subkeys.begin(), key->subkeys.end(), kept);
        for (auto it = gone; it != key->subkeys.end(); ++it) deleted_.push_back(std::move(*it));
        key->subkeys.erase(gone, key->subkeys.end());
      }
      auto byName = [](const std::unique_ptr<Key> &a, const std::unique_ptr<Key> &b) {
        return CompareNoCase(a->name, b->name) < 0;
      };
      // Files written here come sorted already.
      if (!std::is_sorted(key->subkeys.begin(), key->subkeys.end(), byName))
        std::sort(key->subkeys.begin(), key->subkeys.end(), byName);
      for (const auto &subkey : key->subkeys) pending.push_back(subkey.get());
    }
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
    text = TrimLeft(text);
    if (text.empty() || text.front() != '=') return Fail(number, "expected = after the value name");
    std::string_view data = TrimLeft(text.substr(1));
    std::string bytes;
    std::uint32_t type = 0;
    if (!data.empty() && data.front() == '-') {
      if (!IsRestOfLineEmpty(data.substr(1))) return Fail(number, "bad value data");
      current_->RemoveValue(name);
      return true;
    }
    const ValueTag *tag = TagOf(data);
    if (!tag) return Fail(number, "unknown data: regedit reads \"text\", dword:, hex: and hex(N): in lower case only");
    data.remove_prefix(tag->prefix.size());
    type = tag->type;
    if (type == kString) {
      if (!ParseQuotedRest(data, bytes) || !IsRestOfLineEmpty(data)) return Fail(number, "bad string data");
      bytes.push_back('\0');
      // A version 5 file's strings are text, which the registry holds in
      // UTF-16; the data of hex(1), hex(2) and hex(7) are those bytes already,
      // unless the file is not in UTF-16 (see WidenText).
      if (form_.HoldsUtf16Data()) bytes = Utf16Bytes(bytes);
    } else if (type == kDword) {
      if (!ParseDword(number, data, bytes)) return false;
    } else if (!ParseHexValue(line, data, type, bytes)) {
      return false;
    }
    current_->SetValue(name, type, bytes);
    return true;
  }

  // One to eight hex digits, as regedit reads them.
  bool ParseDword(std::size_t number, std::string_view digits, std::string &bytes) {
    digits = TrimLeft(digits);
    std::size_t end = 0;
    while (end < digits.size() && HexDigit(digits[end]) >= 0) ++end;
    std::uint32_t dword = 0;
    if (!ParseHexNumber(digits.substr(0, end), 8, dword) || !IsRestOfLineEmpty(digits.substr(end)))
      return Fail(number, "bad dword data: it takes one to eight hex digits");
    if (!reader_.EndedInLineBreak()) return Fail(number, "the file ends inside dword data: it may be cut short");
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((dword >> (8 * i)) & 0xFF));
    return true;
  }

  // The list after hex: or hex( (`type` kTypeNamed: N): comes first), which
  // may run on over lines ending in a backslash, with blank and comment
  // lines between them.
  bool ParseHexValue(const Line &line, std::string_view data, std::uint32_t &type, std::string &bytes) {
    std::size_t number = line.number;
    if (type == kTypeNamed) {
      std::size_t close = data.find(kTypeNamedEnd);
      if (close == std::string_view::npos || !ParseHexNumber(data.substr(0, close), 8, type))
        return Fail(number, "bad value data");
      data.remove_prefix(close + kTypeNamedEnd.size());
    }
    HexLine state = ParseHexLine(data, bytes);
    for (Line next{0, {}}; state == HexLine::kGoesOn;) {
      do {
        if (!reader_.Next(next)) return Fail(number, "the value runs on past the end of the file");
      } while (IsRestOfLineEmpty(next.text));
      std::string_view more = TrimLeft(next.text);
      if (HexDigit(more.front()) < 0) return Fail(next.number, "a hex list must go on with a hex digit");
      state = ParseHexLine(more, bytes);
    }
    if (state == HexLine::kBad) return Fail(number, "bad value data");
    // A list of bytes cut after a comma-less byte looks whole.
    if (!reader_.EndedInLineBreak()) return Fail(number, "the file ends inside hex data: it may be cut short");
    if (form_.WidensHexText() && regtext::IsTextType(type)) return WidenText(number, type, bytes);
    return form_.HoldsUtf16Data() || !form_.codePage || !regtext::IsTextType(type) || DecodeText(number, bytes);
  }

  // Text data of a version 5 file saved as UTF-8, read as regedit reads
  // them (see FileForm::WidensHexText).
  bool WidenText(std::size_t number, std::uint32_t type, std::string &bytes) {
    std::string units(2 * bytes.size() + 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (static_cast<unsigned char>(bytes[i]) >= 0x80)
        return Fail(number, "hex(" + std::to_string(type) +
                                ") bytes beyond ASCII in a version 5 file saved as UTF-8: regedit reads them as "
                                "characters of the machine's 8-bit code page (save the file as UTF-16)");
      units[2 * i] = bytes[i];
    }
    if (bytes.empty() || bytes.back() == '\0') units.resize(2 * bytes.size());
    bytes = std::move(units);
    return true;
  }

  // Text data of a REGEDIT4 file in a code page, held as the stand-in's text.
  bool DecodeText(std::size_t number, std::string &bytes) {
    std::string text;
    if (!form_.codePage->Decode(bytes, text))
      return Fail(number, "text data that code page " + form_.codePage->name() + " does not map exactly");
    bytes = std::move(text);
    return true;
  }

  std::string_view text_;
  Reader reader_;
  const FileForm &form_;
  Key &top_;
  ParseError &error_;
  Key *current_ = nullptr;
  bool inDeleted_ = false;
  KeyIndex keys_{top_};
  std::vector<std::unique_ptr<Key>> deleted_;
  std::size_t removedKeys_ = 0;
  std::vector<std::string_view> names_;  // of the latest section
  std::string root_;                     // its root, as the platform spells it
};

// The first line, which says the version; leading blanks are allowed,
// nothing after it (regedit imports nothing from a file with "REGEDIT4 ").
bool ReadVersion(std::string_view text, FileForm &form, ParseError &error) {
  Line header{1, {}};
  if (!Reader(text).Next(header)) {
    error = {1, "empty file: the first line must be REGEDIT4"};
    return false;
  }
  std::string_view version = TrimLeft(header.text);
  form.version5 = version == kRegedit5;
  if (form.version5 || (version == kRegedit4 && form.encoding != FileForm::Encoding::kUtf16)) return true;
  error = {1, "the first line must be REGEDIT4 or " + std::string(kRegedit5)};
  // One of the first two bytes NUL, as in "R\0" or "\0R": UTF-16.
  if (version.size() >= 2 && (version[0] == '\0') != (version[1] == '\0'))
    error.reason = "UTF-16 text without a byte-order mark: it is read only after one (FF FE)";
  return false;
}

// The text of a REGEDIT4 file in a code page, line by line, so that a byte
// it does not map is named by its line.
bool DecodeLines(std::string_view bytes, const CodePage &codePage, std::string &text, ParseError &error) {
  text.reserve(bytes.size());
  for (std::size_t start = 0; start <= bytes.size();) {
    std::size_t end = std::min(bytes.find('\n', start), bytes.size());
    std::string line;
    if (!codePage.Decode(bytes.substr(start, end - start), line)) {
      error = {Reader(bytes).LineOf(start), "bytes that code page " + codePage.name() + " does not map exactly"};
      return false;
    }
    text += line;
    if (end < bytes.size()) text.push_back('\n');
    start = end + 1;
  }
  return true;
}

// Where the UTF-16LE unit LF is, from `start` on, at an even offset; the
// end of `bytes` when nowhere.
std::size_t Utf16LineEnd(std::string_view bytes, std::size_t start) {
  for (std::size_t at = start; at + 1 < bytes.size(); at += 2) {
    if (bytes[at] == '\n' && bytes[at + 1] == '\0') return at;
  }
  return bytes.size();
}

// Appends the text of UTF-16LE units when they are all ASCII.
bool AppendAscii(std::string_view bytes, std::string &text) {
  for (std::size_t at = 0; at < bytes.size(); at += 2) {
    if (static_cast<unsigned char>(bytes[at]) >= 0x80 || at + 1 == bytes.size() || bytes[at + 1] != '\0') return false;
  }
  std::size_t start = text.size();
  text.resize(start + bytes.size() / 2);
  for (std::size_t at = 0; at < bytes.size(); at += 2) text[start + at / 2] = bytes[at];
  return true;
}

// The text of UTF-16LE bytes after what `text` holds, line by line, so that
// units the stand-in cannot hold (see FromUtf16) are named by their line.
bool DecodeUtf16Lines(std::string_view bytes, std::string &text, ParseError &error) {
  std::string line;
  for (std::size_t start = 0; start <= bytes.size();) {
    std::size_t end = Utf16LineEnd(bytes, start);
    std::string_view units = bytes.substr(start, end - start);
    // Most lines are ASCII, taken as they are.
    if (!AppendAscii(units, text)) {
      if (!FromUtf16(UnitsOfBytes(units), line)) {
        error = {Reader(text + "x").LineOf(text.size()),
                 "UTF-16 text the stand-in cannot hold exactly: lone "
                 "surrogates that would read back as a character"};
        return false;
      }
      text += line;
    }
    if (end < bytes.size()) text.push_back('\n');
    start = end + 2;
  }
  return true;
}

// What the text of a file must be once decoded: its version, and UTF-8 in
// version 5. A REGEDIT4 file's text in a code page is decoded now, into
// `decoded`.
bool CheckText(FileForm &form, std::string &decoded, std::string_view &text, ParseError &error) {
  if (!ReadVersion(text, form, error)) return false;
  std::size_t valid =
      form.version5 && form.encoding != FileForm::Encoding::kUtf16 ? StrictUtf8Length(text) : text.size();
  if (valid < text.size()) {
    error = {Reader(text).LineOf(valid),
             "version 5 text that is neither UTF-16 nor UTF-8: regedit would read it in "
             "the machine's 8-bit code page"};
    return false;
  }
  if (form.version5 || !form.codePage) return true;
  if (!DecodeLines(text, *form.codePage, decoded, error)) return false;
  text = decoded;
  return true;
}

// The text of an 8-bit file (a UTF-16 file is decoded as it comes, see
// FileBytes) in the stand-in's form (see names.h), and what it is: UTF-8
// after a byte-order mark; otherwise UTF-8 for version 5 (text regedit
// would read in another code page is refused), the code page given for
// REGEDIT4. UTF-8 is read where it lies; text in a code page is made in
// `decoded`.
bool Decode8BitFile(std::string_view bytes, FileForm &form, std::string &decoded, std::string_view &text,
                    ParseError &error) {
  if (StartsWith(bytes, "\xFE\xFF")) {
    error = {1, "UTF-16 text in big-endian order is not read"};
    return false;
  }
  bool bom = StartsWith(bytes, "\xEF\xBB\xBF");
  form.encoding = bom ? FileForm::Encoding::kUtf8WithBom : FileForm::Encoding::kUtf8;
  if (bom) form.codePage = nullptr;
  text = bytes.substr(bom ? 3 : 0);
  return CheckText(form, decoded, text, error);
}

}  // namespace

// The same way as a file the store reads, a piece at a time.
bool Parse(std::string_view bytes, Key &top, FileForm &form, ParseError &error) {
  FileBytes file;
  file.Expect(bytes.size());
  file.Add(bytes);
  return file.Parse(top, form, error);
}

void FileBytes::Add(std::string_view piece) {
  if (failed_) return;
  std::size_t from = bytes_.size();  // where the new bytes start
  bytes_.append(piece);
  if (!decided_ && bytes_.size() >= 2) {
    decided_ = true;
    utf16_ = StartsWith(bytes_, "\xFF\xFE");
    if (utf16_) bytes_.erase(0, 2), from = 0;
    // Mostly ASCII, a UTF-16 file's text takes half its bytes.
    utf16_ ? text_.reserve(expected_ / 2) : bytes_.reserve(expected_);
  }
  if (!utf16_) return;
  // Whole lines, up to the last line break among the new bytes.
  std::size_t end = bytes_.size() & ~std::size_t{1};
  while (end >= 2 && end > from && !(bytes_[end - 2] == '\n' && bytes_[end - 1] == '\0')) end -= 2;
  if (end < 2 || end <= from) return;
  failed_ = !DecodeUtf16Lines(std::string_view(bytes_).substr(0, end - 2), text_, error_);
  if (!failed_) text_.push_back('\n');
  bytes_.erase(0, end);
}

bool FileBytes::Parse(Key &top, FileForm &form, ParseError &error) {
  top.subkeys.clear();
  std::string_view text;
  if (!utf16_) return Decode8BitFile(bytes_, form, text_, text, error) && Parser(text, form, top, error).Run();
  form.encoding = FileForm::Encoding::kUtf16;
  form.codePage = nullptr;
  if (failed_) {
    error = error_;
    return false;
  }
  if (bytes_.size() % 2 != 0) {
    error = {1, "UTF-16 text of an odd number of bytes: it may be cut short"};
    return false;
  }
  if (!DecodeUtf16Lines(bytes_, text_, error)) return false;
  std::string().swap(bytes_);
  text = text_;
  return CheckText(form, text_, text, error) && Parser(text, form, top, error).Run();
}

}  // namespace regfile
