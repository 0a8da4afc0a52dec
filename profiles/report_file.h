// The --report file: a CSV row per profile as each ends, in a temporary
// file beside it that takes its name when the run is over, so that the file
// is never found half-written. What is not a file (a pipe, a terminal),
// and the command's own standard output or error, is written to as it is.
#ifndef LORIMEX_PROFILES_REPORT_FILE_H
#define LORIMEX_PROFILES_REPORT_FILE_H

#include <string>

#include "profiles/outcome.h"
#include "standin/publish.h"

namespace profiles {

// The file a report at `path` is written to: a link is written through, to
// the file it names, there or not yet, and the link stays.
std::string LinkedFile(std::string path);

class ReportFile {
 public:
  ReportFile() = default;
  ReportFile(const ReportFile &) = delete;
  ReportFile &operator=(const ReportFile &) = delete;
  ~ReportFile();
  // Starts the report at `path`, with its header row. False, with `why`,
  // when it cannot be written there.
  bool Open(const std::string &path, std::string &why);
  void Add(const std::string &profile, const Outcome &outcome);
  // Gives the report its name. False, with `why`, when a row was lost.
  bool Close(std::string &why);

 private:
  bool OpenStream(const std::string &path, std::string &why);
  void Put(const std::string &text);

  std::string path_;
  standin::PendingFile file_;  // a file's report, named when the run is over
  bool pending_ = false;
  int stream_ = -1;  // what is not a file, written as it is
  int error_ = 0;    // the first write that failed
};

}  // namespace profiles

#endif
