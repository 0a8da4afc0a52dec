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
#include "standin/calls_text.h"
#include "standin/hive.h"
#include "standin/registry_file.h"
#include "standin/testing/faults.h"

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
  RegistryFile file;
  RegistryLock lock;
  HiveRun hives;  // when the registry is two hive files
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
  LONG status = ERROR_SUCCESS;
  if (HiveRunRequested()) {
    status = session->hives.Load(session->top, session->form);
  } else {
    session->file = FindRegistryFile();
    status = session->file.path.empty() ? ERROR_PATH_NOT_FOUND
                                        : LoadRegistry(session->file, session->lock, session->top, session->form);
  }
  if (status != ERROR_SUCCESS) {
    state.unusable = status;
    return status;
  }
  state.session = std::move(session);
  return ERROR_SUCCESS;
}

}  // namespace

LONG BeginSession(Op op, HKEY key) {
  CountCall(op);
  if (!key) return ERROR_INVALID_HANDLE;
  return LoadSession();
}

// Ends the session once no handle is open: writes the changes back and lets
// a waiting run go on. A write failure becomes the status of the call.
LONG EndSessionIfIdle(LONG status) {
  State &state = Current();
  if (!state.session || !state.session->handles.empty()) return status;
  std::unique_ptr<Session> session = std::move(state.session);
  if (!session->dirty) return status;
  LONG saved = InjectedStatus(Op::Save, session->file.path);
  CountCall(Op::Save);
  if (saved == ERROR_SUCCESS)
    saved = HiveRunRequested() ? session->hives.Save() : SaveRegistry(session->lock, session->top, session->form);
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
LONG Reach(Key &key) { return Current().session->hives.Reach(key); }

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
  if (ActsAsAdministrator() || path.size() < kDefaultProfile.size()) return false;
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
  return InjectedStatus(op, target.path);
}

}  // namespace

LONG OpenKeyPath(HKEY parent, std::string_view subKey, REGSAM access, PHKEY result) {
  Target target;
  LONG status = FindTarget(parent, subKey, Op::Open, target);
  if (status != ERROR_SUCCESS) return status;
  Key *key = target.base->key;
  for (std::size_t i = 0; key && i < target.names.size(); ++i) {
    if ((status = Reach(*key)) != ERROR_SUCCESS) return status;
    key = FindSubkey(*key, target.names[i]);
  }
  if (!key) return ERROR_FILE_NOT_FOUND;
  if ((status = Current().session->hives.MayOpen(*key)) != ERROR_SUCCESS) return status;
  if (!Grants(target.path, access)) return ERROR_ACCESS_DENIED;
  *result = AddHandle(key, target.path, Rights(access), target.base->depth + target.names.size());
  return ERROR_SUCCESS;
}

LONG CreateKeyPath(HKEY parent, std::string_view subKey, REGSAM access, PHKEY result, LPDWORD disposition) {
  Target target;
  LONG status = FindTarget(parent, subKey, Op::Create, target);
  if (status != ERROR_SUCCESS) return status;
  const std::vector<std::string_view> &names = target.names;
  // The file holds no deeper key, and nothing may make one.
  std::size_t depth = target.base->depth + names.size();
  if (depth > kMaxLevels) return ERROR_BAD_PATHNAME;
  Key *key = target.base->key;
  std::size_t existing = 0;
  while (existing < names.size()) {
    if ((status = Reach(*key)) != ERROR_SUCCESS) return status;
    Key *next = FindSubkey(*key, names[existing]);
    if (!next) break;
    key = next;
    ++existing;
  }
  bool creates = existing < names.size();
  if (creates && (!Allows(*target.base, KEY_CREATE_SUB_KEY) || OnlyReadable(target.path))) return ERROR_ACCESS_DENIED;
  if (!Grants(target.path, access)) return ERROR_ACCESS_DENIED;
  for (std::size_t i = existing; i < names.size(); ++i) {
    if ((status = Current().session->hives.MayAddSubkey(*key, names[i])) != ERROR_SUCCESS) return status;
    key = &FindOrAddSubkey(*key, names[i]);
  }
  Current().session->dirty |= creates;
  *result = AddHandle(key, target.path, Rights(access), depth);
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
  if (status == ERROR_SUCCESS) status = Current().session->hives.MaySetValue(*open->key, name, type, data);
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
    CountInvalidClose();
    return ERROR_INVALID_HANDLE;
  }
  LONG status = InjectedStatus(Op::Close, it->second.path);
  state.session->handles.erase(it);
  return status;
}

void Reset() {
  State &state = Current();
  state.session.reset();
  state.unusable = ERROR_SUCCESS;
  state.reportedOutOfMemory = false;
  ForgetFaultsAndCounts();
  RestoreStoreCalls();
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
    Report(state.session ? state.session->lock.path() : "registry", "out of memory", ERROR_OUTOFMEMORY);
  }
  return ERROR_OUTOFMEMORY;
}

}  // namespace standin
