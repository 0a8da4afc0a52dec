#include "standin/hive.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "regfile/names.h"
#include "standin/file_io.h"
#include "standin/hive/cells.h"
#include "standin/hive/format.h"
#include "standin/hive/keys.h"
#include "standin/registry_file.h"
#include "standin/service.h"

namespace standin {
// What a holder keeps (service.h): the hive as loaded and repaired, and
// the file as it was when read, which must still be so for it to serve.
struct CheckedHive {
  std::string path;
  struct stat read {};
  hive::Image image;
  hive::Findings found;
};

namespace {

// Windows refuses longer key names.
constexpr std::size_t kMaxKeyName = 255;

// One of the two hive files, loaded when the run first reaches its root.
struct HiveFile {
  std::string path;
  hive::Image image;
  hive::Findings found;  // of the user's hive, checked whole
  struct stat read {};   // the file as it was read
  bool loaded = false;
  bool Shared(std::uint32_t cell) const { return found.shared.count(cell) != 0; }
};

// Where a key of the tree is in its hive.
struct Place {
  HiveFile *hive = nullptr;  // none for the roots no hive holds
  const Key *key = nullptr;  // the key of the tree it is the place of
  std::uint32_t node = hive::kNil;
  Place *up = nullptr;                // the parent's place, within the same hive
  bool reached = false;               // its subkeys and values are in the tree
  bool searchable = true;             // Windows' lookup finds each of its subkeys (see Searchable)
  bool relisted = false;              // the save writes its subkey list anew
  bool newValueList = false;          // the save writes its value list anew
  bool valuesSet = false;             // the run set a value of it
  LONG refused = ERROR_SUCCESS;       // why it cannot be read, said once
  bool unopenable = false;            // reached through a damaged entry of its parent's list
  std::vector<std::uint32_t> values;  // the value cell of each of key.values() read from the hive
  std::vector<bool> replaced;         // which of those the save gives new data
};

// Windows' FILETIME of now: 100 ns steps since 1601.
std::uint64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) + 11644473600u) * 10000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

// Advice for a user's hive that names itself as a shared one: a run of
// lorimex was given its two hives by the environment, and may have them
// the wrong way round.
std::string SwappedHint() {
  return ActiveRun() ? "" : std::string(" (") + kUserHiveVariable + " and " + kDefaultHiveVariable + " swapped?)";
}

// A key's path below the user's hive, as a service run's result names it.
std::string BelowUserRoot(const std::string &path) {
  constexpr std::string_view kRoot = "HKEY_CURRENT_USER\\";
  return path.compare(0, kRoot.size(), kRoot) == 0 ? path.substr(kRoot.size()) : path;
}

std::string Shown(std::u16string_view units) {
  std::string text;
  return FromUtf16(units, text) ? text : std::string("?");
}

// A key by its path below its hive's root, for the lines that name it.
std::string KeyNamed(const Place &place) {
  std::string path;
  for (const Place *at = &place; at && at->up; at = at->up) path = at->key->name + (path.empty() ? "" : "\\" + path);
  return path.empty() ? "the root key" : "key \"" + path + "\"";
}

// The line for a key that holds names Windows would not keep apart or that
// cannot be held: the key is not read, so the run leaves it as it is, and
// does what else it has to do.
LONG KeyLeftAsItIs(const Place &place, const std::string &why, LONG status) {
  return Report(place.hive->path, KeyNamed(place) + " " + why + ": it is left as it is", status);
}

