#include "profiles/service.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "app/update.h"
#include "profiles/backup.h"
#include "registry/registry.h"
#include "standin/configuration.h"
#include "standin/service.h"

namespace profiles {
namespace {

// The first lines of a stream are all an outcome needs.
constexpr std::size_t kMostCaptured = 1 << 16;

// Standard output or error of the run, held in memory (never in a file: a
// dry run makes none) until it is read back.
class Capture {
 public:
  explicit Capture(int stream) : stream_(stream), fd_(memfd_create("lorimex-profiles", MFD_CLOEXEC)) {
    std::fflush(nullptr);
    if (fd_ >= 0) saved_ = dup(stream_);
    if (saved_ >= 0 && dup2(fd_, stream_) < 0) {
      close(saved_);
      saved_ = -1;
    }
  }
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  ~Capture() {
    Restore();
    if (fd_ >= 0) close(fd_);
  }
  // Whether the stream goes to memory.
  bool Held() const { return saved_ >= 0; }
  // Puts the stream back, and gives what was written to it.
  std::string Taken() {
    Restore();
    std::string text(kMostCaptured, '\0');
    ssize_t n = fd_ >= 0 ? pread(fd_, text.data(), text.size(), 0) : -1;
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
  }

 private:
  void Restore() {
    std::fflush(nullptr);
    if (saved_ < 0) return;
    dup2(saved_, stream_);
    close(saved_);
    saved_ = -1;
  }

