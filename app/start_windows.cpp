// The Windows build's entry point. lorimex.exe takes nothing from a C
// runtime: msvcrt.dll came after Windows 95, and the mingw-w64 start-up
// code imports functions that older systems lack. The program starts here,
// with the command line as the system gives it, and imports only what
// Windows 95 and NT 4.0 export (tests/wine/win95-nt4-imports.txt lists
// them; tests/wine/release.sh checks).
#include <windows.h>

#include <cstddef>

#include "app/command_line.h"
#include "regcopy/report.h"

// What the compiler's code may call for copies and fills of memory: a C
// runtime's part that the program needs. Built without the compiler's
// habit of turning such loops back into these calls (CMakeLists.txt).
extern "C" void *memcpy(void *target, const void *source, std::size_t count) {
  auto *to = static_cast<unsigned char *>(target);
  const auto *from = static_cast<const unsigned char *>(source);
  for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
  return target;
}

extern "C" void *memmove(void *target, const void *source, std::size_t count) {
  auto *to = static_cast<unsigned char *>(target);
  const auto *from = static_cast<const unsigned char *>(source);
  if (to < from) {
    for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
  } else {
    for (std::size_t i = count; i > 0; --i) to[i - 1] = from[i - 1];
  }
  return target;
}

extern "C" void *memset(void *target, int byte, std::size_t count) {
  auto *to = static_cast<unsigned char *>(target);
  for (std::size_t i = 0; i < count; ++i) to[i] = static_cast<unsigned char>(byte);
  return target;
}

extern "C" std::size_t strlen(const char *text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

namespace {

// GetCommandLineA gives the command line in the ANSI code page, whose
// characters of two bytes this tells.
bool IsLeadByte(char byte) { return IsDBCSLeadByte(static_cast<BYTE>(byte)) != FALSE; }

}  // namespace

// The linker's default entry of a console program. A 32-bit system starts
// it with the stack aligned to 4 bytes only.
extern "C" __attribute__((force_align_arg_pointer)) void mainCRTStartup() {
  bool asksForHelp = CommandLineAsksForHelp(GetCommandLineA(), IsLeadByte);
  SetUpProcess();
  ExitProcess(static_cast<UINT>(RunCommand(asksForHelp)));
}
