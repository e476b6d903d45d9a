// Controller memory (dark and white shading, gamma) reached through the
// selection registers 0x03-0x05 and the data port 0x06; the plain read of
// image data from the controller's image memory; and the movable memory
// blocks in which the driver keeps its large buffers.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// Memories of one bank (colour channel).
constexpr uint8_t kMemoryDarkShading = 0;
constexpr uint8_t kMemoryWhiteShading = 1;
constexpr uint8_t kMemoryGamma = 2;
constexpr uint32_t kShadingMemoryBytes = 16384;
constexpr uint32_t kGammaMemoryBytes = 4096;

// Image data, read from this port: the fill level register counts blocks of
// this size.
constexpr uint8_t kImageDataPort = 0x00;
constexpr uint8_t kRegFillLevel = 0x01;
constexpr uint32_t kImageBlockBytes = 2048;
// The image memory: the most one read serves (145 blocks).
constexpr uint32_t kImageMemoryBytes = 296960;
constexpr uint32_t kImageDataTimeoutMs = 25000;

DriverError WriteControllerMemory(uint8_t bank, const uint8_t* data, uint8_t memory, uint16_t count,
                                  uint16_t address);
DriverError ReadControllerMemory(uint8_t bank, uint8_t* buffer, uint8_t memory, uint16_t count, uint16_t address);
// Reads the area back and compares it with `expected`: 175 on a difference.
DriverError VerifyControllerMemory(uint8_t bank, const uint8_t* expected, uint8_t memory, uint16_t count,
                                   uint16_t address);
// The two register writes that precede every shading or gamma upload.
DriverError PrepareMemoryAccess();
// Reads `count` bytes of image data that a capture started by the caller
// delivers; 173 when nothing arrives for 25000 ms.
DriverError ReadImageData(uint8_t* destination, uint32_t count);

// A locked movable block of `bytes` (not zeroed), or null (callers report
// 152). FreeBlock accepts null.
void* AllocBlock(uint32_t bytes);
void FreeBlock(void* block);
