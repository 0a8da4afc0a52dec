#include "profiles/outcome.h"

#include <cstdlib>

#include "regfile/names.h"

namespace profiles {
namespace {

std::string Plural(unsigned long count, const char *one, const char *more) {
  return std::to_string(count) + " " + (count == 1 ? one : more);
}

std::string Counted(const Outcome &outcome, bool done) {
  std::string text =
      Plural(outcome.keysCreated, done ? "key created" : "key to create", done ? "keys created" : "keys to create") +
      ", " + Plural(outcome.valuesSet, done ? "value set" : "value to set", done ? "values set" : "values to set");
  if (outcome.valuesReplaced > 0)
    text += " (" + std::to_string(outcome.valuesReplaced) + (done ? " replaced" : " replace") + " a different value)";
  return text;
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

std::string Detail(const Outcome &outcome) {
  if (outcome.result == Result::Updated) return Counted(outcome, true);
  if (outcome.result == Result::WouldUpdate) return Counted(outcome, false);
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
    case Result::Failed:
      break;
  }
  return "failed";
}

std::string Described(const Outcome &outcome) {
  std::string detail = Detail(outcome);
  return detail.empty() ? ResultWord(outcome.result) : std::string(ResultWord(outcome.result)) + ": " + detail;
}

std::string ResultLine(const std::string &path, const Outcome &outcome) { return path + ": " + Described(outcome); }

std::string CsvHeader() { return "path,result,detail,keys created,values set\r\n"; }

std::string CsvRow(const std::string &path, const Outcome &outcome) {
  return CsvField(path) + "," + ResultWord(outcome.result) + "," + CsvField(Detail(outcome)) + "," +
         std::to_string(outcome.keysCreated) + "," + std::to_string(outcome.valuesSet) + "\r\n";
}

// The fields, each ended by a NUL: the result, the three counts, the
// detail.
std::string Encoded(const Outcome &outcome) {
  std::string bytes;
  for (unsigned long number :
       {static_cast<unsigned long>(outcome.result), outcome.keysCreated, outcome.valuesSet, outcome.valuesReplaced}) {
    bytes += std::to_string(number);
    bytes += '\0';
  }
  return bytes + outcome.detail + '\0';
}

bool Decode(std::string_view bytes, Outcome &outcome) {
  unsigned long numbers[4];
  for (unsigned long &number : numbers) {
    std::size_t end = bytes.find('\0');
    if (end == std::string_view::npos || end == 0 || end > 20) return false;
    number = std::strtoul(std::string(bytes.substr(0, end)).c_str(), nullptr, 10);
    bytes.remove_prefix(end + 1);
  }
  if (bytes.empty() || bytes.back() != '\0' || numbers[0] > static_cast<unsigned long>(Result::NotReached))
    return false;
  outcome.result = static_cast<Result>(numbers[0]);
  outcome.keysCreated = numbers[1];
  outcome.valuesSet = numbers[2];
  outcome.valuesReplaced = numbers[3];
  outcome.detail = std::string(bytes.substr(0, bytes.size() - 1));
  return true;
}

}  // namespace profiles
