// Profile containers among a roaming profiles' folder: a profile's folder
// (any name: SID_user, user_SID or another) that holds Profile_*.vhd or
// Profile_*.vhdx, in any case. Office containers (ODFC_*) are never opened.
#ifndef LORIMEX_CONTAINERS_FIND_H
#define LORIMEX_CONTAINERS_FIND_H

#include <string>

namespace containers {

// Whether a file's name (no folder) is a profile container's.
bool IsContainerName(const std::string &name);
// Whether a file's name is a VHD or VHDX disk's (.vhd or .vhdx, any case).
bool IsDiskName(const std::string &name);
// Whether a file's name is an Office container's (ODFC_*, any case).
bool IsOfficeContainerName(const std::string &name);

}  // namespace containers

#endif
