// The device file: a connection to the device node (a Unix-domain stream
// socket) that carries one request frame and one reply frame per call.
//
//   header: u8 kind, u8 0, u16 0, u32 payload length (little endian)
//   0x01 write   payload: the bytes             reply 0x81: u32 status
//   0x02 read    payload: u32 count             reply 0x82: u32 status, data
//   0x03 control payload: u32 code, the input   reply 0x83: u32 status
//
// Any reply that does not fit this (wrong kind, nonzero reserved bytes, wrong
// length, more data than asked for, a cut-off frame, a closed connection, no
// answer in time) fails the call. After such a failure the connection is out
// of step with the device, so the handle is marked broken and every call
// fails at once, except ResetPipes: it reconnects to the node and sends the
// reset on the fresh connection, as a pipe reset restarts a USB pipe. The
// driver's own recovery (reset the pipes, retry once) thus works unchanged.
//
// Waiting for the device: a call waits at most the reply limit (60 s real,
// $TQ5_DEVICE_REPLY_LIMIT_MS overrides it, read when the device is opened)
// and gives up at once when the calling thread is terminated.

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "platform.h"

namespace {

constexpr uint8_t kKindWrite = 0x01;
constexpr uint8_t kKindRead = 0x02;
constexpr uint8_t kKindControl = 0x03;
constexpr uint8_t kReplyFlag = 0x80;
constexpr uint32_t kIoctlResetPipe = 0x8000201C;
constexpr uint32_t kIoctlWriteRegisters = 0x80002010;
constexpr uint32_t kResetAllPipes = 3;
constexpr size_t kHeaderSize = 8;
constexpr uint32_t kDefaultReplyLimitMs = 60000;

struct Device {
  std::string path;
  int fd = -1;
  bool broken = false;  // the stream is out of step; only ResetPipes helps
  uint32_t replyLimitMs = kDefaultReplyLimitMs;
  // One exchange at a time per handle: `busy` under `lock`, waited for with
  // `idle`, so that a waiting thread can give up when it is terminated.
  std::mutex lock;
  std::condition_variable idle;
  bool busy = false;
  std::vector<uint8_t> frame;  // request being built (under `lock`)
};

void PutU32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

uint32_t ReplyLimitFromEnvironment() {
  const char* text = std::getenv("TQ5_DEVICE_REPLY_LIMIT_MS");
  if (text == nullptr || text[0] == '\0') return kDefaultReplyLimitMs;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value >= kPlatWaitForever) return kDefaultReplyLimitMs;
  return static_cast<uint32_t>(value);
}

Device* FromHandle(PlatDeviceHandle handle) {
  if (handle == kPlatInvalidDevice || handle == 0) return nullptr;
  return reinterpret_cast<Device*>(handle);
}

// Connects to a device node: it must exist and be a socket with a listener.
int ConnectDevice(const std::string& path) {
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) return -1;
  if (!S_ISSOCK(info.st_mode)) {
    errno = ENOTSOCK;
    return -1;
  }
  return plat::ConnectStream(path.c_str());
}

// Holds the device's lock for one exchange. Waits in slices so that a
// terminated thread gives up; a holder never keeps it longer than one reply
// limit.
class ExchangeLock {
 public:
  explicit ExchangeLock(Device& device) : device_(device) {
    std::unique_lock<std::mutex> guard(device_.lock);
    while (device_.busy) {
      if (plat::CurrentThreadTerminated()) return;
      device_.idle.wait_for(guard, std::chrono::milliseconds(plat::kWaitSliceMs));
    }
    device_.busy = held_ = true;
  }
  ~ExchangeLock() {
    if (!held_) return;
    {
      std::lock_guard<std::mutex> guard(device_.lock);
      device_.busy = false;
    }
    device_.idle.notify_one();
  }
  bool held() const { return held_; }

 private:
  Device& device_;
  bool held_ = false;
};

// Sends the request in device.frame (header filled in here) and reads the
// reply header and status. On success `*dataLength` holds the number of
// reply bytes that follow the status. Marks the device broken when the stream
// can no longer be trusted.
bool Exchange(Device& device, uint8_t kind, uint32_t maxData, uint32_t* status, uint32_t* dataLength,
              uint64_t start) {
  if (device.broken || device.fd < 0 || plat::CurrentThreadTerminated()) return false;
  uint8_t* header = device.frame.data();
  header[0] = kind;
  header[1] = header[2] = header[3] = 0;
  PutU32(header + 4, static_cast<uint32_t>(device.frame.size() - kHeaderSize));
  if (plat::WriteExact(device.fd, device.frame.data(), device.frame.size(), device.replyLimitMs) !=
      plat::IoResult::Done) {
    device.broken = true;
    return false;
  }
  // The header is checked before anything more is read, so that a short or
  // oversized reply is recognised without waiting for bytes that never come.
  uint8_t reply[kHeaderSize];
  if (plat::ReadExact(device.fd, reply, kHeaderSize, plat::RemainingMs(start, device.replyLimitMs)) !=
      plat::IoResult::Done) {
    device.broken = true;
    return false;
  }
  const uint32_t length = GetU32(reply + 4);
  if (reply[0] != (kind | kReplyFlag) || reply[1] != 0 || reply[2] != 0 || reply[3] != 0 || length < 4 ||
      length - 4 > maxData) {
    device.broken = true;
    return false;
  }
  uint8_t statusBytes[4];
  if (plat::ReadExact(device.fd, statusBytes, 4, plat::RemainingMs(start, device.replyLimitMs)) !=
      plat::IoResult::Done) {
    device.broken = true;
    return false;
  }
  *status = GetU32(statusBytes);
  *dataLength = length - 4;
  return true;
}

