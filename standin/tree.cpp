#include "standin/tree.h"

#include <algorithm>

#include "standin/names.h"

namespace standin {
namespace {

auto SubkeyPosition(const Key &parent, std::string_view name) {
  return std::lower_bound(
      parent.subkeys.begin(), parent.subkeys.end(), name,
      [](const std::unique_ptr<Key> &k, std::string_view n) { return CompareNoCase(k->name, n) < 0; });
}

using SubkeyIterator = std::vector<std::unique_ptr<Key>>::const_iterator;

bool IsSubkeyAt(const Key &parent, SubkeyIterator it, std::string_view name) {
  return it != parent.subkeys.end() && CompareNoCase((*it)->name, name) == 0;
}

// Below this many values a key is searched from end to end; above, through
// its index.
constexpr std::size_t kUnindexedValues = 64;

}  // namespace

Key *FindSubkey(const Key &parent, std::string_view name) {
  auto it = SubkeyPosition(parent, name);
  return IsSubkeyAt(parent, it, name) ? it->get() : nullptr;
}

Key &FindOrAddSubkey(Key &parent, std::string_view name) {
  auto it = SubkeyPosition(parent, name);
  if (IsSubkeyAt(parent, it, name)) return **it;
  auto key = std::make_unique<Key>();
  key->name = std::string(name);
  return **parent.subkeys.insert(it, std::move(key));
}

Value::Value(std::string_view name, std::uint32_t type, std::string_view data)
    : nameSize_(static_cast<std::uint32_t>(name.size())), type_(type) {
  bytes_.reserve(name.size() + data.size());
  bytes_.append(name).append(data);
}

void Value::Replace(std::uint32_t type, std::string_view data) {
  bytes_.resize(nameSize_);
  bytes_.append(data);
  bytes_.shrink_to_fit();
  type_ = type;
}

std::size_t Key::PositionOf(std::string_view name) const {
  if (index_.empty()) {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      if (EqualNoCase(values_[i].name(), name)) return i;
    }
    return values_.size();
  }
  for (std::size_t slot = HashNoCase(name) & (index_.size() - 1);; slot = (slot + 1) & (index_.size() - 1)) {
    if (index_[slot] == 0) return values_.size();
    if (EqualNoCase(values_[index_[slot] - 1].name(), name)) return index_[slot] - 1;
  }
}

void Key::Insert(std::size_t position) {
  std::size_t slot = HashNoCase(values_[position].name()) & (index_.size() - 1);
  while (index_[slot] != 0) slot = (slot + 1) & (index_.size() - 1);
  index_[slot] = static_cast<std::uint32_t>(position + 1);
}

// Makes the index anew, with at least half its slots free; a key small
// enough to search has none.
void Key::Reindex() {
  index_.clear();
  if (values_.size() <= kUnindexedValues) return;
  std::size_t slots = 256;
  while (slots < 4 * values_.size()) slots *= 2;
  index_.assign(slots, 0);
  for (std::size_t i = 0; i < values_.size(); ++i) Insert(i);
}

const Value *Key::FindValue(std::string_view name) const {
  std::size_t position = PositionOf(name);
  return position < values_.size() ? &values_[position] : nullptr;
}

void Key::SetValue(std::string_view name, std::uint32_t type, std::string_view data) {
  std::size_t position = PositionOf(name);
  if (position < values_.size()) {
    values_[position].Replace(type, data);
    return;
  }
  values_.emplace_back(name, type, data);
  if (2 * values_.size() > index_.size()) {
    Reindex();
  } else {
    Insert(position);
  }
}

// Positions after the removed value shift: the index is made anew.
void Key::RemoveValue(std::string_view name) {
  std::size_t position = PositionOf(name);
  if (position == values_.size()) return;
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
  Reindex();
}

}  // namespace standin
