// ReadScan's line pipeline (compaction, colour assembly, the cut of the
// requested area) and the ReadScan and StopScan exports.
#include "scan/read_scan.h"

#include <cstring>

#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "scan/buffered_scan.h"
#include "scan/film_frame.h"
#include "scan/reader.h"
#include "scan/scan_parameters.h"
#include "scan/scan_start.h"

FilmFrameSearchHook filmFrameSearch = FilmFrameSearch;
FilmFrameLineHook filmFrameLineConversion = FilmFrameLineConversion;
BufferedScanReadHook bufferedScanRead = BufferedScanRead;

namespace {

constexpr uint32_t kMillInch = 600;  // area units per inch

// Per-process pipeline state: the colour phase and the position in the
// current device line and cut line.
struct PipelineState {
  uint8_t phase;             // channel of the next colour sample run
  int32_t channelCounter[3]; // negative while a channel's row has not reached the image
  bool needNewLine;
  uint8_t* colourRawLine;    // raw line of the current colour phase
  uint8_t* linePosition;     // next byte of the current device line
  uint32_t cropLineLength;   // length of the current cut line
};
PipelineState pipeline;

// Exchanges the two bytes of every 16-bit sample: the device sends them
// high byte first, the output has them low byte first.
void SwapSamples(uint8_t* line, uint32_t bytes) {
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    const uint8_t high = line[i];
    line[i] = line[i + 1];
    line[i + 1] = high;
  }
}

// Keeps the raw pixels (of `pixelBytes` bytes) whose column entry is not 0,
// packed from the start of the same line.
void CompactSamples(uint8_t* line, const uint8_t* table, uint32_t entries, uint32_t pixelBytes) {
  uint8_t* out = line;
  const uint8_t* in = line;
  switch (pixelBytes) {
    case 1:
      for (uint32_t i = 0; i < entries; ++i)
        if (table[i] != 0) *out++ = in[i];
      break;
    case 3:
      for (uint32_t i = 0; i < entries; ++i, in += 3) {
        if (table[i] == 0) continue;
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out += 3;
      }
      break;
    default:  // 2 or 6: 16-bit samples, put low byte first on the way
      for (uint32_t i = 0; i < entries; ++i, in += pixelBytes) {
        if (table[i] == 0) continue;
        for (uint32_t k = 0; k < pixelBytes; k += 2) {
          const uint8_t high = in[k], low = in[k + 1];
          out[k] = low;
          out[k + 1] = high;
        }
        out += pixelBytes;
      }
      break;
  }
}

// Keeps the raw bits whose column entry is not 0, most significant bit
// first, packed from the start of the same line. The bits keep the device's
// polarity (1 = light, see ReadScan in the public header). A final partial
// byte is not stored: the tables keep a multiple of 8 bits per line.
void CompactBits(uint8_t* line, const uint8_t* table, uint32_t entries) {
  uint32_t packed = 0, bits = 0, out = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    if (table[i] == 0) continue;
    packed = (packed << 1) | ((line[i >> 3] >> (7 - (i & 7))) & 1u);
    if (++bits == 8) {
      line[out++] = static_cast<uint8_t>(packed);
      packed = 0;
      bits = 0;
    }
  }
}

// Copies the samples of one colour channel of a compacted raw line into a
// colour slot: sample c of every pixel (pixels of three samples of
// `sampleBytes` bytes). Works on 24-byte runs (a whole number of 3- and
// 6-byte pixels) as three masked 64-bit blends.
void CopyChannelSamples(uint8_t* slot, const uint8_t* raw, uint32_t bytes, uint32_t channel, uint32_t sampleBytes) {
  constexpr uint32_t kRun = 24;
  const uint32_t pixelBytes = 3 * sampleBytes;
  uint8_t pattern[kRun];
  for (uint32_t j = 0; j < kRun; ++j) pattern[j] = (j % pixelBytes) / sampleBytes == channel ? 0xFF : 0x00;
  uint64_t mask[3];
  std::memcpy(mask, pattern, sizeof mask);
  uint32_t i = 0;
  for (; i + kRun <= bytes; i += kRun) {
    for (int k = 0; k < 3; ++k) {
      uint64_t to, from;
      std::memcpy(&to, slot + i + 8 * k, 8);
      std::memcpy(&from, raw + i + 8 * k, 8);
      to = (to & ~mask[k]) | (from & mask[k]);
      std::memcpy(slot + i + 8 * k, &to, 8);
    }
  }
  for (; i < bytes; ++i)
    if (pattern[i % kRun] != 0) slot[i] = raw[i];
}

