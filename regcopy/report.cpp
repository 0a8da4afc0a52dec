#include "regcopy/report.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "regcopy/output.h"
#include "registry/text.h"

namespace {

// One line, built whole in the caller's frame, then written.
struct Line {
  char bytes[kMaxLineLength];
  std::size_t length = 0;
};

void Append(Line &line, const char *bytes, std::size_t count) {
  count = std::min(count, kMaxLineLength - line.length);
  std::memcpy(line.bytes + line.length, bytes, count);
  line.length += count;
}

void AppendText(Line &line, const char *text) { Append(line, text, std::strlen(text)); }

void AppendNumber(Line &line, unsigned long number) {
  char digits[24];
  char *end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  Append(line, digits, static_cast<std::size_t>(end - digits));
}

void AppendCharacter(Line &line, char32_t c) {
  char bytes[4];
  Append(line, bytes, regtext::EncodeUtf8(c, bytes));
}

// A character the terminal would take as a control: C0, DEL and C1.
bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

bool IsHexDigit(WCHAR unit) {
  return (unit >= '0' && unit <= '9') || (unit >= 'A' && unit <= 'F') || (unit >= 'a' && unit <= 'f');
}

// Whether the name holds "<XXXX>" (four hex digits) at `at`: the form a
// control character is shown in.
bool LooksEscaped(const WCHAR *name, std::size_t length, std::size_t at) {
  if (length - at < 6 || name[at] != '<') return false;
  for (std::size_t i = 1; i <= 4; ++i)
    if (!IsHexDigit(name[at + i])) return false;
  return name[at + 5] == '>';
}

void AppendEscape(Line &line, char32_t c) {
  static const char kHex[] = "0123456789ABCDEF";
  char bytes[6] = {'<', kHex[c >> 12 & 0xF], kHex[c >> 8 & 0xF], kHex[c >> 4 & 0xF], kHex[c & 0xF], '>'};
  Append(line, bytes, sizeof bytes);
}

// A name as people read it: a control character as "<XXXX>" (its code in
// hex), so that a name can neither end the line nor drive the terminal; a
// NUL within the name's length likewise, so that the line names the whole
// name and not the one cut there; a "<" that would begin such a form in the
// name itself as "<003C>", so that every "<XXXX>" shown is an escape; a lone
// surrogate as U+FFFD. The rest as it is.
void AppendName(Line &line, const WCHAR *name, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char16_t>(name[i]);
    if (regtext::IsHighSurrogate(c) && i + 1 < length && regtext::IsLowSurrogate(static_cast<char16_t>(name[i + 1]))) {
      c = regtext::Combine(c, static_cast<char16_t>(name[++i]));
    } else if (regtext::IsSurrogate(c)) {
      c = 0xFFFD;
    }
    if (IsControl(c) || LooksEscaped(name, length, i)) {
      AppendEscape(line, c);
    } else {
      AppendCharacter(line, c);
    }
  }
}

std::size_t LengthOf(const WCHAR *name) {
  std::size_t length = 0;
  while (name[length] != 0) ++length;
  return length;
}

void WriteLine(const char *text) {
  Line line;
  AppendText(line, text);
  WriteOutputLine(line.bytes, line.length);
}

void ReportKeyError(int indent, const char *text, const WCHAR *name, std::size_t length) {
  Line line;
  for (int level = 0; level < indent; ++level) AppendText(line, "  ");
  AppendText(line, text);
  AppendName(line, name, length);
  WriteOutputLine(line.bytes, line.length);
}

// The banner that every run and the help begin with.
void ShowTitle() {
  static const char *const kTitle[] = {
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
  };
  for (const char *text : kTitle) WriteLine(text);
}

}  // namespace

void ShowBanner() {
  ShowTitle();
  WriteLine("Updating roaming user.");
}

void ShowHelp() {
  static const char *const kUsage[] = {
      "Usage: lorimex",
      "",
      "Copies HKEY_USERS\\.DEFAULT\\Software\\Norvane\\Kelvaro, every subkey and value,",
      "into HKEY_CURRENT_USER\\Software\\Norvane\\Kelvaro, and overwrites the current",
      "user's values of the same name: run it once per user. It takes no other",
      "arguments; /?, -?, /h, -h or --help shows this help and copies nothing.",
      "",
      "The administrator's guide is lorimex-guide.txt, beside lorimex.exe.",
  };
  ShowTitle();
  for (const char *text : kUsage) WriteLine(text);
}

void ReportRootFailure(RootFailure failure, LONG status) {
  static const char *const kFailures[] = {
      " occurred opening Software key for .DEFAULT user",
      " occurred opening Current User Software key",
      " occurred closing Default User key",
      " occurred closing current user key",
  };
  Line line;
  AppendText(line, "Error ");
  AppendNumber(line, static_cast<DWORD>(status));
  AppendText(line, kFailures[static_cast<int>(failure)]);
  WriteOutputLine(line.bytes, line.length);
}

void ReportSourceKeyError(const WCHAR *name) { ReportSourceKeyError(name, LengthOf(name)); }

void ReportSourceKeyError(const WCHAR *name, DWORD length) {
  ReportKeyError(0, "Error opening source key ", name, length);
}

void ReportDestinationKeyError(const WCHAR *name) {
  ReportKeyError(0, "Error creating destination key ", name, LengthOf(name));
}

void ReportEnumerationError(DWORD index) {
  Line line;
  AppendText(line, "Error enumerating value at index ");
  AppendNumber(line, index);
  WriteOutputLine(line.bytes, line.length);
}

void ReportWriteError(int depth, const WCHAR *name) { ReportWriteError(depth, name, LengthOf(name)); }

void ReportWriteError(int depth, const WCHAR *name, DWORD length) {
  ReportKeyError(depth, "Error writing value ", name, length);
}

void ReportVerdict(bool failed) {
  WriteLine("");
  WriteLine(failed ? "lorimex completed with errors" : "lorimex completed successfully");
}