  int stream_;
  int fd_;
  int saved_ = -1;
};

// The run's registry: the default hive and the user's, read when its first
// call loads them.
void UseHives(const std::string &defaultHive, const std::string &userHive) {
  setenv(standin::kDefaultHiveVariable, defaultHive.c_str(), 1);
  setenv(standin::kUserHiveVariable, userHive.c_str(), 1);
}

std::string FirstLine(const std::string &text, std::size_t from = 0) {
  std::size_t end = text.find('\n', from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// The first line of the run's output that begins, after its indentation,
// with one of `starts`.
std::string FirstLineOf(const std::string &output, std::initializer_list<const char *> starts) {
  for (std::size_t at = 0; at < output.size();) {
    std::string line = FirstLine(output, at);
    std::size_t start = line.find_first_not_of(' ');
    for (const char *begin : starts) {
      if (start != std::string::npos && line.compare(start, std::strlen(begin), begin) == 0) return line.substr(start);
    }
    at += line.size() + 1;
  }
  return "";
}

std::string FirstErrorLine(const std::string &output) { return FirstLineOf(output, {"Error "}); }

bool StripPrefix(std::string &text, const std::string &prefix) {
  if (prefix.empty() || text.compare(0, prefix.size(), prefix) != 0) return false;
  text.erase(0, prefix.size());
  return true;
}

// The first line on standard error, without what the profile's line says
// already: the program's name and the hive's path.
std::string FirstReason(const std::string &errors, const std::string &hive) {
  std::string reason = FirstLine(errors);
  if (!StripPrefix(reason, "lorimex: ")) StripPrefix(reason, "lorimex-profiles: ");
  char resolved[PATH_MAX];
  if (!StripPrefix(reason, hive + ": ") && realpath(hive.c_str(), resolved))
    StripPrefix(reason, std::string(resolved) + ": ");
  return reason;
}

std::string Joined(const std::string &line, const std::string &reason) {
  if (line.empty()) return reason;
  return reason.empty() ? line : line + " (" + reason + ")";
}

// Whether Windows would find the product key: an entry on the way that its
// lookup cannot match hides the key from it, and from the user. Only a look:
// its session writes nothing, whatever it found to repair.
bool HoldsProduct(HKEY root, const WCHAR *path) {
  const bool dryRun = standin::Service().dryRun;
  standin::Service().dryRun = true;
  HKEY key = nullptr;
  bool found = RegOpenKeyExW(root, path, 0, KEY_READ, &key) == ERROR_SUCCESS && standin::Counts().keysHidden == 0;
  if (key) (void)RegCloseKey(key);
  standin::Service().dryRun = dryRun;
  standin::Counts() = standin::ServiceCounts{};
  return found;
}

// Whether the copy reads all of the default hive's product key, tried on
// the first of `hives` the run can open: the source's own error lines say
// what every profile would lack.
std::string CopyFailure(const std::vector<std::string> &hives) {
  for (const std::string &hive : hives) {
    setenv(standin::kUserHiveVariable, hive.c_str(), 1);
    Capture output(1), errors(2);
    if (!output.Held() || !errors.Held()) break;
    bool failed = RunUpdate() != 0;
    std::string text = output.Taken();
    // A profile the run cannot open tells nothing of the default hive.
    if (failed && FirstErrorLine(text).find(" occurred opening Current User Software key") != std::string::npos)
      continue;
    return FirstLineOf(text, {"Error opening source key ", "Error enumerating value at index "});
  }
  return "";
}

}  // namespace

Outcome CheckDefaultHive(const std::string &path, const std::vector<std::string> &hives) {
  // Nothing is written, nor any time changed. The product key is looked
  // for with only the default hive reached; the user's must be named all
  // the same.
  standin::Service().dryRun = true;
  UseHives(path, "-");
  Capture errors(2);
  Outcome outcome;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_USERS, KEY_NAME(".DEFAULT\\Software\\Norvane\\Kelvaro"), 0, KEY_READ, &key);
  std::string reason = FirstReason(errors.Taken(), path);
  if (status == ERROR_SUCCESS) {
    (void)RegCloseKey(key);
    std::string line = CopyFailure(hives);
    if (line.empty())
      outcome.result = Result::Unchanged;
    else
      outcome.detail = "the copy cannot read all of its Software\\Norvane\\Kelvaro (" + line +
                       "): every profile would get only part of it";
  } else if (status == ERROR_FILE_NOT_FOUND && reason.empty()) {
    outcome.detail =
        "holds no Software\\Norvane\\Kelvaro: save the default profile of a PC where Kelvaro is installed "
        "(reg save HKU\\.DEFAULT default.hiv)";
  } else {
    outcome.detail = reason.empty() ? "cannot be read (error " + std::to_string(status) + ")" : reason;
  }
  return outcome;
}

Outcome CleanUpAfter(const Options &options, const std::string &hive) {
  UseHives(options.defaultHive, hive);
  Capture errors(2);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY_NAME("Software"), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    if (!options.backupDir.empty()) RemoveStrayBackups(BackupPathOf(options.backupDir, options.profilesDir, hive));
    // The lock was all it needed: nothing is saved.
    standin::Service().dryRun = true;
    (void)RegCloseKey(key);
  }
  return Outcome{};
}

Outcome ServiceProfile(const Options &options, const std::string &hive) {
  UseHives(options.defaultHive, hive);
  standin::Service().dryRun = options.dryRun;
  std::string backup =
      options.backupDir.empty() ? std::string() : BackupPathOf(options.backupDir, options.profilesDir, hive);
  if (!backup.empty() && !options.dryRun)
    standin::Service().beforeReplace = [&backup](const std::string &, int fd) { return BackUpHive(fd, backup); };
  Outcome outcome;
  Capture output(1), errors(2);
  if (!output.Held() || !errors.Held()) {
    outcome.detail = std::string("cannot hold the run's output: ") + std::strerror(errno);
    return outcome;
  }
  if (!options.force && HoldsProduct(HKEY_CURRENT_USER, KEY_NAME("Software\\Norvane\\Kelvaro"))) {
    outcome.result = Result::Skipped;
    outcome.detail =
        "already holds Software\\Norvane\\Kelvaro, whose values a run would overwrite (--force services it)";
    return outcome;
  }
  int status = RunUpdate();
  const standin::ServiceCounts &counts = standin::Counts();
  outcome.keysCreated = counts.keysCreated;
  outcome.valuesSet = counts.valuesSet;
  outcome.valuesReplaced = counts.valuesReplaced;
  std::string line = FirstErrorLine(output.Taken());
  std::string reason = FirstReason(errors.Taken(), hive);
  if (status != 0) {
    outcome.result = Result::Failed;
    outcome.detail = Joined(line.empty() ? "no verdict (exit status " + std::to_string(status) + ")" : line, reason);
  } else if (options.dryRun) {
    outcome.result = counts.replaced ? Result::WouldUpdate : Result::WouldLeaveUnchanged;
  } else {
    outcome.result = counts.replaced ? Result::Updated : Result::Unchanged;
  }
  return outcome;
}

}  // namespace profiles
