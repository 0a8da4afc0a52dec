#include "regfile/tree.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "regfile/names.h"

namespace regfile {
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

Key *FindKeyPath(const Key &from, const std::vector<std::string_view> &names) {
  Key *key = nullptr;
  for (std::size_t i = 0; i < names.size() && (i == 0 || key); ++i) key = FindSubkey(i == 0 ? from : *key, names[i]);
  return key;
}

Key *FindKeyPath(const Key &from, std::string_view path) {
  std::vector<std::string_view> names;
  return SplitKeyPath(path, names) ? FindKeyPath(from, names) : nullptr;
}

Value::Value(std::string_view name, std::uint32_t type, std::string_view data) : type_(type) { Store(name, data); }

// The address of the bytes' block, held where the bytes would be.
char *Value::Block() const {
  char *block = nullptr;
  std::memcpy(&block, inline_, sizeof block);
  return block;
}

Value::Value(Value &&other) noexcept
    : size_(std::exchange(other.size_, 0)), nameSize_(other.nameSize_), type_(other.type_) {
  std::memcpy(inline_, other.inline_, kInline);
}

Value &Value::operator=(Value &&other) noexcept {
  if (this != &other) {
    Release();
    std::memcpy(inline_, other.inline_, kInline);
    size_ = std::exchange(other.size_, 0);
    nameSize_ = other.nameSize_;
    type_ = other.type_;
  }
  return *this;
}

Value::~Value() { Release(); }

void Value::Release() {
  if (!IsInline()) delete[] Block();
  size_ = 0;
}

void Value::Store(std::string_view name, std::string_view data) {
  std::size_t size = name.size() + data.size();
  char *to = size <= kInline ? inline_ : new char[size];
  if (size > kInline) std::memcpy(inline_, &to, sizeof to);
  size_ = static_cast<std::uint32_t>(size);
  nameSize_ = static_cast<std::uint32_t>(name.size());
  if (!name.empty()) std::memcpy(to, name.data(), name.size());
  if (!data.empty()) std::memcpy(to + name.size(), data.data(), data.size());
}

// The new value is made whole before the old one is let go, so memory
// running out leaves the value as it was.
void Value::Replace(std::uint32_t type, std::string_view data) { *this = Value(name(), type, data); }

void Value::Remove() {
  Release();
  nameSize_ = kRemoved;
}

// A block is made whole before it joins the list, and a value is counted
// only once it is made, so that memory running out leaves the list as it
// was.
void ValueList::Append(std::string_view name, std::uint32_t type, std::string_view data) {
  std::size_t count = size();
  if (count < kBlock) {
    first_.emplace_back(name, type, data);
    return;
  }
  if (count % kBlock == 0 && (more_.empty() || !more_.back().empty())) {
    std::vector<Value> block;
    block.reserve(kBlock);
    more_.push_back(std::move(block));
  }
  more_.back().emplace_back(name, type, data);
}

void ValueList::Truncate(std::size_t count) {
  if (count >= size()) return;
  if (count <= kBlock) {
    more_.clear();
    first_.erase(first_.begin() + static_cast<std::ptrdiff_t>(count), first_.end());
    return;
  }
  std::size_t blocks = (count - 1) / kBlock;  // of the rest, the last one partly kept
  more_.erase(more_.begin() + static_cast<std::ptrdiff_t>(blocks), more_.end());
  std::vector<Value> &last = more_.back();
  last.erase(last.begin() + static_cast<std::ptrdiff_t>(count - blocks * kBlock), last.end());
}

std::size_t Key::SlotOf(std::string_view name) const {
  return index_.Find(HashNoCase(name), [&](std::uint32_t entry) {
    return entry != kGap && EqualNoCase(values_[entry - 1].name(), name);
  });
}

std::size_t Key::PositionOf(std::string_view name) const {
  if (index_.empty()) {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      if (!values_[i].removed() && EqualNoCase(values_[i].name(), name)) return i;
    }
    return values_.size();
  }
  std::uint32_t entry = index_[SlotOf(name)];
  return entry == 0 ? values_.size() : entry - 1;
}

void Key::Insert(std::size_t position) {
  index_.Add(HashNoCase(values_[position].name()), static_cast<std::uint32_t>(position + 1));
}

// Makes the index anew, with half its slots free; a key small enough to
// search has none. Twice as many slots as values, not the next power of
// two, which could take twice as many again.
void Key::Reindex() {
  index_.Clear();
  if (values_.size() <= kUnindexedValues) return;
  index_.Reset(2 * values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (!values_[i].removed()) Insert(i);
  }
}

const Value *Key::FindValue(std::string_view name) const {
  std::size_t position = PositionOf(name);
  return position < values_.size() ? &values_[position] : nullptr;
}

// Gaps and values together fill at most three quarters of the index's
// slots: 5 to 8 bytes a value, and a search looks at a few slots.
void Key::SetValue(std::string_view name, std::uint32_t type, std::string_view data) {
  std::size_t position = PositionOf(name);
  if (position < values_.size()) {
    values_[position].Replace(type, data);
    return;
  }
  values_.Append(name, type, data);
  if (4 * values_.size() > 3 * index_.size()) {
    Reindex();
  } else {
    Insert(position);
  }
}

void Key::RemoveValue(std::string_view name) {
  std::size_t position = PositionOf(name);
  if (position == values_.size()) return;
  if (!index_.empty()) index_[SlotOf(name)] = kGap;
  values_[position].Remove();
  if (++gaps_ > values_.size() / 2) Compact();
}

void Key::Compact() {
  if (gaps_ == 0) return;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (values_[i].removed()) continue;
    if (kept != i) values_[kept] = std::move(values_[i]);
    ++kept;
  }
  values_.Truncate(kept);
  gaps_ = 0;
  Reindex();
}

}  // namespace regfile
