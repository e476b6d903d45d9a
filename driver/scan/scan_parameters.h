// Scan parameters and data status: the host's description of the next scan,
// its validation, the output and device areas, and the whole-image buffers
// of the buffered film-unit scans.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// Output geometry of the prepared scan in this process: what GetDataStatus
// reports and ReadScan hands out per line.
extern uint16_t statusPixelsPerLine;
extern uint16_t statusLineCount;

// Largest whole-image buffer the driver asks for; a scan needing a larger
// one is refused as out of memory.
constexpr uint32_t kMaxWholeImageBytes = 0x40000000;

// Frees the whole-image buffers (filmImageBuffer and the three buffers of a
// half-resolution scan) that this process allocated and that the shared
// state still references, drops every reference, and clears
// halvedXResolution. Blocks allocated by another process are not freed here
// (their addresses mean nothing in this process); only the references go.
// The end of a scan and every new SetScanParameter call this.
void ReleaseWholeImageBuffers();
