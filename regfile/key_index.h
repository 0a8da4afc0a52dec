// The keys a registry file's sections name, found while the file is read,
// before any key's subkeys are sorted: each by its parent and its name
// through one hash index, so that any order of sections costs the same.
#ifndef LORIMEX_REGFILE_KEY_INDEX_H
#define LORIMEX_REGFILE_KEY_INDEX_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "regfile/hash_slots.h"
#include "regfile/tree.h"

namespace regfile {

class KeyIndex {
 public:
  // Subkeys of `top` and below it are all made through this index.
  explicit KeyIndex(Key &top);

  // Finds, or with `add` makes, the key `names` lead to from the top; a key
  // made goes last among its parent's subkeys. Null when one is missing.
  Key *Walk(const std::vector<std::string_view> &names, bool add);
  // Takes the key `names` lead to out of the index, its name emptied (no
  // other key has an empty name), and returns it; null when there is none.
  // It stays among its parent's subkeys, so that removing costs the same
  // however many siblings it has; the keys below it stay alive too,
  // unreachable: their entries name them by address, which no new key may
  // take over.
  Key *Remove(const std::vector<std::string_view> &names);

 private:
  // A key by its parent; a removed key keeps its slot with a null parent.
  struct Child {
    const Key *parent;
    Key *key;
    bool operator==(const Child &other) const { return parent == other.parent && key == other.key; }
  };

  static std::size_t Hash(const Key &parent, std::string_view name);
  Child *Find(const Key &parent, std::string_view name);
  Key *FindChild(Key &parent, std::string_view name, bool add);
  void Enter(const Key &parent, Key *key);

  Key &top_;
  HashSlots<Child> slots_;
  std::size_t entered_ = 0;
  // The names and keys of the latest path: consecutive sections share most
  // of theirs, and the part spelled the same is not looked up again.
  std::vector<std::pair<std::string, Key *>> path_;
};

}  // namespace regfile

#endif
