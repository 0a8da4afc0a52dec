// The stand-in's registry in memory: keys and values as the registry holds
// them, with names as the file spells them.
#ifndef LORIMEX_REGFILE_TREE_H
#define LORIMEX_REGFILE_TREE_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "regfile/hash_slots.h"

namespace regfile {

// A value: its name (empty for the default value), type and raw bytes,
// never converted. Name and data share one block of memory, held within the
// value itself when they are small (a DWORD or a short text with its name),
// where the address of the block is held otherwise: 32 bytes a value.
class Value {
 public:
  Value(std::string_view name, std::uint32_t type, std::string_view data);
  Value(Value &&other) noexcept;
  Value &operator=(Value &&other) noexcept;
  Value(const Value &) = delete;
  Value &operator=(const Value &) = delete;
  ~Value();
  std::string_view name() const { return {bytes(), nameSize_}; }
  std::uint32_t type() const { return type_; }
  std::string_view data() const { return {bytes() + nameSize_, size_ - nameSize_}; }
  // Keeps the name's spelling. Memory running out leaves the value as it
  // was.
  void Replace(std::uint32_t type, std::string_view data);
  // Leaves a gap in its key's values (see Key::RemoveValue).
  void Remove();
  bool removed() const { return nameSize_ == kRemoved; }

 private:
  static constexpr std::uint32_t kRemoved = UINT32_MAX;
  static constexpr std::size_t kInline = 20;
  bool IsInline() const { return size_ <= kInline; }
  const char *bytes() const { return IsInline() ? inline_ : Block(); }
  char *Block() const;
  void Store(std::string_view name, std::string_view data);
  void Release();

  char inline_[kInline];    // the bytes, or the address of their block
  std::uint32_t size_ = 0;  // of name and data
  std::uint32_t nameSize_ = 0;
  std::uint32_t type_ = 0;
};

static_assert(sizeof(Value) == 32, "the size the comment above gives");

// A key's values in creation order. The first kBlock are held as a vector
// holds them; the others in blocks of kBlock, each made at its full size
// once: a key of many values grows without ever holding them twice, as a
// vector does while it moves them to a larger array.
class ValueList {
 public:
  class Iterator {
   public:
    Iterator(const ValueList &list, std::size_t at) : list_(&list), at_(at) {}
    const Value &operator*() const { return (*list_)[at_]; }
    Iterator &operator++() {
      ++at_;
      return *this;
    }
    bool operator!=(const Iterator &other) const { return at_ != other.at_; }

   private:
    const ValueList *list_;
    std::size_t at_;
  };
  std::size_t size() const {
    return first_.size() + (more_.empty() ? 0 : (more_.size() - 1) * kBlock + more_.back().size());
  }
  bool empty() const { return first_.empty(); }
  const Value &operator[](std::size_t i) const { return i < kBlock ? first_[i] : more_[i / kBlock - 1][i % kBlock]; }
  Value &operator[](std::size_t i) { return i < kBlock ? first_[i] : more_[i / kBlock - 1][i % kBlock]; }
  Iterator begin() const { return {*this, 0}; }
  Iterator end() const { return {*this, size()}; }
  void Append(std::string_view name, std::uint32_t type, std::string_view data);
  // Keeps the first `count` values.
  void Truncate(std::size_t count);

 private:
  static constexpr std::size_t kBlock = 4096;
  std::vector<Value> first_;
  std::vector<std::vector<Value>> more_;
};

class Key {
 public:
  std::string name;
  std::vector<std::unique_ptr<Key>> subkeys;  // sorted as names compare: see names.h

  // In creation order; gaps of removed values until Compact().
  const ValueList &values() const { return values_; }
  const Value *FindValue(std::string_view name) const;
  // Replaces the data and type of a same-named value in place, keeping its
  // spelling and position; otherwise appends.
  void SetValue(std::string_view name, std::uint32_t type, std::string_view data);
  // Removes a value in constant time, leaving a gap in values(), as a file
  // may remove a great many at once; the gaps are closed when they are half
  // the values, and by Compact(), which the reader calls when it is done.
  void RemoveValue(std::string_view name);
  void Compact();

 private:
  std::size_t PositionOf(std::string_view name) const;  // values_.size() when there is none
  std::size_t SlotOf(std::string_view name) const;      // of the value, or the free slot where it would go
  void Insert(std::size_t position);
  void Reindex();

  ValueList values_;
  // Keys with many values find them through open addressing: each slot
  // holds a position in values_ plus one, kGap for a removed value (which
  // the search goes past), or 0. Always complete when not empty, as only
  // the members above change values_.
  HashSlots<std::uint32_t> index_;
  std::uint32_t gaps_ = 0;
  static constexpr std::uint32_t kGap = UINT32_MAX;
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
// The key that `names`, or a path of them ("a\\b\\c"), lead to from `from`
// through sorted subkeys; null when one is missing, there are none, or a
// name of the path is empty.
Key *FindKeyPath(const Key &from, const std::vector<std::string_view> &names);
Key *FindKeyPath(const Key &from, std::string_view path);

}  // namespace regfile

#endif