// Moves a one-bit line `shift` bits to the left (0 < shift < 8) so that a cut
// that does not start on a byte boundary still starts at its first pixel.
void ShiftBitsLeft(uint8_t* line, uint32_t bytes, uint32_t shift) {
  for (uint32_t i = 0; i < bytes; ++i)
    line[i] = static_cast<uint8_t>((line[i] << shift) | (line[i + 1] >> (8 - shift)));
}

// Device lines above the requested area.
int32_t SkipLines() {
  SharedState& s = *sharedState;
  const ScanParameter& w = s.workingParameter;
  const ScanParameter& d = s.deviceParameter;
  int32_t skip = static_cast<int32_t>(w.top * w.yResolution / kMillInch) -
                 static_cast<int32_t>(d.top * d.yResolution / kMillInch);
  if (skip < 0) skip = 0;
  if (s.scanSource == 2 && filmFrameSearch != nullptr) {
    uint32_t frameOffset = 0;
    if (filmFrameSearch(&frameOffset) == 0) return -1;
    skip += static_cast<int32_t>(frameOffset);
  }
  return skip;
}

bool WholeImageBuffersExist(const SharedState& s) {
  return s.filmImageBuffer != nullptr || s.halfImageBuffer != nullptr;
}

// The cut of the requested columns out of a device line.
int32_t CopyCutLines(uint8_t* destination, uint32_t count) {
  SharedState& s = *sharedState;
  CutWindow window{};
  ComputeCutWindow(&window);
  uint8_t* line = s.cropLineBuffer + window.byteOffset;
  while (count > 0) {
    if (s.cropRemaining == 0) {
      if (CopyOutputBytes(s.cropLineBuffer, s.outBytesPerLine) == 0) return 0;
      if (window.bitShift != 0) ShiftBitsLeft(line, window.length, window.bitShift);
      uint32_t length = window.length;
      // A film frame is scanned in colour; its lines become the requested
      // depth here (unless a whole-image buffer collects them in colour).
      if (s.scanSource == 2 && !WholeImageBuffersExist(s) && filmFrameLineConversion != nullptr)
        length = filmFrameLineConversion(line, window.length);
      pipeline.cropLineLength = length;
      s.cropRemaining = length;
      if (length == 0) {  // a line with nothing to hand out would never end the call
        StoreLastError(kErrBadParameter);
        return 0;
      }
    }
    const uint32_t n = s.cropRemaining < count ? s.cropRemaining : count;
    std::memcpy(destination, line + (pipeline.cropLineLength - s.cropRemaining), n);
    destination += n;
    count -= n;
    s.cropRemaining -= n;
  }
  return 1;
}

}  // namespace

void ComputeCutWindow(CutWindow* window) {
  const SharedState& s = *sharedState;
  const ScanParameter& w = s.workingParameter;
  const ScanParameter& d = s.deviceParameter;
  int32_t offset = static_cast<int32_t>(w.left * w.xResolution / kMillInch) -
                   static_cast<int32_t>(d.left * d.xResolution / kMillInch);
  if (offset < 0) offset = 0;
  const uint32_t offsetBits = static_cast<uint32_t>(offset) * w.bitsPerPixel;
  window->byteOffset = offsetBits / 8;
  window->bitShift = offsetBits % 8;
  window->length = static_cast<uint32_t>(w.pixelsPerLine) * w.bitsPerPixel / 8;
}

void ResetPipelineState() { pipeline = PipelineState{}; }

