// The reader thread, the ring of raw lines and the line sources.
//
// Producer and consumer share the ring through the per-process cursors and
// filledLines (interlocked). The flags in the shared state that one side
// writes and the other polls (stopFlag, readerDone, bottomZoneBytes) and
// lastError are reached with atomic loads and stores.
#include "scan/reader.h"

#include <atomic>

#include "controller/controller_registers.h"
#include "controller/motion.h"
#include "interface/shared_state.h"
#include "scan/read_scan.h"
#include "scan/scan_start.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

RingCursors ring;

namespace {


// Reader states (readerState, and the thread's own copy).
constexpr uint8_t kReading = 0;
constexpr uint8_t kAwaitingMotorStop = 1;
constexpr uint8_t kMotorStopped = 2;

template <class T>
T Load(T& value) {
  return std::atomic_ref<T>(value).load(std::memory_order_acquire);
}
template <class T>
void Store(T& value, T v) {
  std::atomic_ref<T>(value).store(v, std::memory_order_release);
}

uint32_t Elapsed(uint32_t since) { return PlatTickCount() - since; }

// One poll of the controller for the next block (the steps a block read
// shares between the thread and the synchronous read). `want` is the most
// that may be read, `remaining` the raw bytes still to come. Sets *n to the
// bytes to read now; 0 means poll again. A bottom zone is entered here: the
// block is cut at its start and the rest is read once the motor stopped.
DriverError PollBlock(uint8_t* state, uint32_t remaining, uint32_t want, uint32_t since, uint32_t* n) {
  SharedState& s = *sharedState;
  *n = 0;
  uint8_t level = 0;
  DriverError result = ReadRegister(kRegFillLevel, &level);
  if (result != kErrNone) return result;
  uint32_t blocks = level;
  // Once the motor has stopped the controller holds the last blocks and
  // need not report them: read on regardless.
  if (*state == kMotorStopped && blocks == 0) blocks = 1;
  if (*state == kAwaitingMotorStop) {
    if (Elapsed(since) > kNoDataLimitMs) return kErrDataTimeout;
    uint8_t status = 0;
    if ((result = ReadRegister(kRegMoveStatus, &status)) != kErrNone) return result;
    Delay(kMotorPollDelayMs);
    if ((status & kMoveFinished) == 0) return kErrNone;
    if ((result = WriteRegister(kRegCommand, 0x00)) != kErrNone) return result;
    *state = kMotorStopped;
  }
  if (blocks == 0) {
    if (Elapsed(since) > kNoDataLimitMs) return kErrDataTimeout;
    Delay(kLevelPollDelayMs);
    return kErrNone;
  }
  uint32_t count = want < blocks * kImageBlockBytes ? want : blocks * kImageBlockBytes;
  const uint32_t zone = Load(s.bottomZoneBytes);
  if (zone != 0 && remaining - count != 0 && remaining - count <= zone) {
    *state = kAwaitingMotorStop;
    count = remaining > zone ? remaining - zone : 0;
    Store(s.bottomZoneBytes, 0u);
  }
  *n = count;
  return kErrNone;
}

// Lines free for the producer from the write line on, up to the end of the
// ring. Computed from the filled count, which only the consumer lowers
// meanwhile: the free space is never overestimated, whatever the consumer
// does between the reads.
uint32_t FreeLinesToRingEnd(uint32_t capLines, uint32_t writeLine) {
  const int32_t filled = RingFilledLines();
  const uint32_t free = filled >= static_cast<int32_t>(capLines) ? 0 : capLines - static_cast<uint32_t>(filled);
  const uint32_t toEnd = capLines - writeLine;
  return free < toEnd ? free : toEnd;
}

// The ring is full: waits until the consumer has released a line and then
// emptied the ring (its read line back at the write line). Ends early with
// `stopped` when stopFlag is set; 173 when the consumer holds the ring for
// two hours.
DriverError WaitForEmptiedRing(uint32_t capLines, uint32_t writeLine, bool* stopped) {
  SharedState& s = *sharedState;
  const uint32_t since = PlatTickCount();
  bool released = false;
  for (;;) {
    if (Load(s.stopFlag) != 0) {
      *stopped = true;
      return kErrNone;
    }
    if (!released) released = RingFilledLines() < static_cast<int32_t>(capLines);
    if (released && ring.readLine.load(std::memory_order_acquire) == writeLine) return kErrNone;
    if (Elapsed(since) > kRingFullLimitMs) return kErrDataTimeout;
    PlatSleep(kRingWaitSleepMs);
  }
}

// Ends the reading: marks the reader done and starts the carriage home.
DriverError FinishReading() {
  Store(sharedState->readerDone, 1);
  return StartGoHome();
}

// Waits until the ring holds a line for the consumer. Ends on a failure code
// in lastError (the reader's report, or an earlier failure not yet fetched),
// at once when the reader has finished and left nothing, and after 50000 ms.
// The first take of a scan spins; later waits sleep 200 ms per check.
DriverError WaitForRingLine(bool firstTake) {
  SharedState& s = *sharedState;
  const uint32_t since = PlatTickCount();
  for (;;) {
    // readerDone first: the reader counts its last lines before it sets it.
    const bool done = Load(s.readerDone) != 0;
    if (RingFilledLines() > 0) return kErrNone;
    const int32_t reported = LoadLastError();
    if (IsReaderFailure(reported)) return static_cast<DriverError>(reported);
    if (done) return kErrDataTimeout;
    if (Elapsed(since) > kConsumerLimitMs) return kErrDataTimeout;
    if (!firstTake) PlatSleep(kRingWaitSleepMs);
  }
}

// Synchronous source: the next raw line of the current ring fill, filling
// the ring from the device when it has been used up.
DriverError TakeSyncLine(uint8_t** line) {
  SharedState& s = *sharedState;
  const uint32_t lineBytes = s.rawBytesPerLine;
  if (s.syncFillBytes == 0) {
    // Everything has been handed out: nothing more will come.
    if (s.rawBytesRemaining == 0) return kErrDataTimeout;
    const uint32_t fill = s.rawBytesRemaining < s.ringCapacityBytes ? s.rawBytesRemaining : s.ringCapacityBytes;
    s.syncFillBytes = fill;
    const DriverError result = ReadScanData(s.ringBuffer, fill);
    if (result != kErrNone) return result;
    ring.syncReadPointer = s.ringBuffer;
    s.rawBytesRemaining -= fill;
    if (s.rawBytesRemaining == 0) {
      const DriverError home = StartGoHome();
      if (home != kErrNone) return home;
      Store(s.readerDone, 1);
    }
  }
  *line = ring.syncReadPointer;
  ring.syncReadPointer += lineBytes;
  s.syncFillBytes = s.syncFillBytes > lineBytes ? s.syncFillBytes - lineBytes : 0;
  return kErrNone;
}

DriverError TakeSourceLine(uint8_t** line) {
  uint32_t length = 0;
  return sharedState->readerThread != 0 ? TakeRingLine(line, &length) : TakeSyncLine(line);
}

}  // namespace

