// Tone curves and gamma tables: the driver's tables from which the
// controller's gamma memory is filled, their size conversions and uploads.
#pragma once

#include <cstdint>

#include "interface/driver.h"

constexpr int kGammaTableEntries = 16384;
constexpr int kControllerGammaBytes = 4096;

// Per-process gamma tables loaded by the host (index = input level x 64,
// high byte = output level).
extern uint16_t gammaTable[3][kGammaTableEntries];

// Sets every gammaTable to the identity (entry i = 4 x i).
void SetIdentityGammaTables();
// Sets the three shared toneCurves to the identity (entry j = j).
void SetIdentityToneCurves();

void ExpandGamma256To4096(const uint8_t* curve, uint8_t* table);
void ReduceGamma16384To4096(const uint16_t* gamma, uint8_t* table);
void ExpandCurve256To16384(const uint16_t* curve, uint16_t* gamma);
DriverError UploadGammaChannel(const uint16_t* table, uint8_t channel, uint16_t count);
DriverError UploadIdentityGamma();
