// The stand-in for the platform registry: the six operations over a tree
// loaded from a .reg file. A session runs from the first operation until no
// handle is open any more; then changes are written back and the file
// unlocked, as the platform would have them on disk by then.
#include "standin/session.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "regfile/names.h"
#include "standin/api.h"
#include "standin/backend.h"
#include "standin/calls_text.h"
#include "standin/configuration.h"
#include "standin/file_io.h"
#include "standin/service.h"

namespace standin {
namespace {

constexpr std::size_t kMaxValueName = 16383;
constexpr std::uintptr_t kFirstHandle = 0x1000;

struct OpenedKey {
  Key *key;
  std::string path;
  REGSAM access;
  std::size_t depth;  // names below the root
};

struct Session {
  std::unique_ptr<Backend> store;  // chosen at load, from the configuration read then
  Key top;
  FileForm form;  // of the file read, in which it is written back
  std::unordered_map<std::uintptr_t, OpenedKey> handles;
  std::unordered_map<std::uintptr_t, OpenedKey> roots;  // the predefined keys, once used
  bool dirty = false;
};

struct State {
  std::unique_ptr<Session> session;
  LONG unusable = ERROR_SUCCESS;  // why the registry file cannot be used
  std::uintptr_t nextHandle = kFirstHandle;
  bool reportedOutOfMemory = false;
  std::string callPath;  // the key the call under way names, for a service run's failure
};

State &Current() {
  static State state;
  return state;
}

}  // namespace

bool IsPredefined(HKEY key) {
  auto value = reinterpret_cast<std::uintptr_t>(key);
  return value >= 0x80000000u && value <= 0x80000005u && value != 0x80000004u;
}

namespace {

std::string PredefinedName(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (key == HKEY_USERS) return "HKEY_USERS";
  return "HKEY_CURRENT_CONFIG";
}

// Loads the file on the first operation of a session. A file that cannot be
// used stays so for the rest of the process, and is reported once.
LONG LoadSession() {
  State &state = Current();
  if (state.unusable != ERROR_SUCCESS) return state.unusable;
  if (state.session) return ERROR_SUCCESS;
  auto session = std::make_unique<Session>();
  session->store = ChooseStore();
  LONG status = session->store->Load(session->top, session->form);
  if (status != ERROR_SUCCESS) {
    state.unusable = status;
    return status;
  }
  state.session = std::move(session);
  return ERROR_SUCCESS;
}

}  // namespace

LONG BeginSession(Op op, HKEY key) {
  hooks.countCall(op);
  Current().callPath.clear();
  if (!key) return ERROR_INVALID_HANDLE;
  return LoadSession();
}

// Ends the session once no handle is open: writes the changes back and lets
// a waiting run go on. A write failure becomes the status of the call.
LONG EndSessionIfIdle(LONG status) {
  State &state = Current();
  NoteFailure(status, state.callPath);
  if (!state.session || !state.session->handles.empty()) return status;
  std::unique_ptr<Session> session = std::move(state.session);
  if (!session->dirty && !session->store->HasOwnChanges()) return status;
  LONG saved = InjectedStatus(Op::Save, session->store->Path());
  hooks.countCall(Op::Save);
  if (saved == ERROR_SUCCESS) saved = session->store->Save(session->top, session->form);
  NoteFailure(saved, state.callPath);
  return status == ERROR_SUCCESS ? saved : status;
}

namespace {

// Finds the key behind a handle; the predefined roots always exist.
LONG Resolve(HKEY handle, const OpenedKey *&out) {
  Session &session = *Current().session;
  auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (IsPredefined(handle)) {
    auto root = session.roots.find(value);
    if (root == session.roots.end()) {
      std::string name = PredefinedName(handle);
      root =
          session.roots.emplace(value, OpenedKey{&FindOrAddSubkey(session.top, name), name, KEY_ALL_ACCESS, 0}).first;
    }
    out = &root->second;
    return ERROR_SUCCESS;
  }
  auto it = session.handles.find(value);
  if (it == session.handles.end()) return ERROR_INVALID_HANDLE;
  out = &it->second;
  return ERROR_SUCCESS;
}

// Keys of hive files come into the tree as the run reaches them.
LONG Reach(Key &key) { return Current().session->store->Reach(key); }

HKEY AddHandle(Key *key, std::string path, REGSAM access, std::size_t depth) {
  State &state = Current();
  std::uintptr_t value = state.nextHandle;
  state.nextHandle += 4;
  state.session->handles.emplace(value, OpenedKey{key, std::move(path), access, depth});
  return reinterpret_cast<HKEY>(value);
}

bool Allows(const OpenedKey &open, REGSAM needed) { return (open.access & needed) == needed; }

// The registry view flags choose keys, they grant nothing.
REGSAM Rights(REGSAM samDesired) { return samDesired & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY); }

// HKEY_USERS\.DEFAULT, as a user who is not an administrator sees it: it may
// be read, nothing more, whatever the handle it is reached through.
bool OnlyReadable(const std::string &path) {
  constexpr std::string_view kDefaultProfile = "HKEY_USERS\\.DEFAULT";
  if (hooks.actsAsAdministrator || path.size() < kDefaultProfile.size()) return false;
  std::string_view start(path.data(), kDefaultProfile.size());
  return EqualNoCase(start, kDefaultProfile) &&
         (path.size() == kDefaultProfile.size() || path[kDefaultProfile.size()] == '\\');
}

bool Grants(const std::string &path, REGSAM samDesired) {
  return !OnlyReadable(path) || (Rights(samDesired) & ~KEY_READ) == 0;
}

// The common start of a call on an open key: the handle must be open with
// the access the call needs, and the test may make the call fail.
LONG CheckCall(HKEY handle, Op op, REGSAM needed, const OpenedKey *&open,
               std::optional<std::string_view> valueName = std::nullopt, long index = -1) {
  LONG status = Resolve(handle, open);
  if (status != ERROR_SUCCESS) return status;
  Current().callPath = open->path;
  if (!Allows(*open, needed)) return ERROR_ACCESS_DENIED;
  return InjectedStatus(op, open->path, valueName, index);
}

// A path beneath an open key, as an open or a create names it.
struct Target {
  const OpenedKey *base = nullptr;
  std::vector<std::string_view> names;  // within the caller's path
  std::string path;                     // full path, for injected failures and the new handle
};

// One trailing backslash is allowed; an empty name in between is not.
LONG FindTarget(HKEY parent, std::string_view subKey, Op op, Target &target) {
  LONG status = Resolve(parent, target.base);
  if (status != ERROR_SUCCESS) return status;
  std::string_view rest = subKey;
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (!rest.empty() && !SplitKeyPath(rest, target.names)) return ERROR_BAD_PATHNAME;
  // The registry file keeps one key per line.
  if (rest.find_first_of("\r\n") != rest.npos) return ERROR_INVALID_PARAMETER;
  target.path = target.base->path;
  if (!rest.empty()) target.path.append("\\").append(rest);
  Current().callPath = target.path;
  return InjectedStatus(op, target.path);
}

}  // namespace

