// How the registry folds the case of one character of a name.
#ifndef LORIMEX_STANDIN_CASEFOLD_H
#define LORIMEX_STANDIN_CASEFOLD_H

namespace standin {

// ASCII letters fold to lower case, as everywhere; each byte is one unit.
constexpr char16_t FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 0x20) : c; }

// The lower-case form of a character of the Basic Multilingual Plane, by the
// simple Unicode case mapping. A character folds only when its lower-case
// form maps back to it in upper case: the registry keeps the Kelvin sign
// apart from 'k', 'İ' from 'i' and 'ẞ' from 'ß' (measured under Wine over
// the whole plane). Characters beyond it are not folded.
char16_t FoldCharacter(char16_t c);

// The upper-case form of a character, as a hive orders and hashes names:
// the pairs FoldCharacter folds, seen from the other side (a character
// whose upper-case form maps back to it in lower case). So two names are
// one name for the hive exactly when they fold alike: the dotless i stays
// apart from 'I', the long s from 'S'. Surrogates stay as they are.
char16_t UpcaseCharacter(char16_t c);

}  // namespace standin

#endif
