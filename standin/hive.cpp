#include "standin/hive.h"

#include <hivex.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "standin/hive_format.h"
#include "standin/names.h"
#include "standin/store.h"

namespace standin {
namespace {

constexpr char kDefaultVariable[] = "LORIMEX_DEFAULT_HIVE";
constexpr char kUserVariable[] = "LORIMEX_USER_HIVE";
// Windows refuses longer key names, and data beyond this size of a value
// it reads from a "big data" cell, which libhivex does not write.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxFlatData = 16344;

const char *Variable(const char *name) {
  const char *value = std::getenv(name);
  return value && *value ? value : nullptr;
}

struct Free {
  void operator()(void *p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

class Hive {
 public:
  Hive() = default;
  Hive(const Hive &) = delete;
  Hive &operator=(const Hive &) = delete;
  ~Hive() {
    if (handle_) hivex_close(handle_);
  }
  LONG Open(const std::string &path, bool writable) {
    path_ = path;
    handle_ = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
    if (handle_) return ERROR_SUCCESS;
    int error = errno;
    LONG status = StatusOfError(error, ERROR_REGISTRY_CORRUPT);
    return Report(path, std::string("not a usable hive: ") + std::strerror(error), status);
  }
  hive_h *get() const { return handle_; }
  const std::string &path() const { return path_; }

 private:
  hive_h *handle_ = nullptr;
  std::string path_;
};

// Where a key of the tree is in its hive.
struct Place {
  Hive *hive = nullptr;  // none for HKEY_USERS itself, which no hive holds
  hive_node_h node = 0;
  bool reached = false;          // its subkeys and values are in the tree
  bool valuesSet = false;        // the run set a value of it
  bool rewritable = true;        // libhivex can write each of its values back exactly
  LONG refused = ERROR_SUCCESS;  // why it cannot be read, said once
};

// A name as libhivex gives it, UTF-8, and whole even when it holds a NUL.
bool NameOf(char *name, std::size_t length, std::string &out) {
  if (!name) return false;
  out.assign(name, length > 0 ? length : std::strlen(name));
  std::free(name);
  return true;
}

// A name libhivex takes as it is: valid UTF-16 (it goes through UTF-8), no
// NUL (it goes as a C string).
bool CarriedExactly(const std::u16string &units) { return IsValidUtf16(units) && units.find(u'\0') == units.npos; }

bool SameFile(const std::string &a, const std::string &b) {
  struct stat one {};
  struct stat other {};
  return stat(a.c_str(), &one) == 0 && stat(b.c_str(), &other) == 0 && one.st_dev == other.st_dev &&
         one.st_ino == other.st_ino;
}

void SetType(hive_set_value &entry, std::uint32_t type) {
  static_assert(sizeof entry.t == sizeof type, "a value's type is 32 bits");
  std::memcpy(&entry.t, &type, sizeof type);
}

}  // namespace

bool HiveRunRequested() { return Variable(kDefaultVariable) || Variable(kUserVariable); }

struct HiveRun::State {
  RegistryLock lock;
  Hive defaultHive, userHive;
  std::unordered_map<const Key *, Place> places;
  Key *userRoot = nullptr;
  bool changed = false;

