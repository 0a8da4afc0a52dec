// What servicing one profile came to, and the ways it is told: the line on
// standard output, the report's CSV row, and the bytes a child process
// hands it to the command in.
#ifndef LORIMEX_PROFILES_OUTCOME_H
#define LORIMEX_PROFILES_OUTCOME_H

#include <string>
#include <string_view>
#include <vector>

namespace profiles {

enum class Result { Updated, Unchanged, Skipped, Failed, WouldUpdate, WouldLeaveUnchanged, NotReached, NoHive };

struct Outcome {
  Result result = Result::Failed;
  std::string detail;  // why it was skipped or failed
  // What was written, or under a dry run would be; nothing for a failure.
  unsigned long keysCreated = 0;
  unsigned long valuesSet = 0;
  unsigned long valuesReplaced = 0;        // of those, values that held other data
  std::vector<std::string> replacedNames;  // KEY\NAME of those (the first, when very many)
};

// "updated", "would leave unchanged", ...
const char *ResultWord(Result result);
// The result and what it is about: for an update the counts and the values
// it replaces (the first few, or with `whole` all), else the detail
// ("failed: no such hive (error 2 at Software)").
std::string Described(const Outcome &outcome, bool whole = false);
// "PATH: RESULT ...".
std::string ResultLine(const std::string &path, const Outcome &outcome);
// The report's header row and a profile's row, each ended by CRLF.
std::string CsvHeader();
std::string CsvRow(const std::string &path, const Outcome &outcome);

// An outcome as the bytes a child writes, and read back. False when the
// bytes are not one (a child that ended before writing it all).
std::string Encoded(const Outcome &outcome);
bool Decode(std::string_view bytes, Outcome &outcome);

// A stream of outcomes, one record per profile (lorimex-containers's, one
// per container): the path's length on a line, the path, the outcome's
// length on a line, its bytes. TakeRecord takes the first whole record
// from the front of `bytes`; false while none is whole. An outcome that
// does not decode is a failed one saying so.
std::string Record(const std::string &path, const Outcome &outcome);
bool TakeRecord(std::string &bytes, std::string &path, Outcome &outcome);

}  // namespace profiles

#endif
