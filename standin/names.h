// Names and text: how the stand-in compares names as the registry does, and
// converts between its file and the registry's calls. The registry holds
// names and text as UTF-16; the registry file holds them as UTF-8. Each byte of the file that is not part of a
// well-formed UTF-8 sequence travels as a UTF-16 unit of its own, 0xDC00 plus the byte (a lone low surrogate), and
// comes back as that same byte, so that no byte of the file is ever changed on the way.
#ifndef LORIMEX_STANDIN_NAMES_H
#define LORIMEX_STANDIN_NAMES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Names compare as the registry compares them: without case, ordered as the
// UTF-16 code units of their lower-case forms (see casefold.h), which is how
// Wine's registry lists subkeys. Nothing folded is stored: names are folded
// as they are compared.
int CompareNoCase(std::string_view left, std::string_view right);
bool EqualNoCase(std::string_view a, std::string_view b);
std::size_t HashNoCase(std::string_view name);  // equal for names that are equal

// Splits "a\\b\\c" into its key names; false when a name is empty.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view> &names);

// The form of the registry file in use, which decides how stored names read
// as UTF-16. A REGEDIT4 file is 8-bit text: each byte outside well-formed
// UTF-8 is a unit of its own (0xDC00 plus the byte). A version 5 file is
// UTF-16, which may hold lone surrogates: a name keeps them as three bytes
// each, as UTF-8 would write them were they characters, and text data stay
// UTF-16LE bytes, as the registry holds them. Set by Parse for the file it
// reads; the process has one registry file at a time.
enum class TextForm { kRegedit4, kRegedit5 };
void SetTextForm(TextForm form);
TextForm CurrentTextForm();

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
// Writes the units of `text` to `out`, which has room for all of them;
// returns how many.
std::size_t CopyUtf16Units(std::string_view text, char16_t *out);
// The same, as little-endian bytes, as the registry holds text data.
void CopyUtf16Bytes(std::string_view text, unsigned char *out);

// The stored form of `units`: false, with `out` unspecified, when no stored
// form gives exactly these units back (in a REGEDIT4 file: a lone surrogate
// that stands for no byte, or such units whose bytes would read back as a
// character).
bool FromUtf16(std::u16string_view units, std::string &out);
// The units of UTF-16LE bytes; an odd last byte is left out.
std::u16string UnitsOfBytes(std::string_view bytes);
// The same for little-endian bytes; an odd count is never text.
bool FromUtf16Bytes(const unsigned char *bytes, std::size_t size, std::string &out);
// Whether `units` hold no lone surrogate.
bool IsValidUtf16(std::u16string_view units);

}  // namespace standin

#endif
