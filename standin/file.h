// The registry file: a .reg text (REGEDIT4) read into a tree and written
// back from one. Portable: the test tools use the reader on Windows too, to
// load fixtures into the real registry.
#ifndef LORIMEX_STANDIN_FILE_H
#define LORIMEX_STANDIN_FILE_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "standin/tree.h"

namespace standin {

constexpr std::string_view kRegedit4 = "REGEDIT4";
constexpr std::string_view kRegedit5 = "Windows Registry Editor Version 5.00";

struct ParseError {
  std::size_t line = 0;
  std::string reason;
};

// Reads a .reg text into `top` (emptied first), whose subkeys are the roots.
// Leaves `top` unspecified and fills `error` when the text is not a registry
// file: bad syntax, a key deeper than kMaxLevels, a name holding a NUL or a
// line break, or a last line of hex data without its line break, which may
// have been cut short. Costs time linear in the text, whatever its shape.
bool Parse(std::string_view text, Key &top, ParseError &error);

// Writes `top` back as REGEDIT4: keys sorted, values in their order; a key
// gets a section of its own when it has values or no subkeys (the others are
// implied by their subkeys' sections), a root only when it has values.
// The text goes to `sink` in pieces; a false from it stops the writing.
using Sink = std::function<bool(std::string_view)>;
bool Write(const Key &top, const Sink &sink);
std::string Write(const Key &top);

}  // namespace standin

#endif
