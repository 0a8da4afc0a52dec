#include "regfile/codepage.h"

#include <vector>

#include "regfile/names.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <unicode/ucnv.h>
#include <unicode/uvernum.h>
#endif

namespace regfile {
namespace {

#ifndef _WIN32
// ICU's converters, which only code pages need. The library is loaded at
// the first code page a run opens, so that a run on UTF-8 text or on hives
// never loads it and its data. ICU names its library and its functions
// after its major version (libicuuc.so.72, ucnv_open_72): the headers the
// build found give both.
#define LORIMEX_QUOTE(name) #name
#define LORIMEX_NAME_OF(function) LORIMEX_QUOTE(function)

struct Icu {
  decltype(&ucnv_open) open = nullptr;
  decltype(&ucnv_close) close = nullptr;
  decltype(&ucnv_getMinCharSize) minCharSize = nullptr;
  decltype(&ucnv_setToUCallBack) setToUCallBack = nullptr;
  decltype(&ucnv_setFromUCallBack) setFromUCallBack = nullptr;
  decltype(&ucnv_resetToUnicode) resetToUnicode = nullptr;
  decltype(&ucnv_resetFromUnicode) resetFromUnicode = nullptr;
  decltype(&ucnv_toUChars) toUChars = nullptr;
  decltype(&ucnv_fromUChars) fromUChars = nullptr;
  UConverterToUCallback stopToUnicode = nullptr;
  UConverterFromUCallback stopFromUnicode = nullptr;
  std::string error;  // why `open` is null
};

template <typename Function>
void Bind(void *library, const char *name, Function &function, std::string &missing) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (!function && missing.empty()) missing = name;
}

Icu Load() {
  Icu icu;
  const char *file = "libicuuc.so." U_ICU_VERSION_SHORT;
  void *library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    icu.error = dlerror();
    return icu;
  }
  std::string missing;
#define LORIMEX_BIND(field, function) Bind(library, LORIMEX_NAME_OF(function), icu.field, missing)
  LORIMEX_BIND(open, ucnv_open);
  LORIMEX_BIND(close, ucnv_close);
  LORIMEX_BIND(minCharSize, ucnv_getMinCharSize);
  LORIMEX_BIND(setToUCallBack, ucnv_setToUCallBack);
  LORIMEX_BIND(setFromUCallBack, ucnv_setFromUCallBack);
  LORIMEX_BIND(resetToUnicode, ucnv_resetToUnicode);
  LORIMEX_BIND(resetFromUnicode, ucnv_resetFromUnicode);
  LORIMEX_BIND(toUChars, ucnv_toUChars);
  LORIMEX_BIND(fromUChars, ucnv_fromUChars);
  LORIMEX_BIND(stopToUnicode, UCNV_TO_U_CALLBACK_STOP);
  LORIMEX_BIND(stopFromUnicode, UCNV_FROM_U_CALLBACK_STOP);
#undef LORIMEX_BIND
  if (!missing.empty()) {
    icu.open = nullptr;
    icu.error = std::string(file) + " has no " + missing;
  }
  return icu;
}

// Loaded once, and kept to the end: code pages live as long as their users.
const Icu &LoadedIcu() {
  static const Icu icu = Load();
  return icu;
}

// ICU's converter, stopping at the first byte or character it cannot map
// instead of putting a substitute in its place.
class IcuCodePage : public CodePage {
 public:
  IcuCodePage(std::string name, const Icu &icu, UConverter *converter)
      : CodePage(std::move(name)), icu_(icu), converter_(converter) {
    UErrorCode status = U_ZERO_ERROR;
    icu_.setToUCallBack(converter_, icu_.stopToUnicode, nullptr, nullptr, nullptr, &status);
    icu_.setFromUCallBack(converter_, icu_.stopFromUnicode, nullptr, nullptr, nullptr, &status);
  }
  ~IcuCodePage() override { icu_.close(converter_); }

  bool Decode(std::string_view bytes, std::string &text) const override {
    std::u16string units(2 * bytes.size() + 1, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    icu_.resetToUnicode(converter_);
    int32_t count = icu_.toUChars(converter_, units.data(), static_cast<int32_t>(units.size()), bytes.data(),
                                  static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return false;
    units.resize(static_cast<std::size_t>(count));
    std::string back;
    return FromUtf16(units, text) && Encode(text, back) && back == bytes;
  }

  bool Encode(std::string_view text, std::string &bytes) const override {
    std::u16string units = Utf16Of(text);
    if (!IsValidUtf16(units)) return false;
    bytes.assign(2 * units.size() + 1, '\0');
    UErrorCode status = U_ZERO_ERROR;
    icu_.resetFromUnicode(converter_);
    int32_t count = icu_.fromUChars(converter_, bytes.data(), static_cast<int32_t>(bytes.size()), units.data(),
                                    static_cast<int32_t>(units.size()), &status);
    if (U_FAILURE(status)) return false;
    bytes.resize(static_cast<std::size_t>(count));
    return true;
  }

 private:
  const Icu &icu_;
  UConverter *converter_;
};

UConverter *OpenConverter(const Icu &icu, std::string_view name) {
  std::string digits(name);
  bool number = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  // A bare number is a Windows code page: ICU knows most as windows-N, the
  // others (932 among them) as cpN.
  std::vector<std::string> candidates{digits};
  if (number) candidates = {"windows-" + digits, "cp" + digits};
  for (const std::string &candidate : candidates) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = icu.open(candidate.c_str(), &status);
    if (U_SUCCESS(status)) return converter;
    if (converter) icu.close(converter);
  }
  return nullptr;
}
#endif

}  // namespace

std::shared_ptr<const CodePage> CodePage::Open(std::string_view name, std::string &error) {
#ifdef _WIN32
  (void)name;
  error = "8-bit code pages are read on Linux only";
  return nullptr;
#else
  const Icu &icu = LoadedIcu();
  if (!icu.open) {
    error = "code pages need ICU, which cannot be loaded: " + icu.error;
    return nullptr;
  }
  UConverter *converter = OpenConverter(icu, name);
  if (!converter) {
    error = "unknown code page " + std::string(name);
    return nullptr;
  }
  auto codePage = std::make_shared<IcuCodePage>(std::string(name), icu, converter);
  std::string ascii, text;
  for (char c = 0x20; c < 0x7F; ++c) ascii.push_back(c);
  ascii += "\t\r\n";
  if (icu.minCharSize(converter) != 1 || !codePage->Decode(ascii, text) || text != ascii) {
    error = "code page " + std::string(name) + " does not keep ASCII as it is";
    return nullptr;
  }
  return codePage;
#endif
}

}  // namespace regfile
