#include "profiles/scan.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "containers/find.h"

namespace profiles {
namespace {

// A dry run changes no time of any file, so folders are read without
// touching their access times where the kernel allows it.
DIR *OpenFolder(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR *dir = fdopendir(fd);
  if (!dir) close(fd);
  return dir;
}

bool Is(const std::string &path, mode_t kind) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

bool LeadsToFolder(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What a profile's NTUSER.DAT is when it is no file the run takes: "" for
// a file; a link is not followed.
std::string KindOf(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return std::string("unreadable (") + std::strerror(errno) + ")";
  if (S_ISREG(st.st_mode)) return "";
  return S_ISLNK(st.st_mode) ? "a symbolic link" : S_ISDIR(st.st_mode) ? "a folder" : "not a file";
}

// The hives of one profile's folder, in reverse order of their names (they
// are taken from the back); the folder itself when it cannot be read, as
// it may well hold one.
std::vector<Found> HivesOf(const std::string &profile) {
  std::vector<Found> hives;
  DIR *folder = OpenFolder(profile);
  if (!folder) {
    hives.push_back({profile, std::string("cannot read the profile's folder: ") + std::strerror(errno)});
    return hives;
  }
  std::string leftOut;
  while (dirent *entry = readdir(folder)) {
    std::string path = profile + "/" + entry->d_name;
    if (containers::IsContainerName(entry->d_name) && Is(path, S_IFREG)) hives.push_back({path, "", false, true});
    if (strcasecmp(entry->d_name, "NTUSER.DAT") != 0) continue;
    std::string kind = KindOf(path);
    if (kind.empty())
      hives.push_back({path, ""});
    else
      leftOut = entry->d_name + (" is " + kind + ": left out");
  }
  closedir(folder);
  // Said apart, not left out: a profile that never got a hive, or lost it,
  // or holds something else in its place.
  if (hives.empty()) hives.push_back({profile, leftOut, true});
  std::sort(hives.begin(), hives.end(), [](const Found &a, const Found &b) { return a.path > b.path; });
  return hives;
}

}  // namespace

bool ProfileWalk::Open(std::string &why) {
  top_.reset(OpenFolder(folder_));
  if (top_) return true;
  why = errno == ENOENT ? "no such folder" : errno == ENOTDIR ? "not a folder" : std::strerror(errno);
  return false;
}

bool ProfileWalk::Next(Found &found) {
  while (found_.empty()) {
    dirent *entry = top_ ? readdir(top_.get()) : nullptr;
    if (!entry) return false;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    std::string profile = (folder_ == "/" ? "" : folder_) + "/" + entry->d_name;
    if (Is(profile, S_IFDIR)) {
      found_ = HivesOf(profile);
    } else if (Is(profile, S_IFLNK) && LeadsToFolder(profile)) {
      // A profile's folder moved elsewhere and linked: said, not serviced.
      found_.push_back({profile, "the folder is a symbolic link: left out", true});
    }
  }
  found = std::move(found_.back());
  found_.pop_back();
  return true;
}

}  // namespace profiles
