#ifndef LORIMEX_APP_COMMAND_LINE_H
#define LORIMEX_APP_COMMAND_LINE_H

#include <cstddef>

// Whether one argument, `length` bytes, asks for help: "/?", "-?", "/h",
// "-h" or "--help", in any case.
bool AsksForHelp(const char *argument, std::size_t length);

// Whether any argument of a Windows command line (the program's name
// first, then the arguments, split as the C runtime splits them) asks for
// help. `isLeadByte` tells the first bytes of the code page's characters of
// two bytes.
bool CommandLineAsksForHelp(const char *commandLine, bool (*isLeadByte)(char));

// Shows the help and returns 0 when `asksForHelp`, touching no registry key;
// else runs the update and returns its exit status. Any argument that does
// not ask for help is ignored: the run is the one without arguments.
int RunCommand(bool asksForHelp);

#endif