void CompactLine(uint8_t* rawLine) {
  const SharedState& s = *sharedState;
  const uint32_t data = static_cast<uint32_t>(s.rawBytesPerLine - s.padBytes);
  const uint32_t pixelBytes = s.scanBits / 8u;
  const bool sixteenBit = pixelBytes == 2 || pixelBytes == 6;
  if (data == s.outBytesPerLine) {
    // No column is dropped.
    if (sixteenBit) SwapSamples(rawLine, s.outBytesPerLine);
    return;
  }
  if (OneBitScanMode(s.scanMode))
    CompactBits(rawLine, s.columnTable, s.columnTableEntries);
  else
    CompactSamples(rawLine, s.columnTable, s.columnTableEntries, pixelBytes);
}

DriverError NextColourPhase(uint8_t* channel, uint8_t** rawLine) {
  SharedState& s = *sharedState;
  if (s.colourPhaseReset != 0) {
    // Channel c's row sees image line k at raw line k + c x delay.
    s.colourPhaseReset = 0;
    const int32_t delay = s.firstLineDelay;
    pipeline.phase = 0;
    pipeline.channelCounter[0] = 0;
    pipeline.channelCounter[1] = -delay;
    pipeline.channelCounter[2] = -2 * delay;
  }
  while (pipeline.channelCounter[pipeline.phase] < 0) {
    ++pipeline.channelCounter[pipeline.phase];
    pipeline.phase = static_cast<uint8_t>((pipeline.phase + 1) % 3);
  }
  pipeline.needNewLine = pipeline.phase == 0;
  *channel = pipeline.phase;
  pipeline.phase = static_cast<uint8_t>((pipeline.phase + 1) % 3);
  if (pipeline.needNewLine) {
    uint32_t length = 0;
    const DriverError result = NextRawLine(&pipeline.colourRawLine, &length);
    if (result != kErrNone) return result;
  }
  *rawLine = pipeline.colourRawLine;
  return kErrNone;
}

DriverError NextColourLine(uint8_t** line, uint32_t* length) {
  SharedState& s = *sharedState;
  const int32_t reported = LoadLastError();
  if (IsReaderFailure(reported)) return static_cast<DriverError>(reported);
  const uint32_t sampleBytes = s.scanBits / 24u;
  // The slot delivered last is free again.
  ColourSlot* delivered = s.deliveryCursor;
  delivered->channelFilled[0] = delivered->channelFilled[1] = delivered->channelFilled[2] = 0;
  s.deliveryCursor = delivered->next;
  for (;;) {
    uint8_t channel = 0;
    uint8_t* raw = nullptr;
    const DriverError result = NextColourPhase(&channel, &raw);
    if (result != kErrNone) return result;
    ColourSlot* slot = s.channelCursor[channel];
    if (slot->channelFilled[channel] != 0) return kErrLineSequenceError;
    slot->channelFilled[channel] = 1;
    if (channel == 0) slot->selected = NextRowSelection();
    if (slot->selected != 0) CopyChannelSamples(slot->line, raw, s.outBytesPerLine, channel, sampleBytes);
    s.channelCursor[channel] = slot->next;
    ColourSlot* next = s.deliveryCursor;
    if (next->channelFilled[0] != 0 && next->channelFilled[1] != 0 && next->channelFilled[2] != 0) {
      if (next->selected != 0) {
        *line = next->line;
        *length = s.outBytesPerLine;
        return kErrNone;
      }
      // A dropped line: assembled, then passed over.
      next->channelFilled[0] = next->channelFilled[1] = next->channelFilled[2] = 0;
      s.deliveryCursor = next->next;
    }
  }
}

int32_t CopyOutputBytes(uint8_t* destination, uint32_t count) {
  SharedState& s = *sharedState;
  while (count > 0) {
    if (s.lineRemaining > 0) {
      const uint32_t n = s.lineRemaining < count ? s.lineRemaining : count;
      std::memcpy(destination, pipeline.linePosition, n);
      pipeline.linePosition += n;
      destination += n;
      count -= n;
      s.lineRemaining -= n;
      continue;
    }
    uint8_t* line = nullptr;
    uint32_t length = 0;
    const DriverError result =
        s.scanMode == kScanModeColour ? NextColourLine(&line, &length) : NextRawLine(&line, &length);
    if (result != kErrNone) {
      StoreLastError(static_cast<int32_t>(result));
      return 0;
    }
    pipeline.linePosition = line;
    s.lineRemaining = length;
  }
  return 1;
}

