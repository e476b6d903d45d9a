// The reader thread and the ring of raw lines: the producer that drains the
// controller's image memory while a scan runs, the consumer's line sources,
// the synchronous block read used when no thread could be created, and the
// end-of-scan clean-up.
#pragma once

#include <atomic>
#include <cstdint>

#include "interface/driver.h"

// Waits of the reader and the consumer (ms).
constexpr uint32_t kReaderStartDelayMs = 50;
constexpr uint32_t kNoDataLimitMs = 25000;        // no block reported, or the motor not stopping
constexpr uint32_t kLevelPollDelayMs = 64;
constexpr uint32_t kMotorPollDelayMs = 2;
constexpr uint32_t kRingWaitSleepMs = 200;
constexpr uint32_t kRingFullLimitMs = 7200000;     // consumer holding the ring full: two hours
constexpr uint32_t kConsumerLimitMs = 50000;      // consumer finding no line
constexpr uint32_t kStopReaderLimitMs = 25000;

// Per-process ring cursors. The producer (reader thread) writes writeLine,
// the consumer (ReadScan) readLine; filledLines is changed by both, only with
// interlocked adds, and counts the complete lines not yet released (the line
// the consumer holds included).
struct RingCursors {
  std::atomic<uint32_t> writeLine;
  std::atomic<uint32_t> readLine;
  int32_t filledLines;
  int32_t firstTake;            // 1 until the consumer took its first line
  uint8_t* syncReadPointer;     // synchronous source: next unread raw line
};
extern RingCursors ring;

int32_t RingFilledLines();

// The thread entry (BeginScan creates it): runs ReaderLoop and reports its
// code through lastError and the exit code.
uint32_t ReaderThreadMain(void* unused);
DriverError ReaderLoop();

// Consumer: the next raw line of the ring (held until the next call).
DriverError TakeRingLine(uint8_t** line, uint32_t* length);
// The next selected raw line, compacted in place, of length outBytesPerLine;
// from the ring when a reader thread runs, else read synchronously. In colour
// every raw line after the lead-in is handed out.
DriverError NextRawLine(uint8_t** line, uint32_t* length);
// The rowTable entry of the next image line (advancing rowCursor); 0 past
// the end of the table.
uint8_t NextRowSelection();
// Synchronous block read of `count` bytes with the bottom-zone rule.
DriverError ReadScanData(uint8_t* destination, uint32_t count);

// Ends the reader (orderly, or forced after 25000 ms) and frees the ring, the
// colour slots and the tables. 1 on an orderly end, 0 when the thread had to
// be terminated (lastError 250) or the return home failed.
int32_t StopReader();

// lastError doubles as the reader thread's report to the consumer; both
// threads reach it through these.
int32_t LoadLastError();
void StoreLastError(int32_t code);
// A code that ends the consumer's waits (anything but 0 and 150).
inline bool IsReaderFailure(int32_t code) { return code != 0 && code != kErrLockTimeout; }
