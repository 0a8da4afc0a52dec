#include "containers/appliance.h"

#include <guestfs.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace containers {
namespace {

// A KVM launch takes seconds; one that has not come up in this time will
// not (KVM there, but unusable: nested, say).
constexpr int kKvmPatience = 60;

// Lists libguestfs returns, freed with their strings.
struct List {
  char **items = nullptr;
  ~List() {
    for (char **item = items; item && *item; ++item) std::free(*item);
    std::free(items);
  }
};

std::string Taken(char *text) {
  std::string result = text ? text : "";
  std::free(text);
  return result;
}

// The path of this very program, which libguestfs starts as its
// hypervisor.
std::string OwnProgram() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, std::size_t(n)) : "";
}

}  // namespace

Appliance::~Appliance() {
  std::string why;
  Shutdown(why);
}

std::string Appliance::Error() const {
  const char *text = g_ ? guestfs_last_error(g_) : nullptr;
  std::string error = text ? text : "the appliance failed";
  while (!error.empty() && error.back() == '\n') error.pop_back();
  return error;
}

bool Appliance::Start(const std::vector<Drive> &drives, bool tcg, int patience, std::string &why) {
  g_ = guestfs_create();
  if (!g_) {
    why = "cannot make a libguestfs handle";
    return false;
  }
  guestfs_set_error_handler(g_, nullptr, nullptr);
  // Ctrl-C on the terminal reaches the run, never qemu: the run ends it.
  guestfs_set_pgroup(g_, 1);
  setenv(kQemuVariable, Taken(guestfs_get_hv(g_)).c_str(), 1);
  guestfs_set_hv(g_, OwnProgram().c_str());
  if (tcg) guestfs_set_backend_setting(g_, "force_tcg", "");
  for (const Drive &drive : drives) {
    // A dry run's drive is read-only only to qemu's file: the guest writes
    // to a throwaway overlay, so that the volume mounts as in a real run.
    if (guestfs_add_drive_opts(g_, drive.path.c_str(), GUESTFS_ADD_DRIVE_OPTS_FORMAT, drive.format.c_str(), -1) != 0) {
      why = Error();
      return false;
    }
  }
  std::atomic<bool> up{false}, givenUp{false};
  std::thread watch;
  if (patience > 0) {
    watch = std::thread([&] {
      for (int tenth = 0; tenth < patience * 10 && !up; ++tenth) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!up && handOver_.QemuPid() > 0) {
        givenUp = true;
        kill(handOver_.QemuPid(), SIGKILL);
      }
    });
  }
  int launched = guestfs_launch(g_);
  up = true;
  if (watch.joinable()) watch.join();
  if (launched != 0) {
    why = givenUp ? "KVM did not start the appliance in " + std::to_string(patience) + " s" : Error();
    guestfs_close(g_);
    g_ = nullptr;
    return false;
  }
  List devices;
  devices.items = guestfs_list_devices(g_);
  for (char **device = devices.items; device && *device; ++device) devices_.push_back(*device);
  return true;
}

bool Appliance::Launch(const std::vector<Drive> &drives, const std::string &folder, std::string &why) {
  if (!handOver_.Open(folder, drives, why)) return false;
  // Where the user chose the backend's settings, they stand.
  bool chosen = std::getenv("LIBGUESTFS_BACKEND_SETTINGS") != nullptr;
  bool kvm = access("/dev/kvm", R_OK | W_OK) == 0;
  if (chosen || !kvm) return Start(drives, !kvm, 0, why);
  if (Start(drives, false, kKvmPatience, why)) return true;
  kvmHung_ = why.compare(0, 4, "KVM ") == 0;
  return false;
}

bool Appliance::Mount(std::size_t index, std::string &why) {
  if (index >= devices_.size()) {
    why = "the appliance does not see the disk";
    return false;
  }
  List partitions;
  partitions.items = guestfs_list_partitions(g_);
  std::vector<std::string> candidates;
  // The disk's partitions are its name and a number (/dev/sdb1): asking the
  // appliance for each partition's disk would cost a round trip apiece.
  const std::string &device = devices_[index];
  for (char **partition = partitions.items; partition && *partition; ++partition) {
    std::string name = *partition;
    if (name.size() > device.size() && name.compare(0, device.size(), device) == 0 &&
        std::isdigit(static_cast<unsigned char>(name[device.size()])))
      candidates.push_back(name);
  }
  // A volume with no partition table is the disk itself.
  if (candidates.empty()) candidates.push_back(devices_[index]);
  for (const std::string &partition : candidates) {
    if (Taken(guestfs_vfs_type(g_, partition.c_str())) != "ntfs") continue;
    // norecover: a volume Windows did not close cleanly (hibernated, its
    // journal not empty) is refused, not repaired.
    if (guestfs_mount_vfs(g_, "norecover", "ntfs-3g", partition.c_str(), "/") == 0) return true;
    why = Error();
    return false;
  }
  why = "no NTFS volume on it";
  return false;
}

std::string Appliance::Find(const std::string &path) {
  std::string found = Taken(guestfs_case_sensitive_path(g_, path.c_str()));
  return !found.empty() && guestfs_exists(g_, found.c_str()) == 1 ? found : "";
}

bool Appliance::Download(const std::string &remote, const std::string &local, std::string &why) {
  if (guestfs_download(g_, remote.c_str(), local.c_str()) == 0) return true;
  why = Error();
  return false;
}

bool Appliance::Upload(const std::string &local, const std::string &remote, std::string &why) {
  if (guestfs_upload(g_, local.c_str(), remote.c_str()) == 0) return true;
  why = Error();
  return false;
}

bool Appliance::CopyAttributes(const std::string &from, const std::string &to, std::string &why) {
  // The attributes (hidden, system) must follow; the security descriptor
  // follows where ntfs-3g takes it (it refuses some, such as mkntfs's own,
  // and the new file then gets the folder's).
  for (const char *name : {"system.ntfs_attrib", "system.ntfs_acl"}) {
    std::size_t size = 0;
    char *value = guestfs_lgetxattr(g_, from.c_str(), name, &size);
    if (!value) {
      why = Error();
      return false;
    }
    int set = guestfs_lsetxattr(g_, name, value, int(size), to.c_str());
    std::free(value);
    if (set != 0 && std::strcmp(name, "system.ntfs_attrib") == 0) {
      why = Error();
      return false;
    }
  }
  return true;
}

bool Appliance::Rename(const std::string &from, const std::string &to, std::string &why) {
  if (guestfs_rename(g_, from.c_str(), to.c_str()) == 0) return true;
  why = Error();
  return false;
}

bool Appliance::Remove(const std::string &path, std::string &why) {
  if (guestfs_rm(g_, path.c_str()) == 0) return true;
  why = Error();
  return false;
}

bool Appliance::Sync(std::string &why) {
  if (guestfs_sync(g_) == 0) return true;
  why = Error();
  return false;
}

bool Appliance::Unmount(std::string &why) {
  if (guestfs_umount_all(g_) == 0) return true;
  why = Error();
  return false;
}

bool Appliance::Shutdown(std::string &why) {
  if (!g_) return true;
  bool clean = guestfs_shutdown(g_) == 0;
  if (!clean) why = Error();
  guestfs_close(g_);
  g_ = nullptr;
  return clean;
}

}  // namespace containers
