// Shared fields of the driver interface: lamp timing, the ability record
// cache, and the film unit record with its measured positions.
#pragma once

#include <cstdint>

#include "tq5/records.h"

constexpr uint32_t kAbilityIdentifier = 0x3C5E9D14;
constexpr int kAbilityCacheBytes = 142;

// Working state: zeroed by ResetScanState.
struct InterfaceWorkState {
  uint32_t lampOnTime;         // when the controller was powered up or the lamps last switched
  uint16_t lampUnstable;       // the warm-up check found the lamp not yet stable
  uint32_t abilityIdentifier;  // reported in the extended ability record
  uint8_t abilityCache[kAbilityCacheBytes];
  uint32_t abilityCacheValid;
  FilmUnitMode filmUnitMode;   // the record of the last successful SetTPUMode
  uint8_t filmCalibrated;      // film unit positions measured since it was switched on
  uint16_t filmStartDistance;  // home to film-unit area, in MoveCarriage units
  uint16_t filmFrameXOffset;   // film frame window, 600-dpi sensor pixels
};
