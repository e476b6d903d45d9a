// StartScan and BeginScan: everything between a prepared scan and image data
// flowing into the ring.
#include "scan/scan_start.h"

#include <cstring>

#include "calibration/sequences.h"
#include "controller/controller_registers.h"
#include "controller/motion.h"
#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "scan/read_scan.h"
#include "scan/reader.h"
#include "scan/scan_geometry.h"
#include "tone/gamma_builders.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kRegisterBlockThreshold = 0x4E;

// This process started the scan the shared state describes.
bool scanOwnedHere = false;

// The depths the line pipeline handles: one bit for the one-bit modes,
// whole 8- or 16-bit samples otherwise (grey 8/16, colour 24/48). Mode 5
// keeps its samples whole like the other one-channel modes: selecting its
// columns bit by bit would tear multi-bit samples apart.
bool ScanDepthSupported(const SharedState& s) {
  if (OneBitScanMode(s.scanMode)) return s.scanBits == 1;
  if (s.scanMode == kScanModeColour) return s.scanBits == 24 || s.scanBits == 48;
  return s.scanMode <= 5 && (s.scanBits == 8 || s.scanBits == 16);
}

// Raw and output entries of the column table: pixels, or bits for the
// one-bit modes.
void ColumnCounts(const SharedState& s, uint32_t* rawEntries, uint32_t* outEntries) {
  const uint32_t data = static_cast<uint32_t>(s.rawBytesPerLine - s.padBytes);
  if (OneBitScanMode(s.scanMode)) {
    *rawEntries = data * 8u;
    *outEntries = s.outBytesPerLine * 8u;
  } else {
    const uint32_t pixelBytes = s.scanBits / 8u;
    *rawEntries = data / pixelBytes;
    *outEntries = s.outBytesPerLine / pixelBytes;
  }
}

// Raw columns the output pixels of a line cover. The output line may be
// narrower than the device area: a one-bit line is a whole number of bytes,
// rounded down from the area, while the device still scans the whole area
// (at least the widened minimum). Spreading the output pixels over every raw
// column would stretch the line and shift all but its first pixels to the
// right (5/600 inch at 500 dpi across a widened area); they are spread over
// the columns they cover instead, and the columns beyond stay unselected.
uint32_t CoveredColumns(const SharedState& s, uint32_t rawEntries, uint32_t outEntries) {
  if (s.scanXResolution == 0) return rawEntries;
  const uint32_t covered = (outEntries * s.opticalXResolution + s.scanXResolution / 2u) / s.scanXResolution;
  if (covered < outEntries || covered > rawEntries) return rawEntries;
  return covered;
}

uint32_t LeadInLines(const SharedState& s) {
  return static_cast<uint32_t>(s.firstLineDelay) + s.secondLineDelay + s.extraLines;
}

// The prepared geometry is one the line pipeline can run: a supported
// depth, raw lines at least as wide as the output lines, enough raw lines
// after the lead-in and the colour delay, and a cut that lies inside the
// device line. Checked before anything is sent to the device.
bool ScanLayoutUsable(const SharedState& s) {
  if (!ScanDepthSupported(s) || s.rawBytesPerLine <= s.padBytes || s.outBytesPerLine == 0) return false;
  uint32_t rawEntries = 0, outEntries = 0;
  ColumnCounts(s, &rawEntries, &outEntries);
  if (outEntries == 0 || outEntries > rawEntries) return false;
  if (LeadInLines(s) >= s.rawLineCount || s.outLineCount > s.rawLineCount - LeadInLines(s)) return false;
  if (s.scanMode == kScanModeColour && s.ringLineSlots != 2u * s.firstLineDelay + 2u) return false;
  if (s.widthEnlarged != 0) {
    CutWindow window{};
    ComputeCutWindow(&window);
    if (window.length == 0 || window.byteOffset + window.length > s.outBytesPerLine) return false;
  }
  return true;
}

DriverError SwitchLamps(uint8_t lampSwitch) {
  if (lampSwitch == 1) return SetLamps(true, false);
  if (lampSwitch == 2) return SetLamps(false, true);
  return kErrNone;
}

