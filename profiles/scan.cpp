#include "profiles/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

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

struct FolderCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
using Folder = std::unique_ptr<DIR, FolderCloser>;

bool IsHiveName(const char *name) { return strcasecmp(name, "NTUSER.DAT") == 0; }

bool Is(const std::string &path, mode_t kind) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
}

void AddHivesOf(const std::string &profile, std::vector<std::string> &hives) {
  Folder folder(OpenFolder(profile));
  if (!folder) return;
  while (dirent *entry = readdir(folder.get())) {
    std::string path = profile + "/" + entry->d_name;
    if (IsHiveName(entry->d_name) && Is(path, S_IFREG)) hives.push_back(path);
  }
}

}  // namespace

bool FindProfiles(const std::string &folder, std::vector<std::string> &hives, std::string &why) {
  Folder top(OpenFolder(folder));
  if (!top) {
    why = errno == ENOENT ? "no such folder" : errno == ENOTDIR ? "not a folder" : std::strerror(errno);
    return false;
  }
  std::string base = folder == "/" ? "" : folder;
  while (dirent *entry = readdir(top.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    std::string profile = base + "/" + entry->d_name;
    if (Is(profile, S_IFDIR)) AddHivesOf(profile, hives);
  }
  std::sort(hives.begin(), hives.end());
  return true;
}

}  // namespace profiles
