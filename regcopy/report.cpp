#include "regcopy/report.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// Room for 512 levels of indentation and a name of 511 UTF-16 units (at
// most three bytes of UTF-8 each), the most a line can hold.
constexpr std::size_t kLineCapacity = 4096;
char line[kLineCapacity];
std::size_t lineLength = 0;

void Append(const char *bytes, std::size_t count) {
  count = std::min(count, kLineCapacity - lineLength);
  std::memcpy(line + lineLength, bytes, count);
  lineLength += count;
}

void AppendText(const char *text) { Append(text, std::strlen(text)); }

void AppendNumber(unsigned long number) {
  char digits[24];
  char *end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  Append(digits, static_cast<std::size_t>(end - digits));
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendCharacter(char32_t c) {
  char bytes[4];
  std::size_t count = 0;
  if (c < 0x80) {
    bytes[count++] = static_cast<char>(c);
  } else if (c < 0x800) {
    bytes[count++] = static_cast<char>(0xC0 | c >> 6);
  } else if (c < 0x10000) {
    bytes[count++] = static_cast<char>(0xE0 | c >> 12);
    bytes[count++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  } else {
    bytes[count++] = static_cast<char>(0xF0 | c >> 18);
    bytes[count++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  }
  if (c >= 0x80) bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  Append(bytes, count);
}

void AppendName(const WCHAR *name) {
  for (std::size_t i = 0; name[i] != 0; ++i) {
    char32_t c = static_cast<char16_t>(name[i]);
    if (IsHighSurrogate(c) && IsLowSurrogate(static_cast<char16_t>(name[i + 1]))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(name[++i]) - 0xDC00);
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      c = 0xFFFD;
    }
    AppendCharacter(c);
  }
}

#ifdef _WIN32
// A console shows bytes through its own code page, which the program does
// not choose: it gets the line as UTF-16 instead.
bool WrittenToConsole() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  static wchar_t wide[kLineCapacity + 2];
  int count = MultiByteToWideChar(CP_UTF8, 0, line, static_cast<int>(lineLength), wide, kLineCapacity);
  count = std::max(count, 0);
  wide[count++] = L'\r';
  wide[count++] = L'\n';
  DWORD written = 0;
  (void)WriteConsoleW(out, wide, static_cast<DWORD>(count), &written, nullptr);
  return true;
}
#else
bool WrittenToConsole() { return false; }
#endif

// Standard output is a text stream: on Windows the newline goes out as
// CR LF.
void EndLine() {
  if (!WrittenToConsole()) {
    std::fwrite(line, 1, lineLength, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  lineLength = 0;
}

void WriteLine(const char *text) {
  AppendText(text);
  EndLine();
}

void ReportKeyError(const char *text, const WCHAR *name) {
  AppendText(text);
  AppendName(name);
  EndLine();
}

}  // namespace

void SetUpProcess() {
#ifndef _WIN32
  // Windows has neither signal: a closed pipe or a full disk fails the
  // write, and so it must here.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void ShowBanner() {
  static const char *const kBanner[] = {
      "",
      "Kelvaro for Windows 95/NT",
      "lorimex - Configure roaming user",
      "",
      "This program copies Kelvaro information from the .DEFAULT",
      "user profile to the current user profile.",
      "",
      "It is useful for adding Kelvaro information to a roaming user profile",
      "that was not present on the PC when Kelvaro was installed.",
      "",
      "Updating roaming user.",
  };
  for (const char *text : kBanner) WriteLine(text);
}

void ReportRootFailure(RootFailure failure, LONG status) {
  static const char *const kFailures[] = {
      " occurred opening Software key for .DEFAULT user",
      " occurred opening Current User Software key",
      " occurred closing Default User key",
      " occurred closing current user key",
  };
  AppendText("Error ");
  AppendNumber(static_cast<DWORD>(status));
  AppendText(kFailures[static_cast<int>(failure)]);
  EndLine();
}

void ReportSourceKeyError(const WCHAR *name) { ReportKeyError("Error opening source key ", name); }

void ReportDestinationKeyError(const WCHAR *name) { ReportKeyError("Error creating destination key ", name); }

void ReportEnumerationError(DWORD index) {
  AppendText("Error enumerating value at index ");
  AppendNumber(index);
  EndLine();
}

void ReportWriteError(int depth, const WCHAR *name) {
  for (int level = 0; level < depth; ++level) AppendText("  ");
  ReportKeyError("Error writing value ", name);
}

void ReportVerdict(bool failed) {
  WriteLine("");
  WriteLine(failed ? "lorimex completed with errors" : "lorimex completed successfully");
}
