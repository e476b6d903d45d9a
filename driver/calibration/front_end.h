// The analog front end: per-channel offset (registers 0x38-0x3A) and gain
// (registers 0x3B-0x3D) found by measurement, and the arithmetic of the
// gain, offset and exposure codes.
#pragma once

#include <cstdint>

#include "interface/driver.h"


// Gain codes: bit 5 selects the times-3 range, bits 0-4 the step.
constexpr uint8_t kGainTimesThree = 0x20;
constexpr uint8_t kGainStartCode = 1;
constexpr uint8_t kGainMaxCode = 0x3F;
// Offset codes: bit 5 is the sign (set = negative), bits 0-4 the magnitude.
constexpr uint8_t kOffsetNegative = 0x20;

enum class GainRounding { Nearest, Downward };

// Gain factor of a gain code.
double GainOfCode(uint8_t code);
// The code whose gain is nearest to (or just below) GainOfCode(code) x ratio.
// Ratios that are not finite or not positive are limited like any other: an
// unbounded ratio gives the largest code, zero or NaN the smallest of the
// range chosen.
uint8_t GainCodeForRatio(uint8_t code, double ratio, GainRounding rounding);
// The exposure code whose time factor (code + 2) / 2 is the current one's
// times `ratio`, limited to 0-255.
uint8_t ExposureCodeForRatio(uint8_t code, double ratio);
// Largest 16-bit sample (high byte first) of `channel` in a line of
// `lineBytes`; the line's last pixel is not examined. One-channel lines
// (scanMode other than 4) ignore `channel`.
uint16_t LineMaximum(const uint8_t* line, uint32_t lineBytes, uint16_t channel);
// Sum of the 14-bit values of the first `count` samples of `channel`; 0 as
// soon as one of them is 0.
uint32_t LeadingSampleSum(const uint8_t* line, uint32_t count, uint16_t channel);
// One offset step up: a positive code grows (at most 31), a negative one
// shrinks in magnitude, turning positive past zero.
void StepOffsetCode(uint8_t* code);

// Programs the calibration column for a calibration line across the bed and
// uploads it.
DriverError PrepareCalibrationLine();
// Measures one line at gain code 1 and stores per-channel gain codes in both
// columns; *whiteLevel gets the brightest sample / 256.
DriverError CalibrateGain(uint16_t* whiteLevel);
// Finds per-channel offset codes over seven line reads and stores them in
// both columns.
DriverError CalibrateOffset();

// Starts a capture, reads `count` bytes of it and stops it.
DriverError ReadCalibrationLine(uint8_t* buffer, uint32_t count);
// Sets the calibration values of a high/low register pair.
void SetCalibrationPair(uint8_t highReg, uint16_t value);
// Sets both values of a high/low register pair.
void SetBothPair(uint8_t highReg, uint16_t value);

// The geometry's horizontal class and pixel pitch as calibration divides by
// them: a class of 0 (no geometry prepared since the state was cleared)
// counts as the 300 class, a pitch of 0 as 6000 / class.
uint16_t CalibrationOpticalResolution();
uint16_t CalibrationPixelPitch();
// True when calibration lines carry three channels.
bool ColourCalibration();
