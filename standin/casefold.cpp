#include "standin/casefold.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unicode/uchar.h>
#endif

namespace standin {
namespace {

#ifdef _WIN32
// Only the test tools use this build of the reader; the platform's registry
// compares the names they create.
char16_t MapCase(char16_t c, DWORD flags) {
  wchar_t in = c, out = c;
  return LCMapStringEx(LOCALE_NAME_INVARIANT, flags, &in, 1, &out, 1, nullptr, nullptr, 0) == 1 ? out : c;
}
char16_t Lower(char16_t c) { return MapCase(c, LCMAP_LOWERCASE); }
char16_t Upper(char16_t c) { return MapCase(c, LCMAP_UPPERCASE); }
#else
// A mapping that leaves the plane keeps the character.
char16_t Within(char16_t c, UChar32 mapped) { return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : c; }
char16_t Lower(char16_t c) { return Within(c, u_tolower(c)); }
char16_t Upper(char16_t c) { return Within(c, u_toupper(c)); }
#endif

}  // namespace

char16_t FoldCharacter(char16_t c) {
  if (c < 0x80) return FoldAscii(static_cast<unsigned char>(c));
  char16_t lower = Lower(c);
  return Upper(lower) == c ? lower : c;
}

char16_t UpcaseCharacter(char16_t c) {
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  char16_t upper = Upper(c);
  return Lower(upper) == c ? upper : c;
}

}  // namespace standin
