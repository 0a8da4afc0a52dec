// How the registry folds the case of one UTF-16 unit of a name: by Windows'
// own upper-case table (windows_upcase.inc), not by Unicode's. Two names are
// one name exactly when their units upper-case alike by that table: 'ა'
// (U+10D0) and 'Ა' (U+1C90) are two names, as are 'ı' and 'I', 'µ' and 'Μ',
// 'ſ' and 'S', 'ǅ' and 'Ǆ'. The table pairs at most two units, a lower-case
// one and its upper case; every other unit, surrogates among them, stands
// alone.
#ifndef LORIMEX_REGFILE_CASEFOLD_H
#define LORIMEX_REGFILE_CASEFOLD_H

namespace regfile {

// ASCII letters fold to lower case, as everywhere; each byte is one unit.
constexpr char16_t FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 0x20) : c; }

// Both directions of the table for every unit of the plane, made when the
// program is compiled.
struct CaseTable {
  char16_t upper[0x10000];
  char16_t fold[0x10000];
};
extern const CaseTable kCaseTable;

// The upper-case form of a unit, by Windows' table: how a hive orders and
// hashes names.
inline char16_t UpcaseCharacter(char16_t c) { return kCaseTable.upper[c]; }

// The unit that stands for all the units of the same upper case: the
// lower-case one of a pair, else the unit itself. The stand-in orders names
// by these, as Wine's registry lists subkeys by their lower-case forms.
inline char16_t FoldCharacter(char16_t c) { return kCaseTable.fold[c]; }

}  // namespace regfile

#endif
