// Test images for DoToneFx: a descriptor with the bytes it describes, a
// parameter block filled the way the driver fills it, and the two curve
// arrays of a call.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tq5/tonefx.h"

namespace tonefx_test {

constexpr uint16_t kUnityGain = 0x1000;

// Big-endian block values by byte offset.
uint16_t BlockValue(const ToneParameterBlock& block, uint32_t offset);
void SetBlockValue(ToneParameterBlock& block, uint32_t offset, uint16_t value);

// The driver's block: every value 1.0, gain range 0.93 .. 9.0, the three
// channel gains as given.
ToneParameterBlock DriverBlock(uint16_t gain0, uint16_t gain1, uint16_t gain2);

using PixelFunction = std::function<void(uint32_t x, uint32_t y, uint8_t* samples)>;

struct ToneImage {
  ToneImageDescriptor descriptor{};
  std::vector<uint8_t> bytes;
  ToneParameterBlock block = DriverBlock(kUnityGain, kUnityGain, kUnityGain);
  uint16_t scanCurves[256 * 3]{};
  uint16_t prescanCurves[256 * 3]{};

  // Calls DoToneFx on this image; returns the low byte of its result.
  uint32_t Run(uint32_t retry = 0);

  uint16_t Scan(uint32_t level, uint32_t channel) const { return scanCurves[3 * level + channel]; }
  uint16_t Prescan(uint32_t level, uint32_t channel) const { return prescanCurves[3 * level + channel]; }
};

// A width x height image of samplesPerPixel 1 or 3 with tight lines (plus
// padding bytes per line, filled with 0xEE); pixel(x, y, samples) sets the
// samples of each pixel.
ToneImage MakeImage(uint32_t width, uint32_t height, uint16_t samplesPerPixel, bool negative,
                    const PixelFunction& pixel, uint32_t padding = 0);

// A pixel function giving every pixel the same samples.
PixelFunction Uniform(uint8_t s0, uint8_t s1, uint8_t s2);

// The analysed area of a width x height image (the central 80 %).
struct Area {
  uint32_t top, left, rows, columns;
};
Area AnalysedArea(uint32_t width, uint32_t height);

}  // namespace tonefx_test