uint8_t NextRowSelection() {
  SharedState& s = *sharedState;
  if (s.rowCursor == nullptr || s.rowCursor >= s.rowTable + s.rowTableEntries) return 0;
  return *s.rowCursor++;
}

int32_t RingFilledLines() { return std::atomic_ref<int32_t>(ring.filledLines).load(std::memory_order_acquire); }

int32_t LoadLastError() { return std::atomic_ref<int32_t>(lastError).load(std::memory_order_acquire); }
void StoreLastError(int32_t code) { std::atomic_ref<int32_t>(lastError).store(code, std::memory_order_release); }

DriverError ReaderLoop() {
  SharedState& s = *sharedState;
  uint8_t state = kReading;
  const uint32_t lineBytes = s.rawBytesPerLine;
  const uint32_t capLines = s.ringCapacityLines;
  uint32_t remaining = s.rawBytesRemaining;
  uint32_t chunk = s.ringCapacityBytes < remaining ? s.ringCapacityBytes : remaining;
  uint8_t* write = s.ringBuffer;
  uint32_t carry = 0;
  if (lineBytes == 0 || capLines == 0 || write == nullptr) return kErrNoMemory;

  Delay(kReaderStartDelayMs);
  while (remaining > 0 && Load(s.stopFlag) == 0) {
    uint32_t since = PlatTickCount();
    while (chunk > 0 && Load(s.stopFlag) == 0) {
      uint32_t n = 0;
      DriverError result = PollBlock(&state, remaining, chunk, since, &n);
      if (result != kErrNone) return result;
      if (n == 0) continue;
      if ((result = ReadRegisterStream(kImageDataPort, write, n)) != kErrNone) return result;
      remaining -= n;
      write += n;
      chunk -= n;
      std::atomic_ref<uint32_t>(s.syncFillBytes).fetch_add(n);
      // A block may end in mid-line: a line counts once its last byte is in.
      const uint32_t lines = (carry + n) / lineBytes;
      carry = (carry + n) % lineBytes;
      uint32_t writeLine = ring.writeLine.load(std::memory_order_relaxed) + lines;
      if (writeLine >= capLines) {
        writeLine = 0;
        write = s.ringBuffer;
      }
      ring.writeLine.store(writeLine, std::memory_order_release);
      PlatInterlockedAdd(&ring.filledLines, static_cast<int32_t>(lines));
      if ((remaining == 0 || Load(s.stopFlag) != 0) && Load(s.readerDone) == 0) return FinishReading();
      since = PlatTickCount();
    }
    if (remaining == 0 || Load(s.stopFlag) != 0) break;

    // The next chunk: the free lines from the write line on.
    const uint32_t writeLine = ring.writeLine.load(std::memory_order_relaxed);
    uint32_t lines = FreeLinesToRingEnd(capLines, writeLine);
    if (lines == 0) {
      bool stopped = false;
      const DriverError result = WaitForEmptiedRing(capLines, writeLine, &stopped);
      if (result != kErrNone) return result;
      if (stopped) break;
      lines = capLines - writeLine;
    }
    chunk = lines * lineBytes;
    if (chunk > remaining) chunk = remaining;
  }
  if (Load(s.stopFlag) != 0 && Load(s.readerDone) == 0) return FinishReading();
  return kErrNone;
}

