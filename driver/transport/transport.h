// The register protocol on the device's bulk pipes: single registers, data
// port streams, the pipe reset and the vendor control write. Every failed
// transfer is retried once, and only after a successful pipe reset.
#pragma once

#include <cstdint>

#include "interface/driver.h"

DriverError WriteRegister(uint8_t reg, uint8_t value);
DriverError ReadRegister(uint8_t reg, uint8_t* value);
DriverError WriteRegisterStream(uint8_t reg, const uint8_t* data, uint32_t count);
DriverError ReadRegisterStream(uint8_t reg, uint8_t* buffer, uint32_t count);
bool ResetPipes();
bool WriteControlRegister();

// Busy-waits ms milliseconds on the tick counter.
void Delay(uint32_t ms);
uint16_t SwapBytes16(uint16_t value);

// Largest chunks of the stream packets.
constexpr uint32_t kStreamWriteChunk = 255;
constexpr uint32_t kStreamReadChunk = 0xFFFF;
