// The ReadScan line pipeline: compaction of raw lines to the output columns,
// colour line assembly, the cut of the requested area out of the device
// area, and the byte stream handed to the host.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// The requested area as a byte stream (line skip and column cut); 1, or 0
// with lastError set.
int32_t ReadArea(uint8_t* destination, uint32_t count);
// The device area as a byte stream of compacted device lines.
int32_t CopyOutputBytes(uint8_t* destination, uint32_t count);

// Reduces a raw line in place to the output columns (and puts 16-bit
// samples low byte first).
void CompactLine(uint8_t* rawLine);

// Which channel the next colour sample run belongs to, and its raw line.
DriverError NextColourPhase(uint8_t* channel, uint8_t** rawLine);
// The next assembled and selected colour line.
DriverError NextColourLine(uint8_t** line, uint32_t* length);

// Where the requested columns lie in a compacted device line: from
// byteOffset (then bitShift bits further for a one-bit scan), length bytes.
struct CutWindow {
  uint32_t byteOffset;
  uint32_t bitShift;
  uint32_t length;
};
void ComputeCutWindow(CutWindow* window);

// Resets this process's colour phase and line position for a new scan.
void ResetPipelineState();

// Film frame seams (scanSource 2). The film-unit code installs them: the
// frame search gives the device lines to skip above the frame, the line
// conversion turns a colour device line (at `line`, `length` bytes of the
// requested columns) into the requested depth in place and returns the new
// length. While they are not installed a film frame line passes as it is.
using FilmFrameSearchHook = int32_t (*)(uint32_t* frameOffsetLines);
using FilmFrameLineHook = uint32_t (*)(uint8_t* line, uint32_t length);
extern FilmFrameSearchHook filmFrameSearch;
extern FilmFrameLineHook filmFrameLineConversion;

// Buffered film-unit scans (a half-resolution two-pass scan, a film-type-2
// scan): ReadScan hands them to this entry of the film-unit code when their
// whole-image buffers exist. While it is not installed such a scan cannot
// be read (151).
using BufferedScanReadHook = int32_t (*)(uint32_t unused, uint8_t* destination, uint32_t count);
extern BufferedScanReadHook bufferedScanRead;