// Why a hive that holds keys, but no Software key at its root, is none of a
// user's profile, saying what it looks like; "" when it is one. A hive that
// holds nothing yet is one for lorimex (made from nothing, it gets its keys
// through the calls), but never a profile's for a service run, which only
// finds the keys that are there.
std::string NotAProfileHive(const hive::Image &image) {
  std::vector<std::uint32_t> children, cells;
  if (!hive::ReadSubkeys(image, image.root(), children, cells).empty()) return "";
  if (children.empty()) return ActiveRun() ? "its root holds no keys at all (an empty hive)" : "";
  std::string names;
  bool classes = false;
  for (std::uint32_t child : children) {
    std::u16string name;
    if (!hive::ReadKeyName(image, child, name).empty()) return "";
    if (CompareHiveNames(name, u"Software") == 0) return "";
    classes |= CompareHiveNames(name, u"CLSID") == 0 || CompareHiveNames(name, u"Local Settings") == 0;
    if (names.size() < 60) names += (names.empty() ? "\"" : ", \"") + Shown(name) + "\"";
  }
  std::u16string file = image.FileName();
  const std::u16string usrClass = u"UsrClass.dat";
  classes |= file.size() >= usrClass.size() &&
             CompareHiveNames(std::u16string_view(file).substr(file.size() - usrClass.size()), usrClass) == 0;
  return "its root holds no Software key, only " + names + (names.size() >= 60 ? ", ..." : "") +
         (classes ? ": it looks like a UsrClass.dat, the hive of a user's file classes" : "");
}

// The holder the run under way was given, if any (service.h).
CheckedHiveHolder *Holder() { return ActiveRun() ? ActiveRun()->checked : nullptr; }

// Reads and checks a hive as Windows loads it: the file, its bins, and for
// the user's hive, which the run may write, every cell of every key.
LONG LoadImage(HiveFile &file, bool whole) {
  std::vector<unsigned char> bytes;
  LONG status = CheckHiveFile(file.path);
  if (status != ERROR_SUCCESS) return status;
  // A kept hive serves once: taken here, it is the run's own.
  CheckedHiveHolder *holder = whole ? Holder() : nullptr;
  std::shared_ptr<CheckedHive> last = holder ? std::move(holder->hive) : nullptr;
  if (last && last->path == file.path && SameHiveFile(file.path, last->read)) {
    file.read = last->read;
    file.image = std::move(last->image);
    file.found = std::move(last->found);
    file.loaded = true;
    return ERROR_SUCCESS;
  }
  if ((status = ReadHiveFile(file.path, bytes, &file.read)) != ERROR_SUCCESS) return status;
  std::string why = file.image.Load(std::move(bytes));
  if (why.empty() && whole) why = hive::CheckHive(file.image, file.found);
  if (!why.empty()) return NotAHive(file.path, why);
  if (whole) hive::RepairAsLoaded(file.image, file.found);
  file.loaded = true;
  return ERROR_SUCCESS;
}

}  // namespace

struct HiveRun::State {
  RegistryLock lock;
  HiveFile defaultHive, userHive;
  std::unordered_map<const Key *, Place> places;
  Key *userRoot = nullptr;
  bool changed = false;
  std::uint64_t now = 0;

  LONG LoadDefault();
  LONG LoadUser();
  LONG ReadKey(Key &key, Place &place);
  LONG ReadKeyInto(Key &key, Place &place, std::vector<std::unique_ptr<Key>> &subkeys);
  LONG AddChild(Key &key, Place &place, std::uint32_t child, std::vector<std::unique_ptr<Key>> &subkeys);
  bool GetsSubkeys(const Key &key) const;
  void FreeReplaced(Key &key);
  LONG Write(Key &key, std::uint32_t node);
  LONG WriteValues(Key &key, std::uint32_t node, Place *place);
  LONG WriteSubkeys(Key &key, std::uint32_t node);
  LONG CheckChangedOnce();
  LONG CheckListsKept();
  LONG CheckSearchable();
};

HiveRun::HiveRun(std::string defaultPath, std::string userPath) : state_(std::make_unique<State>()) {
  state_->defaultHive.path = std::move(defaultPath);
  state_->userHive.path = std::move(userPath);
}
// A user's hive the session checked and did not change is kept for the
// next session of the process (see LoadImage).
HiveRun::~HiveRun() {
  HiveFile &user = state_->userHive;
  CheckedHiveHolder *holder = Holder();
  if (holder && user.loaded && !state_->changed)
    holder->hive = std::make_shared<CheckedHive>(
        CheckedHive{user.path, user.read, std::move(user.image), std::move(user.found)});
}

