#include "profiles/outcome.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "regfile/names.h"

namespace profiles {
namespace {

std::string Plural(unsigned long count, const char *one, const char *more) {
  return std::to_string(count) + " " + (count == 1 ? one : more);
}

// The line names this many of the values a run replaces; the report all.
constexpr std::size_t kNamesInLine = 3;

std::string Counted(const Outcome &outcome, bool done, bool whole) {
  std::string text =
      Plural(outcome.keysCreated, done ? "key created" : "key to create", done ? "keys created" : "keys to create") +
      ", " + Plural(outcome.valuesSet, done ? "value set" : "value to set", done ? "values set" : "values to set");
  if (outcome.valuesReplaced == 0) return text;
  text += " (" + std::to_string(outcome.valuesReplaced) + (done ? " replaced" : " replace") + " a different value";
  // What the user loses is named, so that an administrator sees it before
  // a --force run.
  const std::vector<std::string> &names = outcome.replacedNames;
  std::size_t shown = whole ? names.size() : std::min(names.size(), kNamesInLine);
  for (std::size_t i = 0; i < shown; ++i) text += (i > 0 ? ", " : ": ") + names[i];
  if (shown > 0 && shown < outcome.valuesReplaced)
    text += " and " + std::to_string(outcome.valuesReplaced - shown) + " more";
  return text + ")";
}

// The report is UTF-8: a byte of a path that is not (a name written in
// another encoding) is shown as U+FFFD.
std::string AsUtf8(std::string_view bytes) {
  std::string text;
  while (!bytes.empty()) {
    std::size_t valid = regfile::StrictUtf8Length(bytes);
    text.append(bytes.substr(0, valid));
    bytes.remove_prefix(valid);
    if (bytes.empty()) break;
    text += "\xEF\xBF\xBD";
    bytes.remove_prefix(1);
  }
  return text;
}

// A field as RFC 4180 has it: quoted when it holds a comma, a quote or a
// line break, its quotes doubled.
std::string CsvField(std::string_view value) {
  std::string text = AsUtf8(value);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// A line goes to the administrator's terminal, and what a user's own hive
// names (its keys) may hold control characters: each is shown as lorimex
// shows them, <001B>, never sent as it is. C1 controls are taken in UTF-8.
std::string Printable(std::string_view text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    unsigned code = byte;
    if (byte == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80)
      code = static_cast<unsigned char>(text[++i]);
    else if (byte >= 0x20 && byte != 0x7F) {
      shown += text[i];
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "<%04X>", code);
    shown += escaped;
  }
  return shown;
}

std::string Detail(const Outcome &outcome, bool whole) {
  if (outcome.result == Result::Updated) return Counted(outcome, true, whole);
  if (outcome.result == Result::WouldUpdate) return Counted(outcome, false, whole);
  return outcome.detail;
}

}  // namespace

const char *ResultWord(Result result) {
  switch (result) {
    case Result::Updated:
      return "updated";
    case Result::Unchanged:
      return "unchanged";
    case Result::Skipped:
      return "skipped";
    case Result::WouldUpdate:
      return "would update";
    case Result::WouldLeaveUnchanged:
      return "would leave unchanged";
    case Result::NotReached:
      return "not reached";
    case Result::NoHive:
      return "no NTUSER.DAT";
    case Result::Failed:
      break;
  }
  return "failed";
}

std::string Described(const Outcome &outcome, bool whole) {
  std::string detail = Detail(outcome, whole);
  return detail.empty() ? ResultWord(outcome.result) : std::string(ResultWord(outcome.result)) + ": " + detail;
}

std::string ResultLine(const std::string &path, const Outcome &outcome) {
  return Printable(path) + ": " + Printable(Described(outcome));
}

std::string CsvHeader() { return "path,result,detail,keys created,values set\r\n"; }

std::string CsvRow(const std::string &path, const Outcome &outcome) {
  return CsvField(path) + "," + ResultWord(outcome.result) + "," + CsvField(Detail(outcome, true)) + "," +
         std::to_string(outcome.keysCreated) + "," + std::to_string(outcome.valuesSet) + "\r\n";
}

// The fields, each ended by a NUL: the result, the three counts and the
// number of names, the detail, and the names of values replaced.
std::string Encoded(const Outcome &outcome) {
  std::string bytes;
  for (unsigned long number : {static_cast<unsigned long>(outcome.result), outcome.keysCreated, outcome.valuesSet,
                               outcome.valuesReplaced, static_cast<unsigned long>(outcome.replacedNames.size())}) {
    bytes += std::to_string(number);
    bytes += '\0';
  }
  bytes += outcome.detail + '\0';
  for (const std::string &name : outcome.replacedNames) bytes += name + '\0';
  return bytes;
}

// A field ended by a NUL, taken from the front of `bytes`.
bool TakeField(std::string_view &bytes, std::string &field) {
  std::size_t end = bytes.find('\0');
  if (end == std::string_view::npos) return false;
  field = std::string(bytes.substr(0, end));
  bytes.remove_prefix(end + 1);
  return true;
}

bool Decode(std::string_view bytes, Outcome &outcome) {
  unsigned long numbers[5];
  for (unsigned long &number : numbers) {
    std::size_t end = bytes.find('\0');
    if (end == std::string_view::npos || end == 0 || end > 20) return false;
    number = std::strtoul(std::string(bytes.substr(0, end)).c_str(), nullptr, 10);
    bytes.remove_prefix(end + 1);
  }
  if (numbers[0] > static_cast<unsigned long>(Result::NoHive) || numbers[3] > numbers[2] || numbers[4] > numbers[3])
    return false;
  Outcome read;
  read.result = static_cast<Result>(numbers[0]);
  read.keysCreated = numbers[1];
  read.valuesSet = numbers[2];
  read.valuesReplaced = numbers[3];
  read.replacedNames.resize(numbers[4]);
  if (!TakeField(bytes, read.detail)) return false;
  for (std::string &name : read.replacedNames)
    if (!TakeField(bytes, name)) return false;
  if (!bytes.empty()) return false;
  outcome = std::move(read);
  return true;
}

std::string Record(const std::string &path, const Outcome &outcome) {
  std::string bytes = Encoded(outcome);
  return std::to_string(path.size()) + "\n" + path + std::to_string(bytes.size()) + "\n" + bytes;
}

bool TakeRecord(std::string &bytes, std::string &path, Outcome &outcome) {
  std::size_t line = bytes.find('\n');
  if (line == std::string::npos) return false;
  std::size_t pathSize = std::strtoul(bytes.c_str(), nullptr, 10);
  std::size_t second = bytes.find('\n', line + 1 + pathSize);
  if (second == std::string::npos) return false;
  std::size_t size = std::strtoul(bytes.c_str() + line + 1 + pathSize, nullptr, 10);
  if (bytes.size() < second + 1 + size) return false;
  path = bytes.substr(line + 1, pathSize);
  outcome = Outcome{};
  if (!Decode(std::string_view(bytes).substr(second + 1, size), outcome)) outcome.detail = "an unreadable outcome";
  bytes.erase(0, second + 1 + size);
  return true;
}

}  // namespace profiles
