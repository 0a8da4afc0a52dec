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
#include <unordered_map>
#include <vector>

namespace regfile {

struct Value {
  std::string name;  // empty for the default value
  std::uint32_t type = 0;
  std::string data;  // raw bytes, never converted
};

struct Key {
  std::string name;
  std::string folded;                         // the name as compared: see Fold()
  std::vector<Value> values;                  // in creation order
  std::vector<std::unique_ptr<Key>> subkeys;  // sorted by folded name
  // Folded value name -> position, for keys with many values; see FindValue.
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> valueIndex;
};

// A key path holds at most this many names below its root key.
constexpr std::size_t kMaxLevels = 512;

// Names are UTF-8 and compare as the platform compares them: without case,
// ordered as their lower-case forms. Fold gives a byte string that compares
// that way: each UTF-16 code unit of the lower-case form, two bytes, high
// byte first (bytes that are not UTF-8 are kept; see regfile.cpp).
std::string Fold(std::string_view name);
bool EqualNoCase(std::string_view a, std::string_view b);

// Splits "a\\b\\c" into its key names; false when a name is empty.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view> &names);

Key *FindSubkey(const Key &parent, std::string_view name);
// Returns the existing subkey, or adds it with the given spelling.
Key &FindOrAddSubkey(Key &parent, std::string_view name);
Value *FindValue(Key &key, std::string_view name);
// Replaces the data and type of a same-named value in place, keeping its
// spelling and position; otherwise appends.
void SetValue(Key &key, std::string_view name, std::uint32_t type, std::string data);
void RemoveValue(Key &key, std::string_view name);

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
