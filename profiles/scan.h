// Finding the profiles of a folder: every FOLDER/NTUSER.DAT below it, the
// name in any case, as a roaming profile's folder holds it, every profile
// container, FOLDER/Profile_*.vhd or .vhdx, and the folders that hold
// neither. Folders and files reached through a symbolic link are left out.
#ifndef LORIMEX_PROFILES_SCAN_H
#define LORIMEX_PROFILES_SCAN_H

#include <dirent.h>

#include <memory>
#include <string>
#include <vector>

namespace profiles {

// A hive found, a profile's folder that could not be looked into, or one
// that holds no hive.
struct Found {
  std::string path;
  std::string problem;  // why the folder could not be read; empty for a hive
  bool noHive = false;  // `path` is a folder without NTUSER.DAT
  bool container = false;  // a profile container, not a hive
};

// The hives in the order the folder lists them, one profile's folder held
// at a time: what the walk holds does not grow with the number of
// profiles. A profile's folder is read whole before its hives are given,
// as a save renames a new hive into it.
class ProfileWalk {
 public:
  explicit ProfileWalk(std::string folder) : folder_(std::move(folder)) {}
  // False, with `why`, when the folder cannot be read.
  bool Open(std::string &why);
  // The next hive, or folder that could not be read; false after the last,
  // and at every call after it.
  bool Next(Found &found);

 private:
  struct Closer {
    void operator()(DIR *dir) const { closedir(dir); }
  };

  std::string folder_;
  std::unique_ptr<DIR, Closer> top_;
  std::vector<Found> found_;  // in the profile's folder read last, in reverse
};

}  // namespace profiles

#endif
