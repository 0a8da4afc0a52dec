// The I/O floor of servicing hives: each file named is read whole, and a
// copy written beside it, flushed to disk and renamed over it, as the least
// any change of a hive costs. Prints nothing; time it from outside.
//   io_floor FILE...
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool ReadWhole(const char *path, std::vector<char> &bytes) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes.clear();
  char buffer[1 << 16];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  close(fd);
  return got == 0;
}

bool WriteBeside(const char *path, const std::vector<char> &bytes) {
  std::string temporary = std::string(path) + ".floor";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  return ok && rename(temporary.c_str(), path) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<char> bytes;
  for (int i = 1; i < argc; ++i) {
    if (!ReadWhole(argv[i], bytes) || !WriteBeside(argv[i], bytes)) {
      std::perror(argv[i]);
      return 1;
    }
  }
  return 0;
}
