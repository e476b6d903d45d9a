// Shared calibration results.
#pragma once

#include <cstdint>

// Working state: zeroed by ResetScanState.
struct CalibrationWorkState {
  uint16_t xOriginOffset;  // horizontal origin correction, 600-dpi sensor pixels
  uint16_t yOriginOffset;  // vertical origin correction, MoveCarriage units
  uint8_t savedGainCodes[3];
  uint8_t savedOffsetCodes[3];
  uint16_t frontEndWindowBase;   // front-end calibration window (34 after reset)
  uint16_t frontEndWindowLimit;  // (61 after reset)
};