LONG HiveRun::Load(Key &top, FileForm &form) {
  State &state = *state_;
  if (state.defaultHive.path.empty() || state.userHive.path.empty()) {
    std::fprintf(stderr, "lorimex: %s is not set: a run over hive files needs both %s and %s\n",
                 state.defaultHive.path.empty() ? kDefaultHiveVariable : kUserHiveVariable, kDefaultHiveVariable,
                 kUserHiveVariable);
    std::fflush(stderr);
    return ERROR_PATH_NOT_FOUND;
  }
  form = FileForm{};
  form.version5 = true;
  form.encoding = FileForm::Encoding::kUtf16;
  // The other roots, and HKEY_USERS itself, are in no hive: nothing can be
  // made there that a save would keep.
  for (const char *root : {"HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG"})
    state.places[&FindOrAddSubkey(top, root)].reached = true;
  // Each hive is loaded when the run first reaches it, so that its failure
  // is the failure of the call that reached it.
  Key &users = *FindSubkey(top, "HKEY_USERS");
  state.places[&FindOrAddSubkey(users, ".DEFAULT")].hive = &state.defaultHive;
  state.userRoot = &FindOrAddSubkey(top, "HKEY_CURRENT_USER");
  state.places[state.userRoot].hive = &state.userHive;
  return ERROR_SUCCESS;
}

// The default hive is read as the one who runs lorimex, and only read.
LONG HiveRun::State::LoadDefault() { return LoadImage(defaultHive, false); }

// The user's hive is locked first, and from its lock on handled as its
// owner (see RegistryLock). A missing one is not made. It is refused when
// it names itself as the default profile's or a machine's hive: those
// reach every profile, or the machine itself.
LONG HiveRun::State::LoadUser() {
  LONG status = lock.Take(RegistryFile{userHive.path, false});
  if (status != ERROR_SUCCESS) return status;
  userHive.path = lock.path();
  const std::string &user = userHive.path;
  if (!lock.exists()) return Report(user, "no such hive", ERROR_FILE_NOT_FOUND);
  if (SameFile(defaultHive.path, user))
    return Report(user, "is also the default hive, which is never written", ERROR_ACCESS_DENIED);
  if ((status = LoadImage(userHive, true)) != ERROR_SUCCESS) return status;
  std::u16string name = userHive.image.FileName();
  std::string kind = SharedHiveKind(name);
  if (!kind.empty())
    return Report(user,
                  "names itself \"" + Shown(name) + "\", " + kind +
                      ", which is never written as a user's" + SwappedHint(),
                  ERROR_ACCESS_DENIED);
  std::string why = NotAProfileHive(userHive.image);
  if (!why.empty()) return Report(user, "not a user's profile hive: " + why, ERROR_FILE_NOT_FOUND);
  return ERROR_SUCCESS;
}

// Brings one subkey of `key` into the tree. In the default hive, an entry
// that leads to a key of another parent (or back up the path, which is the
// same damage seen from below) lists the key but does not lead into it:
// opening it fails, as Windows' own check would have dropped it. The
// user's hive was checked whole when it was loaded, its Parent fields
// repaired.
LONG HiveRun::State::AddChild(Key &key, Place &place, std::uint32_t child, std::vector<std::unique_ptr<Key>> &subkeys) {
  const hive::Image &image = place.hive->image;
  std::u16string units;
  std::string why = hive::ReadKeyName(image, child, units);
  if (!why.empty()) return NotAHive(place.hive->path, Shown(Utf16Of(key.name)) + ": " + why);
  auto subkey = std::make_unique<Key>();
  if (!FromUtf16(units, subkey->name))
    return KeyLeftAsItIs(place, "holds a subkey whose name cannot be held", ERROR_NO_UNICODE_TRANSLATION);
  Place &found = places[subkey.get()];
  found.hive = place.hive;
  found.key = subkey.get();
  found.node = child;
  found.up = &place;
  if (place.hive != &userHive && hive::Le32(image.Cell(child) + hive::kNkParent) != place.node) {
    bool above = false;
    for (const Place *at = &place; at && !above; at = at->up) above = at->node == child;
    Report(place.hive->path,
           "the key \"" + subkey->name + "\" below \"" + key.name + "\"" +
               (above ? " leads back to a key above it" : " belongs to another key") + ": not followed",
           ERROR_REGISTRY_CORRUPT);
    found.refused = ERROR_REGISTRY_CORRUPT;
    found.unopenable = true;
  }
  subkeys.push_back(std::move(subkey));
  return ERROR_SUCCESS;
}

