#include "standin/names.h"

#include "standin/casefold.h"

namespace standin {
namespace {

constexpr char16_t kEscape = 0xDC00;
TextForm textForm = TextForm::kRegedit4;

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf8(char32_t c, std::string &out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Encodes without checking that the bytes read back the same.
bool Encode(std::u16string_view units, std::string &out) {
  out.clear();
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      AppendUtf8(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00), out);
      ++i;
    } else if (textForm == TextForm::kRegedit4 && u >= kEscape + 0x80 && u <= kEscape + 0xFF) {
      out.push_back(static_cast<char>(u - kEscape));
    } else if (textForm == TextForm::kRegedit4 && (IsHighSurrogate(u) || IsLowSurrogate(u))) {
      return false;
    } else {
      AppendUtf8(u, out);
    }
  }
  return true;
}

bool ReadsBackAs(std::string_view text, std::u16string_view units) {
  Utf16Units back(text);
  std::size_t i = 0;
  for (char16_t unit = 0; back.Next(unit); ++i) {
    if (i == units.size() || units[i] != unit) return false;
  }
  return i == units.size();
}

}  // namespace

void SetTextForm(TextForm form) { textForm = form; }
TextForm CurrentTextForm() { return textForm; }

bool Utf16Units::Next(char16_t &unit) {
  if (low_ != 0) {
    unit = low_;
    low_ = 0;
    return true;
  }
  if (pos_ == text_.size()) return false;
  auto first = static_cast<unsigned char>(text_[pos_]);
  char32_t c = 0;
  if (first < 0x80) {
    ++pos_;
    unit = first;
  } else if (!DecodeNext(c)) {
    unit = static_cast<char16_t>(kEscape + first);
    ++pos_;
  } else if (c > 0xFFFF) {
    unit = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    low_ = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    unit = static_cast<char16_t>(c);
  }
  return true;
}

// Reads one well-formed multi-byte UTF-8 character (no overlong forms,
// surrogates or code points past U+10FFFF) and steps over it; false leaves
// pos_ alone.
bool Utf16Units::DecodeNext(char32_t &c) {
  auto byte = [this](std::size_t i) { return static_cast<unsigned char>(text_[pos_ + i]); };
  unsigned char lead = byte(0);
  std::size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || pos_ + length > text_.size()) return false;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED && textForm == TextForm::kRegedit4) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    unsigned char next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return false;
    c = c << 6 | (next & 0x3F);
  }
  pos_ += length;
  return true;
}

std::size_t CountUtf16Units(std::string_view text) {
  std::size_t count = 0;
  Utf16Units units(text);
  for (char16_t unit = 0; units.Next(unit);) ++count;
  return count;
}

std::size_t CopyUtf16Units(std::string_view text, char16_t *out) {
  std::size_t count = 0;
  Utf16Units units(text);
  for (char16_t unit = 0; units.Next(unit);) out[count++] = unit;
  return count;
}

void CopyUtf16Bytes(std::string_view text, unsigned char *out) {
  Utf16Units units(text);
  for (char16_t unit = 0; units.Next(unit);) {
    *out++ = static_cast<unsigned char>(unit & 0xFF);
    *out++ = static_cast<unsigned char>(unit >> 8);
  }
}

bool IsValidUtf16(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (IsHighSurrogate(units[i]) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
      return false;
    }
  }
  return true;
}

bool FromUtf16(std::u16string_view units, std::string &out) { return Encode(units, out) && ReadsBackAs(out, units); }

std::u16string UnitsOfBytes(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return units;
}

bool FromUtf16Bytes(const unsigned char *bytes, std::size_t size, std::string &out) {
  return size % 2 == 0 && FromUtf16(UnitsOfBytes({reinterpret_cast<const char *>(bytes), size}), out);
}

namespace {

// Names are UTF-8. They compare as the lower-case forms of their UTF-16
// code units, in code unit order: that decides where '_' or 'é' sort among
// the letters, and is how Wine's registry, the real one tested against,
// lists subkeys. A byte that is not part of valid UTF-8 is a lone low
// surrogate of its own (see names.h), which no character folds to, so such
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

}  // namespace

int CompareNoCase(std::string_view left, std::string_view right) {
  // Most names are ASCII, whose bytes are their units: compared as they
  // are, up to the first that is not.
  std::size_t same = 0;
  for (; same < left.size() && same < right.size(); ++same) {
    auto x = static_cast<unsigned char>(left[same]), y = static_cast<unsigned char>(right[same]);
    if ((x | y) >= 0x80) break;
    if (FoldAscii(x) != FoldAscii(y)) return FoldAscii(x) < FoldAscii(y) ? -1 : 1;
  }
  FoldedUnits a(left.substr(same)), b(right.substr(same));
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

bool EqualNoCase(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }

bool SplitKeyPath(std::string_view path, std::vector<std::string_view> &names) {
  for (std::size_t start = 0;;) {
    std::size_t slash = path.find('\\', start);
    names.push_back(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (names.back().empty()) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace standin
