// Lookup tables of the auto tone library: the density scale and its inverse,
// and the shape tables the curves are read from.
#pragma once

#include <cstdint>

namespace tonefx {

// Fills toneTables once; later calls return at once.
void BuildToneTables();

// The film characteristic of each channel between its measured rows.
struct NegativeShapeRows {
  uint32_t flatEnd;         // last x at which the table is 65534
  uint16_t value[10];       // at x = 0, 256, 512, ..., 32768, 65535
  double gamma;             // power law from x = 16384 on
};
extern const uint32_t kNegativeShapeX[10];
extern const NegativeShapeRows kNegativeShapeRows[3];

// The power law a channel's table follows at its top end:
// 7068 x (65535 / x)^gamma.
double NegativeShapePowerLaw(uint32_t channel, uint32_t x);

}  // namespace tonefx
