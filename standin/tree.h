// The stand-in's registry in memory: keys and values as the registry holds
// them, with names as the file spells them.
#ifndef LORIMEX_STANDIN_TREE_H
#define LORIMEX_STANDIN_TREE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

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
  std::vector<std::unique_ptr<Key>> subkeys;  // sorted as names compare: see names.h

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

// Value types the file treats apart (regtext::IsTextType says which hold
// text).
constexpr std::uint32_t kString = 1;
constexpr std::uint32_t kBinary = 3;
constexpr std::uint32_t kDword = 4;

// A key path holds at most this many names below its root key.
constexpr std::size_t kMaxLevels = 512;

Key *FindSubkey(const Key &parent, std::string_view name);
// Returns the existing subkey, or adds it with the given spelling.
Key &FindOrAddSubkey(Key &parent, std::string_view name);

}  // namespace standin

#endif
