#include "regfile/key_index.h"

#include <functional>
#include <memory>

#include "regfile/names.h"

namespace regfile {

KeyIndex::KeyIndex(Key &top) : top_(top) { slots_.Reset(256); }

std::size_t KeyIndex::Hash(const Key &parent, std::string_view name) {
  return HashNoCase(name) ^ std::hash<const Key *>()(&parent);
}

KeyIndex::Child *KeyIndex::Find(const Key &parent, std::string_view name) {
  std::size_t slot = slots_.Find(Hash(parent, name), [&](const Child &child) {
    return child.parent == &parent && EqualNoCase(child.key->name, name);
  });
  return HashSlots<Child>::IsFree(slots_[slot]) ? nullptr : &slots_[slot];
}

// Keeps at least half the slots free, growing fourfold to a power of two.
void KeyIndex::Enter(const Key &parent, Key *key) {
  if (2 * (entered_ + 1) > slots_.size()) {
    std::size_t count = 256;
    while (count < 4 * (entered_ + 1)) count *= 2;
    HashSlots<Child> old;
    std::swap(old, slots_);
    slots_.Reset(count);
    entered_ = 0;
    for (std::size_t slot = 0; slot < old.size(); ++slot) {
      if (old[slot].parent) Enter(*old[slot].parent, old[slot].key);
    }
  }
  slots_.Add(Hash(parent, key->name), Child{&parent, key});
  ++entered_;
}

Key *KeyIndex::Walk(const std::vector<std::string_view> &names, bool add) {
  std::size_t same = 0;
  while (same < names.size() && same < path_.size() && path_[same].first == names[same]) ++same;
  path_.resize(same);
  Key *key = same > 0 ? path_.back().second : &top_;
  for (std::size_t i = same; i < names.size() && key; ++i) {
    key = FindChild(*key, names[i], add);
    if (key) path_.emplace_back(std::string(names[i]), key);
  }
  return key;
}

Key *KeyIndex::FindChild(Key &parent, std::string_view name, bool add) {
  if (Child *found = Find(parent, name)) return found->key;
  if (!add) return nullptr;
  auto key = std::make_unique<Key>();
  key->name = std::string(name);
  Key *made = key.get();
  parent.subkeys.push_back(std::move(key));
  Enter(parent, made);
  return made;
}

Key *KeyIndex::Remove(const std::vector<std::string_view> &names) {
  Key *parent = Walk({names.begin(), names.end() - 1}, false);
  Child *found = parent ? Find(*parent, names.back()) : nullptr;
  if (!found) return nullptr;
  found->key->name.clear();
  found->parent = nullptr;
  return found->key;
}

}  // namespace regfile
