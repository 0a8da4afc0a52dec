// The registry's text: which value types hold it, how its UTF-16 units pair,
// and how a character is written as UTF-8. Header-only, with no platform
// types, so that the program's output, the stand-in and the test tools share
// one copy.
#ifndef LORIMEX_REGISTRY_TEXT_H
#define LORIMEX_REGISTRY_TEXT_H

#include <cstddef>
#include <cstdint>

namespace regtext {

// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: data the wide calls see as UTF-16.
constexpr bool IsTextType(std::uint32_t type) { return type == 1 || type == 2 || type == 7; }

constexpr bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool IsSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
constexpr char32_t Combine(char32_t high, char32_t low) { return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00); }

// Writes `c` as UTF-8 to `out` (room for four bytes) and returns how many
// bytes it took. A surrogate takes three bytes, as UTF-8 would write it were
// it a character: that is how a name keeps a lone one.
constexpr std::size_t EncodeUtf8(char32_t c, char *out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  std::size_t count = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (std::size_t i = count - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>(kLead[count] | c);
  return count;
}

}  // namespace regtext

#endif
