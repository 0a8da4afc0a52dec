#include "standin/calls_text.h"

#include <cstring>

#include "regfile/names.h"
#include "registry/text.h"

namespace standin {
namespace {

// Text of a REGEDIT4 file is held in the stand-in's 8-bit form; that of a
// version 5 file as the registry holds it.
bool HeldAsFileText(const Value &value, const FileForm &form) {
  return regtext::IsTextType(value.type()) && !form.HoldsUtf16Data();
}

// A file in a code page holds only the text that code page can write.
bool FitsCodePage(std::string_view text, const FileForm &form) {
  std::string bytes;
  return !form.codePage || form.HoldsUtf16Data() || form.codePage->Encode(text, bytes);
}

}  // namespace

std::size_t NameLength(std::string_view name, char) { return name.size(); }
std::size_t NameLength(std::string_view name, char16_t) { return CountUtf16Units(name); }

void CopyName(std::string_view name, char *out) {
  std::memcpy(out, name.data(), name.size());
  out[name.size()] = '\0';
}
void CopyName(std::string_view name, char16_t *out) { out[CopyUtf16Units(name, out)] = u'\0'; }

std::size_t DataSize(const Value &value, const FileForm &, char) { return value.data().size(); }

std::size_t DataSize(const Value &value, const FileForm &form, char16_t) {
  return HeldAsFileText(value, form) ? 2 * CountUtf16Units(value.data()) : value.data().size();
}

void CopyData(const Value &value, const FileForm &, unsigned char *out, char) {
  std::memcpy(out, value.data().data(), value.data().size());
}
void CopyData(const Value &value, const FileForm &form, unsigned char *out, char16_t) {
  if (HeldAsFileText(value, form)) {
    CopyUtf16Bytes(value.data(), out);
  } else {
    std::memcpy(out, value.data().data(), value.data().size());
  }
}

std::uint32_t WithForgottenNul(std::uint32_t type, const unsigned char *data, std::uint32_t size,
                               std::size_t available) {
  if (!regtext::IsTextType(type) || size < 2 || available < std::size_t{size} + 2) return size;
  std::size_t last = 2 * (size / 2 - 1);  // the last whole unit
  return UnitAt(data + last) != 0 && UnitAt(data + last + 2) == 0 ? size + 2 : size;
}

bool StoredData(std::uint32_t type, const unsigned char *data, std::uint32_t size, const FileForm &form,
                std::string &out) {
  if (!regtext::IsTextType(type) || form.HoldsUtf16Data()) {
    out.assign(reinterpret_cast<const char *>(data), data ? size : 0);
    return Writable(type, out, form);
  }
  return FromUtf16Bytes(data, data ? size : 0, out) && FitsCodePage(out, form);
}

bool StoredName(const char16_t *name, const FileForm &form, std::string &out) {
  if (!name) {
    out.clear();
    return true;
  }
  return FromUtf16(std::u16string_view(name), out) && FitsCodePage(out, form);
}

}  // namespace standin