// Starts a request frame of `kind` with room for `payload` bytes.
uint8_t* BeginFrame(Device& device, size_t payload) {
  device.frame.assign(kHeaderSize + payload, 0);
  return device.frame.data() + kHeaderSize;
}

// A control request whose input is `prefix` (u32 values) followed by `data`.
bool Control(Device& device, const uint32_t* prefix, size_t prefixCount, const void* data, uint32_t length) {
  ExchangeLock guard(device);
  if (!guard.held()) return false;
  const uint64_t start = plat::RealMilliseconds();
  uint8_t* payload = BeginFrame(device, prefixCount * 4 + length);
  for (size_t i = 0; i < prefixCount; ++i) PutU32(payload + 4 * i, prefix[i]);
  if (length != 0) std::memcpy(payload + prefixCount * 4, data, length);
  uint32_t status = 0, extra = 0;
  return Exchange(device, kKindControl, 0, &status, &extra, start) && status == 0;
}

}  // namespace

PlatDeviceHandle PlatDeviceOpen(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    plat::SetLastError(2);
    return kPlatInvalidDevice;
  }
  const int fd = ConnectDevice(path);
  if (fd < 0) {
    plat::SetLastError(plat::WindowsErrorFromErrno(errno == ECONNREFUSED || errno == ENOTSOCK ? ENOENT : errno));
    return kPlatInvalidDevice;
  }
  auto* device = new Device;
  device->path = path;
  device->fd = fd;
  device->replyLimitMs = ReplyLimitFromEnvironment();
  return reinterpret_cast<PlatDeviceHandle>(device);
}

bool PlatDeviceWrite(PlatDeviceHandle handle, const void* data, uint32_t length) {
  Device* device = FromHandle(handle);
  if (device == nullptr || (data == nullptr && length != 0)) return false;
  ExchangeLock guard(*device);
  if (!guard.held()) return false;
  const uint64_t start = plat::RealMilliseconds();
  uint8_t* payload = BeginFrame(*device, length);
  if (length != 0) std::memcpy(payload, data, length);
  uint32_t status = 0, extra = 0;
  return Exchange(*device, kKindWrite, 0, &status, &extra, start) && status == 0;
}

bool PlatDeviceRead(PlatDeviceHandle handle, void* buffer, uint32_t length, uint32_t* received) {
  if (received != nullptr) *received = 0;
  Device* device = FromHandle(handle);
  if (device == nullptr || (buffer == nullptr && length != 0)) return false;
  ExchangeLock guard(*device);
  if (!guard.held()) return false;
  const uint64_t start = plat::RealMilliseconds();
  PutU32(BeginFrame(*device, 4), length);
  uint32_t status = 0, dataLength = 0;
  if (!Exchange(*device, kKindRead, length, &status, &dataLength, start)) return false;
  // dataLength <= length was checked: the data fits the caller's buffer.
  if (dataLength != 0 &&
      plat::ReadExact(device->fd, buffer, dataLength, plat::RemainingMs(start, device->replyLimitMs)) !=
          plat::IoResult::Done) {
    device->broken = true;
    return false;
  }
  if (status != 0) return false;  // a failed read returns no data, whatever came with it
  if (received != nullptr) *received = dataLength;
  return true;
}

bool PlatDeviceResetPipes(PlatDeviceHandle handle) {
  Device* device = FromHandle(handle);
  if (device == nullptr) return false;
  {
    ExchangeLock guard(*device);
    if (!guard.held()) return false;
    if (device->broken) {
      const int fd = ConnectDevice(device->path);
      if (fd < 0) return false;
      if (device->fd >= 0) close(device->fd);
      device->fd = fd;
      device->broken = false;
    }
  }
  const uint32_t input[] = {kIoctlResetPipe, kResetAllPipes};
  return Control(*device, input, 2, nullptr, 0);
}

bool PlatDeviceControlWrite(PlatDeviceHandle handle, uint32_t offset, uint32_t index, const void* data,
                            uint32_t length) {
  Device* device = FromHandle(handle);
  if (device == nullptr || (data == nullptr && length != 0)) return false;
  const uint32_t input[] = {kIoctlWriteRegisters, offset, length, index};
  return Control(*device, input, 4, data, length);
}

void PlatDeviceClose(PlatDeviceHandle handle) {
  Device* device = FromHandle(handle);
  if (device == nullptr) return;
  if (device->fd >= 0) shutdown(device->fd, SHUT_RDWR);  // wakes a call still waiting on it
  {
    ExchangeLock guard(*device);  // lets such a call finish first
    if (device->fd >= 0) close(device->fd);
    device->fd = -1;
  }
  delete device;
}