// Calibration and carriage positioning, the uploads, the lamps and the
// buffers: every step of BeginScan up to the start command.
DriverError PrepareScan(uint8_t toneArgument, uint8_t calibrate, uint8_t calibrationMode, uint8_t lampSwitch) {
  SharedState& s = *sharedState;
  if (!ScanLayoutUsable(s)) return kErrBadParameter;
  DriverError result = kErrNone;
  if (calibrate != 0) {
    // The previous scan sent the carriage home without waiting for it. A
    // flatbed calibration measures the strip at the home end of the bed:
    // started while the carriage is still on its way, it would measure the
    // document instead. GoHome joins a return that is running (and does
    // nothing when the carriage is home).
    if (s.scanSource == 0) result = GoHome();
    if (result == kErrNone) result = CalibrateForScan(calibrationMode);
    if (result == kErrNone && s.scanSource == 0) {
      result = MoveCarriage(0);
      if (result == kErrNone) result = GoHome();
      if (result == kErrNone) result = LeaveHome();
    }
    if (result != kErrNone) return result;
  }
  if ((result = PrepareMemoryAccess()) != kErrNone) return result;
  if ((result = UploadGammaForScan(toneArgument)) != kErrNone) return result;
  if ((result = WriteScanSet()) != kErrNone) return result;
  if ((result = SwitchLamps(lampSwitch)) != kErrNone) return result;
  s.bottomZoneBytes =
      s.bottomEdge > kBottomZoneStart ? static_cast<uint32_t>(ScanValue(kRegisterBlockThreshold)) * 2048u : 0u;
  if ((result = BuildScalingTables()) != kErrNone) return result;
  if (s.scanMode == kScanModeColour && (result = AllocateColourSlots(s.outBytesPerLine)) != kErrNone) return result;
  if ((result = AllocateRingBuffer()) != kErrNone) return result;
  if ((result = SetReg58Bit2(false)) != kErrNone) return result;
  if ((result = CommandIdle()) != kErrNone) return result;
  return WriteRegister(kRegCommand, kCommandStart);
}

}  // namespace

bool ScanOwnedHere() { return scanOwnedHere; }
void SetScanOwnedHere(bool owned) { scanOwnedHere = owned; }

bool AnyScanStarted() { return sharedState->readerThread != 0 || sharedState->ringBuffer != nullptr; }

// An error accumulator walks the inputs (a line drawn from n to m). The
// counts are 32-bit: a full-width one-bit or 16-bit line has more raw
// entries than 16 bits hold.
void BuildSelectionTable(uint8_t* table, uint32_t n, uint32_t m) {
  if (n == 0) return;
  std::memset(table, 0, n);
  if (m == 0) return;
  table[0] = 1;
  uint32_t outputsLeft = m - 1;
  uint32_t inputsLeft = n;
  uint32_t acc = n;
  uint32_t current = 0;
  while (outputsLeft > 0) {
    if (acc < m) {
      ++table[current];
      acc += n;
      --outputsLeft;
    } else {
      acc -= m;
      if (--inputsLeft == 0) {
        // Every input has been walked: the outputs left go to the last one.
        table[current] = static_cast<uint8_t>(table[current] + outputsLeft);
        return;
      }
      ++current;
    }
  }
}

DriverError BuildScalingTables() {
  SharedState& s = *sharedState;
  if (s.columnTable != nullptr) return kErrNone;
  uint32_t rawEntries = 0, outEntries = 0;
  ColumnCounts(s, &rawEntries, &outEntries);
  const uint32_t rawLines = s.rawLineCount;
  const uint32_t imageLines = rawLines > LeadInLines(s) ? rawLines - LeadInLines(s) : 0;
  if (s.widthEnlarged != 0 || s.heightEnlarged != 0) {
    s.cropLineBuffer = static_cast<uint8_t*>(AllocBlock(2u * s.outBytesPerLine + 10u));
    if (s.cropLineBuffer == nullptr) return kErrNoMemory;
  }
  s.columnTable = static_cast<uint8_t*>(AllocBlock(rawEntries));
  s.rowTable = static_cast<uint8_t*>(AllocBlock(rawLines));
  if (s.columnTable == nullptr || s.rowTable == nullptr) {
    FreeScalingTables();
    return kErrNoMemory;
  }
  std::memset(s.columnTable, 0, rawEntries);
  std::memset(s.rowTable, 0, rawLines);
  s.columnTableEntries = rawEntries;
  s.rowTableEntries = rawLines;
  s.rowCursor = s.rowTable;
  BuildSelectionTable(s.columnTable, CoveredColumns(s, rawEntries, outEntries), outEntries);
  BuildSelectionTable(s.rowTable, imageLines, s.outLineCount);
  return kErrNone;
}

void FreeScalingTables() {
  SharedState& s = *sharedState;
  FreeBlock(s.columnTable);
  FreeBlock(s.rowTable);
  FreeBlock(s.cropLineBuffer);
  s.columnTable = nullptr;
  s.rowTable = nullptr;
  s.rowCursor = nullptr;
  s.cropLineBuffer = nullptr;
  s.columnTableEntries = 0;
  s.rowTableEntries = 0;
  s.widthEnlarged = 0;
  s.heightEnlarged = 0;
}

DriverError AllocateColourSlots(uint32_t bytesPerSlot) {
  SharedState& s = *sharedState;
  const uint32_t count = s.ringLineSlots;
  if (count < 2 || count > static_cast<uint32_t>(kMaxColourSlots)) return kErrBadParameter;
  for (uint32_t i = 0; i < count; ++i) {
    s.colourSlots[i].line = static_cast<uint8_t*>(AllocBlock(bytesPerSlot));
    if (s.colourSlots[i].line == nullptr) {
      s.colourSlotCount = i;
      FreeColourSlots();
      return kErrNoMemory;
    }
  }
  s.colourSlotCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    ColourSlot& slot = s.colourSlots[i];
    slot.next = &s.colourSlots[(i + 1) % count];
    slot.selected = 0;
    // The last slot is cleared by the first colour line request, which
    // releases it as if it had been delivered.
    if (i + 1 < count) slot.channelFilled[0] = slot.channelFilled[1] = slot.channelFilled[2] = 0;
  }
  s.channelCursor[0] = s.channelCursor[1] = s.channelCursor[2] = &s.colourSlots[0];
  s.deliveryCursor = &s.colourSlots[count - 1];
  return kErrNone;
}

