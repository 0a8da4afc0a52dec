#include "profiles/progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace profiles {
namespace {

std::string Duration(double seconds) {
  long whole = static_cast<long>(seconds + 0.5);
  if (whole >= 3600) return std::to_string(whole / 3600) + "h" + std::to_string(whole / 60 % 60) + "m";
  if (whole >= 60) return std::to_string(whole / 60) + "m" + std::to_string(whole % 60) + "s";
  return std::to_string(whole) + "s";
}

}  // namespace

Progress::Progress(std::size_t total)
    : total_(total), terminal_(isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}

void Progress::Clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

void Progress::Show(std::size_t done) {
  if (!terminal_ || done >= total_) return;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string line = std::to_string(done) + " of " + std::to_string(total_) + " profiles";
  if (done > 0 && elapsed > 0) {
    double rate = done / elapsed;
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.1f", rate);
    line += std::string(", ") + figure + "/s, " + Duration((total_ - done) / rate) + " left";
  }
  std::fputs(("\r\033[K" + line).c_str(), stderr);
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace profiles
