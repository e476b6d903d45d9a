// TONEFX: the auto tone library's one export and the records that cross it.
#pragma once

#include <cstdint>

#include "tq5/callconv.h"

#pragma pack(push, 1)

// Describes the 8-bit prescan image handed to DoToneFx (28 bytes).
struct ToneImageDescriptor {
  uint32_t imageWidth;        // pixels per line
  uint32_t imageHeight;       // lines
  uint16_t samplesPerPixel;   // 1 grey, 3 colour
  uint16_t bitsPerSample;     // 8; not read
  uint32_t xDpi;              // not read
  uint32_t yDpi;              // not read
  uint16_t interleave;        // 1: samples of a pixel stored together
  uint16_t negative;          // 1 negative film, 0 positive
  uint32_t imageBytesPerLine; // line stride
};
static_assert(sizeof(ToneImageDescriptor) == 28, "ToneImageDescriptor is 28 bytes");

// 21 big-endian 4.12 fixed-point values, addressed by byte offset (42 bytes).
struct ToneParameterBlock {
  uint8_t bytes[42];
};
static_assert(sizeof(ToneParameterBlock) == 42, "ToneParameterBlock is 42 bytes");

#pragma pack(pop)

extern "C" {
// The result code is the low byte of the return value (0 = success).
TQ5_EXPORT uint32_t TQ5_CDECL DoToneFx(const uint8_t* image, const ToneImageDescriptor* descriptor,
                                       ToneParameterBlock* parameterBlock, uint16_t* scanCurves,
                                       uint16_t* prescanCurves, uint32_t retry);
}
