// Tone curves and gamma tables: the driver's tables from which the
// controller's gamma memory is filled, their size conversions and uploads.
#pragma once

#include <cstdint>

#include "interface/driver.h"

constexpr int kGammaTableEntries = 16384;
constexpr int kControllerGammaBytes = 4096;
constexpr int kToneCurveEntries = 256;
// A gammaTable index is an input level times this.
constexpr int kGammaIndexScale = 64;
// Least span between the shared gamma levels.
constexpr uint8_t kMinimumGammaSpan = 8;

// Per-process gamma tables loaded by the host (index = input level x 64,
// high byte = output level).
extern uint16_t gammaTable[3][kGammaTableEntries];

// Sets every gammaTable to the identity (entry i = 4 x i).
void SetIdentityGammaTables();
// Sets the three shared toneCurves to the identity (entry j = j).
void SetIdentityToneCurves();

// 256 levels to the controller's 4096 entries, interpolating 16 steps
// between neighbours.
void ExpandGamma256To4096(const uint8_t* curve, uint8_t* table);
// Every fourth entry's high byte.
void ReduceGamma16384To4096(const uint16_t* gamma, uint8_t* table);
// 256 levels to 16384 entries, interpolating 64 steps between neighbours.
void ExpandCurve256To16384(const uint16_t* curve, uint16_t* gamma);

// Uploads one channel's table to the controller's gamma memory:
//  - table with count > 256: a 16384-entry gamma table (reduced);
//  - table with count <= 256: a 256-entry tone curve (levels 0..255) looked
//    up through the channel's gammaTable;
//  - no table: the identity.
// Nothing is uploaded while the scan set asks for 16-bit samples. A channel
// of 3 or more means channel 1. Channel 0 uploads record the shared gamma
// levels.
DriverError UploadGammaChannel(const uint16_t* table, uint8_t channel, uint16_t count);
// Writes the identity to the gamma memory of banks 0, 1, 2 and verifies it.
DriverError UploadIdentityGamma();
