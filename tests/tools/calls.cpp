#include "tests/tools/calls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace calls {
namespace {

constexpr DWORD kNameCapacity = 16384;
constexpr DWORD kDataCapacity = 1 << 20;
bool wide = false;
// One set of buffers for every call: a tree has many values.
std::vector<char> nameBuffer(kNameCapacity);
std::vector<wchar_t> wideNameBuffer(kNameCapacity);
std::vector<BYTE> dataBuffer(kDataCapacity);

LONG CreateA(HKEY parent, const std::string &name, HKEY &key) {
  char noClass[1] = "";
  return RegCreateKeyExA(parent, name.c_str(), 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                         nullptr);
}

LONG OpenA(HKEY parent, const std::string &name, HKEY &key) {
  return RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key);
}

LONG SetValueA(HKEY key, const std::string &name, DWORD type, const std::string &data) {
  return RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                        static_cast<DWORD>(data.size()));
}

LONG EnumValueA(HKEY key, DWORD index, std::string &name, DWORD &type, std::string &data) {
  DWORD nameLength = kNameCapacity, dataLength = kDataCapacity;
  LONG status =
      RegEnumValueA(key, index, nameBuffer.data(), &nameLength, nullptr, &type, dataBuffer.data(), &dataLength);
  if (status == ERROR_SUCCESS) {
    name.assign(nameBuffer.data(), nameLength);
    data.assign(reinterpret_cast<const char *>(dataBuffer.data()), dataLength);
  }
  return status;
}

LONG EnumKeyA(HKEY key, DWORD index, std::string &name) {
  DWORD length = kNameCapacity;
  FILETIME lastWrite;
  LONG status = RegEnumKeyExA(key, index, nameBuffer.data(), &length, nullptr, nullptr, nullptr, &lastWrite);
  if (status == ERROR_SUCCESS) name.assign(nameBuffer.data(), length);
  return status;
}

#ifdef _WIN32
bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }
constexpr char kRawText[] = "(utf-16)";

// Strict conversions: text that is not valid UTF-8 or UTF-16 is an error,
// never a question mark.
bool StrictToWide(std::string_view text, std::wstring &out) {
  std::wstring part(text.size(), L'\0');
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), part.data(),
                              static_cast<int>(part.size()));
  out.append(part, 0, static_cast<std::size_t>(std::max(n, 0)));
  return n > 0 || text.empty();
}

// "<XXXX>" in a name is one UTF-16 unit in hex, as ShownName writes a lone
// surrogate: fixtures name what UTF-8 cannot.
bool IsUnitEscape(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '<' || text[at + 5] != '>') return false;
  return std::all_of(text.begin() + at + 1, text.begin() + at + 5, [](char c) { return std::isxdigit(c) != 0; });
}

bool ToWide(const std::string &text, std::wstring &out) {
  out.clear();
  std::size_t start = 0;
  for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    if (!IsUnitEscape(text, at)) continue;
    if (!StrictToWide(std::string_view(text).substr(start, at - start), out)) return false;
    out.push_back(static_cast<wchar_t>(std::stoul(text.substr(at + 1, 4), nullptr, 16)));
    start = at + 6;
  }
  return StrictToWide(std::string_view(text).substr(start), out);
}

bool ToUtf8(const wchar_t *text, std::size_t length, std::string &out) {
  out.assign(length * 3, '\0');
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length), out.data(),
                              static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n));
  return n > 0 || length == 0;
}

LONG CreateW(HKEY parent, const std::string &name, HKEY &key) {
  std::wstring wideName;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  return RegCreateKeyExW(parent, wideName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                         nullptr);
}

LONG OpenW(HKEY parent, const std::string &name, HKEY &key) {
  std::wstring wideName;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  return RegOpenKeyExW(parent, wideName.c_str(), 0, KEY_READ, &key);
}

