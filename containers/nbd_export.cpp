#include "containers/nbd_export.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace containers {
namespace {

// The protocol's numbers (the fixed newstyle handshake, simple replies).
constexpr std::uint64_t kNbdMagic = 0x4e42444d41474943ull;  // "NBDMAGIC"
constexpr std::uint64_t kOptionMagic = 0x49484156454F5054ull;  // "IHAVEOPT"
constexpr std::uint64_t kReplyMagic = 0x3e889045565a9ull;
constexpr std::uint32_t kRequestMagic = 0x25609513, kSimpleReplyMagic = 0x67446698;
constexpr std::uint16_t kFixedNewstyle = 1, kNoZeroes = 2;
constexpr std::uint16_t kHasFlags = 1, kReadOnly = 2;
constexpr std::uint32_t kExportName = 1, kAbort = 2, kInfo = 6, kGo = 7;
constexpr std::uint32_t kAck = 1, kReplyInfo = 3, kUnsupported = 0x80000001u;
constexpr std::uint16_t kRead = 0, kWrite = 1, kDisconnect = 2, kFlush = 3;
constexpr std::uint32_t kMostOption = 4096, kMostRead = 32 << 20;

bool Exactly(int socket, void *bytes, std::size_t size, bool out) {
  auto *at = static_cast<char *>(bytes);
  while (size > 0) {
    ssize_t n = out ? send(socket, at, size, MSG_NOSIGNAL) : recv(socket, at, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= std::size_t(n);
  }
  return true;
}

struct Message {
  std::vector<unsigned char> bytes;
  void Put(std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
  }
  bool Send(int socket) { return Exactly(socket, bytes.data(), bytes.size(), true); }
};

std::uint64_t Get(const unsigned char *p, int size) {
  std::uint64_t value = 0;
  for (int i = 0; i < size; ++i) value = value << 8 | p[i];
  return value;
}

bool Reply(int socket, std::uint32_t option, std::uint32_t type, const Message &data) {
  Message reply;
  reply.Put(kReplyMagic, 8);
  reply.Put(option, 4);
  reply.Put(type, 4);
  reply.Put(data.bytes.size(), 4);
  reply.bytes.insert(reply.bytes.end(), data.bytes.begin(), data.bytes.end());
  return reply.Send(socket);
}

// The handshake: true when the client goes on to transmission.
bool Handshake(int socket, std::uint64_t size) {
  Message hello;
  hello.Put(kNbdMagic, 8);
  hello.Put(kOptionMagic, 8);
  hello.Put(kFixedNewstyle | kNoZeroes, 2);
  unsigned char flags[4];
  if (!hello.Send(socket) || !Exactly(socket, flags, 4, false)) return false;
  const std::uint16_t transmission = kHasFlags | kReadOnly;
  for (;;) {
    unsigned char header[16];
    if (!Exactly(socket, header, 16, false) || Get(header, 8) != kOptionMagic) return false;
    std::uint32_t option = std::uint32_t(Get(header + 8, 4)), length = std::uint32_t(Get(header + 12, 4));
    if (length > kMostOption) return false;
    std::vector<unsigned char> data(length);
    if (length && !Exactly(socket, data.data(), length, false)) return false;
    if (option == kExportName) {
      Message go;
      go.Put(size, 8);
      go.Put(transmission, 2);
      if (!(Get(flags, 4) & kNoZeroes)) go.bytes.resize(go.bytes.size() + 124);
      return go.Send(socket);
    }
    if (option == kInfo || option == kGo) {
      Message info;
      info.Put(0, 2);  // NBD_INFO_EXPORT
      info.Put(size, 8);
      info.Put(transmission, 2);
      if (!Reply(socket, option, kReplyInfo, info) || !Reply(socket, option, kAck, Message{})) return false;
      if (option == kGo) return true;
      continue;
    }
    if (option == kAbort) {
      Reply(socket, option, kAck, Message{});
      return false;
    }
    if (!Reply(socket, option, kUnsupported, Message{})) return false;
  }
}

bool SimpleReply(int socket, std::uint32_t error, const unsigned char *handle) {
  Message reply;
  reply.Put(kSimpleReplyMagic, 4);
  reply.Put(error, 4);
  reply.bytes.insert(reply.bytes.end(), handle, handle + 8);
  return reply.Send(socket);
}

void Transmit(int socket, int fd) {
  std::vector<char> data;
  for (;;) {
    unsigned char request[28];
    if (!Exactly(socket, request, 28, false) || Get(request, 4) != kRequestMagic) return;
    std::uint16_t type = std::uint16_t(Get(request + 6, 2));
    const unsigned char *handle = request + 8;
    std::uint64_t offset = Get(request + 16, 8);
    std::uint32_t length = std::uint32_t(Get(request + 24, 4));
    if (type == kDisconnect) return;
    if (type == kWrite) {
      // Not ours to take: the export is read-only, the payload dropped.
      data.resize(length);
      if (!Exactly(socket, data.data(), length, false) || !SimpleReply(socket, EPERM, handle)) return;
      continue;
    }
    if (type != kRead || length > kMostRead) {
      if (!SimpleReply(socket, type == kFlush ? 0 : EINVAL, handle)) return;
      continue;
    }
    data.assign(length, 0);
    std::size_t done = 0;
    while (done < length) {
      ssize_t n = pread(fd, data.data() + done, length - done, off_t(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += std::size_t(n);
    }
    std::uint32_t error = done == length ? 0 : EIO;
    if (!SimpleReply(socket, error, handle)) return;
    if (error == 0 && !Exactly(socket, data.data(), length, true)) return;
  }
}

}  // namespace

struct NbdExport::State {
  int listener = -1;
  int fd = -1;
  std::atomic<bool> done{false};
  std::thread thread;
};

bool NbdExport::Open(const std::string &path, int fd, std::string &why) {
  struct stat st {};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fstat(fd, &st) != 0 || path.size() >= sizeof address.sun_path) {
    why = "cannot serve the container to qemu";
    return false;
  }
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  state_ = new State;
  state_->fd = fd;
  state_->listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (state_->listener < 0 || bind(state_->listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(state_->listener, 4) != 0) {
    why = std::string("cannot open the socket that serves the container to qemu: ") + std::strerror(errno);
    return false;
  }
  path_ = path;
  State *state = state_;
  std::uint64_t size = std::uint64_t(st.st_size);
  state_->thread = std::thread([state, size] {
    while (!state->done) {
      pollfd wait{state->listener, POLLIN, 0};
      if (poll(&wait, 1, 100) <= 0) continue;
      int connection = accept4(state->listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      if (Handshake(connection, size)) Transmit(connection, state->fd);
      close(connection);
    }
  });
  return true;
}

NbdExport::~NbdExport() {
  if (!state_) return;
  state_->done = true;
  if (state_->thread.joinable()) state_->thread.join();
  if (state_->listener >= 0) close(state_->listener);
  if (!path_.empty()) unlink(path_.c_str());
  delete state_;
}

}  // namespace containers
