// Scan geometry and timing: from a scan record to the resolution classes,
// the raw and output line sizes, the colour line delay and the scan column
// of the register image.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// The optical resolution held in the ability cache; 600 (the scanner's
// optical resolution) while the cache has not been filled.
uint16_t CachedOpticalResolution();

// Line layout of a scan as the device delivers it, in wide integers so that
// a caller can see whether every size fits the field it is stored in.
struct ScanLineLayout {
  uint32_t opticalXResolution;  // horizontal class
  uint32_t motorYResolution;    // vertical class
  uint32_t lineDelay;           // each of the two colour delays
  uint32_t extraLines;          // lead-in lines
  uint32_t padBytes;
  uint64_t width;               // scanned width, 1/600 inch, after the even-line adjustment
  uint64_t rawBytesPerLine;
  uint64_t imageLines;          // raw lines that carry image lines (no delay, no lead-in)
  uint64_t rawLineCount;
  uint64_t outBytesPerLine;
  uint64_t xStartBase;
  uint64_t yStartBase;
  uint64_t windowEnd;           // horizontal window end, 600-dpi sensor pixels
};
ScanLineLayout ComputeScanLineLayout(const ScanParameter& record);

// True when the geometry of `record` is consistent: every size fits its
// field, the raw line carries at least the bytes of the output line and
// the raw lines at least the output lines.
bool ScanGeometryFits(const ScanParameter& record);

// Prepares everything the next scan of `record` needs in the shared state
// and the scan column of the register image. Always returns 0.
DriverError PrepareScanGeometry(const ScanParameter* record);

// Motor step period, phase and line period for the vertical class `m`.
void ComputeStepTiming(uint16_t m, uint16_t* stepPeriod, uint32_t* phase, uint16_t* linePeriod);

// Value of the register pair 0x48/0x49.
uint16_t ComputeRegister48Value();