// A key is read whole, or not at all: a name that cannot be held as it is,
// or two names Windows would not keep apart, make every call on the key
// fail rather than show it otherwise than it is.
LONG HiveRun::State::ReadKey(Key &key, Place &place) {
  std::vector<std::unique_ptr<Key>> subkeys;
  LONG status = ReadKeyInto(key, place, subkeys);
  if (status == ERROR_SUCCESS) {
    for (auto &subkey : subkeys) key.subkeys.push_back(std::move(subkey));
    place.reached = true;
    // The run went into the key by its name: a list of its parent that
    // Windows could not search is written anew, as Windows writes it, so
    // that what the run does there is seen.
    if (place.up && !place.up->searchable) {
      changed = place.up->relisted = true;
      if (!hive::Findable(userHive.image, place.up->node, place.node) && ActiveResult()) ++ActiveResult()->keysHidden;
    }
  } else {
    for (const auto &subkey : subkeys) places.erase(subkey.get());
  }
  return status;
}

LONG HiveRun::State::ReadKeyInto(Key &key, Place &place, std::vector<std::unique_ptr<Key>> &subkeys) {
  const hive::Image &image = place.hive->image;
  const std::string &path = place.hive->path;
  std::vector<std::uint32_t> children, cells, values;
  std::uint32_t list = hive::kNil;
  std::string why = hive::ReadSubkeys(image, place.node, children, cells);
  if (why.empty()) why = hive::ReadValueList(image, place.node, values, list);
  if (!why.empty()) return NotAHive(path, "key \"" + key.name + "\": " + why);
  for (std::uint32_t child : children) {
    LONG status = AddChild(key, place, child, subkeys);
    if (status != ERROR_SUCCESS) return status;
  }
  std::sort(subkeys.begin(), subkeys.end(),
            [](const auto &a, const auto &b) { return CompareNoCase(a->name, b->name) < 0; });
  for (std::size_t i = 1; i < subkeys.size(); ++i) {
    if (CompareNoCase(subkeys[i - 1]->name, subkeys[i]->name) == 0)
      return KeyLeftAsItIs(place, "holds two subkeys whose names differ only in case", ERROR_REGISTRY_CORRUPT);
  }
  for (std::uint32_t vk : values) {
    hive::ValueRead value;
    if (!(why = hive::ReadValue(image, vk, value)).empty()) return NotAHive(path, "key \"" + key.name + "\": " + why);
    std::string name;
    if (!FromUtf16(value.name, name))
      return KeyLeftAsItIs(place, "holds a value whose name cannot be held", ERROR_NO_UNICODE_TRANSLATION);
    if (key.FindValue(name))
      return KeyLeftAsItIs(place, "holds two values whose names differ only in case", ERROR_REGISTRY_CORRUPT);
    key.SetValue(name, value.type, value.data);
  }
  place.values = values;
  if (place.hive == &userHive) place.searchable = hive::Searchable(image, place.node);
  return ERROR_SUCCESS;
}

LONG HiveRun::Reach(Key &key) {
  auto it = state_->places.find(&key);
  if (it == state_->places.end() || it->second.reached) return ERROR_SUCCESS;
  Place &place = it->second;
  if (place.refused == ERROR_SUCCESS && !place.hive->loaded) {
    place.refused = place.hive == &state_->userHive ? state_->LoadUser() : state_->LoadDefault();
    if (place.refused == ERROR_SUCCESS) place.node = place.hive->image.root();
  }
  if (place.refused == ERROR_SUCCESS) place.refused = state_->ReadKey(key, place);
  return place.refused;
}

LONG HiveRun::MayOpen(const Key &key) const {
  auto it = state_->places.find(&key);
  return it != state_->places.end() && it->second.unopenable ? it->second.refused : ERROR_SUCCESS;
}

