#include "regcopy/copy.h"

#include "regcopy/report.h"
#include "registry/text.h"

namespace {

constexpr DWORD kNameCapacity = 512;
// The registry holds text as UTF-16: 2048 characters, with the NUL, take
// twice as many bytes as other data may.
constexpr DWORD kDataCapacity = 2048;
constexpr DWORD kTextCapacity = 2 * kDataCapacity;
// The registry nests keys at most 512 levels deep. Deeper than that the
// source can only be a link that leads back into itself, and following it
// would copy without end and exhaust the stack.
constexpr int kMaxDepth = 512;
// Links followed one inside another on the way down; more than this is
// taken for a circle.
constexpr int kMaxFollowedLinks = 8;
// Both builds read and write the same keys: without the flag, a 32-bit
// build on 64-bit Windows could be sent to Wow6432Node (Wine sends it there
// for the user keys as well). 32-bit Windows ignores it. The source is only
// read; the destination is only given subkeys and values.
constexpr REGSAM kSourceAccess = KEY_READ | KEY_WOW64_64KEY;
constexpr REGSAM kDestinationAccess = KEY_WRITE | KEY_WOW64_64KEY;
// The product key, the subtree the program copies, as the registry's links
// name it: .DEFAULT is the profile of the LocalSystem account, S-1-5-18,
// under either name.
const WCHAR *const kProductPaths[] = {KEY_NAME("\\REGISTRY\\USER\\.DEFAULT\\Software\\Norvane\\Kelvaro"),
                                      KEY_NAME("\\REGISTRY\\USER\\S-1-5-18\\Software\\Norvane\\Kelvaro"), nullptr};

// One value as the enumeration returns it.
struct Value {
  WCHAR name[kNameCapacity];
  BYTE data[kTextCapacity + sizeof(WCHAR)];
  DWORD nameLength;
  DWORD type;
  DWORD dataLength;
};

// The copy's way down: the targets of the links it followed to get where
// it is. The value being copied is held here too, once for the whole walk
// rather than in every level of the recursion: a key's values are all
// copied before its subkeys.
struct Walk {
  int followedCount;
  DWORD followedLength[kMaxFollowedLinks];
  WCHAR followed[kMaxFollowedLinks][kDataCapacity / sizeof(WCHAR)];
  Value value;
};

// What became of one source key before its subkeys are copied.
struct OpenedPair {
  HKEY source = nullptr;
  HKEY destination = nullptr;
  bool followedLink = false;
  bool valuesCopied = false;
};

// The registry compares names without the case of letters; the names that
// matter here (links' paths, the link value's name) are ASCII.
WCHAR FoldAscii(WCHAR unit) { return unit >= 'a' && unit <= 'z' ? static_cast<WCHAR>(unit - 'a' + 'A') : unit; }

WCHAR UnitAt(const BYTE *data, DWORD index) { return static_cast<WCHAR>(data[2 * index] | data[2 * index + 1] << 8); }

// The registry can hold a NUL inside a name, and says so by a length beyond
// it. Every call that takes a name stops at its first NUL, so such a name
// would reach another key or value: the one of the name cut there.
bool HoldsNul(const WCHAR *name, DWORD length) {
  DWORD visible = 0;
  while (visible < length && name[visible] != 0) ++visible;
  return visible != length;
}

// Whether a list of values or subkeys ended with the enumeration `status` at
// `index`: past its last entry, or failing, which is reported and clears
// `copied`.
bool ListEndedReportingFailure(LONG status, DWORD index, bool &copied) {
  if (status == ERROR_SUCCESS) return false;
  if (status != ERROR_NO_MORE_ITEMS) {
    ReportEnumerationError(index);
    copied = false;
  }
  return true;
}

// Reads the value at `index`; data beyond the limit of its type are
// refused as the registry refuses what exceeds the buffer.
LONG ReadValue(HKEY key, DWORD index, Value &value) {
  value.nameLength = kNameCapacity;
  value.dataLength = kTextCapacity;
  LONG status =
      registry::EnumValue(key, index, value.name, &value.nameLength, &value.type, value.data, &value.dataLength);
  if (status == ERROR_SUCCESS && !regtext::IsTextType(value.type) && value.dataLength > kDataCapacity)
    status = ERROR_MORE_DATA;
  return status;
}

HKEY OpenSourceKey(HKEY parent, const WCHAR *name, DWORD options) {
  HKEY key = nullptr;
  if (registry::OpenKey(parent, name, options, kSourceAccess, &key) != ERROR_SUCCESS) key = nullptr;
  return key;
}

// A link key opened as itself holds nothing but its target, in the value
// SymbolicLinkValue of type REG_LINK.
bool IsLink(const Value &value) {
  static const WCHAR kLinkValue[] = KEY_NAME("SymbolicLinkValue");
  if (value.type != REG_LINK || value.nameLength != sizeof kLinkValue / sizeof(WCHAR) - 1) return false;
  for (DWORD i = 0; i < value.nameLength; ++i)
    if (FoldAscii(value.name[i]) != FoldAscii(kLinkValue[i])) return false;
  return true;
}

// The target's length in UTF-16 units, without a NUL at its end.
DWORD TargetLength(const Value &link) {
  DWORD length = link.dataLength / sizeof(WCHAR);
  if (length > 0 && UnitAt(link.data, length - 1) == 0) --length;
  return length;
}

// Whether the link leads to the key at `path` or anything below it.
bool LeadsInto(const Value &link, const WCHAR *path) {
  DWORD length = TargetLength(link), at = 0;
  for (; path[at] != 0; ++at)
    if (at == length || FoldAscii(UnitAt(link.data, at)) != FoldAscii(path[at])) return false;
  return at == length || UnitAt(link.data, at) == '\\';
}

bool LeadsIntoAny(const Value &link, const WCHAR *const *paths) {
  for (; *paths != nullptr; ++paths)
    if (LeadsInto(link, *paths)) return true;
  return false;
}

bool AlreadyFollowed(const Walk &walk, const Value &link) {
  DWORD length = TargetLength(link);
  for (int i = 0; i < walk.followedCount; ++i) {
    DWORD at = 0;
    while (at < length && at < walk.followedLength[i] &&
           FoldAscii(walk.followed[i][at]) == FoldAscii(UnitAt(link.data, at)))
      ++at;
    if (at == length && at == walk.followedLength[i]) return true;
  }
  return false;
}

// A link into the subtree being copied (the product key, an ancestor, any
// key in it) would copy those keys again, without end when it leads to an
// ancestor; so would one to where a link followed on the way down led. Such
// a link is not followed: nullptr. Any other is opened as the registry
// follows it, and remembered until its subtree is copied.
HKEY FollowLink(HKEY sourceParent, const WCHAR *name, const Value &link, Walk &walk) {
  if (LeadsIntoAny(link, kProductPaths) || AlreadyFollowed(walk, link) || walk.followedCount == kMaxFollowedLinks)
    return nullptr;
  HKEY target = OpenSourceKey(sourceParent, name, 0);
  if (target != nullptr) {
    DWORD length = TargetLength(link);
    for (DWORD at = 0; at < length; ++at) walk.followed[walk.followedCount][at] = UnitAt(link.data, at);
    walk.followedLength[walk.followedCount++] = length;
  }
  return target;
}

// Copies the values from the one already read (`value`, read with `status`)
// on.
bool CopyValues(HKEY sourceKey, HKEY destinationKey, int depth, Value &value, LONG status) {
  bool copied = true;
  for (DWORD index = 0;; ++index) {
    if (index > 0) status = ReadValue(sourceKey, index, value);
    if (ListEndedReportingFailure(status, index, copied)) break;
    // Written under the cut name, it would replace another value: reported
    // instead, and the copy goes on with the next value.
    if (HoldsNul(value.name, value.nameLength)) {
      ReportWriteError(depth, value.name, value.nameLength);
      copied = false;
      continue;
    }
    // Text followed by a NUL that its length leaves out would be written
    // with that NUL: the registry adds it, as if the caller forgot it.
    value.data[value.dataLength] = value.data[value.dataLength + 1] = 0xFF;
    if (registry::SetValue(destinationKey, value.name, value.type, value.data, value.dataLength) != ERROR_SUCCESS) {
      ReportWriteError(depth, value.name);
      copied = false;
      break;
    }
  }
  return copied;
}

// Opens the source key as itself, a link too, and reads its first value,
// which tells a link from an ordinary key at no extra call; then creates
// the destination key and copies the values.
void OpenPairAndCopyValues(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth, Walk &walk,
                           OpenedPair &pair) {
  Value &value = walk.value;
  HKEY source = OpenSourceKey(sourceParent, name, REG_OPTION_OPEN_LINK);
  LONG status = source != nullptr ? ReadValue(source, 0, value) : ERROR_SUCCESS;
  if (source != nullptr && status == ERROR_SUCCESS && IsLink(value)) {
    (void)registry::CloseKey(source);
    source = FollowLink(sourceParent, name, value, walk);
    pair.followedLink = source != nullptr;
    if (source != nullptr) status = ReadValue(source, 0, value);
  }
  if (source == nullptr) {
    ReportSourceKeyError(name);
    return;
  }
  pair.source = source;
  pair.destination = OpenOrCreateKey(destinationParent, name);
  if (pair.destination == nullptr) {
    ReportDestinationKeyError(name);
    return;
  }
  pair.valuesCopied = CopyValues(source, pair.destination, depth, value, status);
}

bool CopyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth, Walk &walk);

