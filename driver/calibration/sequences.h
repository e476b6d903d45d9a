// Calibration sequences: the first calibration with the reference-mark
// search run by InitializeScanner, the calibration before every scan, and
// the film-type-2 variant.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// The reference capture: 150 lines of the default window at 8 bits per
// sample, three channels, plus two bytes per line.
constexpr uint16_t kReferenceLines = 150;

// Front end and one-line white shading after the lamp check, then the
// capture of the start of the bed that gives the origin corrections.
DriverError InitialCalibration();
DriverError StartupCalibration();
// Finds the reference mark in `image` (`lines` lines of `linePitch` bytes)
// and sets xOriginOffset and yOriginOffset; 178, 179 or 177 when it cannot.
DriverError FindReferenceMark(const uint8_t* image, uint16_t linePitch, uint16_t lines);
// Front end, light level, dark and white shading for the coming scan window.
DriverError CalibrateForScan(uint8_t calibrationMode);
DriverError CalibrateFilmType2(uint8_t calibrationMode);
// Lamps off, dark measurement, lamps back as given, then finalWaitMs.
DriverError DarkShadingGroup(bool flatbedLamp, bool filmLamp, uint32_t finalWaitMs);
// Line pitch of the reference capture from the register defaults.
uint16_t ReferenceLinePitch();