LONG HiveRun::MayAddSubkey(const Key &parent, std::string_view name, const std::string &path) {
  auto it = state_->places.find(&parent);
  // Keys the run created are in the user's hive.
  if (it != state_->places.end() && it->second.hive != &state_->userHive) return ERROR_ACCESS_DENIED;
  if (CountUtf16Units(name) > kMaxKeyName) return ERROR_INVALID_PARAMETER;
  state_->changed = true;
  if (ActiveResult()) ActiveResult()->keysCreated.push_back(BelowUserRoot(path));
  return ERROR_SUCCESS;
}

LONG HiveRun::MaySetValue(const Key &key, const std::string &path, std::string_view name, std::uint32_t type,
                          std::string_view data) {
  auto it = state_->places.find(&key);
  if (it != state_->places.end() && it->second.hive != &state_->userHive) return ERROR_ACCESS_DENIED;
  const Value *old = key.FindValue(name);
  if (old && old->type() == type && old->data() == data) return ERROR_SUCCESS;
  if (it != state_->places.end()) {
    // Windows must find what the run changes: a key it sets a value of gets
    // a subkey list Windows can search, whether or not the run goes deeper.
    Place &place = it->second;
    place.valuesSet = true;
    place.relisted |= !place.searchable;
  }
  state_->changed = true;
  if (ServiceResult *result = ActiveResult()) {
    std::string shown = BelowUserRoot(path) + "\\" + std::string(name);
    if (old) result->valuesReplaced.push_back(shown);
    result->valuesSet.push_back(std::move(shown));
  }
  return ERROR_SUCCESS;
}

// Whether the run made subkeys of `key`: its subkey list is then replaced.
bool HiveRun::State::GetsSubkeys(const Key &key) const {
  return std::any_of(key.subkeys.begin(), key.subkeys.end(),
                     [&](const auto &subkey) { return places.count(subkey.get()) == 0; });
}

// The first of a save's two passes: frees what the save replaces, which the
// check showed to be each key's own: the data of values that change, the
// value lists that grow, the subkey lists that grow or are written anew.
// The second pass then finds that room free, as Windows would. A cell that
// another key leads to too is never freed: a value in such a cell that
// changes gets a cell of its own, and its key a new value list.
void HiveRun::State::FreeReplaced(Key &key) {
  auto found = places.find(&key);
  if (found == places.end() || !found->second.reached) return;
  Place &place = found->second;
  hive::Image &image = userHive.image;
  auto freeOwn = [&](std::uint32_t cell) {
    if (!userHive.Shared(cell)) image.Free(cell);
  };
  if (place.valuesSet) {
    place.replaced.assign(place.values.size(), false);
    place.newValueList = key.values().size() > place.values.size();
    for (std::size_t i = 0; i < place.values.size(); ++i) {
      hive::ValueRead old;
      const Value &value = key.values()[i];
      if (!hive::ReadValue(image, place.values[i], old).empty()) continue;
      if (old.type == value.type() && old.data == value.data()) continue;
      place.replaced[i] = true;
      place.newValueList |= userHive.Shared(place.values[i]);
      for (std::uint32_t cell : old.cells) freeOwn(cell);
    }
    std::vector<std::uint32_t> values;
    std::uint32_t list = hive::kNil;
    if (place.newValueList && hive::ReadValueList(image, place.node, values, list).empty() && list != hive::kNil)
      freeOwn(list);
  }
  for (const auto &subkey : key.subkeys) FreeReplaced(*subkey);
  std::vector<std::uint32_t> children, cells;
  if ((GetsSubkeys(key) || place.relisted) && hive::ReadSubkeys(image, place.node, children, cells).empty()) {
    for (std::uint32_t cell : cells) freeOwn(cell);
  }
}

