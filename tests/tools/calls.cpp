#include "tests/tools/calls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "regfile/names.h"
#include "registry/text.h"

namespace calls {
namespace {

constexpr DWORD kNameCapacity = 16384;
constexpr DWORD kDataCapacity = 1 << 20;
bool wide = false;
// The keys lorimex.exe uses on either build: no Wow6432Node.
constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_64KEY;
bool utf16Data = false;  // names and text from a version 5 file
// One set of buffers for every call: a tree has many values.
std::vector<char> nameBuffer(kNameCapacity);
std::vector<WCHAR> wideNameBuffer(kNameCapacity);
std::vector<BYTE> dataBuffer(kDataCapacity);

LONG CreateA(HKEY parent, const std::string &name, HKEY &key, DWORD options) {
  char noClass[1] = "";
  return RegCreateKeyExA(parent, name.c_str(), 0, noClass, options, kWriteAccess, nullptr, &key, nullptr);
}

LONG OpenA(HKEY parent, const std::string &name, HKEY &key) {
  return RegOpenKeyExA(parent, name.c_str(), 0, kReadAccess, &key);
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

using regtext::IsTextType;
constexpr char kRawText[] = "(utf-16)";

using WideString = std::basic_string<WCHAR>;

// Strict conversions: text that is not valid UTF-8 or UTF-16 is an error,
// never a question mark.
bool StrictToWide(std::string_view text, WideString &out) {
  std::u16string units = regfile::Utf16Of(text);
  out.append(units.begin(), units.end());
  return regfile::IsValidUtf16(units);
}

bool ToUtf8(const WCHAR *text, std::size_t length, std::string &out) {
  std::u16string units(text, text + length);
  return regfile::IsValidUtf16(units) && regfile::FromUtf16(units, out);
}

// "<XXXX>" in a name is one UTF-16 unit in hex, as ShownName writes a lone
// surrogate: fixtures name what UTF-8 cannot.
bool IsUnitEscape(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '<' || text[at + 5] != '>') return false;
  return std::all_of(text.begin() + at + 1, text.begin() + at + 5, [](char c) { return std::isxdigit(c) != 0; });
}

// A version 5 file's names are the registry's units already.
bool ToWide(const std::string &text, WideString &out) {
  out.clear();
  if (utf16Data) {
    std::u16string units = regfile::Utf16Of(text);
    out.assign(units.begin(), units.end());
    return true;
  }
  std::size_t start = 0;
  for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    if (!IsUnitEscape(text, at)) continue;
    if (!StrictToWide(std::string_view(text).substr(start, at - start), out)) return false;
    out.push_back(static_cast<WCHAR>(std::stoul(text.substr(at + 1, 4), nullptr, 16)));
    start = at + 6;
  }
  return StrictToWide(std::string_view(text).substr(start), out);
}

LONG CreateW(HKEY parent, const std::string &name, HKEY &key, DWORD options) {
  WideString wideName;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  return RegCreateKeyExW(parent, wideName.c_str(), 0, nullptr, options, kWriteAccess, nullptr, &key, nullptr);
}

LONG OpenW(HKEY parent, const std::string &name, HKEY &key) {
  WideString wideName;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  return RegOpenKeyExW(parent, wideName.c_str(), 0, kReadAccess, &key);
}

// The registry counts a NUL that follows text whose count leaves it out:
// the bytes after the data are made non-zero so that exactly these go in.
LONG SetValueW(HKEY key, const std::string &name, DWORD type, const std::string &data) {
  WideString wideName, wideData;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  std::string bytes = data;
  if (IsTextType(type) && bytes.rfind(kRawText, 0) == 0) {
    bytes.erase(0, sizeof kRawText - 1);
  } else if (IsTextType(type) && !utf16Data) {
    if (!StrictToWide(data, wideData)) return ERROR_NO_UNICODE_TRANSLATION;
    bytes.assign(reinterpret_cast<const char *>(wideData.data()), wideData.size() * sizeof(WCHAR));
  }
  auto size = static_cast<DWORD>(bytes.size());
  bytes += "\xFF\xFF";
  return RegSetValueExW(key, wideName.c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()), size);
}

// What strict conversion refuses still prints, so that text that is not
// valid UTF-16 compares exactly between two registries: a lone surrogate or
// a NUL in a name as <XXXX>; text data as its UTF-16 bytes, after the
// marker kRawText, which SetValueW takes back.
std::string ShownName(const WCHAR *name, std::size_t length) {
  std::string shown, part;
  std::size_t start = 0;
  auto appendValid = [&](std::size_t end) {
    ToUtf8(name + start, end - start, part);
    shown += part;
  };
  for (std::size_t i = 0; i < length; ++i) {
    bool high = regtext::IsHighSurrogate(name[i]), low = regtext::IsLowSurrogate(name[i]);
    if (high && i + 1 < length && regtext::IsLowSurrogate(name[i + 1])) {
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
  if (!IsTextType(type)) return ERROR_SUCCESS;
  WideString text(dataLength / 2, WCHAR());
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

}  // namespace

void UseUtf16Data(bool utf16) { utf16Data = utf16; }

int TakeWideOption(int argc, char **&argv) {
  if (argc < 2 || std::strcmp(argv[1], "--wide") != 0) return argc;
  wide = true;
  ++argv;
  return argc - 1;
}

#define PICK(call) (wide ? call##W : call##A)

LONG Create(HKEY parent, const std::string &name, HKEY &key, DWORD options) {
  return PICK(Create)(parent, name, key, options);
}
LONG Open(HKEY parent, const std::string &name, HKEY &key) { return PICK(Open)(parent, name, key); }
LONG SetValue(HKEY key, const std::string &name, DWORD type, const std::string &data) {
  return PICK(SetValue)(key, name, type, data);
}
LONG EnumValue(HKEY key, DWORD index, std::string &name, DWORD &type, std::string &data) {
  return PICK(EnumValue)(key, index, name, type, data);
}
LONG EnumKey(HKEY key, DWORD index, std::string &name) { return PICK(EnumKey)(key, index, name); }

}  // namespace calls
