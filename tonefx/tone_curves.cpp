// Gain adjustment and the two curve passes: pass 1 corrects the analysed
// image (taken with the old gains), pass 2 builds the internal scan curves
// for scans taken with the new gains.

#include "tone_curves.h"

#include <algorithm>
#include <cmath>

#include "tone_statistics.h"
#include "tonefx_state.h"

namespace tonefx {

ToneCurves toneCurves;

uint16_t ReadBlockValue(const ToneParameterBlock* block, uint32_t offset) {
  return static_cast<uint16_t>((block->bytes[offset] << 8) | block->bytes[offset + 1]);
}

void WriteBlockValue(ToneParameterBlock* block, uint32_t offset, uint16_t value) {
  block->bytes[offset] = static_cast<uint8_t>(value >> 8);
  block->bytes[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

namespace {

constexpr uint32_t kLowestGain = 12;
constexpr uint32_t kHighestGain = 14;
constexpr uint32_t kChannelGain = 16;     // + 2c
constexpr uint32_t kChannelUnity = 26;    // + 2c, set to 1.0
constexpr uint16_t kUnity = 0x1000;

// The stretch index of entry i for factor F: i x F / 255 (a 32-bit product)
// held at the last entry.
inline uint32_t StretchIndex(uint32_t i, uint32_t F) {
  return std::min(i * F / 255u, kCurveEntries - 1);
}

}  // namespace

// Each gain takes as much of the wanted exposure change as lo..hi allows;
// R carries the rest.
//
// R is 16 bits. A block whose limits lie far below the wanted gain (a highest
// gain of 0, say) would make r x 255 larger than that, or infinite; R then
// stays at 65535, the strongest residual the curves can be asked for.
void AdjustGains(const uint16_t* A, ToneParameterBlock* block, uint16_t* R) {
  const double lo = ReadBlockValue(block, kLowestGain) / 4096.0;
  const double hi = ReadBlockValue(block, kHighestGain) / 4096.0;
  const double k = 1.0 / 255.0;
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    const double g = ReadBlockValue(block, kChannelGain + 2 * c) / 4096.0;
    const double v = (A[c] * k) * g;
    double gain = v;
    double r = 1.0;
    if (v > hi) {
      gain = hi;
      r = v / hi;
    } else if (v < lo) {
      gain = lo;
      r = v / lo;
    }
    R[c] = static_cast<uint16_t>(std::min(std::trunc(r * 255.0), 65535.0));
    // gain is v, lo or hi, each within 0 .. 65535 / 4096.
    WriteBlockValue(block, kChannelGain + 2 * c, static_cast<uint16_t>(std::trunc(gain * 4096.0)));
    WriteBlockValue(block, kChannelUnity + 2 * c, kUnity);
  }
}

// A pure stretch: max(0, x(i) - 1).
void BuildPositiveCurve(uint32_t F, uint16_t* out) {
  const uint16_t* shape = toneTables.positiveShape;
  for (uint32_t i = 0; i < kCurveEntries; ++i) {
    out[i] = static_cast<uint16_t>(shape[kShapeStep * StretchIndex(i, F)] / kShapeStep);
  }
}

// The inverted curve p: the film characteristic, squared, falling as i rises.
void BuildNegativeCurve(uint32_t F, const uint16_t* shape, uint16_t* out) {
  const uint16_t* square = toneTables.squareTable;
  for (uint32_t i = 0; i < kCurveEntries; ++i) {
    out[i] = static_cast<uint16_t>(square[shape[kShapeStep * StretchIndex(i, F)]] / kShapeStep);
  }
}

// Maps p between the white point X (to 16060) and the black point Y (to 64),
// with a short shoulder above X and a steep toe below Y. Unsigned arithmetic;
// X < Y can come only from wrapped counters, and then the middle segment is
// empty and the divisor X - Y wraps large, giving a toe at 64.
void MapNegativeCurve(uint32_t F, const uint16_t* shape, uint32_t X, uint32_t Y, uint16_t* out) {
  const uint16_t* square = toneTables.squareTable;
  for (uint32_t i = 0; i < kCurveEntries; ++i) {
    const uint32_t p = square[shape[kShapeStep * StretchIndex(i, F)]] / kShapeStep;
    uint32_t value;
    if (p > X) {
      value = X == 16384 ? 16060 + 324 * (p - X) : 16060 + 324 * (p - X) / (16384 - X);
      if (value > 16384) value = 16383;
    } else if (p > Y) {
      value = 64 + 15996 * (p - Y) / (X - Y);
    } else {
      const uint32_t d = X == Y ? 15996 * (Y - p) : 15996 * (Y - p) / (X - Y);
      value = d < 64 ? 64 - d : 0;
    }
    out[i] = static_cast<uint16_t>(value);
  }
}

namespace {

// Builds the curve of every analysed channel for factors F with the current
// B and W.
void BuildCurves(const uint16_t* F) {
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    if (!toneCall.negative) {
      BuildPositiveCurve(F[c], toneCurves.curve[c]);
      continue;
    }
    const uint16_t* shape = toneTables.negativeShape[c];
    uint16_t* p = toneCurves.inverted[c];
    BuildNegativeCurve(F[c], shape, p);
    const uint32_t X = p[kCurveToLevel * toneStats.B[c]];
    const uint32_t Y = p[kCurveToLevel * toneStats.W[c]];
    MapNegativeCurve(F[c], shape, X, Y, toneCurves.curve[c]);
  }
}

}  // namespace

uint8_t RunToneAnalysis(ToneParameterBlock* block, uint16_t* prescanCurves) {
  RunToneStatistics();

  // Pass 1: the correction of the analysed image.
  BuildCurves(toneStats.A);
  for (uint32_t i = 0; i < 256; ++i) {
    for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
      prescanCurves[3 * i + c] = static_cast<uint16_t>(toneCurves.curve[c][kCurveToLevel * i] / kCurveToLevel);
    }
  }

  AdjustGains(toneStats.A, block, toneStats.R);

  // B and W as they will read after the gain change (A / R is the ratio of
  // new to old gain), limited to a level so they stay curve indexes.
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    const uint32_t R = toneStats.R[c];
    if (R == 0) return kToneZeroResidual;
    const uint32_t A = toneStats.A[c];
    toneStats.B[c] = static_cast<uint16_t>(std::min<uint32_t>(255, toneStats.B[c] * A / R));
    toneStats.W[c] = static_cast<uint16_t>(std::min<uint32_t>(255, toneStats.W[c] * A / R));
  }

  // Pass 2: the curves for scans with the new gains.
  BuildCurves(toneStats.R);
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    for (uint32_t i = 0; i < kCurveEntries; ++i) toneCurves.internalScanCurves[i][c] = toneCurves.curve[c][i];
  }

  return toneCall.saturationCheck && toneCall.negative ? toneStats.saturationFlags : kToneOk;
}

}  // namespace tonefx
