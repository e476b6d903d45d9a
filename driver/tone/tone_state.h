// Shared tone state besides the tone curves.
#pragma once

#include <cstdint>

// Working state: zeroed by ResetScanState.
struct ToneWorkState {
  uint8_t gammaLevelHigh;
  uint8_t gammaLevelLow;
  uint8_t gammaLevelSpan;
  uint16_t autoExposureFactor;  // 4096 = 1.0
  uint16_t autoGainFactor[3];   // 4096 = 1.0
};