LONG HiveRun::State::WriteValues(Key &key, std::uint32_t node, Place *place) {
  hive::Image &image = userHive.image;
  const ValueList &all = key.values();
  std::size_t kept = place ? place->values.size() : 0;
  std::vector<std::uint32_t> cells = place ? place->values : std::vector<std::uint32_t>{};
  for (std::size_t i = 0; i < all.size(); ++i) {
    // A new value list holds only values of the key's own: one that another
    // key's list holds too is copied.
    bool copied = i < kept && place->newValueList && userHive.Shared(cells[i]);
    if (i < kept && !place->replaced[i] && !copied) continue;
    std::u16string name = Utf16Of(all[i].name());
    if (i < kept && !userHive.Shared(cells[i])) {
      if (!hive::ReplaceValueData(image, cells[i], all[i].type(), all[i].data(), {})) return ERROR_OUTOFMEMORY;
    } else {
      std::uint32_t vk = hive::WriteValue(image, name, all[i].type(), all[i].data());
      if (vk == hive::kNil) return ERROR_OUTOFMEMORY;
      if (i < kept) {
        cells[i] = vk;
      } else {
        cells.push_back(vk);
      }
    }
    hive::NoteValue(image, node, name.size(), all[i].data().size());
  }
  if (all.size() > kept || (place && place->newValueList)) {
    std::uint32_t list = hive::WriteValueList(image, cells);
    if (list == hive::kNil) return ERROR_OUTOFMEMORY;
    hive::PutLe32(image.MutableCell(node) + hive::kNkValueList, list);
    hive::PutLe32(image.MutableCell(node) + hive::kNkValueCount, static_cast<std::uint32_t>(cells.size()));
  }
  hive::PutLe64(image.MutableCell(node) + hive::kNkWritten, now);
  return ERROR_SUCCESS;
}

// A key's new subkeys, each with all it holds, and then its subkey list,
// written once with every subkey in Windows' order and with its hashes.
LONG HiveRun::State::WriteSubkeys(Key &key, std::uint32_t node) {
  hive::Image &image = userHive.image;
  auto own = places.find(&key);
  const bool grows = GetsSubkeys(key) || (own != places.end() && own->second.relisted);
  std::vector<hive::Child> children;
  for (const auto &subkey : key.subkeys) {
    auto found = places.find(subkey.get());
    std::u16string name = grows ? Utf16Of(subkey->name) : std::u16string();
    std::uint32_t child = found != places.end() ? found->second.node : hive::WriteKeyNode(image, name, node, now);
    if (child == hive::kNil) return ERROR_OUTOFMEMORY;
    if (found == places.end()) hive::NoteSubkeyName(image, node, name.size());
    LONG status = Write(*subkey, child);
    if (status != ERROR_SUCCESS) return status;
    if (grows) children.push_back(hive::Child{std::move(name), child});
  }
  if (!grows) return ERROR_SUCCESS;
  std::sort(children.begin(), children.end(),
            [](const hive::Child &a, const hive::Child &b) { return CompareHiveNames(a.name, b.name) < 0; });
  for (std::size_t i = 1; i < children.size(); ++i) {
    if (CompareHiveNames(children[i - 1].name, children[i].name) == 0)
      return Report(userHive.path, "a key would hold two subkeys Windows takes for one: not saved",
                    ERROR_REGISTRY_CORRUPT);
  }
  std::uint32_t list = hive::WriteSubkeyList(image, children);
  if (list == hive::kNil) return ERROR_OUTOFMEMORY;
  unsigned char *cell = image.MutableCell(node);
  hive::PutLe32(cell + hive::kNkSubkeyList, list);
  hive::PutLe32(cell + hive::kNkSubkeyCount, static_cast<std::uint32_t>(children.size()));
  hive::PutLe64(cell + hive::kNkWritten, now);
  return ERROR_SUCCESS;
}

// The second pass: writes what the run changed below `key`, which is at
// `node`.
LONG HiveRun::State::Write(Key &key, std::uint32_t node) {
  auto found = places.find(&key);
  Place *place = found != places.end() ? &found->second : nullptr;
  if (place && !place->reached) return ERROR_SUCCESS;
  if (!place || place->valuesSet) {
    LONG status = WriteValues(key, node, place);
    if (status != ERROR_SUCCESS) return status;
  }
  return WriteSubkeys(key, node);
}

// A key that two keys list is one key, reached by two paths: what the run
// writes there by one path, the other would write over, and the run would
// say it set what the hive does not hold. Such a key may change by one
// path only; otherwise nothing is saved.
LONG HiveRun::State::CheckChangedOnce() {
  std::unordered_map<std::uint32_t, const Place *> changedAt;
  for (const auto &[key, place] : places) {
    if (place.hive != &userHive || !place.reached || !(place.valuesSet || place.relisted || GetsSubkeys(*key)))
      continue;
    auto [first, fresh] = changedAt.emplace(place.node, &place);
    if (!fresh)
      return Report(userHive.path,
                    KeyNamed(place) + " is also " + KeyNamed(*first->second) +
                        " (a key two keys list), and the run would change it by both: not saved",
                    ERROR_REGISTRY_CORRUPT);
  }
  return ERROR_SUCCESS;
}

