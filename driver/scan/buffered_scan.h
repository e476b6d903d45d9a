// Buffered film-unit scans: the half-resolution two-pass scan (a film-unit
// scan above 600 dpi, scanned twice at half the horizontal resolution and
// merged) and the film-type-2 scan (the whole image collected, tone
// corrected, converted and then handed out).
#pragma once

#include <cstdint>

// Merges a line of the second pass (A, shifted by half a pixel) with the
// same line of the first pass (B) into D, `mergedLength` bytes of pixels of
// `pixelBytes` bytes: output pixel 2k is the mean of A[k] and B[k], pixel
// 2k + 1 the mean of A[k + 1] and B[k]; the last pixel 2k + 1 is B[k].
void MergeShiftedLines(uint8_t* merged, const uint8_t* secondPass, const uint8_t* firstPass, uint32_t mergedLength,
                       uint32_t pixelBytes);

// The buffered path of ReadScan (entered under the device lock when a
// whole-image buffer exists); 1, or 0 with lastError set (or unchanged
// while the first pass of a half-resolution scan is being collected).
int32_t BufferedScanRead(uint32_t unused, uint8_t* destination, uint32_t count);