// The registry counts a NUL that follows text whose count leaves it out:
// the bytes after the data are made non-zero so that exactly these go in.
LONG SetValueW(HKEY key, const std::string &name, DWORD type, const std::string &data) {
  std::wstring wideName, wideData;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  std::string bytes = data;
  if (IsText(type) && bytes.rfind(kRawText, 0) == 0) {
    bytes.erase(0, sizeof kRawText - 1);
  } else if (IsText(type)) {
    if (!StrictToWide(data, wideData)) return ERROR_NO_UNICODE_TRANSLATION;
    bytes.assign(reinterpret_cast<const char *>(wideData.data()), wideData.size() * sizeof(wchar_t));
  }
  auto size = static_cast<DWORD>(bytes.size());
  bytes += "\xFF\xFF";
  return RegSetValueExW(key, wideName.c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()), size);
}

// What strict conversion refuses still prints, so that text that is not
// valid UTF-16 compares exactly between two registries: a lone surrogate or
// a NUL in a name as <XXXX>; text data as its UTF-16 bytes, after the
// marker kRawText, which SetValueW takes back.
std::string ShownName(const wchar_t *name, std::size_t length) {
  std::string shown, part;
  std::size_t start = 0;
  auto appendValid = [&](std::size_t end) {
    ToUtf8(name + start, end - start, part);
    shown += part;
  };
  for (std::size_t i = 0; i < length; ++i) {
    bool high = (name[i] & 0xFC00) == 0xD800, low = (name[i] & 0xFC00) == 0xDC00;
    if (high && i + 1 < length && (name[i + 1] & 0xFC00) == 0xDC00) {
      ++i;
      continue;
    }
    if (name[i] != 0 && !high && !low) continue;
    appendValid(i);
    char hex[8];
    std::snprintf(hex, sizeof hex, "<%04X>", static_cast<unsigned>(name[i]));
    shown += hex;
    start = i + 1;
  }
  appendValid(length);
  return shown;
}

LONG EnumValueW(HKEY key, DWORD index, std::string &name, DWORD &type, std::string &data) {
  DWORD nameLength = kNameCapacity, dataLength = kDataCapacity;
  LONG status =
      RegEnumValueW(key, index, wideNameBuffer.data(), &nameLength, nullptr, &type, dataBuffer.data(), &dataLength);
  if (status != ERROR_SUCCESS) return status;
  name = ShownName(wideNameBuffer.data(), nameLength);
  data.assign(reinterpret_cast<const char *>(dataBuffer.data()), dataLength);
  if (!IsText(type)) return ERROR_SUCCESS;
  std::wstring text(dataLength / 2, L'\0');
  std::copy(dataBuffer.begin(), dataBuffer.begin() + text.size() * 2, reinterpret_cast<BYTE *>(text.data()));
  std::string utf8;
  if (dataLength % 2 == 0 && ToUtf8(text.data(), text.size(), utf8)) {
    data = utf8;
  } else {
    data.insert(0, kRawText);
  }
  return ERROR_SUCCESS;
}

LONG EnumKeyW(HKEY key, DWORD index, std::string &name) {
  DWORD length = kNameCapacity;
  FILETIME lastWrite;
  LONG status = RegEnumKeyExW(key, index, wideNameBuffer.data(), &length, nullptr, nullptr, nullptr, &lastWrite);
  if (status == ERROR_SUCCESS) name = ShownName(wideNameBuffer.data(), length);
  return status;
}
#endif

}  // namespace

int TakeWideOption(int argc, char **&argv) {
  if (argc < 2 || std::strcmp(argv[1], "--wide") != 0) return argc;
#ifdef _WIN32
  wide = true;
#endif
  ++argv;
  return wide ? argc - 1 : -1;
}

#ifdef _WIN32
#define PICK(call) (wide ? call##W : call##A)
#else
#define PICK(call) call##A
#endif

LONG Create(HKEY parent, const std::string &name, HKEY &key) { return PICK(Create)(parent, name, key); }
LONG Open(HKEY parent, const std::string &name, HKEY &key) { return PICK(Open)(parent, name, key); }
LONG SetValue(HKEY key, const std::string &name, DWORD type, const std::string &data) {
  return PICK(SetValue)(key, name, type, data);
}
LONG EnumValue(HKEY key, DWORD index, std::string &name, DWORD &type, std::string &data) {
  return PICK(EnumValue)(key, index, name, type, data);
}
LONG EnumKey(HKEY key, DWORD index, std::string &name) { return PICK(EnumKey)(key, index, name); }

}  // namespace calls
