// Shading calibration: per-column dark levels (controller memory 0) and
// white coefficients (controller memory 1) measured across the horizontal
// window of the coming scan, and their uploads.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// Most values one column's trimmed mean takes.
constexpr int kMaxTrimValues = 50;
// Register 0x42 bits: a dark / a white table has been uploaded.
constexpr uint8_t kDarkTableLoaded = 0x04;
constexpr uint8_t kWhiteTableLoaded = 0x02;

enum class TrimRule { White, Dark };

// Integer mean of `values` without their lowest and highest ones, as many
// as `rule` drops for `count` values. Reorders `values`.
uint16_t TrimmedMean(uint16_t* values, int count, TrimRule rule);
// Reduces every 16-bit word column of `lines` lines (samples high byte
// first, taken as 14-bit values) to its trimmed mean, stored in host order
// as that word of the first line.
void ColumnTrimmedMean(uint8_t* buffer, uint32_t lines, uint32_t lineWords, TrimRule rule);
// White coefficient of a 14-bit white mean.
uint16_t WhiteCoefficient(uint16_t mean, uint16_t scanSource);
// Pixels of the scan window as the shading tables cover it.
uint32_t ShadingWindowPixels();

// Reads `lines` lines with the lamp on and uploads the white coefficients.
DriverError CalibrateShading(uint8_t lines);
// Reads `lines` lines with the lamps off and uploads the dark levels.
DriverError MeasureDarkShading(uint16_t lines);
