// Shared state of a running scan: buffers, tables, the ring and its
// cursors, the colour slots and the continuation state of ReadScan.
//
// The addresses in here are valid only in the process that started the scan
// (the scan's owner); other processes only look at whether they are null.
#pragma once

#include <cstdint>

// Colour line assembly: the sensor's three colour rows see a page line at
// different times, so an output line is put together in a slot from three
// raw lines. ringLineSlots slots are linked in a ring.
struct ColourSlot {
  int32_t channelFilled[3];  // 1 once that channel's samples are in `line`
  uint8_t* line;             // outBytesPerLine bytes
  ColourSlot* next;          // following slot of the ring
  uint8_t selected;          // rowTable entry of this image line (0 = dropped)
};

// Most slots a scan can need: two line delays of 8 raw lines (the 1200-line
// class) plus two.
constexpr int kMaxColourSlots = 18;

// Working state: zeroed by ResetScanState.
struct ScanRunState {
  // Ring of raw lines filled by the reader (a whole number of raw lines).
  uint8_t* ringBuffer;
  uint32_t ringCapacityBytes;
  uint32_t ringCapacityLines;

  // Selection tables: one entry per raw pixel (per raw bit for the bitwise
  // modes) and one per raw line; 0 drops the pixel or line.
  uint8_t* columnTable;
  uint32_t columnTableEntries;
  uint8_t* rowTable;
  uint32_t rowTableEntries;
  uint8_t* rowCursor;  // next rowTable entry to consume

  // One device line plus a reference line, for cutting the requested area
  // out of a widened or heightened device area.
  uint8_t* cropLineBuffer;

  // Colour slots and their cursors.
  ColourSlot colourSlots[kMaxColourSlots];
  uint32_t colourSlotCount;
  ColourSlot* channelCursor[3];  // next slot each channel writes
  ColourSlot* deliveryCursor;    // slot handed out last
  int32_t colourPhaseReset;      // 1: the next colour phase starts a scan

  // Reader hand-over (the reader thread and the consumer poll these).
  int32_t readerDone;         // 1 once the reader has read everything, given up or been stopped
  uint8_t readerState;        // ReadScanData: 0 reading, 1 waiting for the motor, 2 motor stopped
  uint32_t bottomZoneBytes;   // raw bytes at the end read only after the motor stopped
  uint32_t syncFillBytes;     // synchronous source: bytes of the ring fill not yet taken

  // ReadScan continuation.
  uint32_t lineRemaining;      // bytes of the current device line not yet copied
  uint32_t cropRemaining;      // bytes of the current cut output line not yet copied
  uint32_t bufferedBytesLeft;  // bytes of a buffered film line or image not yet handed out
  uint32_t bytesDelivered;     // image bytes ReadScan has handed out in this scan
  uint32_t scanFailure;        // code of a failed ReadScan; only StopScan may follow
};
