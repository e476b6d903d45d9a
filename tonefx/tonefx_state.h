// Working data of the auto tone library. Everything DoToneFx uses lives in
// this one module of static storage: the arguments of the current call, the
// histograms and per-channel statistics, the curve buffers, the internal scan
// curves and the lookup tables. One call runs at a time; nothing is
// allocated.
#pragma once

#include <cstdint>

#include "tq5/tonefx.h"

namespace tonefx {

// Fixed settings of every call.
constexpr int32_t kAnalysedPercent = 80;  // central 80 % of width and height
constexpr uint32_t kCurveBits = 14;       // curve precision
constexpr uint32_t kCurveEntries = 1u << kCurveBits;  // N = 16384
constexpr uint32_t kShapeEntries = 65536;
constexpr uint32_t kShapeStep = kShapeEntries / kCurveEntries;  // 4
constexpr uint32_t kCurveToLevel = kCurveEntries / 256;         // 64

// Result codes of DoToneFx.
constexpr uint8_t kToneOk = 0x00;
constexpr uint8_t kToneNotInterleaved = 0x10;
constexpr uint8_t kToneBadSamplesPerPixel = 0x11;
constexpr uint8_t kToneLineTooShort = 0x13;
constexpr uint8_t kToneZeroResidual = 0x14;
constexpr uint8_t kToneBadNegative = 0x15;
constexpr uint8_t kToneGreySaturated = 0x07;

// The current call: its image, a copy of its descriptor (read once, so the
// analysis works on the values that were validated) and its settings.
struct ToneCall {
  const uint8_t* image;
  ToneImageDescriptor descriptor;
  bool colour;           // samplesPerPixel 3; grey images use channel 1 only
  bool negative;         // descriptor field negative is 1
  bool saturationCheck;  // on unless retry is 1
};

// Statistics of the analysed area, per channel.
struct ToneStatistics {
  uint16_t channelHistogram[3][256];  // counters wrap modulo 65536
  uint32_t analysedCount;
  uint8_t saturationFlags;
  uint16_t B[3];  // low percentile level
  uint16_t W[3];  // high percentile level
  uint8_t useMean[3];
  uint16_t meanDensity[3];
  uint32_t meanCount[3];  // n[c]: pixels the mean density was taken over
  uint16_t highlightDensity[3];
  uint16_t target[3];  // target density code
  uint16_t A[3];       // exposure factor x 255
  uint16_t R[3];       // residual factor x 255 left to the curves
};

// Curve buffers: the final per-channel curve, the inverted curve p of the
// negative method, and the internal scan curves (entry i holds channels 0,
// 1, 2 side by side) that DoToneFx samples into scanCurves.
struct ToneCurves {
  uint16_t curve[3][kCurveEntries];
  uint16_t inverted[3][kCurveEntries];
  uint16_t internalScanCurves[kCurveEntries][3];
};

// Lookup tables, built on the first call.
struct ToneTables {
  bool built;
  uint8_t densityOfLevel[256];
  uint16_t levelOfDensity[256];
  uint16_t positiveShape[kShapeEntries];
  uint16_t squareTable[kShapeEntries];
  uint16_t negativeShape[3][kShapeEntries];
};

extern ToneCall toneCall;
extern ToneStatistics toneStats;
extern ToneCurves toneCurves;
extern ToneTables toneTables;

// The channels an image has: 0, 1, 2 for colour, 1 alone for grey.
inline uint32_t FirstChannel() { return toneCall.colour ? 0u : 1u; }
inline uint32_t EndChannel() { return toneCall.colour ? 3u : 2u; }

}  // namespace tonefx
