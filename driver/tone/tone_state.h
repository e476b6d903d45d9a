// Shared tone state besides the tone curves.
#pragma once

#include <cstdint>

// Working state: zeroed by ResetScanState.
struct ToneWorkState {
  // Output levels at both ends of the last channel-0 gamma upload: the
  // larger and smaller of the two end means and their difference (never
  // below 8). The film frame search tells film from frame gap with them.
  uint8_t gammaLevelHigh;
  uint8_t gammaLevelLow;
  uint8_t gammaLevelSpan;
  uint16_t autoExposureFactor;  // 4096 = 1.0
  uint16_t autoGainFactor[3];   // 4096 = 1.0
};
