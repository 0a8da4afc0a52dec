#include <windows.h>

#include "regcopy/output.h"
#include "regcopy/report.h"
#include "registry/windows_calls.h"

namespace {

// The longest line, with room for CR LF: UTF-8 never takes fewer bytes
// than UTF-16 takes units.
constexpr std::size_t kLineCapacity = kMaxLineLength + 2;

// The line's UTF-8, which report.cpp wrote from whole characters, as
// UTF-16 with CR LF; returns the count of units. Decoded here rather than
// by the system: Windows 95 converts no UTF-8.
DWORD ToUtf16(const char *line, std::size_t length, WCHAR *wide) {
  DWORD count = 0;
  for (std::size_t i = 0; i < length;) {
    unsigned char lead = static_cast<unsigned char>(line[i++]);
    std::size_t extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (; extra > 0 && i < length; --extra) c = c << 6 | (static_cast<unsigned char>(line[i++]) & 0x3F);
    if (c >= 0x10000) {
      wide[count++] = static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
      wide[count++] = static_cast<WCHAR>(0xDC00 + (c & 0x3FF));
    } else {
      wide[count++] = static_cast<WCHAR>(c);
    }
  }
  wide[count++] = L'\r';
  wide[count++] = L'\n';
  return count;
}

// A console shows bytes through its own code page, which the program does
// not choose: it gets the line as UTF-16 instead (as the OEM code page's
// bytes on Windows 9x, registry/windows_calls.cpp). Returns false, writing
// nothing, when standard output is not a console.
bool WriteLineToConsole(HANDLE out, const char *line, std::size_t length) {
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  WCHAR wide[kLineCapacity];
  (void)registry::WriteConsoleText(out, wide, ToUtf16(line, length, wide));
  return true;
}

}  // namespace

// Nothing to set up: a closed pipe or a full disk only fails the write.
void SetUpProcess() {}

// Anything but a console gets the bytes, with CR LF, in one write.
void WriteOutputLine(const char *line, std::size_t length) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || WriteLineToConsole(out, line, length)) return;
  char bytes[kLineCapacity];
  std::size_t count = 0;
  for (; count < length && count < kMaxLineLength; ++count) bytes[count] = line[count];
  bytes[count++] = '\r';
  bytes[count++] = '\n';
  DWORD written = 0;
  (void)WriteFile(out, bytes, static_cast<DWORD>(count), &written, nullptr);
}
