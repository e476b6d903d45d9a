// Scan-start gamma: the fixed tone corrections composed onto the host's
// gamma tables (flatbed) or onto the tone curves and the host's tables
// (film unit, film frame), and the rule that picks what scan start uploads.
#pragma once

#include <cstdint>

#include "interface/driver.h"

constexpr int kBuilderCurveEntries = 256;

// One piecewise-linear correction: per channel the breakpoints X, the
// targets Y common to all channels, and the highest segment reached.
struct GammaPointTable {
  double x[3][6];
  double y[6];
  int lastSegment;
};

extern const GammaPointTable kFilmGammaPoints;
extern const GammaPointTable kFlatbedGammaPoints;
extern const GammaPointTable kFlatbedHighResolutionGammaPoints;

// The 256-entry curves of a point table on the 14-bit scale (0..16320),
// one per channel.
void ComputeBuilderCurves(const GammaPointTable& points, uint16_t curves[3][kBuilderCurveEntries]);

// Film unit and film frame: the film correction through toneCurve and
// gammaTable, uploaded for the channels of the scan; gammaTable unchanged.
DriverError BuildFilmGamma();
// Flatbed: the flatbed correction composed onto gammaTable in a scratch
// table and uploaded for the channels of the scan; gammaTable unchanged.
// Nothing for 16-bit samples. 152 when the scratch table cannot be had.
DriverError BuildFlatbedGamma();

// What scan start uploads for `toneArgument` (1: the host's tone; 0: the
// identity): the builders for positive scans, else the plain uploads.
DriverError UploadGammaForScan(uint8_t toneArgument);
