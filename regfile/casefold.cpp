#include "regfile/casefold.h"

#include <cstddef>

namespace regfile {
namespace {

struct Mapping {
  char16_t unit, upper;
};

constexpr Mapping kWindowsUpcase[] = {
#include "regfile/windows_upcase.inc"
};
static_assert(sizeof kWindowsUpcase / sizeof *kWindowsUpcase == 973, "the whole of Windows' table");

constexpr CaseTable MakeCaseTable() {
  CaseTable table{};
  for (std::size_t c = 0; c < 0x10000; ++c) table.upper[c] = table.fold[c] = static_cast<char16_t>(c);
  for (const Mapping &m : kWindowsUpcase) {
    table.upper[m.unit] = m.upper;
    table.fold[m.upper] = m.unit;
  }
  return table;
}

// FoldCharacter stands for a whole class only when every class is one unit
// or a pair: no upper case is itself mapped, none is the upper case of two
// units, and no surrogate is mapped.
constexpr bool ClassesArePairs(const CaseTable &table) {
  for (const Mapping &m : kWindowsUpcase) {
    if (table.upper[m.upper] != m.upper || table.fold[m.upper] != m.unit) return false;
    if ((m.unit >= 0xD800 && m.unit <= 0xDFFF) || (m.upper >= 0xD800 && m.upper <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace

constexpr CaseTable kCaseTable = MakeCaseTable();
static_assert(ClassesArePairs(kCaseTable), "Windows' table pairs units two by two");

}  // namespace regfile
