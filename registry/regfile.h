// An in-memory registry tree and its .reg text form (REGEDIT4). Portable:
// the stand-in registry keeps its contents here, and the test tools use the
// same reader to load fixtures into a real registry.
#ifndef LORIMEX_REGISTRY_REGFILE_H
#define LORIMEX_REGISTRY_REGFILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace regfile {

// A value: its name (empty for the default value), type and raw bytes,
// never converted. Name and data share one string, so that a small value
// needs no memory of its own.
class Value {
 public:
  Value(std::string_view name, std::uint32_t type, std::string_view data);
  std::string_view name() const { return std::string_view(bytes_).substr(0, nameSize_); }
  std::uint32_t type() const { return type_; }
  std::string_view data() const { return std::string_view(bytes_).substr(nameSize_); }
  // Keeps the name's spelling.
  void Replace(std::uint32_t type, std::string_view data);

 private:
  std::string bytes_;
  std::uint32_t nameSize_;
  std::uint32_t type_;
};

class Key {
 public:
  std::string name;
  std::vector<std::unique_ptr<Key>> subkeys;  // sorted as names compare: see EqualNoCase

  const std::vector<Value> &values() const { return values_; }  // in creation order
  const Value *FindValue(std::string_view name) const;
  // Replaces the data and type of a same-named value in place, keeping its
  // spelling and position; otherwise appends.
  void SetValue(std::string_view name, std::uint32_t type, std::string_view data);
  void RemoveValue(std::string_view name);

 private:
  std::size_t PositionOf(std::string_view name) const;  // values_.size() when there is none
  void Insert(std::size_t position);
  void Reindex();

  std::vector<Value> values_;
  // Keys with many values find them through open addressing: each slot
  // holds a position in values_ plus one, or 0. Always complete when not
  // empty, as only the members above change values_.
  std::vector<std::uint32_t> index_;
};

// A key path holds at most this many names below its root key.
constexpr std::size_t kMaxLevels = 512;

// Names are UTF-8 and compare as the platform compares them: without case,
// ordered as the UTF-16 code units of their lower-case forms (bytes that
// are not UTF-8 are kept; see regfile.cpp). Nothing folded is stored: names
// are folded as they are compared.
bool EqualNoCase(std::string_view a, std::string_view b);

// Splits "a\\b\\c" into its key names; false when a name is empty.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view> &names);

Key *FindSubkey(const Key &parent, std::string_view name);
// Returns the existing subkey, or adds it with the given spelling.
Key &FindOrAddSubkey(Key &parent, std::string_view name);

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

}  // namespace regfile

#endif
