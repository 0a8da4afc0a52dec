#include "containers/serve.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "containers/appliance.h"
#include "containers/disk_format.h"
#include "containers/in_use.h"
#include "containers/nbd_export.h"
#include "profiles/child.h"
#include "profiles/service.h"

namespace containers {
namespace {

using profiles::Outcome;
using profiles::Result;

volatile sig_atomic_t stopSignal = 0;
char **arguments = nullptr;

// KVM is there but does not bring the appliance up: the run starts again
// with TCG (its leases given up and taken again; the outcomes told already
// are told again, and the caller keeps the first).
void RestartWithTcg() {
  if (!arguments) return;
  setenv("LIBGUESTFS_BACKEND_SETTINGS", "force_tcg", 1);
  // Started as itself, not as the hypervisor.
  unsetenv(kQemuVariable);
  unsetenv(kHandOverVariable);
  std::fflush(nullptr);
  execv("/proc/self/exe", arguments);
}
void NoteStop(int signal) { stopSignal = signal; }

// The hive in the container's volume, and the name the new one is written
// under beside it before it is renamed over the old.
const char *const kHive = "/Profile/NTUSER.DAT";
const char *const kNewHiveName = "NTUSER.DAT.lorimex-new";

Outcome With(Result result, const std::string &detail) {
  Outcome outcome;
  outcome.result = result;
  outcome.detail = detail;
  return outcome;
}

Outcome InUse(const std::string &why) { return With(Result::Skipped, "in use: " + why); }
Outcome Failed(const std::string &why) { return With(Result::Failed, why); }

// For the fault tests: qemu killed at the step LORIMEX_CONTAINERS_FAULT
// names ("upload" while the new hive is on its way).
void KillAt(const char *step, const Appliance &appliance) {
  const char *fault = std::getenv("LORIMEX_CONTAINERS_FAULT");
  if (fault && std::strcmp(fault, step) == 0 && appliance.QemuPid() > 0) kill(appliance.QemuPid(), SIGKILL);
}

bool MakeFolders(const std::string &path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

void RemoveTree(const std::string &path) {
  nftw(
      path.c_str(), [](const char *file, const struct stat *, int, FTW *) { return remove(file); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// A container, opened and leased, its headers and surroundings looked at.
struct Prepared {
  std::string path;
  Drive drive;
};

// Opens `path` and looks for the signs of use that need no appliance.
// False with the outcome when it is not to be opened by qemu.
bool Prepare(const std::string &path, bool dryRun, Prepared &prepared, Outcome &outcome) {
  int flags = (dryRun ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW;
  // A dry run changes no time: read without touching the access time.
  int fd = open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), flags);
  if (fd < 0) {
    outcome = Failed(std::string("cannot open the container: ") + std::strerror(errno));
    return false;
  }
  prepared.path = path;
  prepared.drive = Drive{path, "", fd, dryRun, ""};
  if (int error = TakeLease(fd)) {
    outcome = error == EAGAIN ? InUse("another process has it open (a user logged on through Samba?)")
                              : InUse(std::string("no lease can be taken on it to tell: ") + std::strerror(error));
    return false;
  }
  DiskCheck check = CheckDisk(fd);
  if (!check.problem.empty()) {
    outcome = check.inUse ? InUse(check.problem) : Failed("not a usable container: " + check.problem);
    return false;
  }
  prepared.drive.format = FormatName(check.format);
  std::string beside;
  if (!DiskBeside(path, beside)) {
    outcome = InUse("cannot tell: " + beside);
    return false;
  }
  if (!beside.empty()) {
    outcome = InUse(beside + " lies beside it (Windows' differencing disk while the user is logged on)");
    return false;
  }
  return true;
}

void Release(Prepared &prepared) {
  GiveUpLease(prepared.drive.fd);
  close(prepared.drive.fd);
  prepared.drive.fd = -1;
}

// The container's path below the profiles' folder.
std::string Below(const std::string &folder, const std::string &path) {
  std::string top = folder;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  if (path.compare(0, top.size() + 1, top + "/") == 0) return path.substr(top.size() + 1);
  return path.substr(path.find_last_of('/') + 1);
}

class Batch {
 public:
  Batch(const profiles::Options &options, const std::string &work, const Tell &tell)
      : options_(options), work_(work), tell_(tell) {}
  // Serves `prepared` in one appliance. Those it did not reach, as a
  // lease broke (the appliance must let go of its files) or a stop came,
  // are left in `rest`.
  void Serve(std::vector<Prepared> &prepared, std::vector<Prepared> &rest);

 private:
  Outcome ServeOne(std::size_t index, const Prepared &container, bool &broke);
  Outcome Replace(const Outcome &serviced, const std::string &local, const std::string &hive,
                  const Prepared &container, bool &broke);

  const profiles::Options &options_;
  const std::string &work_;
  const Tell &tell_;
  std::vector<std::unique_ptr<NbdExport>> exports_;  // a dry run's, outliving the appliance
  Appliance appliance_;
};

void Batch::Serve(std::vector<Prepared> &prepared, std::vector<Prepared> &rest) {
  std::vector<Drive> drives;
  std::string why;
  bool exported = true;
  for (const Prepared &container : prepared) {
    drives.push_back(container.drive);
    if (!container.drive.readOnly) continue;
    exports_.push_back(std::make_unique<NbdExport>());
    drives.back().socket = work_ + "/nbd" + std::to_string(exports_.size()) + ".sock";
    exported = exported && exports_.back()->Open(drives.back().socket, container.drive.fd, why);
  }
  if (!exported || !appliance_.Launch(drives, work_, why)) {
    if (appliance_.KvmHung()) {
      RemoveTree(work_);
      RestartWithTcg();
    }
    for (Prepared &container : prepared) {
      tell_(container.path, Failed("the appliance did not start: " + why));
      Release(container);
    }
    return;
  }
  std::size_t index = 0;
  bool broke = false;
  for (; index < prepared.size() && stopSignal == 0 && !broke; ++index) {
    Outcome outcome = LeaseBroken(prepared[index].drive.fd)
                          ? InUse("another process opened it while it waited")
                          : ServeOne(index, prepared[index], broke);
    broke |= LeaseBroken(prepared[index].drive.fd);
    tell_(prepared[index].path, outcome);
  }
  // qemu lets go of every container only as it ends: cleanly, never killed.
  if (!appliance_.Shutdown(why)) {
    for (std::size_t i = index; i < prepared.size(); ++i) tell_(prepared[i].path, Failed("the appliance failed: " + why));
    index = prepared.size();
  }
  for (std::size_t i = 0; i < index; ++i) Release(prepared[i]);
  rest.assign(prepared.begin() + long(index), prepared.end());
}

Outcome Batch::ServeOne(std::size_t index, const Prepared &container, bool &broke) {
  std::string why;
  if (!appliance_.Mount(index, why)) {
    if (why == "no NTFS volume on it" || why == "the appliance does not see the disk") return Failed(why);
    return InUse("its NTFS volume does not mount cleanly (" + why + ")");
  }
  Outcome outcome;
  std::string hive = appliance_.Find(kHive);
  std::string local = work_ + "/" + Below(options_.profilesDir, container.path);
  if (hive.empty()) {
    outcome = Failed("holds no \\Profile\\NTUSER.DAT");
  } else if (!MakeFolders(local) || !appliance_.Download(hive, local + "/NTUSER.DAT", why)) {
    outcome = Failed("cannot copy its hive out: " + (why.empty() ? std::string(std::strerror(errno)) : why));
  } else {
    // The same service as a profile's folder, on the copy, whose path below
    // the work folder is the container's below the profiles' folder: the
    // backup goes to BACKUP/<container>/NTUSER.DAT.
    profiles::Options options = options_;
    options.profilesDir = work_;
    std::string copy = local + "/NTUSER.DAT";
    outcome = profiles::RunInChild([&] { return profiles::ServiceProfile(options, copy); });
    if (outcome.result == Result::Updated) outcome = Replace(outcome, copy, hive, container, broke);
    if (outcome.result != Result::Updated && !options_.dryRun) {
      // A new hive a killed run left beside the old one goes.
      std::string stray = appliance_.Find(hive.substr(0, hive.find_last_of('/') + 1) + kNewHiveName);
      if (!stray.empty()) appliance_.Remove(stray, why);
    }
  }
  if (!appliance_.Unmount(why) && outcome.result != Result::Failed)
    outcome = Failed("its volume did not unmount: " + why);
  return outcome;
}

// The new hive written beside the old under another name, synced, renamed
// over it and synced again: the volume holds the old hive whole or the new
// one, however the appliance ends.
Outcome Batch::Replace(const Outcome &serviced, const std::string &local, const std::string &hive,
                       const Prepared &container, bool &broke) {
  std::string fresh = hive.substr(0, hive.find_last_of('/') + 1) + kNewHiveName;
  std::string why;
  {
    std::thread killer([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      KillAt("upload", appliance_);
    });
    bool uploaded = appliance_.Upload(local, fresh, why) && appliance_.CopyAttributes(hive, fresh, why) &&
                    appliance_.Sync(why);
    killer.join();
    if (!uploaded) return Failed("its new hive could not be written, the old one is kept: " + why);
  }
  KillAt("uploaded", appliance_);
  if (LeaseBroken(container.drive.fd)) {
    broke = true;
    appliance_.Remove(fresh, why);
    return InUse("another process opened it while it was serviced: its hive is left as it was");
  }
  if (!appliance_.Rename(fresh, hive, why)) return Failed("its new hive could not replace the old, which is kept: " + why);
  KillAt("renamed", appliance_);
  if (!appliance_.Sync(why)) return Failed("its new hive may not be written whole: " + why);
  KillAt("synced", appliance_);
  return serviced;
}

}  // namespace

void KeepArguments(char **argv) { arguments = argv; }

void ServeContainers(const profiles::Options &options, const std::vector<std::string> &paths, const Tell &tell) {
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  const char *tmp = std::getenv("TMPDIR");
  std::string work = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/lorimex-containers-XXXXXX";
  if (!mkdtemp(work.data())) {
    for (const std::string &path : paths) tell(path, Failed(std::string("cannot make a work folder: ") + std::strerror(errno)));
    return;
  }
  std::vector<Prepared> ready;
  std::string listing = SambaOpenFiles();
  for (const std::string &path : paths) {
    if (stopSignal != 0) break;
    Prepared prepared;
    Outcome outcome;
    char real[PATH_MAX];
    bool usable = Prepare(path, options.dryRun, prepared, outcome);
    if (usable && realpath(path.c_str(), real) && ListedOpen(listing, real)) {
      outcome = InUse("smbstatus -L lists it open");
      usable = false;
    }
    if (usable) {
      ready.push_back(prepared);
      continue;
    }
    if (prepared.drive.fd >= 0) Release(prepared);
    tell(path, outcome);
  }
  while (!ready.empty() && stopSignal == 0) {
    std::vector<Prepared> rest;
    Batch(options, work, tell).Serve(ready, rest);
    ready.swap(rest);
  }
  for (Prepared &container : ready) Release(container);
  RemoveTree(work);
}

}  // namespace containers
