// qemu, as the appliance starts it, given the containers through the very
// descriptors the run holds their leases on. libguestfs starts its
// hypervisor with no descriptor but the standard three, and any open of
// the file by another process would break the lease; so the run names
// itself as the hypervisor: started that way, it fetches the descriptors
// over a socket, has qemu take them as file descriptor sets, and becomes
// qemu.
#ifndef LORIMEX_CONTAINERS_HYPERVISOR_H
#define LORIMEX_CONTAINERS_HYPERVISOR_H

#include <string>
#include <vector>

namespace containers {

// The variables that tell a start as the hypervisor: the socket that hands
// the descriptors over, and the qemu to become.
extern const char *const kHandOverVariable;
extern const char *const kQemuVariable;

// A container as the appliance's qemu gets it.
struct Drive {
  std::string path;
  std::string format;     // qemu's name: vhdx or vpc
  int fd = -1;            // the run's descriptor, its lease on it
  bool readOnly = false;  // a dry run's: qemu reads it, its writes go to a throwaway overlay
  std::string socket;     // a dry run's: the NBD socket qemu reads it through instead
};

// qemu's arguments with each drive's file given as a descriptor set
// (-add-fd fd=FD,set=N, file=/dev/fdset/N), or a dry run's as its NBD
// socket, instead of by name. `fds` are
// the descriptors as qemu holds them, in the order of `drives`.
std::vector<std::string> WithDescriptors(const std::vector<std::string> &arguments, const std::vector<Drive> &drives,
                                         const std::vector<int> &fds);

// Serves the hand-over for one start of the hypervisor: a socket in
// `folder`, its path in kHandOverVariable, answered by a thread of its own.
// The pid of the process that fetched the descriptors (qemu) once it has.
class HandOver {
 public:
  bool Open(const std::string &folder, const std::vector<Drive> &drives, std::string &why);
  int QemuPid() const;
  ~HandOver();

 private:
  struct State;
  State *state_ = nullptr;
};

// Run as the hypervisor: fetches the descriptors and becomes qemu. Returns
// only on failure, with a status for exit.
int RunAsHypervisor(int argc, char **argv);

}  // namespace containers

#endif
