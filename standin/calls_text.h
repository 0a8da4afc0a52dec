// What the 8-bit calls (char) and the wide calls (char16_t) see of a stored
// name or value: the same bytes, or their UTF-16 form (see names.h); and
// what they give. Text data depend on the loaded file's form.
#ifndef LORIMEX_STANDIN_CALLS_TEXT_H
#define LORIMEX_STANDIN_CALLS_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "regfile/reg_format.h"
#include "regfile/tree.h"

namespace standin {

// The stand-in keeps keys and values in the .reg format's tree.
using namespace regfile;

std::size_t NameLength(std::string_view name, char);
std::size_t NameLength(std::string_view name, char16_t);
// Writes the name and a NUL after it.
void CopyName(std::string_view name, char *out);
void CopyName(std::string_view name, char16_t *out);

std::size_t DataSize(const Value &value, const FileForm &form, char);
std::size_t DataSize(const Value &value, const FileForm &form, char16_t);
void CopyData(const Value &value, const FileForm &form, unsigned char *out, char);
void CopyData(const Value &value, const FileForm &form, unsigned char *out, char16_t);

// As the platform does: text whose count stops just before a NUL unit, and
// does not end in one itself, is taken with that NUL, as if the caller had
// forgotten to count it. The unit after the data is read only where the
// caller's buffer is known to hold it: `available` bytes (see control.h),
// never past the count otherwise.
std::uint32_t WithForgottenNul(std::uint32_t type, const unsigned char *data, std::uint32_t size,
                               std::size_t available);

// The stored form of data the wide calls give: text in a REGEDIT4 file in
// its 8-bit form, everything else as it is; false when the file cannot hold
// it exactly (an odd length of text, units FromUtf16 refuses, text its
// code page has no form for, or text a version 5 file saved as UTF-8
// cannot write: see Writable).
bool StoredData(std::uint32_t type, const unsigned char *data, std::uint32_t size, const FileForm &form,
                std::string &out);
// The stored form of a name the wide calls give; false when the file
// cannot hold it exactly (see FromUtf16 in names.h).
bool StoredName(const char16_t *name, const FileForm &form, std::string &out);

}  // namespace standin

#endif
