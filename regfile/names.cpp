#include "regfile/names.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>

#include "regfile/casefold.h"
#include "registry/text.h"

namespace regfile {
namespace {

constexpr char16_t kEscape = 0xDC00;

using regtext::IsHighSurrogate;
using regtext::IsLowSurrogate;

void AppendUtf8(char32_t c, std::string &out) {
  char bytes[4];
  out.append(bytes, regtext::EncodeUtf8(c, bytes));
}

// A pair becomes one character; a lone unit from 0xDC80 to 0xDCFF the byte
// it stands for; every other lone surrogate its three bytes.
std::string Encode(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (IsHighSurrogate(u) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      AppendUtf8(regtext::Combine(u, units[++i]), out);
    } else if (u >= kEscape + 0x80 && u <= kEscape + 0xFF) {
      out.push_back(static_cast<char>(u - kEscape));
    } else {
      AppendUtf8(u, out);
    }
  }
  return out;
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

namespace {

// The length of the well-formed UTF-8 character at `pos` (no overlong
// forms, nothing past U+10FFFF; surrogates in three bytes only when
// `surrogates`, and never 0xDC80 to 0xDCFF, which stand for bytes), 0 when
// there is none; `c` gets it.
std::size_t Utf8CharacterAt(std::string_view text, std::size_t pos, bool surrogates, char32_t &c) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  std::size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (length == 0 || pos + length > text.size()) return 0;
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;  // the allowed range of the second byte
  unsigned char high = lead == 0xF4 ? 0x8F : lead == 0xED && !surrogates ? 0x9F : 0xBF;
  c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    unsigned char next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    c = c << 6 | (next & 0x3F);
  }
  return c >= kEscape + 0x80 && c <= kEscape + 0xFF ? 0 : length;
}

}  // namespace

// A high surrogate in three bytes is one only where no surrogate follows
// (a low one, or a byte that is a unit of its own, would read back with it
// as a pair); otherwise its bytes are units of their own. False leaves pos_
// alone.
bool Utf16Units::DecodeNext(char32_t &c) {
  std::size_t length = Utf8CharacterAt(text_, pos_, true, c);
  if (length == 0) return false;
  std::size_t after = pos_ + length;
  char32_t next = 0;
  if (IsHighSurrogate(c) && after < text_.size() && static_cast<unsigned char>(text_[after]) >= 0x80 &&
      (Utf8CharacterAt(text_, after, true, next) == 0 || regtext::IsSurrogate(next)))
    return false;
  pos_ = after;
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
    } else if (regtext::IsSurrogate(units[i])) {
      return false;
    }
  }
  return true;
}

bool FromUtf16(std::u16string_view units, std::string &out) {
  out = Encode(units);
  return ReadsBackAs(out, units);
}

std::size_t StrictUtf8Length(std::string_view text) {
  char32_t c = 0;
  std::size_t pos = 0;
  for (std::size_t length = 0; pos < text.size(); pos += length) {
    if ((length = Utf8CharacterAt(text, pos, false, c)) == 0) break;
  }
  return pos;
}

std::u16string Utf16Of(std::string_view text) {
  std::u16string units(CountUtf16Units(text), u'\0');
  CopyUtf16Units(text, units.data());
  return units;
}

std::u16string UnitsOfBytes(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  const auto *at = reinterpret_cast<const unsigned char *>(bytes.data());
  for (std::size_t i = 0; i < units.size(); ++i) units[i] = UnitAt(at + 2 * i);
  return units;
}

bool FromUtf16Bytes(const unsigned char *bytes, std::size_t size, std::string &out) {
  return size % 2 == 0 && FromUtf16(UnitsOfBytes({reinterpret_cast<const char *>(bytes), size}), out);
}

namespace {

// Names are UTF-8. They compare as their UTF-16 code units folded by
// Windows' table (casefold.h), in code unit order: that decides where '_'
// or 'é' sort among the letters, and is how Wine's registry, the real one
// tested against, lists subkeys. A byte that is not part of valid UTF-8 is
// a lone low surrogate of its own (see names.h), which no character folds
// to, so such names compare byte for byte apart from ASCII case. Surrogates
// fold to themselves: characters beyond the BMP have no case in the
// registry.
class FoldedUnits {
 public:
  explicit FoldedUnits(std::string_view name) : units_(name) {}

