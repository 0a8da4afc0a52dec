// The libguestfs appliance that serves a batch of containers: one launch,
// each container's NTFS volume mounted in turn at /.
#ifndef LORIMEX_CONTAINERS_APPLIANCE_H
#define LORIMEX_CONTAINERS_APPLIANCE_H

#include <string>
#include <vector>

#include "containers/hypervisor.h"

struct guestfs_h;

namespace containers {

class Appliance {
 public:
  Appliance() = default;
  Appliance(const Appliance &) = delete;
  Appliance &operator=(const Appliance &) = delete;
  // Shuts the appliance down: qemu flushes and ends on its own, never
  // killed.
  ~Appliance();

  // Starts qemu with `drives`, handed over through `folder`. KVM where the
  // machine has it, TCG otherwise, or as LIBGUESTFS_BACKEND_SETTINGS says. A
  // KVM launch that does not come up in time is given up: KvmHung() then
  // says so, and the run starts again with TCG, in a fresh process (a
  // second launch in this one does not come up).
  bool Launch(const std::vector<Drive> &drives, const std::string &folder, std::string &why);
  bool KvmHung() const { return kvmHung_; }
  // Mounts the NTFS volume of the drive `index` at /, refusing one that
  // Windows did not leave clean. False with why.
  bool Mount(std::size_t index, std::string &why);
  // The path of `path` as the volume spells it (names in any case), or
  // empty when it is not there.
  std::string Find(const std::string &path);
  bool Download(const std::string &remote, const std::string &local, std::string &why);
  bool Upload(const std::string &local, const std::string &remote, std::string &why);
  // The NTFS security descriptor and attributes of `from` given to `to`.
  bool CopyAttributes(const std::string &from, const std::string &to, std::string &why);
  bool Rename(const std::string &from, const std::string &to, std::string &why);
  bool Remove(const std::string &path, std::string &why);
  bool Sync(std::string &why);
  bool Unmount(std::string &why);
  // Shuts the appliance down; false when qemu did not end cleanly.
  bool Shutdown(std::string &why);
  // qemu's pid, for the fault tests.
  int QemuPid() const { return handOver_.QemuPid(); }

 private:
  bool Start(const std::vector<Drive> &drives, bool tcg, int patience, std::string &why);
  std::string Error() const;

  guestfs_h *g_ = nullptr;
  HandOver handOver_;
  std::vector<std::string> devices_;
  bool kvmHung_ = false;
};

}  // namespace containers

#endif
