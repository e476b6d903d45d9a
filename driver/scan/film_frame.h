// Film frame source (scanSource 2): the search for the frame edge in the
// first device lines of a scan, and the depth conversions that turn the
// colour lines a film is scanned with into the depth the host asked for.
#pragma once

#include <cstdint>

// In place: pixel i of three bytes (R, G, B) becomes byte i =
// (3 R + 6 G + B) / 10, truncated.
void ConvertToGrey(uint8_t* buffer, uint32_t pixelCount);

// In place: sample i becomes bit i, most significant bit first; a bit is 1
// when its sample is 128 or more. A final partial byte keeps 0 in its
// unused low bits.
void ConvertToBits(uint8_t* buffer, uint32_t sampleCount);

// Device lines between the top of the film window and the frame edge.
// Reads (and drops) the lines it looks at; 1, or 0 when a line read failed
// (lastError set by the line pipeline).
int32_t FilmFrameSearch(uint32_t* frameOffsetLines);

// Turns a colour film frame line (`length` bytes at `line`) into the
// requested depth in place and returns its new length.
uint32_t FilmFrameLineConversion(uint8_t* line, uint32_t length);

// Whether a colour line must become grey (and then bits) for the host: the
// film frame is scanned in colour whatever depth was asked for.
bool FilmLinesNeedGrey();
bool FilmLinesNeedBits();