// A key whose subkey count is 0 yet whose list field names a list: the run
// took it for a key without subkeys, and a list it wrote there would lose
// for good the keys the old list holds, which other readers show. Nothing
// is saved then; a key whose values alone change keeps its list field.
LONG HiveRun::State::CheckListsKept() {
  const hive::Image &image = userHive.image;
  for (const auto &[key, place] : places) {
    if (place.hive != &userHive || !place.reached || !GetsSubkeys(*key)) continue;
    const unsigned char *node = image.Cell(place.node);
    if (hive::Le32(node + hive::kNkSubkeyCount) == 0 && hive::Le32(node + hive::kNkSubkeyList) != hive::kNil)
      return Report(userHive.path,
                    hive::KeyPath(image, place.node) +
                        " counts no subkeys beside a subkey list, whose keys a new list would lose: not saved",
                    ERROR_REGISTRY_CORRUPT);
  }
  return ERROR_SUCCESS;
}

// The last check before a save: every key the run created or set something
// in, and every key above it, has a subkey list Windows can search, or
// nothing is saved. Keys the run created are written so, and have no place.
LONG HiveRun::State::CheckSearchable() {
  std::unordered_map<const Place *, bool> checked;
  for (const auto &[key, place] : places) {
    if (place.hive != &userHive || !place.reached || !(place.valuesSet || place.relisted || GetsSubkeys(*key)))
      continue;
    for (const Place *at = &place; at && checked.emplace(at, true).second; at = at->up) {
      if (!hive::Searchable(userHive.image, at->node))
        return Report(userHive.path,
                      hive::KeyPath(userHive.image, at->node) +
                          " would keep a subkey list that Windows cannot search: not saved",
                      ERROR_REGISTRY_CORRUPT);
    }
  }
  return ERROR_SUCCESS;
}

bool HiveRun::HasOwnChanges() const { return state_->changed; }

const std::string &HiveRun::Path() const { return state_->userHive.path; }

LONG HiveRun::Save(const Key &, const FileForm &) {
  if (!state_->changed || !state_->userHive.loaded) return ERROR_SUCCESS;
  State &state = *state_;
  state.now = Now();
  LONG status = state.CheckChangedOnce();
  if (status == ERROR_SUCCESS) status = state.CheckListsKept();
  if (status != ERROR_SUCCESS) return status;
  state.FreeReplaced(*state.userRoot);
  state.userHive.image.GatherFreeCells();
  status = state.Write(*state.userRoot, state.places[state.userRoot].node);
  if (status == ERROR_OUTOFMEMORY)
    return Report(state.userHive.path, "the hive would grow beyond what Windows loads: not saved",
                  ERROR_REGISTRY_IO_FAILED);
  if (status == ERROR_SUCCESS) status = state.CheckSearchable();
  if (status != ERROR_SUCCESS) return status;
  state.userHive.image.Seal(state.now);
  // A dry run goes as far as a save goes without writing, so that it fails
  // where the save would; nor is a hive kept that will not be replaced.
  if ((status = state.lock.MayReplace()) != ERROR_SUCCESS) return status;
  const ServiceRun *run = ActiveRun();
  if (run && run->dryRun) {
    ActiveResult()->replaced = true;
    return ERROR_SUCCESS;
  }
  std::string why;
  if (run && run->beforeReplace && (status = run->beforeReplace(state.lock.fd(), why)) != ERROR_SUCCESS)
    return Report(state.lock.path(), why, status);
  status = state.lock.ReplaceWith(
      [&](PendingFile &file) { return WriteHiveFile(file.fd(), state.userHive.image.bytes()); });
  if (run) ActiveResult()->replaced = status == ERROR_SUCCESS;
  return status;
}

}  // namespace standin
