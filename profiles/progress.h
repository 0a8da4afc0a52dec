// The count of profiles done, on standard error when it is a terminal: done
// of total, the rate, and the time left. It is taken off its line before
// each result line and at the end, so that the two never run into each
// other. Nothing of it is written when standard error is not a terminal.
#ifndef LORIMEX_PROFILES_PROGRESS_H
#define LORIMEX_PROFILES_PROGRESS_H

#include <chrono>
#include <cstddef>

namespace profiles {

class Progress {
 public:
  explicit Progress(std::size_t total);
  // Before a result line.
  void Clear();
  // After one: `done` profiles are done.
  void Show(std::size_t done);

 private:
  std::size_t total_;
  bool shown_ = false;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace profiles

#endif
