// An 8-bit code page of a REGEDIT4 file, as Windows exports in its ANSI code
// page (1252, 932, ...): its bytes to and from the stand-in's text (see
// names.h), exactly or not at all.
#ifndef LORIMEX_REGFILE_CODEPAGE_H
#define LORIMEX_REGFILE_CODEPAGE_H

#include <memory>
#include <string>
#include <string_view>

namespace regfile {

class CodePage {
 public:
  // "1252", "932", or another name the conversion library knows; null, with
  // `error` saying why, for a name it does not know, or a code page that
  // does not keep ASCII as it is (the file's syntax is ASCII).
  static std::shared_ptr<const CodePage> Open(std::string_view name, std::string &error);
  virtual ~CodePage() = default;
  const std::string &name() const { return name_; }
  // False when some bytes map to no character, or to characters that the
  // code page would not write back as the same bytes.
  virtual bool Decode(std::string_view bytes, std::string &text) const = 0;
  // False when a character has no form of its own in the code page.
  virtual bool Encode(std::string_view text, std::string &bytes) const = 0;

 protected:
  explicit CodePage(std::string name) : name_(std::move(name)) {}

 private:
  std::string name_;
};

}  // namespace regfile

#endif
