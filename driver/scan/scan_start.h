// Scan start: BeginScan (calibration, carriage, gamma, register upload, the
// scan's buffers and tables, the start command and the reader thread) and
// the buffers and tables it creates.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// Bottom zone of the flatbed: a scan whose bottom edge lies below this line
// (1/600 inch) leaves its last blocks in the controller until the motor has
// stopped. The bed is 7016 long; the zone is its last two inches.
constexpr uint32_t kFlatbedLengthLimit = 7016;
constexpr uint32_t kBottomZoneStart = kFlatbedLengthLimit - 1200;

// Modes 0 and 1 carry one bit per pixel: their column table and their
// compaction work bit by bit. Every other mode is handled in whole samples.
constexpr bool OneBitScanMode(uint16_t scanMode) { return scanMode <= 1; }

// Calibrates, positions the carriage, uploads gamma and the scan register
// set, switches the lamps (lampSwitch 1 flatbed, 2 film unit, 0 unchanged),
// builds the buffers, starts the scan and creates the reader thread.
// Returns 1, or 0 with lastError set and every buffer freed. Called with
// deviceMutex held.
int32_t BeginScan(uint8_t toneArgument, uint8_t calibrate, uint8_t calibrationMode, uint8_t lampSwitch);

// Column and row selection tables (and the crop line buffer when the device
// area was enlarged). 0 or 152.
DriverError BuildScalingTables();
// Frees the tables and the crop line buffer and clears widthEnlarged and
// heightEnlarged. Safe when nothing is allocated.
void FreeScalingTables();
// Distributes m outputs over n inputs: entry i counts the outputs taken from
// input i (0 = input dropped). Entries from n on are not touched.
void BuildSelectionTable(uint8_t* table, uint32_t n, uint32_t m);

// ringLineSlots colour slots of `bytesPerSlot` bytes. 0 or 152.
DriverError AllocateColourSlots(uint32_t bytesPerSlot);
void FreeColourSlots();

// The ring of raw lines, halved until an allocation succeeds. 0 or 152.
DriverError AllocateRingBuffer();
void FreeRingBuffer();

// Resets the state the reader and the consumer hand each other (ring
// indexes, flags, colour phase, partial-output counters) for a new scan.
void ResetReaderHandOver();

// True while this process owns a started scan (from a successful BeginScan
// to the StopReader that ends it). The ring, tables and thread handle in
// the shared state belong to that process only.
bool ScanOwnedHere();
void SetScanOwnedHere(bool owned);
// True while any process has a scan started: a reader thread runs or a
// ring exists (a scan read synchronously has no thread).
bool AnyScanStarted();
