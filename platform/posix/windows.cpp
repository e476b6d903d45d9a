// Window messages between processes.
//
// A "window" is a Unix-domain datagram socket in <runtime>/windows/, named
// "<pid>-<n>.sock", with a side file "<pid>-<n>.info" holding its class and
// title (one line each). FindWindow reads the side files; class and title
// compare without regard to case, as window names do. A window whose owner
// died leaves its files behind, but nobody is bound to the socket any more:
// connecting to it is refused, so it does not count, and the first process
// that notices removes the files. A window's id is (pid << 32) | n, never 0.
//
// A posted message is one datagram of 20 bytes: u32 message, u64 wParam,
// u64 lParam (native byte order: sender and receiver share the machine).
// Broadcasting sends it to every live window without waiting; a window whose
// queue is full misses it, as a full Windows message queue does.
//
// Registered message numbers are a hash of the name (upper-cased, so the
// lookup ignores case like RegisterWindowMessageA) folded into
// 0xC000..0xFFFF: the same number in every process without any shared table.
// Two different names may share a number (1 in 16384 for any given pair);
// the names this system registers do not collide with each other.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "internal.h"
#include "platform.h"

namespace {

constexpr size_t kMessageSize = 20;

struct Endpoint {
  std::string stem;  // "<pid>-<n>"
  std::string className;
  std::string title;
  PlatWindowId id = 0;
};

std::string WindowsDirectoryPath() {
  const std::string path = plat::RuntimePath("windows");
  if (path.empty() || !plat::MakeDirectories(path, 0700)) return std::string();
  return path;
}

bool SameNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (std::toupper(x) != std::toupper(y)) return false;
  }
  return true;
}

// True while some process is bound to the window's socket.
bool IsLive(const std::string& socketPath) {
  sockaddr_un address;
  if (!plat::FillUnixAddress(address, socketPath.c_str())) return false;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return live;
}

// Every live window; stale ones are removed on the way.
std::vector<Endpoint> LiveWindows(const std::string& directory) {
  std::vector<Endpoint> result;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return result;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".info") != 0) continue;
    Endpoint endpoint;
    endpoint.stem = name.substr(0, name.size() - 5);
    unsigned long pid = 0, serial = 0;
    if (std::sscanf(endpoint.stem.c_str(), "%lu-%lu", &pid, &serial) != 2 || serial == 0) continue;
    endpoint.id = static_cast<PlatWindowId>(pid) << 32 | static_cast<PlatWindowId>(serial & 0xFFFFFFFFu);
    std::ifstream info(directory + "/" + name);
    if (!std::getline(info, endpoint.className) || !std::getline(info, endpoint.title)) continue;
    const std::string socketPath = directory + "/" + endpoint.stem + ".sock";
    if (!IsLive(socketPath)) {
      unlink(socketPath.c_str());
      unlink((directory + "/" + name).c_str());
      continue;
    }
    result.push_back(endpoint);
  }
  closedir(listing);
  return result;
}

void PutLe(unsigned char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLe(const unsigned char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

std::atomic<uint32_t> nextWindowSerial{1};

}  // namespace

struct PlatWindow {
  int fd = -1;
  std::string socketPath;
  std::string infoPath;
};

PlatWindowId PlatFindWindow(const char* className, const char* title) {
  if (className == nullptr) return 0;
  const std::string directory = WindowsDirectoryPath();
  if (directory.empty()) return 0;
  for (const Endpoint& endpoint : LiveWindows(directory)) {
    if (SameNoCase(endpoint.className, className) && (title == nullptr || SameNoCase(endpoint.title, title))) {
      return endpoint.id;
    }
  }
  return 0;
}

uint32_t PlatRegisterWindowMessage(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const char* p = name; *p; ++p) {
    hash ^= static_cast<uint32_t>(std::toupper(static_cast<unsigned char>(*p)));
    hash *= 16777619u;
  }
  return 0xC000u + (hash % 0x4000u);
}

bool PlatBroadcastMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  const std::string directory = WindowsDirectoryPath();
  if (directory.empty()) return false;
  unsigned char datagram[kMessageSize];
  PutLe(datagram, message, 4);
  PutLe(datagram + 4, wParam, 8);
  PutLe(datagram + 12, lParam, 8);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  for (const Endpoint& endpoint : LiveWindows(directory)) {
    sockaddr_un address;
    const std::string socketPath = directory + "/" + endpoint.stem + ".sock";
    if (!plat::FillUnixAddress(address, socketPath.c_str())) continue;
    (void)sendto(fd, datagram, sizeof datagram, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  close(fd);
  return true;
}

PlatWindow* PlatWindowCreate(const char* className, const char* title) {
  if (className == nullptr || std::strchr(className, '\n') != nullptr ||
      (title != nullptr && std::strchr(title, '\n') != nullptr)) {
    return nullptr;
  }
  const std::string directory = WindowsDirectoryPath();
  if (directory.empty()) return nullptr;
  const std::string stem = std::to_string(static_cast<long>(getpid())) + "-" + std::to_string(nextWindowSerial++);
  auto* window = new PlatWindow;
  window->socketPath = directory + "/" + stem + ".sock";
  window->infoPath = directory + "/" + stem + ".info";
  sockaddr_un address;
  bool ok = plat::FillUnixAddress(address, window->socketPath.c_str());
  if (ok) {
    unlink(window->socketPath.c_str());  // left by an earlier process with our pid
    window->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ok = window->fd >= 0 && bind(window->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  if (ok) {
    // The side file appears complete or not at all.
    const std::string temporary = window->infoPath + ".tmp";
    {
      std::ofstream info(temporary, std::ios::trunc);
      info << className << "\n" << (title != nullptr ? title : "") << "\n";
      ok = static_cast<bool>(info.flush());
    }
    ok = ok && std::rename(temporary.c_str(), window->infoPath.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
  }
  if (!ok) {
    PlatWindowDestroy(window);
    return nullptr;
  }
  return window;
}

bool PlatWindowReceive(PlatWindow* window, uint32_t* message, uintptr_t* wParam, uintptr_t* lParam,
                       uint32_t timeoutMs) {
  if (window == nullptr) return false;
  const uint64_t start = plat::RealMilliseconds();
  for (;;) {
    if (plat::WaitForFd(window->fd, POLLIN, plat::RemainingMs(start, timeoutMs)) != plat::WaitOutcome::Ready) {
      return false;
    }
    unsigned char datagram[kMessageSize + 1];
    const ssize_t got = recv(window->fd, datagram, sizeof datagram, MSG_DONTWAIT);
    if (got == static_cast<ssize_t>(kMessageSize)) {
      if (message != nullptr) *message = static_cast<uint32_t>(GetLe(datagram, 4));
      if (wParam != nullptr) *wParam = static_cast<uintptr_t>(GetLe(datagram + 4, 8));
      if (lParam != nullptr) *lParam = static_cast<uintptr_t>(GetLe(datagram + 12, 8));
      return true;
    }
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    // A datagram of another size is not a message: skip it.
  }
}

void PlatWindowDestroy(PlatWindow* window) {
  if (window == nullptr) return;
  unlink(window->infoPath.c_str());
  if (window->fd >= 0) {
    unlink(window->socketPath.c_str());
    close(window->fd);
  }
  delete window;
}