int32_t ReadArea(uint8_t* destination, uint32_t count) {
  SharedState& s = *sharedState;
  if (s.heightEnlarged != 0) {
    // Once per scan: read and drop the device lines above the area. A failed
    // skip ends the call; reading on would hand out lines from too high up.
    s.heightEnlarged = 0;
    const int32_t skip = SkipLines();
    if (skip < 0) return 0;
    for (int32_t i = 0; i < skip; ++i)
      if (CopyOutputBytes(s.cropLineBuffer, s.outBytesPerLine) == 0) return 0;
  }
  if (s.widthEnlarged == 0) return CopyOutputBytes(destination, count);
  return CopyCutLines(destination, count);
}

namespace {

// Why a ReadScan must not run, or 0. A scan is read only by the process
// that started it. Without a started scan, with a null buffer, or with a
// count that runs past the image GetDataStatus announced, the call is
// refused with 151 and nothing is copied (the scan stays readable). After a
// failed read only StopScan may follow: later reads get the failure again.
DriverError ReadScanRefusal(const uint8_t* destination, uint32_t count) {
  const SharedState& s = *sharedState;
  if (destination == nullptr) return kErrBadParameter;
  if (!WholeImageBuffersExist(s) && !ScanOwnedHere()) return AnyScanStarted() ? kErrScannerBusy : kErrBadParameter;
  if (s.scanFailure != 0) return s.scanFailure;
  DataStatus status{};
  GetDataStatus(&status);
  if (s.bytesDelivered > status.totalBytes || count > status.totalBytes - s.bytesDelivered) return kErrBadParameter;
  return kErrNone;
}

}  // namespace

int32_t TQ5_STDCALL ReadScan(uint32_t unused, uint8_t* destination, uint32_t count) {
  if (!LockDevice(kLockTimeout)) {
    lastError = kErrLockTimeout;
    return 0;
  }
  SharedState& s = *sharedState;
  int32_t result = 0;
  const DriverError refused = ReadScanRefusal(destination, count);
  if (refused != kErrNone) {
    StoreLastError(static_cast<int32_t>(refused));
  } else if (WholeImageBuffersExist(s)) {
    if (bufferedScanRead != nullptr)
      result = bufferedScanRead(unused, destination, count);
    else
      StoreLastError(kErrBadParameter);
    if (result != 0) s.bytesDelivered += count;
  } else {
    result = ReadArea(destination, count);
    if (result != 0) {
      s.bytesDelivered += count;
    } else {
      const int32_t code = LoadLastError();
      s.scanFailure = code != 0 ? static_cast<uint32_t>(code) : static_cast<uint32_t>(kErrDataTimeout);
    }
  }
  UnlockDevice();
  return result;
}

int32_t TQ5_STDCALL StopScan() {
  if (!LockDevice(kLockTimeout)) {
    lastError = kErrLockTimeout;
    return 0;
  }
  SharedState& s = *sharedState;
  // Another process's scan: its thread handle and buffers mean nothing here.
  if (!ScanOwnedHere() && AnyScanStarted()) {
    UnlockDevice();
    lastError = kErrScannerBusy;
    return 0;
  }
  int32_t result = StopReader();
  if (s.opticalXResolution >= 450 && s.scanSource == 0) {
    const DriverError restored = WriteReg2A(0);
    if (restored != kErrNone) {
      StoreLastError(static_cast<int32_t>(restored));
      result = 0;
    }
  }
  const bool halfResolutionScan = s.halfImageBuffer != nullptr;
  s.halvedXResolution = 0;
  if (halfResolutionScan) {
    const DriverError cleared = SetReg5ABit7(false);
    if (cleared != kErrNone) {
      StoreLastError(static_cast<int32_t>(cleared));
      result = 0;
    }
  }
  ReleaseWholeImageBuffers();
  ActivityBroadcastThrottled();
  UnlockDevice();
  return result;
}
