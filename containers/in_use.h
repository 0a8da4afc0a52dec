// Whether a profile container may be in use: then it is never touched. A
// user logged on holds it open through Samba, or Windows holds it through a
// differencing disk beside it; Samba's defaults hide both from flock and
// fcntl locks, so the run asks the kernel for a write lease, which fails
// while anyone has the file open and is broken (SIGIO) when anyone opens it.
#ifndef LORIMEX_CONTAINERS_IN_USE_H
#define LORIMEX_CONTAINERS_IN_USE_H

#include <string>

namespace containers {

// The name of a disk beside `container` that says Windows has it in use:
// RW.VHD, RW.VHDX or any other VHD(X) that is not an Office container;
// empty when there is none. False, with why, when the folder cannot be
// read: then it cannot be told.
bool DiskBeside(const std::string &container, std::string &found);

// Takes a write lease on `fd`, opened read-write or (for a dry run)
// read-only, and has SIGIO say when it is broken. 0 or the errno: EAGAIN
// when the file is open elsewhere.
int TakeLease(int fd);
// Whether someone has opened the file since its lease was taken: the lease
// is to be given up (GiveUpLease) as soon as the step under way is done.
bool LeaseBroken(int fd);
void GiveUpLease(int fd);

// Whether `listing`, the output of `smbstatus -L`, names `path` (absolute,
// links resolved) among the files Samba's clients hold open.
bool ListedOpen(const std::string &listing, const std::string &path);
// The output of `smbstatus -L`, or empty where Samba is not there or
// cannot say.
std::string SambaOpenFiles();

}  // namespace containers

#endif
