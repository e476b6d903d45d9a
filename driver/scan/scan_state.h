// Shared state of the scan engine: parameters, geometry, buffers and the
// reader thread's bookkeeping.
#pragma once

#include <cstdint>

#include "tq5/records.h"

// Reader thread fields: they survive ResetScanState, because a scan may be
// running in another process.
struct ReaderThreadState {
  uintptr_t readerThread;    // nonzero while a scan's reader thread runs
  uint32_t readerThreadId;
  int32_t stopFlag;
};

// Working state: zeroed by ResetScanState.
struct ScanWorkState {
  // Parameters.
  ScanParameter requestedParameter;
  ScanParameter workingParameter;
  ScanParameter deviceParameter;
  uint32_t widthEnlarged;
  uint32_t heightEnlarged;
  // widthEnlarged and heightEnlarged as SetScanParameter left them: the end
  // of a scan clears the live flags, and every StartScan restores them.
  uint32_t preparedWidthEnlarged;
  uint32_t preparedHeightEnlarged;
  uint32_t halvedXResolution;
  uint32_t filmPrescanPending;
  uint32_t bufferedReadOffset;

  // Whole-image buffers of the buffered film-unit scans, allocated by
  // SetScanParameter in the process that will scan and released by the end
  // of that scan (ReleaseWholeImageBuffers). filmImageBuffer: the whole
  // film-type-2 image. Above 600 dpi: halfImageBuffer holds the first pass,
  // twoLineBuffer two lines of the second pass, mergeLineBuffer one merged
  // line.
  uint8_t* filmImageBuffer;
  uint8_t* halfImageBuffer;
  uint8_t* mergeLineBuffer;
  uint8_t* twoLineBuffer;

  // Geometry.
  uint16_t scanMode;
  uint16_t scanSource;
  uint16_t scanBits;
  uint16_t opticalXResolution;
  uint16_t motorYResolution;
  uint16_t xPixelPitch;
  uint16_t xStartBase;
  uint16_t yStartBase;
  uint16_t monoChannelIndex;
  uint8_t firstLineDelay;
  uint8_t secondLineDelay;
  uint16_t extraLines;
  uint16_t padBytes;
  uint16_t rawBytesPerLine;
  uint16_t rawLineCount;
  uint32_t rawTotalBytes;
  uint32_t rawBytesRemaining;
  uint16_t outBytesPerLine;
  uint16_t outLineCount;
  uint32_t outTotalBytes;
  // xResolution of the record the geometry was prepared for: the output
  // pixels of a line cover outPixels x opticalXResolution / scanXResolution
  // raw columns.
  uint16_t scanXResolution;
  uint32_t ringBufferSize;
  uint16_t ringLineSlots;
  uint16_t bottomEdge;
};
