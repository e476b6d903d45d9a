// Buffered film-unit scans: the half-resolution two-pass scan and the
// film-type-2 scan with automatic tone.
#include "scan/buffered_scan.h"

#include <cstring>

#include "controller/motion.h"
#include "interface/shared_state.h"
#include "scan/film_frame.h"
#include "scan/read_scan.h"
#include "scan/reader.h"
#include "scan/scan_geometry.h"
#include "scan/scan_parameters.h"
#include "scan/scan_start.h"
#include "tone/auto_tone.h"

namespace {

// A first pass (or a prescan) read with a count of 0 is collected in
// pieces of this size, so that the host regains control regularly.
constexpr uint32_t kCollectChunk = 65536;

// Lines of the second pass taken so far. A buffered scan is read only by
// the process that started it, so this lives with that process.
uint32_t secondPassLine = 0;
// Bytes of the converted film-type-2 image.
uint32_t filmImageBytes = 0;

uint32_t WorkingLineBytes() {
  const ScanParameter& w = sharedState->workingParameter;
  return uint32_t{w.pixelsPerLine} * w.bitsPerPixel / 8u;
}

// Bytes per output line as GetDataStatus reports them.
uint32_t OutputLineBytes() {
  return uint32_t{statusPixelsPerLine} * sharedState->requestedParameter.bitsPerPixel / 8u;
}

int32_t Fail(DriverError error) {
  StoreLastError(static_cast<int32_t>(error));
  return 0;
}

// The first pass is stored: the carriage goes back to the film and the
// second pass starts, shifted by half a pixel (register 0x5A bit 7).
int32_t StartSecondPass() {
  SharedState& s = *sharedState;
  const int32_t stopped = StopReader();
  s.halvedXResolution = 0;
  if (stopped == 0) return 0;
  DriverError error = GoHome();
  if (error == kErrNone) error = SetReg5ABit7(true);
  if (error == kErrNone) error = LeaveHome();
  if (error == kErrNone) error = MoveCarriage(s.filmStartDistance);
  if (error == kErrNone) error = PrepareScanGeometry(&s.deviceParameter);
  if (error != kErrNone) return Fail(error);
  s.widthEnlarged = 1;
  s.heightEnlarged = 1;
  if (BeginScan(1, 1, 1, 0) == 0) return 0;
  secondPassLine = 0;
  return 1;
}

// First pass of a half-resolution scan: collects the whole image into the
// half image buffer; 0 (lastError unchanged) until it is complete.
int32_t CollectFirstPass(uint32_t count) {
  SharedState& s = *sharedState;
  const uint32_t total = WorkingLineBytes() * s.workingParameter.lineCount;
  uint32_t n = count != 0 ? total : kCollectChunk;
  if (n > total - s.bufferedReadOffset) n = total - s.bufferedReadOffset;
  if (ReadArea(s.halfImageBuffer + s.bufferedReadOffset, n) == 0) {
    s.halvedXResolution = 0;
    return 0;
  }
  s.bufferedReadOffset += n;
  if (s.bufferedReadOffset < total) return 0;
  return StartSecondPass();
}

// The next merged line of the second pass into the merge buffer; its length
// in bytes, or 0 on a failed read.
//
// When pixelsPerLine is odd, the two half lines hold one pixel fewer than
// the output line; that last pixel repeats its left neighbour, so that
// every line has the width GetDataStatus announced.
uint32_t NextMergedLine() {
  SharedState& s = *sharedState;
  const uint32_t halfLine = WorkingLineBytes();
  const uint32_t pixelBytes = s.deviceParameter.bitsPerPixel / 8u;
  uint8_t* slot[2] = {s.twoLineBuffer, s.twoLineBuffer + halfLine};
  // Second-pass line m is merged with first-pass line m once line m + 1 has
  // been read; the last line is merged with a copy of itself.
  do {
    uint8_t* target = slot[secondPassLine % 2];
    if (secondPassLine < s.workingParameter.lineCount) {
      if (ReadArea(target, halfLine) == 0) return 0;
    } else {
      std::memcpy(target, slot[(secondPassLine - 1) % 2], halfLine);
    }
    ++secondPassLine;
  } while (secondPassLine < 2);
  const uint8_t* firstPass = s.halfImageBuffer + uint64_t{secondPassLine - 2} * halfLine;
  MergeShiftedLines(s.mergeLineBuffer, slot[secondPassLine % 2], firstPass, 2 * halfLine, pixelBytes);
  const uint32_t mergedPixels = 2u * s.workingParameter.pixelsPerLine;
  for (uint32_t k = mergedPixels; k < statusPixelsPerLine && k > 0; ++k)
    std::memcpy(s.mergeLineBuffer + k * pixelBytes, s.mergeLineBuffer + (k - 1) * pixelBytes, pixelBytes);
  if (FilmLinesNeedGrey()) {
    ConvertToGrey(s.mergeLineBuffer, statusPixelsPerLine);
    if (FilmLinesNeedBits()) ConvertToBits(s.mergeLineBuffer, statusPixelsPerLine);
  }
  return OutputLineBytes();
}

int32_t ReadHalfResolutionScan(uint8_t* destination, uint32_t count) {
  SharedState& s = *sharedState;
  // Pixels of whole bytes only: one-bit device lines cannot be merged.
  if (s.deviceParameter.bitsPerPixel < 8) return Fail(kErrBadParameter);
  if (s.halvedXResolution != 0 && CollectFirstPass(count) == 0) return 0;
  while (count > 0) {
    if (s.bufferedBytesLeft == 0) {
      const uint32_t length = NextMergedLine();
      if (length == 0) return 0;
      s.bufferedBytesLeft = length;
    }
    const uint32_t lineBytes = OutputLineBytes();
    const uint32_t n = s.bufferedBytesLeft < count ? s.bufferedBytesLeft : count;
    std::memcpy(destination, s.mergeLineBuffer + (lineBytes - s.bufferedBytesLeft), n);
    destination += n;
    count -= n;
    s.bufferedBytesLeft -= n;
  }
  return 1;
}

// The repeated scan of a film whose tone pass declined: back to the film
// and scanned once more (its own tone pass follows).
int32_t RestartFilmScan() {
  SharedState& s = *sharedState;
  DriverError error = GoHome();
  if (error == kErrNone) error = LeaveHome();
  if (error == kErrNone) error = MoveCarriage(s.filmStartDistance);
  if (error != kErrNone) return Fail(error);
  StoreLastError(0);
  s.widthEnlarged = 1;
  s.heightEnlarged = 1;
  s.bufferedReadOffset = 0;
  s.filmPrescanPending = 0;
  error = PrepareScanGeometry(&s.deviceParameter);
  if (error != kErrNone) return Fail(error);
  return BeginScan(0, 1, 2, 0);
}

// Collects, tone-corrects and converts the film-type-2 image; 1 once it is
// ready to be handed out, 0 with lastError (166 while it is collected).
int32_t ProduceFilmImage(uint32_t count) {
  SharedState& s = *sharedState;
  int32_t r = 1;
  if (s.filmPrescanPending != 0) {
    r = AutoTonePass(3, count);
    if (r == 0 && LoadLastError() == kErrScanInProgress) return 0;
    const bool repeat = r == 0 && LoadLastError() == kErrToneFxFailed && s.filmUnitMode.negative != 0;
    if (repeat) {
      r = RestartFilmScan();
      if (r == 0) return 0;
    }
  }
  if (s.filmPrescanPending == 0) {
    r = AutoTonePass(2, count);
    if (r == 0 && LoadLastError() == kErrScanInProgress) return 0;
    // A declined second attempt: the uncorrected image is handed out.
    if (r == 0 && LoadLastError() == kErrToneFxFailed) {
      r = 1;
      StoreLastError(0);
    }
  }
  if (r == 0) return 0;
  // The image is converted as one run, not line by line: a one-bit image
  // whose line width is not a multiple of 8 pixels is one continuous run of
  // bits, and its lines do not start on byte boundaries.
  uint32_t total = WorkingLineBytes() * s.workingParameter.lineCount;
  if (FilmLinesNeedGrey()) {
    const uint32_t pixels = uint32_t{statusLineCount} * statusPixelsPerLine;
    ConvertToGrey(s.filmImageBuffer, pixels);
    total /= 3;
    if (FilmLinesNeedBits()) {
      ConvertToBits(s.filmImageBuffer, pixels);
      total /= 8;
    }
  }
  filmImageBytes = total;
  s.bufferedBytesLeft = total;
  return 1;
}

int32_t ReadFilmImage(uint8_t* destination, uint32_t count) {
  SharedState& s = *sharedState;
  // The image is produced once per scan, before anything of it is handed
  // out; once it has all been read there is nothing left to produce.
  if (s.bufferedBytesLeft == 0 && s.bytesDelivered == 0 && ProduceFilmImage(count) == 0) return 0;
  // Handed out from the start of the converted image. (For a one-bit image
  // whose lines are not a multiple of 8 pixels the run is longer than the
  // lines GetDataStatus announced, so counting back from their total would
  // start before the buffer.)
  uint32_t n = s.bufferedBytesLeft < count ? s.bufferedBytesLeft : count;
  if (n < count) return Fail(kErrBadParameter);  // past the end of the image
  std::memcpy(destination, s.filmImageBuffer + (filmImageBytes - s.bufferedBytesLeft), n);
  s.bufferedBytesLeft -= n;
  return 1;
}

}  // namespace

void MergeShiftedLines(uint8_t* merged, const uint8_t* secondPass, const uint8_t* firstPass, uint32_t mergedLength,
                       uint32_t pixelBytes) {
  const uint32_t pixels = pixelBytes != 0 ? mergedLength / 2 / pixelBytes : 0;
  for (uint32_t k = 0; k < pixels; ++k) {
    const uint8_t* a = secondPass + k * pixelBytes;
    const uint8_t* b = firstPass + k * pixelBytes;
    uint8_t* even = merged + 2 * k * pixelBytes;
    uint8_t* odd = even + pixelBytes;
    const bool last = k + 1 == pixels;
    for (uint32_t i = 0; i < pixelBytes; ++i) {
      even[i] = static_cast<uint8_t>((a[i] + b[i]) / 2);
      odd[i] = last ? b[i] : static_cast<uint8_t>((a[i + pixelBytes] + b[i]) / 2);
    }
  }
}

int32_t BufferedScanRead(uint32_t /*unused*/, uint8_t* destination, uint32_t count) {
  const SharedState& s = *sharedState;
  if (s.filmImageBuffer != nullptr) return ReadFilmImage(destination, count);
  return ReadHalfResolutionScan(destination, count);
}
