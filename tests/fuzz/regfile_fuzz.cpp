// libFuzzer target for the .reg reader and writer: any input either is
// refused or reads back, once written, into the very same text.
//   tests/fuzz/run.sh FOLDER SECONDS   (builds it with clang and runs it)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "regfile/reg_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  regfile::Key top;
  regfile::FileForm form, formAgain;
  regfile::ParseError error;
  if (!regfile::Parse(std::string_view(reinterpret_cast<const char *>(data), size), top, form, error)) return 0;
  std::string written = regfile::Write(top, form);
  regfile::Key again;
  if (!regfile::Parse(written, again, formAgain, error) || regfile::Write(again, formAgain) != written) std::abort();
  return 0;
}