void FreeColourSlots() {
  SharedState& s = *sharedState;
  for (uint32_t i = 0; i < s.colourSlotCount && i < static_cast<uint32_t>(kMaxColourSlots); ++i) {
    FreeBlock(s.colourSlots[i].line);
    s.colourSlots[i] = ColourSlot{};
  }
  s.colourSlotCount = 0;
  s.channelCursor[0] = s.channelCursor[1] = s.channelCursor[2] = nullptr;
  s.deliveryCursor = nullptr;
}

DriverError AllocateRingBuffer() {
  SharedState& s = *sharedState;
  if (s.ringBuffer != nullptr) return kErrNone;
  const uint32_t lineBytes = s.rawBytesPerLine;
  if (lineBytes == 0) return kErrNoMemory;
  uint32_t size = s.ringBufferSize < s.rawTotalBytes ? s.ringBufferSize : s.rawTotalBytes;
  for (;;) {
    if (size < lineBytes) return kErrNoMemory;
    size -= size % lineBytes;
    s.ringBuffer = static_cast<uint8_t*>(AllocBlock(size));
    if (s.ringBuffer != nullptr) break;
    size /= 2;
  }
  s.ringCapacityBytes = size;
  s.ringCapacityLines = size / lineBytes;
  return kErrNone;
}

void FreeRingBuffer() {
  SharedState& s = *sharedState;
  FreeBlock(s.ringBuffer);
  s.ringBuffer = nullptr;
  s.ringCapacityBytes = 0;
  s.ringCapacityLines = 0;
}

void ResetReaderHandOver() {
  SharedState& s = *sharedState;
  s.readerDone = 0;
  s.stopFlag = 0;
  s.readerState = 0;
  s.syncFillBytes = 0;
  ring.writeLine.store(0);
  ring.readLine.store(0);
  ring.filledLines = 0;
  ring.firstTake = 1;
  ring.syncReadPointer = s.ringBuffer;
  s.colourPhaseReset = 1;
  s.lineRemaining = 0;
  s.cropRemaining = 0;
  s.bufferedBytesLeft = 0;
  s.bytesDelivered = 0;
  s.scanFailure = 0;
  ResetPipelineState();
}

int32_t BeginScan(uint8_t toneArgument, uint8_t calibrate, uint8_t calibrationMode, uint8_t lampSwitch) {
  SharedState& s = *sharedState;
  const DriverError result = PrepareScan(toneArgument, calibrate, calibrationMode, lampSwitch);
  if (result != kErrNone) {
    StoreLastError(static_cast<int32_t>(result));
    FreeRingBuffer();
    FreeColourSlots();
    FreeScalingTables();
    return 0;
  }
  // The hand-over state is reset before the thread exists, so that the
  // thread never sees values of the previous scan.
  ResetReaderHandOver();
  scanOwnedHere = true;
  // A thread that cannot be created leaves readerThread 0: the line sources
  // then read the device themselves.
  uint32_t threadId = 0;
  PlatThread* thread = PlatThreadCreate(ReaderThreadMain, nullptr, &threadId);
  s.readerThread = reinterpret_cast<uintptr_t>(thread);
  s.readerThreadId = threadId;
  if (thread != nullptr) PlatThreadSetHighestPriority(thread);
  return 1;
}

// A scan runs from StartScan to StopScan in the process that started it.
// StartScan while any process has a scan started would reuse that scan's
// ring and start a second reader: it is refused with 162 (the code
// TestScanner gives for the same situation) and nothing is touched.
int32_t TQ5_STDCALL StartScan() {
  if (!LockDevice(kLockTimeout)) {
    lastError = kErrLockTimeout;
    return 0;
  }
  if (AnyScanStarted()) {
    UnlockDevice();
    lastError = kErrScannerBusy;
    return 0;
  }
  ActivityBroadcastThrottled();
  SharedState& s = *sharedState;
  // No record has been accepted: there is nothing to scan.
  if (s.deviceParameter.xResolution == 0 || s.deviceParameter.yResolution == 0) {
    UnlockDevice();
    lastError = kErrBadParameter;
    return 0;
  }
  // A scan consumes its prepared geometry (counters, area flags): each start
  // prepares it again from the accepted record, so that scanning again
  // without a new SetScanParameter gives the same image as the first scan.
  PrepareScanGeometry(&s.deviceParameter);
  s.widthEnlarged = s.preparedWidthEnlarged;
  s.heightEnlarged = s.preparedHeightEnlarged;
  const int32_t result = s.filmImageBuffer != nullptr ? BeginScan(0, 1, 3, 0) : BeginScan(1, 1, 1, 0);
  UnlockDevice();
  if (result == 0) s.halvedXResolution = 0;
  return result;
}