// Returns true when every subkey's subtree was copied without an error line.
bool CopySubkeys(HKEY sourceKey, HKEY destinationKey, int depth, Walk &walk) {
  WCHAR name[kNameCapacity];
  bool copied = true;
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = kNameCapacity;
    LONG status = registry::EnumKey(sourceKey, index, name, &nameLength);
    if (ListEndedReportingFailure(status, index, copied)) break;
    // Opened by the name cut at its NUL, another key would be copied in its
    // place: it is reported as a key that cannot be opened.
    if (HoldsNul(name, nameLength)) {
      ReportSourceKeyError(name, nameLength);
      copied = false;
      continue;
    }
    copied = CopyTree(sourceKey, destinationKey, name, depth + 1, walk) && copied;
  }
  return copied;
}

// The result is stricter than "both keys were obtained": it is false as soon
// as anything in the subtree wrote an error line, however deep, because then
// something was not copied and the run must not end with the successful
// verdict.
bool CopyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth, Walk &walk) {
  if (depth > kMaxDepth) {
    ReportSourceKeyError(name);
    return false;
  }
  OpenedPair pair;
  OpenPairAndCopyValues(sourceParent, destinationParent, name, depth, walk, pair);
  bool copied = false;
  if (pair.destination != nullptr)
    copied = CopySubkeys(pair.source, pair.destination, depth, walk) && pair.valuesCopied;
  if (pair.followedLink) --walk.followedCount;
  // Failed closes are ignored: the key was used and nothing is left to undo.
  if (pair.source != nullptr) (void)registry::CloseKey(pair.source);
  if (pair.destination != nullptr) (void)registry::CloseKey(pair.destination);
  return copied;
}

}  // namespace

HKEY OpenOrCreateKey(HKEY parent, const WCHAR *path) {
  HKEY key = nullptr;
  if (registry::CreateKey(parent, path, kDestinationAccess, &key) != ERROR_SUCCESS) key = nullptr;
  return key;
}

bool CopyKeyTree(HKEY sourceParent, HKEY destinationParent, const WCHAR *name, int depth) {
  Walk walk;
  walk.followedCount = 0;
  return CopyTree(sourceParent, destinationParent, name, depth, walk);
}

bool CopyKeyValues(HKEY sourceKey, HKEY destinationKey, int depth) {
  Value value;
  return CopyValues(sourceKey, destinationKey, depth, value, ReadValue(sourceKey, 0, value));
}