namespace {

// A key reached on the way: the key, its full path and how deep it is.
struct Place {
  Key *key;
  std::string path;
  std::size_t depth;
};

// Links followed within one open or create: a chain of more is taken for a
// circle, as the platform refuses one.
constexpr int kMaxNestedLinks = 32;

// A link is a key whose SymbolicLinkValue, of type REG_LINK, holds the path
// of its target as the kernel names it. The file keeps no other mark of
// one: a key so made, as a file holds it, is a link.
const Value *LinkOf(const Key &key) {
  const Value *link = key.FindValue("SymbolicLinkValue");
  return link && link->type() == REG_LINK ? link : nullptr;
}

// The target of a link, "\REGISTRY\USER\.DEFAULT\Software" say, as the
// path of this registry, "HKEY_USERS\.DEFAULT\Software"; false for one
// outside its two roots, or not UTF-16.
bool TargetPath(const Value &link, std::string &path) {
  std::string_view bytes = link.data();
  std::u16string units;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2)
    units.push_back(UnitAt(reinterpret_cast<const unsigned char *>(bytes.data() + at)));
  if (!units.empty() && units.back() == 0) units.pop_back();
  if (units.find(char16_t(0)) != units.npos) return false;
  std::string target;
  if (!StoredName(units.c_str(), Current().session->form, target)) return false;
  static const std::pair<std::string_view, std::string_view> kRoots[] = {{"\\REGISTRY\\MACHINE", "HKEY_LOCAL_MACHINE"},
                                                                         {"\\REGISTRY\\USER", "HKEY_USERS"}};
  for (const auto &[kernel, root] : kRoots) {
    std::string_view start = std::string_view(target).substr(0, kernel.size());
    if (!EqualNoCase(start, kernel) || (target.size() > kernel.size() && target[kernel.size()] != '\\')) continue;
    path = std::string(root) + target.substr(kernel.size());
    return true;
  }
  return false;
}

LONG Descend(Place &at, const std::vector<std::string_view> &names, bool openLink, int &followed);