uint32_t ReaderThreadMain(void* /*unused*/) {
  const DriverError result = ReaderLoop();
  if (result != kErrNone) {
    // Given up: a data time-out also sends the carriage home.
    if (result == kErrDataTimeout) StartGoHome();
    Store(sharedState->readerDone, 1);
  }
  StoreLastError(static_cast<int32_t>(result));
  return result;
}

DriverError TakeRingLine(uint8_t** line, uint32_t* length) {
  SharedState& s = *sharedState;
  const bool firstTake = ring.firstTake != 0;
  if (firstTake) {
    ring.readLine.store(0, std::memory_order_release);
    ring.firstTake = 0;
  } else {
    // Release the line held since the previous take.
    uint32_t next = ring.readLine.load(std::memory_order_relaxed) + 1;
    if (next >= s.ringCapacityLines) next = 0;
    ring.readLine.store(next, std::memory_order_release);
    PlatInterlockedAdd(&ring.filledLines, -1);
  }
  const DriverError result = WaitForRingLine(firstTake);
  if (result != kErrNone) return result;
  *line = s.ringBuffer + static_cast<size_t>(ring.readLine.load(std::memory_order_relaxed)) * s.rawBytesPerLine;
  *length = s.rawBytesPerLine;
  return kErrNone;
}

DriverError NextRawLine(uint8_t** line, uint32_t* length) {
  SharedState& s = *sharedState;
  uint8_t* raw = nullptr;
  DriverError result = kErrNone;
  // The lead-in lines precede the image.
  while (s.extraLines > 0) {
    --s.extraLines;
    if ((result = TakeSourceLine(&raw)) != kErrNone) return result;
  }
  if (s.scanMode == kScanModeColour) {
    // Colour lines are selected when they are assembled.
    if ((result = TakeSourceLine(&raw)) != kErrNone) return result;
  } else {
    do {
      if ((result = TakeSourceLine(&raw)) != kErrNone) return result;
    } while (NextRowSelection() == 0);
  }
  CompactLine(raw);
  *line = raw;
  *length = s.outBytesPerLine;
  return kErrNone;
}

DriverError ReadScanData(uint8_t* destination, uint32_t count) {
  SharedState& s = *sharedState;
  uint32_t remaining = s.rawBytesRemaining;
  Delay(kReaderStartDelayMs);
  uint32_t since = PlatTickCount();
  while (count > 0) {
    uint32_t n = 0;
    uint8_t state = s.readerState;
    DriverError result = PollBlock(&state, remaining, count, since, &n);
    s.readerState = state;
    if (result != kErrNone) return result;
    if (n == 0) continue;
    if ((result = ReadRegisterStream(kImageDataPort, destination, n)) != kErrNone) return result;
    destination += n;
    count -= n;
    remaining -= n;
    since = PlatTickCount();
  }
  return kErrNone;
}

namespace {

void FreeScanBuffers() {
  FreeRingBuffer();
  FreeColourSlots();
  FreeScalingTables();
}

bool ThreadFinished(PlatThread* thread) {
  uint32_t code = kPlatThreadStillActive;
  return PlatThreadExitCode(thread, &code) && code != kPlatThreadStillActive;
}

}  // namespace

int32_t StopReader() {
  SharedState& s = *sharedState;
  int32_t result = 1;
  auto* thread = reinterpret_cast<PlatThread*>(s.readerThread);
  if (thread != nullptr) {
    Store(s.stopFlag, 1);
    // The thread ends at its next check of stopFlag. It has ended when it
    // has returned, not merely set readerDone: it may still be sending the
    // carriage home and reporting its code, and nothing of it may run on
    // once the buffers are gone.
    const uint32_t since = PlatTickCount();
    bool ended = ThreadFinished(thread);
    while (!ended && Elapsed(since) <= kStopReaderLimitMs) ended = ThreadFinished(thread);
    bool buffersFree = true;
    if (!ended) {
      // Stuck (typically in a transfer): end it. Its device calls fail from
      // now on, so it runs to its end; PlatThreadTerminate waits for that.
      buffersFree = PlatThreadTerminate(thread, kErrTransferFailed);
      StoreLastError(kErrTransferFailed);
      result = 0;
    }
    PlatThreadClose(thread);
    s.readerThread = 0;
    if (buffersFree) {
      FreeScanBuffers();
    } else {
      // A thread that did not end even when terminated may still write into
      // the ring: its buffers are given up rather than freed under it.
      s.ringBuffer = nullptr;
      s.columnTable = s.rowTable = s.cropLineBuffer = nullptr;
      s.colourSlotCount = 0;
      FreeScanBuffers();
    }
  } else {
    FreeScanBuffers();
    if (Load(s.readerDone) == 0) {
      const DriverError home = StartGoHome();
      if (home != kErrNone) {
        StoreLastError(static_cast<int32_t>(home));
        result = 0;
      }
      Store(s.readerDone, 1);
    }
  }
  s.readerState = 0;
  SetScanOwnedHere(false);
  return result;
}
