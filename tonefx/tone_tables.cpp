// Lookup tables: densityOfLevel, levelOfDensity, positiveShape, squareTable
// and negativeShape, built once into static storage.

#include "tone_tables.h"

#include <algorithm>
#include <cmath>

#include "tonefx_state.h"

namespace tonefx {

const uint32_t kNegativeShapeX[10] = {0, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65535};

// Measured film characteristic per channel: the rows the table passes
// through exactly, the end of its flat top and the exponent of its tail.
const NegativeShapeRows kNegativeShapeRows[3] = {
    {281, {65535, 65534, 65524, 65361, 63071, 49451, 31281, 19087, 11616, 7068}, 0.7168},
    {390, {65535, 65534, 65531, 65474, 64442, 54222, 34334, 20335, 11990, 7068}, 0.7625},
    {485, {65535, 65534, 65533, 65507, 64952, 57316, 36755, 21311, 12275, 7068}, 0.7964},
};

namespace {

constexpr uint32_t kTailKnot = 7;  // index of x = 16384, where the power law starts
constexpr double kTailTolerance = 8.0;

void BuildDensityTables() {
  // Optical density x 127.5 of each level, 255 for level 0 and for
  // densities of 2.0 and more.
  toneTables.densityOfLevel[0] = 255;
  for (uint32_t i = 1; i < 256; ++i) {
    const double density = 127.5 * std::log10(255.0 / static_cast<double>(i));
    toneTables.densityOfLevel[i] = static_cast<uint8_t>(std::min(255.0, std::trunc(density)));
  }
  // Ten times the level, counted from the dark end, of each density code.
  for (uint32_t i = 0; i < 256; ++i) {
    const double level = 25.5 * std::pow(10.0, 2.0 * static_cast<double>(i) / 255.0);
    toneTables.levelOfDensity[i] = static_cast<uint16_t>(std::trunc(level));
  }
}

void BuildPlainShapes() {
  for (uint32_t x = 0; x < kShapeEntries; ++x) {
    toneTables.positiveShape[x] = static_cast<uint16_t>(x == 0 ? 0 : x - 1);
    toneTables.squareTable[x] = static_cast<uint16_t>(x * x / 65535u);
  }
}

// The part of a channel's negativeShape between the end of its flat top and
// x = 16384. The measured rows are joined by a monotone cubic (Fritsch-Carlson
// Hermite interpolation) over ln x: it starts level with the flat top, passes
// through every row, never rises between two rows and leaves x = 16384 with
// the slope of the power law that continues it. Values are rounded down and
// kept between the two rows around them, so the table falls below 65534
// right after the flat top and can never rise.
void BuildNegativeShoulder(uint32_t channel, uint16_t* table) {
  const NegativeShapeRows& rows = kNegativeShapeRows[channel];
  // Knots: the end of the flat top, then x = 512 ... 16384.
  constexpr uint32_t kKnots = 7;
  double t[kKnots];
  double v[kKnots];
  t[0] = std::log(static_cast<double>(rows.flatEnd));
  v[0] = 65534.0;
  for (uint32_t k = 1; k < kKnots; ++k) {
    t[k] = std::log(static_cast<double>(kNegativeShapeX[k + 1]));
    v[k] = rows.value[k + 1];
  }
  double h[kKnots - 1];
  double secant[kKnots - 1];
  for (uint32_t k = 0; k + 1 < kKnots; ++k) {
    h[k] = t[k + 1] - t[k];
    secant[k] = (v[k + 1] - v[k]) / h[k];
  }
  double slope[kKnots];
  slope[0] = 0.0;
  for (uint32_t k = 1; k + 1 < kKnots; ++k) {
    // Weighted harmonic mean of the neighbouring secants: keeps every
    // segment monotone.
    if (secant[k - 1] * secant[k] <= 0.0) {
      slope[k] = 0.0;
    } else {
      const double w1 = 2.0 * h[k] + h[k - 1];
      const double w2 = h[k] + 2.0 * h[k - 1];
      slope[k] = (w1 + w2) / (w1 / secant[k - 1] + w2 / secant[k]);
    }
  }
  // d/d(ln x) of c x^-gamma is -gamma times the value.
  slope[kKnots - 1] = -rows.gamma * v[kKnots - 1];

  for (uint32_t k = 0; k + 1 < kKnots; ++k) {
    const uint32_t x0 = k == 0 ? rows.flatEnd : kNegativeShapeX[k + 1];
    const uint32_t x1 = kNegativeShapeX[k + 2];
    const double upper = k == 0 ? 65533.0 : v[k];
    for (uint32_t x = x0 + 1; x < x1; ++x) {
      const double s = (std::log(static_cast<double>(x)) - t[k]) / h[k];
      const double s2 = s * s;
      const double s3 = s2 * s;
      const double value = (2 * s3 - 3 * s2 + 1) * v[k] + (s3 - 2 * s2 + s) * h[k] * slope[k] +
                           (-2 * s3 + 3 * s2) * v[k + 1] + (s3 - s2) * h[k] * slope[k + 1];
      table[x] = static_cast<uint16_t>(std::clamp(std::floor(value), v[k + 1], upper));
    }
  }
}

// The tail from x = 16384 to 65535: the power law, nudged through the rows at
// 16384, 32768 and 65535 by a correction that runs linearly in ln x between
// them, and never more than 8 units from the power law in whole units.
void BuildNegativeTail(uint32_t channel, uint16_t* table) {
  const NegativeShapeRows& rows = kNegativeShapeRows[channel];
  for (uint32_t k = kTailKnot; k + 1 < 10; ++k) {
    const uint32_t x0 = kNegativeShapeX[k];
    const uint32_t x1 = kNegativeShapeX[k + 1];
    const double c0 = rows.value[k] - NegativeShapePowerLaw(channel, x0);
    const double c1 = rows.value[k + 1] - NegativeShapePowerLaw(channel, x1);
    const double span = std::log(static_cast<double>(x1) / x0);
    for (uint32_t x = x0 + 1; x < x1; ++x) {
      const double law = NegativeShapePowerLaw(channel, x);
      const double s = std::log(static_cast<double>(x) / x0) / span;
      const double rounded = std::round(law);
      double value = std::round(law + c0 + (c1 - c0) * s);
      value = std::clamp(value, rounded - kTailTolerance, rounded + kTailTolerance);
      value = std::clamp(value, static_cast<double>(rows.value[k + 1]), static_cast<double>(rows.value[k]));
      table[x] = static_cast<uint16_t>(value);
    }
  }
}

// negativeShape: 65535 at x = 0, 65534 from 1 to the end of the flat top,
// then the shoulder and the tail above, exact at every measured row.
void BuildNegativeShape(uint32_t channel) {
  uint16_t* table = toneTables.negativeShape[channel];
  const NegativeShapeRows& rows = kNegativeShapeRows[channel];
  table[0] = 65535;
  for (uint32_t x = 1; x <= rows.flatEnd; ++x) table[x] = 65534;
  BuildNegativeShoulder(channel, table);
  BuildNegativeTail(channel, table);
  for (uint32_t k = 2; k < 10; ++k) table[kNegativeShapeX[k]] = rows.value[k];
}

}  // namespace

double NegativeShapePowerLaw(uint32_t channel, uint32_t x) {
  return 7068.0 * std::pow(65535.0 / static_cast<double>(x), kNegativeShapeRows[channel].gamma);
}

void BuildToneTables() {
  if (toneTables.built) return;
  BuildDensityTables();
  BuildPlainShapes();
  for (uint32_t c = 0; c < 3; ++c) BuildNegativeShape(c);
  toneTables.built = true;
}

}  // namespace tonefx