// While `at` is a link, it becomes the link's target, reached from its root.
LONG FollowLinks(Place &at, int &followed) {
  for (;;) {
    LONG status = Reach(*at.key);
    if (status != ERROR_SUCCESS) return status;
    const Value *link = LinkOf(*at.key);
    if (!link) return ERROR_SUCCESS;
    if (++followed > kMaxNestedLinks) return ERROR_CANT_RESOLVE_FILENAME;
    std::string path;
    std::vector<std::string_view> names;
    if (!TargetPath(*link, path)) return ERROR_FILE_NOT_FOUND;
    std::string_view rest = path;
    if (rest.back() == '\\') rest.remove_suffix(1);
    if (!SplitKeyPath(rest, names)) return ERROR_FILE_NOT_FOUND;
    Key *root = FindSubkey(Current().session->top, names.front());
    if (!root) return ERROR_FILE_NOT_FOUND;
    Place target{root, std::string(names.front()), 0};
    names.erase(names.begin());
    if ((status = Descend(target, names, false, followed)) != ERROR_SUCCESS) return status;
    at = std::move(target);
  }
}

// Moves `at` down to its subkey `next`, of that name.
void MoveTo(Place &at, Key *next, std::string_view name) {
  at.key = next;
  at.path.append("\\").append(name);
  ++at.depth;
}

// Goes down the names from `at`, following links on the way, and at the
// end unless `openLink` asks for the last key as itself.
LONG Descend(Place &at, const std::vector<std::string_view> &names, bool openLink, int &followed) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    LONG status = Reach(*at.key);
    if (status != ERROR_SUCCESS) return status;
    Key *next = FindSubkey(*at.key, names[i]);
    if (!next) return ERROR_FILE_NOT_FOUND;
    MoveTo(at, next, names[i]);
    bool asItself = openLink && i + 1 == names.size();
    if (!asItself && (status = FollowLinks(at, followed)) != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

Place StartOf(const Target &target) { return {target.base->key, target.base->path, target.base->depth}; }

}  // namespace

LONG OpenKeyPath(HKEY parent, std::string_view subKey, REGSAM access, PHKEY result, bool openLink) {
  Target target;
  LONG status = FindTarget(parent, subKey, Op::Open, target);
  if (status != ERROR_SUCCESS) return status;
  Place at = StartOf(target);
  int followed = 0;
  if ((status = Descend(at, target.names, openLink, followed)) != ERROR_SUCCESS) return status;
  if ((status = Current().session->store->MayOpen(*at.key)) != ERROR_SUCCESS) return status;
  if (!Grants(at.path, access)) return ERROR_ACCESS_DENIED;
  *result = AddHandle(at.key, at.path, Rights(access), at.depth);
  return ERROR_SUCCESS;
}

