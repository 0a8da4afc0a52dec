// Names and text: how the stand-in compares names as the registry does, and
// converts between its file and the registry's calls. The registry holds
// names and text as UTF-16; the stand-in holds them as UTF-8, in one form
// whatever the file: each byte that is not part of a well-formed sequence is
// a unit of its own, 0xDC00 plus the byte (a lone low surrogate), and comes
// back as that same byte; another lone surrogate is held in three bytes, as
// UTF-8 would write it were it a character (except where it would read back
// otherwise: a high one before a low one). So no byte of a file and no unit
// of the registry is changed on the way, and names compare the same whatever
// file they came from.
#ifndef LORIMEX_REGFILE_NAMES_H
#define LORIMEX_REGFILE_NAMES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace regfile {

// Names compare as Windows' registry compares them: two are one when their
// UTF-16 units upper-case alike by Windows' table, and they are ordered as
// the units of their lower-case forms (see casefold.h), which is how Wine's
// registry lists subkeys. Nothing folded is stored: names are folded as
// they are compared.
int CompareNoCase(std::string_view left, std::string_view right);
bool EqualNoCase(std::string_view a, std::string_view b);
std::size_t HashNoCase(std::string_view name);  // equal for names that are equal

// Splits "a\\b\\c" into its key names; false when a name is empty.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view> &names);

// The UTF-16 units of stored text, one at a time.
class Utf16Units {
 public:
  explicit Utf16Units(std::string_view text) : text_(text) {}
  bool Next(char16_t &unit);

 private:
  bool DecodeNext(char32_t &c);

  std::string_view text_;
  std::size_t pos_ = 0;
  char16_t low_ = 0;  // the second unit of a character beyond the BMP
};

std::size_t CountUtf16Units(std::string_view text);
// All the units of stored text.
std::u16string Utf16Of(std::string_view text);
// Writes the units of `text` to `out`, which has room for all of them;
// returns how many.
std::size_t CopyUtf16Units(std::string_view text, char16_t *out);
// The same, as little-endian bytes, as the registry holds text data.
void CopyUtf16Bytes(std::string_view text, unsigned char *out);

// The stored form of `units`: false, with `out` unspecified, when none
// gives exactly these units back (units from 0xDC80 to 0xDCFF whose bytes
// would read back as a character).
bool FromUtf16(std::u16string_view units, std::string &out);
// The same for UTF-16LE bytes; false for an odd count, which is never text.
bool FromUtf16Bytes(const unsigned char *bytes, std::size_t size, std::string &out);
// The units of UTF-16LE bytes; an odd last byte is left out.
std::u16string UnitsOfBytes(std::string_view bytes);
// The UTF-16LE unit whose two bytes start at `bytes`.
inline char16_t UnitAt(const unsigned char *bytes) { return static_cast<char16_t>(bytes[0] | bytes[1] << 8); }
// Whether `units` hold no lone surrogate.
bool IsValidUtf16(std::u16string_view units);
// How many bytes at the start of `text` are well-formed UTF-8, with no
// surrogate.
std::size_t StrictUtf8Length(std::string_view text);

}  // namespace regfile

#endif
