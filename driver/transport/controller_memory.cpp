#include "transport/controller_memory.h"

#include <cstring>

#include "transport/transport.h"

namespace {

constexpr uint8_t kRegMemorySelect = 0x03;
constexpr uint8_t kRegMemoryAddressHigh = 0x04;
constexpr uint8_t kRegMemoryAddressLow = 0x05;
constexpr uint8_t kRegMemoryPort = 0x06;
constexpr uint8_t kReadDirection = 0x40;  // in the high address byte

// Bank, memory and the area's end are checked before any register is
// written, so a refused transfer leaves the controller untouched.
DriverError CheckArea(uint8_t bank, uint8_t memory, uint16_t count, uint16_t address) {
  if (bank > 2 || memory > 2) return kErrBadLength;
  const uint32_t size = memory == kMemoryGamma ? kGammaMemoryBytes : kShadingMemoryBytes;
  if (static_cast<uint32_t>(count) + address > size) return kErrBadLength;
  return kErrNone;
}

// Selects bank and memory and sets the start address; the data port
// transfer must follow with no other register traffic in between.
DriverError SelectArea(uint8_t bank, uint8_t memory, uint16_t address, bool read) {
  DriverError result = WriteRegister(kRegMemorySelect, static_cast<uint8_t>(bank * 4 + memory));
  if (result != kErrNone) return result;
  uint8_t high = static_cast<uint8_t>(address >> 8);
  if (read) high |= kReadDirection;
  if ((result = WriteRegister(kRegMemoryAddressHigh, high)) != kErrNone) return result;
  return WriteRegister(kRegMemoryAddressLow, static_cast<uint8_t>(address & 0xFF));
}

}  // namespace

DriverError WriteControllerMemory(uint8_t bank, const uint8_t* data, uint8_t memory, uint16_t count,
                                  uint16_t address) {
  DriverError result = CheckArea(bank, memory, count, address);
  if (result == kErrNone) result = SelectArea(bank, memory, address, false);
  if (result == kErrNone) result = WriteRegisterStream(kRegMemoryPort, data, count);
  return result;
}

DriverError ReadControllerMemory(uint8_t bank, uint8_t* buffer, uint8_t memory, uint16_t count, uint16_t address) {
  DriverError result = CheckArea(bank, memory, count, address);
  if (result == kErrNone) result = SelectArea(bank, memory, address, true);
  if (result == kErrNone) result = ReadRegisterStream(kRegMemoryPort, buffer, count);
  return result;
}

DriverError VerifyControllerMemory(uint8_t bank, const uint8_t* expected, uint8_t memory, uint16_t count,
                                   uint16_t address) {
  auto* readBack = static_cast<uint8_t*>(AllocBlock(count));
  if (readBack == nullptr) return kErrNoMemory;
  DriverError result = ReadControllerMemory(bank, readBack, memory, count, address);
  if (result == kErrNone && std::memcmp(readBack, expected, count) != 0) result = kErrMemoryMismatch;
  FreeBlock(readBack);
  return result;
}

DriverError PrepareMemoryAccess() {
  const DriverError result = WriteRegister(0x08, 0x04);
  if (result != kErrNone) return result;
  return WriteRegister(0x09, 0x1A);
}

// The fill level counts whole blocks ready in the controller; all of them
// (or what is still wanted) are taken in one stream read. The time limit
// runs from the last block received, so a slow but steady capture never
// times out.
DriverError ReadImageData(uint8_t* destination, uint32_t count) {
  Delay(32);
  uint32_t lastData = PlatTickCount();
  while (count > 0) {
    uint8_t level = 0;
    DriverError result = ReadRegister(kRegFillLevel, &level);
    if (result != kErrNone) return result;
    if (level == 0) {
      if (PlatTickCount() - lastData > kImageDataTimeoutMs) return kErrDataTimeout;
      Delay(64);
      continue;
    }
    const uint32_t ready = level * kImageBlockBytes;
    const uint32_t n = count < ready ? count : ready;
    if ((result = ReadRegisterStream(kImageDataPort, destination, n)) != kErrNone) return result;
    destination += n;
    count -= n;
    lastData = PlatTickCount();
  }
  return kErrNone;
}

void* AllocBlock(uint32_t bytes) { return PlatBlockAlloc(bytes); }

void FreeBlock(void* block) { PlatBlockFree(block); }