  LONG ReadKey(Key &key, Place &place);
  LONG Apply(Key &key, hive_node_h node, bool isNew, std::vector<std::uint64_t> &grown,
             std::vector<std::uint64_t> &touched);
  LONG Refuse(const std::string &what, int error, LONG status, const Hive *hive = nullptr) {
    return Report((hive ? *hive : userHive).path(), what + std::strerror(error), status);
  }
};

HiveRun::HiveRun() = default;
HiveRun::~HiveRun() = default;

LONG HiveRun::Load(Key &top, FileForm &form) {
  const char *defaultPath = Variable(kDefaultVariable), *userPath = Variable(kUserVariable);
  if (!defaultPath || !userPath) {
    std::fprintf(stderr, "lorimex: %s is not set: a run over hive files needs both %s and %s\n",
                 defaultPath ? kUserVariable : kDefaultVariable, kDefaultVariable, kUserVariable);
    std::fflush(stderr);
    return ERROR_PATH_NOT_FOUND;
  }
  auto state = std::make_unique<State>();
  // The default hive is read as the one who runs lorimex; the user's, from
  // its lock on, as its owner (see RegistryLock). A missing one is not made.
  LONG status = CheckHiveFile(defaultPath);
  if (status == ERROR_SUCCESS) status = state->defaultHive.Open(defaultPath, false);
  if (status == ERROR_SUCCESS) status = state->lock.Take(RegistryFile{userPath, false});
  const std::string &user = state->lock.path();
  if (status == ERROR_SUCCESS && !state->lock.exists()) status = Report(user, "no such hive", ERROR_FILE_NOT_FOUND);
  if (status == ERROR_SUCCESS && SameFile(defaultPath, user))
    status = Report(user, "is also the default hive, which is never written", ERROR_ACCESS_DENIED);
  if (status == ERROR_SUCCESS) status = CheckHiveFile(user);
  if (status == ERROR_SUCCESS) status = state->userHive.Open(user, true);
  if (status != ERROR_SUCCESS) return status;
  form = FileForm{};
  form.version5 = true;
  form.encoding = FileForm::Encoding::kUtf16;
  // The other roots, and HKEY_USERS itself, are in no hive: nothing can be
  // made there that a save would keep.
  for (const char *root : {"HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG"})
    state->places[&FindOrAddSubkey(top, root)].reached = true;
  Key &users = *FindSubkey(top, "HKEY_USERS");
  Key &defaultRoot = FindOrAddSubkey(users, ".DEFAULT");
  state->places[&defaultRoot] = Place{&state->defaultHive, hivex_root(state->defaultHive.get())};
  state->userRoot = &FindOrAddSubkey(top, "HKEY_CURRENT_USER");
  state->places[state->userRoot] = Place{&state->userHive, hivex_root(state->userHive.get())};
  state_ = std::move(state);
  return ERROR_SUCCESS;
}

// A key is read whole, or not at all: a name libhivex cannot give exactly
// (a lone surrogate), or two names Windows would not keep apart, make every
// call on the key fail rather than show it otherwise than it is.
LONG HiveRun::State::ReadKey(Key &key, Place &place) {
  hive_h *h = place.hive->get();
  errno = 0;
  Owned<hive_node_h> children(hivex_node_children(h, place.node));
  Owned<hive_value_h> values(hivex_node_values(h, place.node));
  if (!children || !values) return Refuse("a key cannot be read: ", errno, ERROR_REGISTRY_CORRUPT, place.hive);
  std::vector<std::unique_ptr<Key>> subkeys;
  std::vector<hive_node_h> nodes;
  for (hive_node_h *child = children.get(); *child; ++child) {
    auto subkey = std::make_unique<Key>();
    if (!NameOf(hivex_node_name(h, *child), hivex_node_name_len(h, *child), subkey->name))
      return Refuse("a key holds a subkey whose name libhivex cannot read exactly (not valid UTF-16?): ", errno,
                    ERROR_NO_UNICODE_TRANSLATION, place.hive);
    subkeys.push_back(std::move(subkey));
    nodes.push_back(*child);
  }
  std::vector<std::size_t> order(subkeys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t x, std::size_t y) { return CompareNoCase(subkeys[x]->name, subkeys[y]->name) < 0; });
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (CompareNoCase(subkeys[order[i - 1]]->name, subkeys[order[i]]->name) == 0)
      return Report(place.hive->path(), "a key holds two subkeys whose names differ only in case",
                    ERROR_REGISTRY_CORRUPT);
  }
  for (hive_value_h *value = values.get(); *value; ++value) {
    std::string name;
    if (!NameOf(hivex_value_key(h, *value), hivex_value_key_len(h, *value), name))
      return Refuse("a key holds a value whose name libhivex cannot read exactly (not valid UTF-16?): ", errno,
                    ERROR_NO_UNICODE_TRANSLATION, place.hive);
    hive_type type{};
    std::size_t size = 0;
    Owned<char> data(hivex_value_value(h, *value, &type, &size));
    if (!data && size > 0) return Refuse("a value cannot be read: ", errno, ERROR_REGISTRY_CORRUPT, place.hive);
    if (key.FindValue(name))
      return Report(place.hive->path(), "a key holds two values whose names differ only in case",
                    ERROR_REGISTRY_CORRUPT);
    std::uint32_t raw = 0;
    std::memcpy(&raw, &type, sizeof raw);
    key.SetValue(name, raw, std::string_view(data.get(), data ? size : 0));
    place.rewritable = place.rewritable && size <= kMaxFlatData && CarriedExactly(Utf16Of(name));
  }
  for (std::size_t i : order) {
    places[subkeys[i].get()] = Place{place.hive, nodes[i]};
    key.subkeys.push_back(std::move(subkeys[i]));
  }
  place.reached = true;
  return ERROR_SUCCESS;
}

LONG HiveRun::Reach(Key &key) {
  if (!state_) return ERROR_SUCCESS;
  auto it = state_->places.find(&key);
  if (it == state_->places.end() || it->second.reached) return ERROR_SUCCESS;
  Place &place = it->second;
  if (place.refused == ERROR_SUCCESS) place.refused = state_->ReadKey(key, place);
  return place.refused;
}

LONG HiveRun::MayAddSubkey(const Key &parent, std::string_view name) {
  if (!state_) return ERROR_SUCCESS;
  auto it = state_->places.find(&parent);
  // Keys the run created are in the user's hive.
  if (it != state_->places.end() && it->second.hive != &state_->userHive) return ERROR_ACCESS_DENIED;
  // Two names Windows would take for one fold alike here too (see
  // UpcaseCharacter): the lookups that brought the run here found none.
  std::u16string units = Utf16Of(name);
  if (!CarriedExactly(units)) return ERROR_NO_UNICODE_TRANSLATION;
  if (units.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
  state_->changed = true;
  return ERROR_SUCCESS;
}

LONG HiveRun::MaySetValue(const Key &key, std::string_view name, std::uint32_t type, std::string_view data) {
  if (!state_) return ERROR_SUCCESS;
  auto it = state_->places.find(&key);
  if (it != state_->places.end() && it->second.hive != &state_->userHive) return ERROR_ACCESS_DENIED;
  if (it != state_->places.end() && !it->second.rewritable) return ERROR_NOT_SUPPORTED;
  if (!CarriedExactly(Utf16Of(name))) return ERROR_NO_UNICODE_TRANSLATION;
  if (data.size() > kMaxFlatData) return ERROR_NOT_SUPPORTED;
  const Value *old = key.FindValue(name);
  if (old && old->type() == type && old->data() == data) return ERROR_SUCCESS;
  if (it != state_->places.end()) it->second.valuesSet = true;
  state_->changed = true;
  return ERROR_SUCCESS;
}

// Writes what the run changed below `key`, which is at `node`: every value
// of a key whose values changed (libhivex writes a key's values as one
// list), every new subkey with all it holds.
LONG HiveRun::State::Apply(Key &key, hive_node_h node, bool isNew, std::vector<std::uint64_t> &grown,
                           std::vector<std::uint64_t> &touched) {
  hive_h *h = userHive.get();
  auto place = places.find(&key);
  if (isNew || place->second.valuesSet) {
    std::vector<std::string> names;
    std::vector<hive_set_value> entries;
    names.reserve(key.values().size());
    for (const Value &value : key.values()) {
      names.emplace_back(value.name());
      hive_set_value entry{names.back().data(), {}, value.data().size(), const_cast<char *>(value.data().data())};
      SetType(entry, value.type());
      entries.push_back(entry);
    }
    if (hivex_node_set_values(h, node, entries.size(), entries.data(), 0) != 0)
      return Refuse("cannot write the values of a key: ", errno, ERROR_REGISTRY_IO_FAILED);
    touched.push_back(node);
  }
  for (const auto &subkey : key.subkeys) {
    auto found = places.find(subkey.get());
    hive_node_h child = found != places.end() ? found->second.node : 0;
    if (found == places.end()) {
      child = hivex_node_add_child(h, node, subkey->name.c_str());
      if (child == 0) return Refuse("cannot add a key: ", errno, ERROR_REGISTRY_IO_FAILED);
      grown.push_back(node);
      touched.push_back(node);
      touched.push_back(child);
    } else if (!found->second.reached) {
      continue;
    }
    LONG status = Apply(*subkey, child, found == places.end(), grown, touched);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LONG HiveRun::Save() {
  if (!state_ || !state_->changed) return ERROR_SUCCESS;
  State &state = *state_;
  std::vector<std::uint64_t> grown, touched;
  LONG status = state.Apply(*state.userRoot, hivex_root(state.userHive.get()), false, grown, touched);
  if (status != ERROR_SUCCESS) return status;
  return state.lock.ReplaceWith([&](int fd) {
    // libhivex writes to a path: this one is the temporary itself.
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (hivex_commit(state.userHive.get(), self.c_str(), 0) != 0) return errno;
    return FixUpSavedHive(fd, grown, touched);
  });
}

}  // namespace standin
