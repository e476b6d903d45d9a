// Private helpers shared by the POSIX backend's source files.
#pragma once

#include <sys/un.h>

#include <cstdint>
#include <string>

namespace plat {

// The thread-termination flag of the calling thread (see threads.cpp).
bool CurrentThreadTerminated();

// Result of waiting for a descriptor.
enum class WaitOutcome { Ready, TimedOut, Terminated, Failed };

// Length of one slice of a wait: every wait of this backend polls in slices
// this long so that a terminated thread notices within one slice.
constexpr int kWaitSliceMs = 20;

// Waits until `fd` is ready for `events` (POLLIN / POLLOUT), at most
// `timeoutMs` real milliseconds (kPlatWaitForever: no limit). Gives up with
// Terminated as soon as the calling thread has been terminated. A hang-up or
// error on the descriptor counts as Ready: the following read or write
// reports it.
WaitOutcome WaitForFd(int fd, short events, uint32_t timeoutMs);

// Outcome of reading or writing a whole buffer on a descriptor.
enum class IoResult { Done, Closed, TimedOut, Terminated, Failed };
// Reads exactly `length` bytes, or writes all of them, within `timeoutMs`
// real milliseconds for the whole buffer (kPlatWaitForever: no limit).
// Writing never raises SIGPIPE: a closed peer is Closed.
IoResult ReadExact(int fd, void* buffer, size_t length, uint32_t timeoutMs);
IoResult WriteExact(int fd, const void* data, size_t length, uint32_t timeoutMs);

// Real (monotonic) milliseconds, independent of the driver's clock mode.
uint64_t RealMilliseconds();
// Milliseconds left of `timeoutMs` counted from `startMs` (a
// RealMilliseconds value); kPlatWaitForever stays kPlatWaitForever.
uint32_t RemainingMs(uint64_t startMs, uint32_t timeoutMs);

// Path of `leaf` inside the runtime directory; creates the directory (0700)
// when it is missing. Empty when the directory cannot be made.
std::string RuntimePath(const std::string& leaf);
// Makes `path` a directory with the given mode if it does not exist yet
// (parents too). True when it exists afterwards.
bool MakeDirectories(const std::string& path, unsigned mode);
// A name turned into something safe to use as one file name component.
std::string FileNameFor(const char* name);

// Fills a Unix-domain socket address; false when the path does not fit.
bool FillUnixAddress(sockaddr_un& address, const char* path);
// Connects a new SOCK_STREAM socket (close-on-exec) to `path`; -1 on failure
// (errno tells why).
int ConnectStream(const char* path);

// The calling thread's last error, in the operating system's numbering of
// the Windows build (ERROR_FILE_NOT_FOUND = 2 ...).
void SetLastError(uint32_t code);
uint32_t WindowsErrorFromErrno(int error);

}  // namespace plat
