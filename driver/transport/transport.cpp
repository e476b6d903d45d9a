#include "transport/transport.h"

#include <cstring>

namespace {

// Packet buffer of WriteRegisterStream: header plus one chunk. Per process,
// shared by its callers (two threads of one process must not stream-write
// at the same time).
uint8_t packetBuffer[4 + kStreamWriteChunk];

DriverError RawWrite(const uint8_t* data, uint32_t length) {
  if (length == 0) return kErrBadLength;
  if (deviceHandle == kPlatInvalidDevice) return kErrDeviceNotOpen;
  // The count of bytes written is not examined: the device takes a packet
  // whole or fails it.
  return PlatDeviceWrite(deviceHandle, data, length) ? kErrNone : kErrTransferFailed;
}

DriverError RawRead(uint8_t* buffer, uint32_t length) {
  if (length == 0) return kErrBadLength;
  if (deviceHandle == kPlatInvalidDevice) return kErrDeviceNotOpen;
  uint32_t received = 0;
  return PlatDeviceRead(deviceHandle, buffer, length, &received) ? kErrNone : kErrTransferFailed;
}

// One raw write, retried once after a successful pipe reset.
DriverError WriteWithRetry(const uint8_t* data, uint32_t length) {
  DriverError result = RawWrite(data, length);
  if (result == kErrNone) return kErrNone;
  if (!ResetPipes()) return result;
  return RawWrite(data, length);
}

void StreamHeader(uint8_t* header, uint8_t direction, uint8_t reg, uint32_t count) {
  header[0] = direction;
  header[1] = reg;
  header[2] = static_cast<uint8_t>(count >> 8);
  header[3] = static_cast<uint8_t>(count & 0xFF);
}

}  // namespace

DriverError WriteRegister(uint8_t reg, uint8_t value) {
  const uint8_t packet[5] = {0x00, reg, 0x00, 0x01, value};
  return WriteWithRetry(packet, sizeof packet);
}

DriverError ReadRegister(uint8_t reg, uint8_t* value) {
  const uint8_t header[4] = {0x01, reg, 0x00, 0x01};
  uint8_t received = 0;
  DriverError result = RawWrite(header, sizeof header);
  if (result == kErrNone) result = RawRead(&received, 1);
  if (result != kErrNone) {
    if (!ResetPipes()) return result;
    result = RawWrite(header, sizeof header);
    if (result == kErrNone) result = RawRead(&received, 1);
    if (result != kErrNone) return result;
  }
  *value = received;
  return kErrNone;
}

DriverError WriteRegisterStream(uint8_t reg, const uint8_t* data, uint32_t count) {
  while (count > 0) {
    const uint32_t chunk = count < kStreamWriteChunk ? count : kStreamWriteChunk;
    StreamHeader(packetBuffer, 0x00, reg, chunk);
    std::memcpy(packetBuffer + 4, data, chunk);
    const DriverError result = WriteWithRetry(packetBuffer, 4 + chunk);
    if (result != kErrNone) return result;
    data += chunk;
    count -= chunk;
  }
  return kErrNone;
}

DriverError ReadRegisterStream(uint8_t reg, uint8_t* buffer, uint32_t count) {
  while (count > 0) {
    const uint32_t chunk = count < kStreamReadChunk ? count : kStreamReadChunk;
    uint8_t header[4];
    StreamHeader(header, 0x01, reg, chunk);
    DriverError result = WriteWithRetry(header, sizeof header);
    if (result != kErrNone) return result;
    // The data read itself is not retried: the device has already sent (and
    // forgotten) whatever part of the chunk it delivered.
    result = RawRead(buffer, chunk);
    if (result != kErrNone) return result;
    buffer += chunk;
    count -= chunk;
  }
  return kErrNone;
}

bool ResetPipes() {
  if (deviceHandle == kPlatInvalidDevice) return false;
  return PlatDeviceResetPipes(deviceHandle);
}

bool WriteControlRegister() {
  if (deviceHandle == kPlatInvalidDevice) return false;
  const uint8_t data = 0x00;
  return PlatDeviceControlWrite(deviceHandle, /*offset=*/1, /*index=*/3, &data, 1);
}

void Delay(uint32_t ms) {
  const uint32_t start = PlatTickCount();
  while (PlatTickCount() - start < ms) {
    // A thread that has been terminated must not spin on.
    if (PlatThreadTerminated()) return;
  }
}

uint16_t SwapBytes16(uint16_t value) {
  return static_cast<uint16_t>(((value & 0xFF) << 8) | ((value & 0xFF00) >> 8));
}
