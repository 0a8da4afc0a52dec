// The one hash table of the tree and the reader: open addressing in a
// vector of slots. An entry is found by searching from the slot its hash
// gives, one slot after another, up to the first free one (an entry equal
// to Entry{}); the user keeps at least one slot free, and decides when to
// grow. An entry that is gone may stay as a marker the search goes past.
#ifndef LORIMEX_REGFILE_HASH_SLOTS_H
#define LORIMEX_REGFILE_HASH_SLOTS_H

#include <cstddef>
#include <vector>

namespace regfile {

template <class Entry>
class HashSlots {
 public:
  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  // Frees every slot, `count` of them.
  void Reset(std::size_t count) { slots_.assign(count, Entry{}); }
  void Clear() { slots_.clear(); }

  Entry &operator[](std::size_t slot) { return slots_[slot]; }
  const Entry &operator[](std::size_t slot) const { return slots_[slot]; }

  // The first slot from the hash's on that holds an entry `found` accepts,
  // or is free.
  template <class Found>
  std::size_t Find(std::size_t hash, Found found) const {
    for (std::size_t slot = hash % slots_.size();; slot = Next(slot)) {
      const Entry &entry = slots_[slot];
      if (IsFree(entry) || found(entry)) return slot;
    }
  }

  // Puts `entry` in the first free slot from the hash's on.
  void Add(std::size_t hash, const Entry &entry) {
    std::size_t slot = hash % slots_.size();
    while (!IsFree(slots_[slot])) slot = Next(slot);
    slots_[slot] = entry;
  }

  static bool IsFree(const Entry &entry) { return entry == Entry{}; }

 private:
  std::size_t Next(std::size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }

  std::vector<Entry> slots_;
};

}  // namespace regfile

#endif
