// The .reg format, as regedit exports and reads it: a text read into a tree
// and written back from one, in the version and encoding it came in.
// Portable: the test tools use the reader on Windows too, to load fixtures
// into the real registry.
#ifndef LORIMEX_REGFILE_REG_FORMAT_H
#define LORIMEX_REGFILE_REG_FORMAT_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "regfile/codepage.h"
#include "regfile/tree.h"

namespace regfile {

constexpr std::string_view kRegedit4 = "REGEDIT4";
constexpr std::string_view kRegedit5 = "Windows Registry Editor Version 5.00";

// The tags that start a value's data, shared by the reader and the writer
// as in regedit, which reads them in lower case only. Each gives the type
// of the data, but "hex(N):", which names it: N in hex, then kTypeNamedEnd.
struct ValueTag {
  std::uint32_t type;
  std::string_view prefix;
};
constexpr std::uint32_t kTypeNamed = UINT32_MAX;
constexpr ValueTag kValueTags[] = {{kString, "\""}, {kDword, "dword:"}, {kBinary, "hex:"}, {kTypeNamed, "hex("}};
constexpr std::string_view kTypeNamedEnd = "):";

// The tag `data` starts with; null when none.
inline const ValueTag *TagOf(std::string_view data) {
  for (const ValueTag &tag : kValueTags) {
    if (data.substr(0, tag.prefix.size()) == tag.prefix) return &tag;
  }
  return nullptr;
}

// The tag of the type `type` in the table (kTypeNamed for "hex(").
constexpr std::string_view PrefixOf(std::uint32_t type) {
  for (const ValueTag &tag : kValueTags) {
    if (tag.type == type) return tag.prefix;
  }
  return {};
}

// What a registry file is: its version, and how its bytes hold text.
struct FileForm {
  enum class Encoding { kUtf8, kUtf8WithBom, kUtf16 };
  bool version5 = false;
  Encoding encoding = Encoding::kUtf8;
  // A REGEDIT4 file in an 8-bit code page; null for UTF-8.
  std::shared_ptr<const CodePage> codePage;
  // A version 5 file holds text data as the registry does, in UTF-16LE; a
  // REGEDIT4 file as 8-bit text (see names.h).
  bool HoldsUtf16Data() const { return version5; }
  // A version 5 file saved as UTF-8: regedit reads the bytes of hex(1),
  // hex(2) and hex(7) as 8-bit characters, each byte one unit (ASCII the
  // same in every code page), and adds a NUL unit when the last byte is not
  // one. The stand-in reads them so, and refuses bytes beyond ASCII, which
  // the machine's code page would decide.
  bool WidensHexText() const { return version5 && encoding != Encoding::kUtf16; }
};

struct ParseError {
  std::size_t line = 0;
  std::string reason;
};

// Reads a .reg text into `top` (emptied first), whose subkeys are the roots,
// and sets `form` to what the file is; a REGEDIT4 file without a byte-order
// mark is read in form.codePage as given (null: UTF-8). Leaves `top`
// unspecified and fills `error` when the text is not a registry file, or
// regedit would read it otherwise: bad syntax, a key deeper than
// kMaxLevels, a NUL, or a last line of hex or dword data without its line
// break, which may have been cut short. Costs time linear in the text,
// whatever its shape.
bool Parse(std::string_view text, Key &top, FileForm &form, ParseError &error);

// A registry file's bytes, given a piece at a time as they are read, then
// parsed as Parse parses them. A UTF-16 file's are decoded as they come,
// line by line, so that they are never held whole; a UTF-8 file's are the
// text the parse reads, never copied.
class FileBytes {
 public:
  void Expect(std::size_t size) { expected_ = size; }
  void Add(std::string_view piece);
  bool Parse(Key &top, FileForm &form, ParseError &error);

 private:
  std::string bytes_;  // all of an 8-bit file's; those of a UTF-16 file not yet decoded
  std::string text_;   // the text, when it is not the bytes themselves
  std::size_t expected_ = 0;
  bool decided_ = false, utf16_ = false, failed_ = false;
  ParseError error_;  // the line of a UTF-16 file that cannot be held
};

// Whether a value can be written in `form` so that regedit reads it back
// the same: in a file that widens hex text (see FileForm), text that is not
// written as a quoted string must be ASCII units and end in a NUL unit.
bool Writable(std::uint32_t type, std::string_view data, const FileForm &form);

// Writes `top` back in `form`: keys sorted, values in their order; a key
// gets a section of its own when it has values or no subkeys (the others
// are implied by their subkeys' sections), a root only when it has values.
// The text goes to `sink` in pieces; a false from it stops the writing.
using Sink = std::function<bool(std::string_view)>;
bool Write(const Key &top, const FileForm &form, const Sink &sink);
std::string Write(const Key &top, const FileForm &form = {});

}  // namespace regfile

#endif
