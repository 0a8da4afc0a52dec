#include "registry/windows_calls.h"

#include "registry/registry.h"
#include "registry/text.h"

namespace {

// The longest name the program passes or asks for, in UTF-16 units with its
// NUL, and the longest data (text of 2048 characters).
constexpr int kNameUnits = 512;
constexpr int kDataBytes = 4096;
// An 8-bit code page takes at most three bytes for a UTF-16 unit (UTF-8;
// a double-byte code page two), so that whatever fits the caller's units
// fits here too, and a status of "too long" comes from the same limit.
constexpr int kNarrowNameBytes = 3 * kNameUnits;
constexpr int kNarrowDataBytes = 3 * (kDataBytes / 2) + 1;

// Text in the registry's UTF-16 as the ANSI code page's bytes: the byte
// count, or -1 when it does not fit `capacity` or the code page cannot hold
// it exactly (a name would else reach another key or value, best fit's:
// "Ādmin" would be written to "Admin").
int ToCodePage(const WCHAR *text, int units, char *out, int capacity) {
  WCHAR back[kDataBytes / 2];
  if (units == 0) return 0;
  if (units > static_cast<int>(sizeof back / sizeof back[0])) return -1;
  int bytes = WideCharToMultiByte(CP_ACP, 0, text, units, out, capacity, nullptr, nullptr);
  if (bytes <= 0 || MultiByteToWideChar(CP_ACP, 0, out, bytes, back, units) != units) return -1;
  for (int i = 0; i < units; ++i)
    if (back[i] != text[i]) return -1;
  return bytes;
}

int LengthOf(const WCHAR *text) {
  int length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// A name with its NUL, or false when it cannot be had in the code page.
bool NarrowName(const WCHAR *name, char *out) {
  int bytes = ToCodePage(name, LengthOf(name), out, kNarrowNameBytes - 1);
  if (bytes < 0) return false;
  out[bytes] = 0;
  return true;
}

// `bytes` of the code page into `capacity` units; -1 when they do not fit.
// The count is asked first: a conversion into too small a buffer may stop
// short rather than fail, half a surrogate pair at its end.
int FromCodePage(const char *text, int bytes, WCHAR *out, int capacity) {
  if (bytes == 0) return 0;
  int needed = MultiByteToWideChar(CP_ACP, 0, text, bytes, nullptr, 0);
  if (needed <= 0 || needed > capacity) return -1;
  return MultiByteToWideChar(CP_ACP, 0, text, bytes, out, capacity) == needed ? needed : -1;
}

// Windows 9x has no registry links: the option that opens one as itself is
// left out there.
LONG OpenKeyNarrow(HKEY parent, const WCHAR *path, DWORD, REGSAM access, HKEY *key) {
  char narrow[kNarrowNameBytes];
  if (!NarrowName(path, narrow)) return ERROR_FILENAME_EXCED_RANGE;
  return RegOpenKeyExA(parent, narrow, 0, access, key);
}

LONG CreateKeyNarrow(HKEY parent, const WCHAR *path, REGSAM access, HKEY *key) {
  char narrow[kNarrowNameBytes];
  char noClass[1] = {0};
  DWORD disposition = 0;
  if (!NarrowName(path, narrow)) return ERROR_FILENAME_EXCED_RANGE;
  return RegCreateKeyExA(parent, narrow, 0, noClass, REG_OPTION_NON_VOLATILE, access, nullptr, key, &disposition);
}

// The name into the caller's `*nameLength` units (with a NUL), as the wide
// call would give it; ERROR_MORE_DATA when it does not fit.
LONG WidenName(const char *narrow, DWORD bytes, WCHAR *name, DWORD *nameLength) {
  int units = FromCodePage(narrow, static_cast<int>(bytes), name, static_cast<int>(*nameLength) - 1);
  if (units < 0) return ERROR_MORE_DATA;
  name[units] = 0;
  *nameLength = static_cast<DWORD>(units);
  return ERROR_SUCCESS;
}

// Text data come as UTF-16, as the wide call gives them; other data as they
// are.
LONG EnumValueNarrow(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength, DWORD *type, BYTE *data,
                     DWORD *dataLength) {
  char narrowName[kNarrowNameBytes];
  BYTE narrowData[kNarrowDataBytes];
  DWORD nameBytes = sizeof narrowName, dataBytes = sizeof narrowData;
  LONG status = RegEnumValueA(key, index, narrowName, &nameBytes, nullptr, type, narrowData, &dataBytes);
  if (status == ERROR_SUCCESS) status = WidenName(narrowName, nameBytes, name, nameLength);
  if (status != ERROR_SUCCESS) return status;
  if (regtext::IsTextType(*type)) {
    int units = FromCodePage(reinterpret_cast<const char *>(narrowData), static_cast<int>(dataBytes),
                             reinterpret_cast<WCHAR *>(data), static_cast<int>(*dataLength / sizeof(WCHAR)));
    if (units < 0) return ERROR_MORE_DATA;
    *dataLength = static_cast<DWORD>(units) * sizeof(WCHAR);
    return ERROR_SUCCESS;
  }
  if (dataBytes > *dataLength) return ERROR_MORE_DATA;
  for (DWORD i = 0; i < dataBytes; ++i) data[i] = narrowData[i];
  *dataLength = dataBytes;
  return ERROR_SUCCESS;
}

LONG EnumKeyNarrow(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength) {
  char narrow[kNarrowNameBytes];
  DWORD bytes = sizeof narrow;
  FILETIME lastWrite;
  LONG status = RegEnumKeyExA(key, index, narrow, &bytes, nullptr, nullptr, nullptr, &lastWrite);
  return status == ERROR_SUCCESS ? WidenName(narrow, bytes, name, nameLength) : status;
}

// Text data go as the code page's bytes, followed by one that is not a NUL:
// the registry adds a NUL to text whose count leaves out one that follows.
LONG SetValueNarrow(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD dataLength) {
  char narrowName[kNarrowNameBytes];
  BYTE narrowData[kNarrowDataBytes];
  if (!NarrowName(name, narrowName)) return ERROR_FILENAME_EXCED_RANGE;
  if (!regtext::IsTextType(type)) return RegSetValueExA(key, narrowName, 0, type, data, dataLength);
  int bytes = ToCodePage(reinterpret_cast<const WCHAR *>(data), static_cast<int>(dataLength / sizeof(WCHAR)),
                         reinterpret_cast<char *>(narrowData), kNarrowDataBytes - 1);
  if (bytes < 0) return ERROR_INVALID_DATA;
  narrowData[bytes] = 0xFF;
  return RegSetValueExA(key, narrowName, 0, type, narrowData, static_cast<DWORD>(bytes));
}

// A console of Windows 9x shows its own code page, the OEM code page. A
// character that it lacks shows as its default character.
LONG WriteConsoleNarrow(HANDLE console, const WCHAR *text, DWORD count) {
  char narrow[3 * 4096];
  DWORD written = 0;
  UINT codePage = GetConsoleOutputCP();
  int bytes = WideCharToMultiByte(codePage != 0 ? codePage : CP_OEMCP, 0, text, static_cast<int>(count), narrow,
                                  sizeof narrow, nullptr, nullptr);
  if (bytes <= 0 && count > 0) return static_cast<LONG>(GetLastError());
  return WriteConsoleA(console, narrow, static_cast<DWORD>(bytes), &written, nullptr)
             ? ERROR_SUCCESS
             : static_cast<LONG>(GetLastError());
}

const registry::TextCalls kNarrowCalls = {OpenKeyNarrow, CreateKeyNarrow, EnumValueNarrow,
                                          EnumKeyNarrow, SetValueNarrow,  WriteConsoleNarrow};

// The form in use: the wide calls until one of them fails with 120.
const registry::TextCalls *calls = &registry::kWideCalls;

// The one place that decides: a wide call that fails with 120 means Windows
// 9x. That call is made again, and every later one, through the 8-bit
// calls.
bool SwitchedToNarrow(LONG status) {
  if (status != ERROR_CALL_NOT_IMPLEMENTED || calls == &kNarrowCalls) return false;
  calls = &kNarrowCalls;
  return true;
}

// KEY_WOW64_64KEY keeps a 32-bit build on 64-bit Windows in the registry's
// own keys; 32-bit Windows since XP ignores it, but Windows 2000 and NT 4.0
// take it for a right nobody holds and refuse the key (5). The 32-bit build
// asks for it only under WOW64, which IsWow64Process, where Windows has it,
// tells.
#ifdef _WIN64
REGSAM View(REGSAM access) { return access; }
#else
enum class Wow64 { Unknown, Yes, No };
Wow64 wow64 = Wow64::Unknown;

bool UnderWow64() {
  using IsWow64ProcessCall = BOOL(WINAPI *)(HANDLE, BOOL *);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "IsWow64Process") : nullptr;
  BOOL under = FALSE;
  if (found == nullptr) return false;
  auto isWow64Process = reinterpret_cast<IsWow64ProcessCall>(reinterpret_cast<void (*)()>(found));
  return isWow64Process(GetCurrentProcess(), &under) && under;
}

REGSAM View(REGSAM access) {
  if (wow64 == Wow64::Unknown) wow64 = UnderWow64() ? Wow64::Yes : Wow64::No;
  return wow64 == Wow64::Yes ? access : access & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
}
#endif

}  // namespace

