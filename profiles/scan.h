// Finding the profiles of a folder: every FOLDER/NTUSER.DAT below it, the
// name in any case, as a roaming profile's folder holds it.
#ifndef LORIMEX_PROFILES_SCAN_H
#define LORIMEX_PROFILES_SCAN_H

#include <string>
#include <vector>

namespace profiles {

// The hives, sorted by path; folders and files reached through a symbolic
// link are left out. False, with `why`, when the folder cannot be read.
bool FindProfiles(const std::string &folder, std::vector<std::string> &hives, std::string &why);

}  // namespace profiles

#endif