// The keys that exist are gone through as an open goes, links followed; a
// new link (createLink) is made as an ordinary key, and is one once its
// SymbolicLinkValue is set.
LONG CreateKeyPath(HKEY parent, std::string_view subKey, REGSAM access, PHKEY result, LPDWORD disposition,
                   bool createLink) {
  Target target;
  LONG status = FindTarget(parent, subKey, Op::Create, target);
  if (status != ERROR_SUCCESS) return status;
  const std::vector<std::string_view> &names = target.names;
  // The file holds no deeper key, and nothing may make one.
  if (target.base->depth + names.size() > kMaxLevels) return ERROR_BAD_PATHNAME;
  Place at = StartOf(target);
  int followed = 0;
  std::size_t existing = 0;
  while (existing < names.size()) {
    if ((status = Reach(*at.key)) != ERROR_SUCCESS) return status;
    Key *next = FindSubkey(*at.key, names[existing]);
    if (!next) break;
    MoveTo(at, next, names[existing++]);
    bool asItself = createLink && existing == names.size();
    if (!asItself && (status = FollowLinks(at, followed)) != ERROR_SUCCESS) return status;
  }
  std::size_t depth = at.depth + names.size() - existing;
  if (depth > kMaxLevels) return ERROR_BAD_PATHNAME;
  bool creates = existing < names.size();
  std::string path = at.path;
  for (std::size_t i = existing; i < names.size(); ++i) path.append("\\").append(names[i]);
  if (creates && (!Allows(*target.base, KEY_CREATE_SUB_KEY) || OnlyReadable(path))) return ERROR_ACCESS_DENIED;
  if (!Grants(path, access)) return ERROR_ACCESS_DENIED;
  Key *key = at.key;
  std::string keyPath = at.path;
  for (std::size_t i = existing; i < names.size(); ++i) {
    keyPath.append("\\").append(names[i]);
    if ((status = Current().session->store->MayAddSubkey(*key, names[i], keyPath)) != ERROR_SUCCESS) return status;
    key = &FindOrAddSubkey(*key, names[i]);
  }
  Current().session->dirty |= creates;
  *result = AddHandle(key, path, Rights(access), depth);
  if (disposition) *disposition = creates ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

template <typename Char>
LONG EnumValueAt(HKEY handle, DWORD index, Char *name, LPDWORD nameLength, LPDWORD type, LPBYTE data,
                 LPDWORD dataLength) {
  if (!name || !nameLength || (data && !dataLength)) return ERROR_INVALID_PARAMETER;
  const OpenedKey *open = nullptr;
  LONG status = CheckCall(handle, Op::EnumValue, KEY_QUERY_VALUE, open, std::nullopt, static_cast<long>(index));
  if (status == ERROR_SUCCESS) status = Reach(*open->key);
  if (status != ERROR_SUCCESS) return status;
  if (index >= open->key->values().size()) return ERROR_NO_MORE_ITEMS;
  const Value &value = open->key->values()[index];
  const FileForm &form = Current().session->form;
  std::size_t length = NameLength(value.name(), Char());
  std::size_t size = DataSize(value, form, Char());
  if (length >= *nameLength) return ERROR_MORE_DATA;
  if (data && size > *dataLength) {
    *dataLength = static_cast<DWORD>(size);
    return ERROR_MORE_DATA;
  }
  CopyName(value.name(), name);
  *nameLength = static_cast<DWORD>(length);
  if (type) *type = value.type();
  if (data) CopyData(value, form, data, Char());
  if (dataLength) *dataLength = static_cast<DWORD>(size);
  return ERROR_SUCCESS;
}

template <typename Char>
LONG EnumKeyAt(HKEY handle, DWORD index, Char *name, LPDWORD nameLength, Char *keyClass, LPDWORD classLength,
               PFILETIME lastWrite) {
  if (!name || !nameLength || (keyClass && !classLength)) return ERROR_INVALID_PARAMETER;
  const OpenedKey *open = nullptr;
  LONG status = CheckCall(handle, Op::EnumKey, KEY_ENUMERATE_SUB_KEYS, open, std::nullopt, static_cast<long>(index));
  if (status == ERROR_SUCCESS) status = Reach(*open->key);
  if (status != ERROR_SUCCESS) return status;
  if (index >= open->key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const std::string &found = open->key->subkeys[index]->name;
  std::size_t length = NameLength(found, Char());
  if (length >= *nameLength || (keyClass && *classLength == 0)) return ERROR_MORE_DATA;
  CopyName(found, name);
  *nameLength = static_cast<DWORD>(length);
  if (keyClass) {
    keyClass[0] = Char();
    *classLength = 0;
  }
  if (lastWrite) *lastWrite = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

template LONG EnumValueAt(HKEY, DWORD, char *, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
template LONG EnumValueAt(HKEY, DWORD, WCHAR *, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
template LONG EnumKeyAt(HKEY, DWORD, char *, LPDWORD, char *, LPDWORD, PFILETIME);
template LONG EnumKeyAt(HKEY, DWORD, WCHAR *, LPDWORD, WCHAR *, LPDWORD, PFILETIME);

const FileForm &SessionForm() { return Current().session->form; }

// A value name may hold CR and LF: the file writes them as regedit does.
LONG SetValueOf(HKEY handle, std::string_view name, DWORD type, std::string_view data) {
  if (CountUtf16Units(name) > kMaxValueName) return ERROR_INVALID_PARAMETER;
  const OpenedKey *open = nullptr;
  LONG status = CheckCall(handle, Op::SetValue, KEY_SET_VALUE, open, name);
  if (status == ERROR_SUCCESS) status = Reach(*open->key);
  if (status == ERROR_SUCCESS) status = Current().session->store->MaySetValue(*open->key, open->path, name, type, data);
  if (status != ERROR_SUCCESS) return status;
  open->key->SetValue(name, type, data);
  Current().session->dirty = true;
  return ERROR_SUCCESS;
}

// A close the test makes fail still releases the handle, as the platform's
// handle is gone whatever the close reports.
LONG CloseHandleOf(HKEY handle) {
  State &state = Current();
  auto it = state.session->handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == state.session->handles.end()) {
    hooks.countInvalidClose();
    return ERROR_INVALID_HANDLE;
  }
  state.callPath = it->second.path;
  LONG status = InjectedStatus(Op::Close, it->second.path);
  state.session->handles.erase(it);
  return status;
}

void ForgetSession() {
  State &state = Current();
  state.session.reset();
  state.unusable = ERROR_SUCCESS;
  state.reportedOutOfMemory = false;
}

Key *LoadedTree() { return LoadSession() == ERROR_SUCCESS ? &Current().session->top : nullptr; }

std::size_t OpenHandleCount() {
  const State &state = Current();
  return state.session ? state.session->handles.size() : 0;
}

// Memory ran out in a call, after the file was read: the call fails, and
// standard error says why, once.
LONG OutOfMemory() {
  State &state = Current();
  if (!state.reportedOutOfMemory) {
    state.reportedOutOfMemory = true;
    Report(state.session ? state.session->store->Path() : "registry", "out of memory", ERROR_OUTOFMEMORY);
  }
  NoteFailure(ERROR_OUTOFMEMORY, state.callPath);
  return ERROR_OUTOFMEMORY;
}

}  // namespace standin
