// The registry calls of the test tools, on names and data as UTF-8 text.
// They are the 8-bit calls, unless --wide is given: then they are the wide
// calls, and convert names and the data of string types between UTF-8 and
// UTF-16 themselves, so that text reaches the registry exactly whatever the
// process's code page. Text from a version 5 file is UTF-16 already and
// goes as it is (UseUtf16Data).
#ifndef LORIMEX_TESTS_TOOLS_CALLS_H
#define LORIMEX_TESTS_TOOLS_CALLS_H

#include <string>

#include "registry/registry.h"

namespace calls {

// Takes a leading --wide off the arguments and switches to the wide calls.
// Returns the number of arguments left.
int TakeWideOption(int argc, char **&argv);
// Names and data to come are those of a version 5 file: the registry's
// units already (see regfile/names.h).
void UseUtf16Data(bool utf16);
// REG_OPTION_CREATE_LINK in `options` makes the new key a link.
LONG Create(HKEY parent, const std::string &name, HKEY &key, DWORD options = REG_OPTION_NON_VOLATILE);
LONG Open(HKEY parent, const std::string &name, HKEY &key);
LONG SetValue(HKEY key, const std::string &name, DWORD type, const std::string &data);
LONG EnumValue(HKEY key, DWORD index, std::string &name, DWORD &type, std::string &data);
LONG EnumKey(HKEY key, DWORD index, std::string &name);

}  // namespace calls

#endif
