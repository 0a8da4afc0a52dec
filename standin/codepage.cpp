#include "standin/codepage.h"

#include <vector>

#include "standin/names.h"

#ifndef _WIN32
#include <unicode/ucnv.h>
#endif

namespace standin {
namespace {

#ifndef _WIN32
// ICU's converter, stopping at the first byte or character it cannot map
// instead of putting a substitute in its place.
class IcuCodePage : public CodePage {
 public:
  IcuCodePage(std::string name, UConverter *converter) : CodePage(std::move(name)), converter_(converter) {
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter_, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(converter_, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  ~IcuCodePage() override { ucnv_close(converter_); }

  bool Decode(std::string_view bytes, std::string &text) const override {
    std::u16string units(2 * bytes.size() + 1, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    ucnv_resetToUnicode(converter_);
    int32_t count = ucnv_toUChars(converter_, units.data(), static_cast<int32_t>(units.size()), bytes.data(),
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
    ucnv_resetFromUnicode(converter_);
    int32_t count = ucnv_fromUChars(converter_, bytes.data(), static_cast<int32_t>(bytes.size()), units.data(),
                                    static_cast<int32_t>(units.size()), &status);
    if (U_FAILURE(status)) return false;
    bytes.resize(static_cast<std::size_t>(count));
    return true;
  }

 private:
  UConverter *converter_;
};

UConverter *OpenConverter(std::string_view name) {
  std::string digits(name);
  bool number = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  // A bare number is a Windows code page: ICU knows most as windows-N, the
  // others (932 among them) as cpN.
  std::vector<std::string> candidates{digits};
  if (number) candidates = {"windows-" + digits, "cp" + digits};
  for (const std::string &candidate : candidates) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = ucnv_open(candidate.c_str(), &status);
    if (U_SUCCESS(status)) return converter;
    if (converter) ucnv_close(converter);
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
  UConverter *converter = OpenConverter(name);
  if (!converter) {
    error = "unknown code page " + std::string(name);
    return nullptr;
  }
  auto codePage = std::make_shared<IcuCodePage>(std::string(name), converter);
  std::string ascii, text;
  for (char c = 0x20; c < 0x7F; ++c) ascii.push_back(c);
  ascii += "\t\r\n";
  if (ucnv_getMinCharSize(converter) != 1 || !codePage->Decode(ascii, text) || text != ascii) {
    error = "code page " + std::string(name) + " does not keep ASCII as it is";
    return nullptr;
  }
  return codePage;
#endif
}

}  // namespace standin