LONG registry::OpenKey(HKEY parent, const WCHAR *path, DWORD options, REGSAM access, HKEY *key) {
  LONG status = calls->openKey(parent, path, options, View(access), key);
  if (SwitchedToNarrow(status)) status = calls->openKey(parent, path, options, View(access), key);
  return status;
}

LONG registry::CreateKey(HKEY parent, const WCHAR *path, REGSAM access, HKEY *key) {
  LONG status = calls->createKey(parent, path, View(access), key);
  if (SwitchedToNarrow(status)) status = calls->createKey(parent, path, View(access), key);
  return status;
}

LONG registry::EnumValue(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength, DWORD *type, BYTE *data,
                         DWORD *dataLength) {
  LONG status = calls->enumValue(key, index, name, nameLength, type, data, dataLength);
  if (SwitchedToNarrow(status)) status = calls->enumValue(key, index, name, nameLength, type, data, dataLength);
  return status;
}

LONG registry::EnumKey(HKEY key, DWORD index, WCHAR *name, DWORD *nameLength) {
  LONG status = calls->enumKey(key, index, name, nameLength);
  if (SwitchedToNarrow(status)) status = calls->enumKey(key, index, name, nameLength);
  return status;
}

LONG registry::SetValue(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD dataLength) {
  LONG status = calls->setValue(key, name, type, data, dataLength);
  if (SwitchedToNarrow(status)) status = calls->setValue(key, name, type, data, dataLength);
  return status;
}

LONG registry::WriteConsoleText(HANDLE console, const WCHAR *text, DWORD count) {
  LONG status = calls->writeConsole(console, text, count);
  if (SwitchedToNarrow(status)) status = calls->writeConsole(console, text, count);
  return status;
}