  bool Next(char16_t &unit) {
    if (!units_.Next(unit)) return false;
    unit = FoldCharacter(unit);
    return true;
  }

 private:
  Utf16Units units_;
};

}  // namespace

int CompareNoCase(std::string_view left, std::string_view right) {
  // Equal bytes are equal units, and most names are ASCII, whose bytes are
  // their units: compared as bytes up to the first that differs otherwise
  // than in ASCII case; from the start of its character on, as units.
  std::size_t same = 0;
  for (std::uint64_t a = 0, b = 0; same + 8 <= left.size() && same + 8 <= right.size(); same += 8) {
    std::memcpy(&a, left.data() + same, 8);
    std::memcpy(&b, right.data() + same, 8);
    if (a != b) break;
  }
  for (; same < left.size() && same < right.size(); ++same) {
    auto x = static_cast<unsigned char>(left[same]), y = static_cast<unsigned char>(right[same]);
    if (x == y) continue;
    if ((x | y) >= 0x80) break;
    if (FoldAscii(x) != FoldAscii(y)) return FoldAscii(x) < FoldAscii(y) ? -1 : 1;
  }
  // A byte that does not continue a sequence starts a unit, but a high
  // surrogate just before it is one unit or three as what follows it says.
  auto byteAt = [](std::string_view s, std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0; };
  while (same > 0 && ((byteAt(left, same) & 0xC0) == 0x80 || (byteAt(right, same) & 0xC0) == 0x80)) --same;
  if (same >= 3 && byteAt(left, same - 3) == 0xED && (byteAt(left, same - 2) & 0xF0) == 0xA0) same -= 3;
  FoldedUnits a(left.substr(same)), b(right.substr(same));
  for (char16_t x = 0, y = 0;;) {
    bool more = a.Next(x);
    if (more != b.Next(y)) return more ? 1 : -1;
    if (!more) return 0;
    if (x != y) return x < y ? -1 : 1;
  }
}

namespace {

// SipHash-1-3 under a key chosen at random for each process: a file cannot
// hold names made to fall into one slot of an index, as it could against a
// hash anyone can compute.
class KeyedHash {
 public:
  KeyedHash() {
    static const std::array<std::uint64_t, 2> key = [] {
      std::random_device device;
      return std::array<std::uint64_t, 2>{std::uint64_t{device()} << 32 | device(),
                                          std::uint64_t{device()} << 32 | device()};
    }();
    v_ = {key[0] ^ 0x736f6d6570736575ull, key[1] ^ 0x646f72616e646f6dull, key[0] ^ 0x6c7967656e657261ull,
          key[1] ^ 0x7465646279746573ull};
  }
  void Add(char16_t unit) {
    block_ |= std::uint64_t{unit} << (16 * (units_++ % 4));
    if (units_ % 4 == 0) Compress(std::exchange(block_, 0));
  }
  std::uint64_t Finish() {
    Compress(block_ | static_cast<std::uint64_t>(units_) * 2 << 56);
    v_[2] ^= 0xff;
    for (int i = 0; i < 3; ++i) Round();
    return v_[0] ^ v_[1] ^ v_[2] ^ v_[3];
  }

 private:
  static std::uint64_t Rotate(std::uint64_t x, int by) { return x << by | x >> (64 - by); }
  void Round() {
    v_[0] += v_[1], v_[1] = Rotate(v_[1], 13) ^ v_[0], v_[0] = Rotate(v_[0], 32);
    v_[2] += v_[3], v_[3] = Rotate(v_[3], 16) ^ v_[2];
    v_[0] += v_[3], v_[3] = Rotate(v_[3], 21) ^ v_[0];
    v_[2] += v_[1], v_[1] = Rotate(v_[1], 17) ^ v_[2], v_[2] = Rotate(v_[2], 32);
  }
  void Compress(std::uint64_t block) {
    v_[3] ^= block;
    Round();
    v_[0] ^= block;
  }

  std::array<std::uint64_t, 4> v_;
  std::uint64_t block_ = 0;
  std::uint8_t units_ = 0;  // modulo 256, as the length byte counts
};

}  // namespace

std::size_t HashNoCase(std::string_view name) {
  KeyedHash hash;
  FoldedUnits units(name);
  for (char16_t unit = 0; units.Next(unit);) hash.Add(unit);
  return static_cast<std::size_t>(hash.Finish());
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

}  // namespace regfile
