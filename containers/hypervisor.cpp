#include "containers/hypervisor.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace containers {

const char *const kHandOverVariable = "LORIMEX_CONTAINERS_HANDOVER";
const char *const kQemuVariable = "LORIMEX_CONTAINERS_QEMU";

namespace {

// libguestfs doubles a comma in a file's name within qemu's options.
std::string Escaped(const std::string &path) {
  std::string text;
  for (char c : path) text += c == ',' ? std::string(",,") : std::string(1, c);
  return text;
}

// The drives as one message: for each, whether read-only and the path,
// ended by a NUL; the descriptors go beside it.
std::string Described(const std::vector<Drive> &drives) {
  std::string text;
  for (const Drive &drive : drives) text += (drive.readOnly ? "r" : "w") + drive.path + '\0' + drive.socket + '\0';
  return text;
}

std::vector<Drive> DrivesOf(const std::string &text) {
  std::vector<Drive> drives;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\0', at);
    std::size_t last = end == std::string::npos ? end : text.find('\0', end + 1);
    if (last == std::string::npos) break;
    drives.push_back({text.substr(at + 1, end - at - 1), "", -1, text[at] == 'r', text.substr(end + 1, last - end - 1)});
    at = last + 1;
  }
  return drives;
}

constexpr std::size_t kMostDrives = 200;
constexpr std::size_t kMostMessage = 1 << 20;

sockaddr_un AddressOf(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return address;
}

// Sends the message and the descriptors to one caller.
void Send(int connection, const std::string &message, const std::vector<Drive> &drives) {
  std::vector<char> control(CMSG_SPACE(sizeof(int) * drives.size()));
  iovec data{const_cast<char *>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control.data();
  header.msg_controllen = control.size();
  cmsghdr *rights = CMSG_FIRSTHDR(&header);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof(int) * drives.size());
  for (std::size_t i = 0; i < drives.size(); ++i) std::memcpy(CMSG_DATA(rights) + i * sizeof(int), &drives[i].fd, sizeof(int));
  while (sendmsg(connection, &header, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

}  // namespace

struct HandOver::State {
  int listener = -1;
  std::string path;
  std::string message;
  std::vector<Drive> drives;
  std::atomic<bool> done{false};
  std::atomic<int> pid{0};
  std::thread thread;
};

bool HandOver::Open(const std::string &folder, const std::vector<Drive> &drives, std::string &why) {
  state_ = new State;
  state_->path = folder + "/handover.sock";
  state_->message = Described(drives);
  state_->drives = drives;
  sockaddr_un address = AddressOf(state_->path);
  state_->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (state_->path.size() >= sizeof address.sun_path || state_->listener < 0 ||
      bind(state_->listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(state_->listener, 4) != 0) {
    why = std::string("cannot open the socket that hands the containers to qemu: ") + std::strerror(errno);
    return false;
  }
  setenv(kHandOverVariable, state_->path.c_str(), 1);
  State *state = state_;
  state_->thread = std::thread([state] {
    while (!state->done) {
      pollfd wait{state->listener, POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      int connection = accept4(state->listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      ucred peer{};
      socklen_t size = sizeof peer;
      if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) state->pid = peer.pid;
      Send(connection, state->message, state->drives);
      close(connection);
    }
  });
  return true;
}

int HandOver::QemuPid() const { return state_ ? state_->pid.load() : 0; }

HandOver::~HandOver() {
  if (!state_) return;
  state_->done = true;
  if (state_->thread.joinable()) state_->thread.join();
  if (state_->listener >= 0) close(state_->listener);
  unlink(state_->path.c_str());
  unsetenv(kHandOverVariable);
  delete state_;
}

std::vector<std::string> WithDescriptors(const std::vector<std::string> &arguments, const std::vector<Drive> &drives,
                                         const std::vector<int> &fds) {
  std::vector<std::string> result;
  for (std::size_t i = 0; i < drives.size() && i < fds.size(); ++i) {
    if (!drives[i].socket.empty()) continue;
    result.push_back("-add-fd");
    result.push_back("fd=" + std::to_string(fds[i]) + ",set=" + std::to_string(i + 1));
  }
  for (const std::string &argument : arguments) {
    std::string changed = argument;
    for (std::size_t i = 0; i < drives.size() && i < fds.size(); ++i) {
      std::string file = "file=" + Escaped(drives[i].path) + ",";
      if (argument.compare(0, file.size(), file) != 0) continue;
      // qemu opens the file once, read-write or read-only as the drive says:
      // its own locks (another open) and its first read-only open would
      // ask the set for a descriptor it does not hold.
      if (!drives[i].socket.empty())
        changed = "file=nbd+unix:///?socket=" + Escaped(drives[i].socket) + ",snapshot=on," + argument.substr(file.size());
      else
        changed = "file=/dev/fdset/" + std::to_string(i + 1) + ",file.locking=off,file.auto-read-only=off," +
                  argument.substr(file.size());
      break;
    }
    result.push_back(changed);
  }
  return result;
}

int RunAsHypervisor(int argc, char **argv) {
  const char *qemu = std::getenv(kQemuVariable);
  const char *handOver = std::getenv(kHandOverVariable);
  if (!qemu) {
    std::fprintf(stderr, "lorimex-containers: %s is not set: not started by a run\n", kQemuVariable);
    return 1;
  }
  std::vector<std::string> arguments(argv + 1, argv + argc);
  bool appliance = false;
  for (const std::string &argument : arguments) appliance |= argument == "-kernel";
  if (appliance && handOver) {
    int connection = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = AddressOf(handOver);
    if (connection < 0 || connect(connection, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      std::fprintf(stderr, "lorimex-containers: cannot reach the run's socket %s: %s\n", handOver, std::strerror(errno));
      return 1;
    }
    std::string message(kMostMessage, '\0');
    std::vector<char> control(CMSG_SPACE(sizeof(int) * kMostDrives));
    iovec data{message.data(), message.size()};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    ssize_t n;
    while ((n = recvmsg(connection, &header, 0)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
      std::fprintf(stderr, "lorimex-containers: no containers came from the run\n");
      return 1;
    }
    message.resize(std::size_t(n));
    std::vector<int> fds;
    for (cmsghdr *part = CMSG_FIRSTHDR(&header); part; part = CMSG_NXTHDR(&header, part)) {
      if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS) continue;
      for (std::size_t i = 0; i < (part->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(part) + i * sizeof(int), sizeof fd);
        fds.push_back(fd);
      }
    }
    close(connection);
    arguments = WithDescriptors(arguments, DrivesOf(message), fds);
  }
  std::vector<char *> list{const_cast<char *>(qemu)};
  for (std::string &argument : arguments) list.push_back(argument.data());
  list.push_back(nullptr);
  execv(qemu, list.data());
  std::fprintf(stderr, "lorimex-containers: cannot start %s: %s\n", qemu, std::strerror(errno));
  return 1;
}

}  // namespace containers
