#include "tests/tools/calls.h"

#include <cstring>
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

// Strict conversions: text that is not valid UTF-8 or UTF-16 is an error,
// never a question mark.
bool ToWide(const std::string &text, std::wstring &out) {
  out.assign(text.size(), L'\0');
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(),
                              static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(n));
  return n > 0 || text.empty();
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

LONG SetValueW(HKEY key, const std::string &name, DWORD type, const std::string &data) {
  std::wstring wideName, wideData;
  if (!ToWide(name, wideName)) return ERROR_NO_UNICODE_TRANSLATION;
  if (!IsText(type)) {
    return RegSetValueExW(key, wideName.c_str(), 0, type, reinterpret_cast<const BYTE *>(data.data()),
                          static_cast<DWORD>(data.size()));
  }
  if (!ToWide(data, wideData)) return ERROR_NO_UNICODE_TRANSLATION;
  return RegSetValueExW(key, wideName.c_str(), 0, type, reinterpret_cast<const BYTE *>(wideData.data()),
                        static_cast<DWORD>(wideData.size() * sizeof(wchar_t)));
}

LONG EnumValueW(HKEY key, DWORD index, std::string &name, DWORD &type, std::string &data) {
  DWORD nameLength = kNameCapacity, dataLength = kDataCapacity;
  LONG status =
      RegEnumValueW(key, index, wideNameBuffer.data(), &nameLength, nullptr, &type, dataBuffer.data(), &dataLength);
  if (status != ERROR_SUCCESS) return status;
  if (!ToUtf8(wideNameBuffer.data(), nameLength, name)) return ERROR_NO_UNICODE_TRANSLATION;
  if (!IsText(type)) {
    data.assign(reinterpret_cast<const char *>(dataBuffer.data()), dataLength);
    return ERROR_SUCCESS;
  }
  if (dataLength % 2 != 0) return ERROR_NO_UNICODE_TRANSLATION;
  std::wstring text(dataLength / 2, L'\0');
  std::copy(dataBuffer.begin(), dataBuffer.begin() + dataLength, reinterpret_cast<BYTE *>(text.data()));
  return ToUtf8(text.data(), text.size(), data) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
}

LONG EnumKeyW(HKEY key, DWORD index, std::string &name) {
  DWORD length = kNameCapacity;
  FILETIME lastWrite;
  LONG status = RegEnumKeyExW(key, index, wideNameBuffer.data(), &length, nullptr, nullptr, nullptr, &lastWrite);
  if (status != ERROR_SUCCESS) return status;
  return ToUtf8(wideNameBuffer.data(), length, name) ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION;
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
