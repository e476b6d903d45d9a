// Local stream endpoints on Unix-domain stream sockets, and the whole-buffer
// read and write helpers that the device file shares with them.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "internal.h"
#include "platform.h"

namespace plat {

namespace {
IoResult FromWait(WaitOutcome outcome) {
  switch (outcome) {
    case WaitOutcome::TimedOut: return IoResult::TimedOut;
    case WaitOutcome::Terminated: return IoResult::Terminated;
    default: return IoResult::Failed;
  }
}
}  // namespace

IoResult ReadExact(int fd, void* buffer, size_t length, uint32_t timeoutMs) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  const uint64_t start = RealMilliseconds();
  size_t done = 0;
  while (done < length) {
    const WaitOutcome outcome = WaitForFd(fd, POLLIN, RemainingMs(start, timeoutMs));
    if (outcome != WaitOutcome::Ready) return FromWait(outcome);
    const ssize_t got = recv(fd, bytes + done, length - done, MSG_DONTWAIT);
    if (got > 0) done += static_cast<size_t>(got);
    else if (got == 0) return IoResult::Closed;
    else if (errno == ECONNRESET || errno == EPIPE) return IoResult::Closed;
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return IoResult::Failed;
  }
  return IoResult::Done;
}

IoResult WriteExact(int fd, const void* data, size_t length, uint32_t timeoutMs) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const uint64_t start = RealMilliseconds();
  size_t done = 0;
  while (done < length) {
    const WaitOutcome outcome = WaitForFd(fd, POLLOUT, RemainingMs(start, timeoutMs));
    if (outcome != WaitOutcome::Ready) return FromWait(outcome);
    const ssize_t sent = send(fd, bytes + done, length - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) done += static_cast<size_t>(sent);
    else if (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) return IoResult::Closed;
    else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return IoResult::Failed;
  }
  return IoResult::Done;
}

}  // namespace plat

struct PlatListener {
  int fd = -1;
  std::string path;
  ino_t inode = 0;  // of the socket file we bound, so Close removes only ours
};

struct PlatStream {
  int fd = -1;
  std::atomic<bool> shut{false};
};

namespace {
PlatStream* NewStream(int fd) {
  auto* stream = new PlatStream;
  stream->fd = fd;
  return stream;
}
}  // namespace

PlatListener* PlatListen(const char* path) {
  sockaddr_un address;
  if (!plat::FillUnixAddress(address, path)) return nullptr;
  struct stat info{};
  if (lstat(path, &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) return nullptr;  // never remove something that is not an endpoint
    const int probe = plat::ConnectStream(path);
    if (probe >= 0) {  // somebody is serving it: not stale
      close(probe);
      return nullptr;
    }
    unlink(path);
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      lstat(path, &info) != 0) {
    close(fd);
    return nullptr;
  }
  auto* listener = new PlatListener;
  listener->fd = fd;
  listener->path = path;
  listener->inode = info.st_ino;
  return listener;
}

PlatStream* PlatAccept(PlatListener* listener, uint32_t timeoutMs) {
  if (listener == nullptr) return nullptr;
  const uint64_t start = plat::RealMilliseconds();
  for (;;) {
    const uint32_t left = plat::RemainingMs(start, timeoutMs);
    if (plat::WaitForFd(listener->fd, POLLIN, left) != plat::WaitOutcome::Ready) return nullptr;
    const int fd = accept4(listener->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return NewStream(fd);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) return nullptr;
    if (left == 0) return nullptr;
  }
}

void PlatListenerClose(PlatListener* listener) {
  if (listener == nullptr) return;
  struct stat info{};
  if (lstat(listener->path.c_str(), &info) == 0 && info.st_ino == listener->inode) unlink(listener->path.c_str());
  close(listener->fd);
  delete listener;
}

PlatStream* PlatConnect(const char* path) {
  const int fd = plat::ConnectStream(path);
  return fd < 0 ? nullptr : NewStream(fd);
}

bool PlatStreamReadAll(PlatStream* stream, void* buffer, size_t length, uint32_t timeoutMs) {
  if (stream == nullptr || stream->shut.load()) return false;
  if (length == 0) return true;
  if (buffer == nullptr) return false;
  return plat::ReadExact(stream->fd, buffer, length, timeoutMs) == plat::IoResult::Done;
}

size_t PlatStreamReadSome(PlatStream* stream, void* buffer, size_t length, uint32_t timeoutMs) {
  if (stream == nullptr || buffer == nullptr || length == 0 || stream->shut.load()) return 0;
  const uint64_t start = plat::RealMilliseconds();
  for (;;) {
    const uint32_t left = plat::RemainingMs(start, timeoutMs);
    if (plat::WaitForFd(stream->fd, POLLIN, left) != plat::WaitOutcome::Ready) return 0;
    const ssize_t got = recv(stream->fd, buffer, length, MSG_DONTWAIT);
    if (got > 0) return static_cast<size_t>(got);
    if (got == 0) return 0;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 0;
    if (left == 0) return 0;
  }
}

bool PlatStreamWriteAll(PlatStream* stream, const void* data, size_t length) {
  if (stream == nullptr || stream->shut.load()) return false;
  if (length == 0) return true;
  if (data == nullptr) return false;
  return plat::WriteExact(stream->fd, data, length, kPlatWaitForever) == plat::IoResult::Done;
}

void PlatStreamShutdown(PlatStream* stream) {
  if (stream == nullptr) return;
  stream->shut.store(true);
  shutdown(stream->fd, SHUT_RDWR);
}

void PlatStreamClose(PlatStream* stream) {
  if (stream == nullptr) return;
  close(stream->fd);
  delete stream;
}
