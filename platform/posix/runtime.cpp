// The runtime directory, descriptor waits, socket helpers, last-error codes,
// interlocked add and the OS version.

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <climits>
#include <set>
#include <string>

#include "internal.h"
#include "platform.h"

namespace plat {

namespace {
thread_local uint32_t tlsLastError = 0;
std::atomic<uint32_t> osMajorOverride{0};
}  // namespace

uint64_t RealMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t RemainingMs(uint64_t startMs, uint32_t timeoutMs) {
  if (timeoutMs == kPlatWaitForever) return kPlatWaitForever;
  const uint64_t elapsed = RealMilliseconds() - startMs;
  return elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - elapsed);
}

WaitOutcome WaitForFd(int fd, short events, uint32_t timeoutMs) {
  const uint64_t start = RealMilliseconds();
  for (;;) {
    if (CurrentThreadTerminated()) return WaitOutcome::Terminated;
    const uint32_t left = RemainingMs(start, timeoutMs);
    const int slice = left < static_cast<uint32_t>(kWaitSliceMs) ? static_cast<int>(left) : kWaitSliceMs;
    pollfd entry{fd, events, 0};
    const int result = poll(&entry, 1, slice);
    if (result > 0) {
      if (entry.revents & POLLNVAL) return WaitOutcome::Failed;
      return WaitOutcome::Ready;  // ready, hang-up or error: the next call tells
    }
    if (result < 0 && errno != EINTR) return WaitOutcome::Failed;
    if (result == 0 && slice == 0) return WaitOutcome::TimedOut;
  }
}

bool MakeDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat info{};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), mode)) return false;
  if (mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string RuntimePath(const std::string& leaf) {
  const std::string directory = PlatRuntimeDirectory();
  if (!MakeDirectories(directory, 0700)) return std::string();
  // The default directory sits in the shared /tmp: use it only when it is a
  // real directory of our own, never one planted by another user.
  if (std::getenv("TQ5_RUNTIME_DIR") == nullptr || std::getenv("TQ5_RUNTIME_DIR")[0] == '\0') {
    struct stat info{};
    if (lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
      return std::string();
    }
  }
  return directory + "/" + leaf;
}

std::string FileNameFor(const char* name) {
  std::string result;
  for (const char* p = name ? name : ""; *p; ++p) {
    const char c = *p;
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-' || c == '.';
    result += plain ? c : '_';
  }
  if (result.empty() || result[0] == '.') result.insert(result.begin(), '_');
  return result;
}

bool FillUnixAddress(sockaddr_un& address, const char* path) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path == nullptr) return false;
  const size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path, length);
  return true;
}

int ConnectStream(const char* path) {
  sockaddr_un address;
  if (!FillUnixAddress(address, path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int result;
  do {
    result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void SetLastError(uint32_t code) { tlsLastError = code; }

uint32_t WindowsErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT:
    case ENOTDIR: return 2;  // ERROR_FILE_NOT_FOUND
    case EACCES:
    case EPERM: return 5;  // ERROR_ACCESS_DENIED
    case ENOMEM: return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case EINVAL: return 87;  // ERROR_INVALID_PARAMETER
    case ENOEXEC: return 193;  // ERROR_BAD_EXE_FORMAT
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ETIMEDOUT: return 1460;  // ERROR_TIMEOUT
    default: return 31;  // ERROR_GEN_FAILURE
  }
}

}  // namespace plat

const char* PlatRuntimeDirectory() {
  // The value follows $TQ5_RUNTIME_DIR as it is at each call. Every distinct
  // value is kept for the life of the process so that a pointer handed out
  // stays valid even when a test later points the variable elsewhere. The
  // values live in static storage (no heap, no destructor): the library's
  // detach at process exit may still ask for the directory after static
  // objects have been destroyed, and an unloaded library leaves nothing.
  static std::mutex lock;
  constexpr size_t kSlots = 32;
  static char seen[kSlots][PATH_MAX];
  static size_t used = 0;
  std::string value;
  const char* fromEnvironment = std::getenv("TQ5_RUNTIME_DIR");
  if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
    value = fromEnvironment;
    while (value.size() > 1 && value.back() == '/') value.pop_back();
  } else {
    value = "/tmp/tq5-" + std::to_string(static_cast<unsigned long>(getuid()));
  }
  if (value.size() >= PATH_MAX) value.resize(PATH_MAX - 1);
  std::lock_guard<std::mutex> guard(lock);
  for (size_t i = 0; i < used; ++i)
    if (value == seen[i]) return seen[i];
  // More distinct directories than slots (only tests change it that often):
  // the oldest slot is reused.
  const size_t slot = used < kSlots ? used++ : kSlots - 1;
  std::memcpy(seen[slot], value.c_str(), value.size() + 1);
  return seen[slot];
}

bool PlatSetEnvironment(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0' || value == nullptr) return false;
  return ::setenv(name, value, 1) == 0;
}

size_t PlatProgramDirectory(char* buffer, size_t size) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return 0;
  path[length] = '\0';
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return 0;
  *slash = '\0';
  const size_t directoryLength = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (slash == path) path[1] = '\0';
  if (buffer == nullptr || directoryLength + 1 > size) return 0;
  std::memcpy(buffer, path, directoryLength + 1);
  return directoryLength;
}

uint32_t PlatLastError() { return plat::tlsLastError; }

int32_t PlatInterlockedAdd(volatile int32_t* target, int32_t delta) {
  return __atomic_add_fetch(target, delta, __ATOMIC_SEQ_CST);
}

// The driver only distinguishes versions below 5 from 5 and later; Linux
// reports itself as 6 (the Vista / 7 generation), which selects the modern
// behaviour everywhere.
uint32_t PlatOsMajorVersion() {
  const uint32_t forced = plat::osMajorOverride.load();
  return forced != 0 ? forced : 6u;
}

void PlatTestSetOsMajorVersion(uint32_t major) { plat::osMajorOverride.store(major); }
