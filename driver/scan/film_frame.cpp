// Film frame search and the film depth conversions.
#include "scan/film_frame.h"

#include <cstring>

#include "interface/shared_state.h"
#include "scan/read_scan.h"
#include "scan/scan_parameters.h"
#include "scan/scan_start.h"

void ConvertToGrey(uint8_t* buffer, uint32_t pixelCount) {
  const uint8_t* in = buffer;
  for (uint32_t i = 0; i < pixelCount; ++i, in += 3) {
    const uint16_t grey = static_cast<uint16_t>((3u * in[0] + 6u * in[1] + in[2]) / 10u);
    buffer[i] = static_cast<uint8_t>(grey);
  }
}

void ConvertToBits(uint8_t* buffer, uint32_t sampleCount) {
  uint32_t out = 0;
  uint8_t packed = 0;
  for (uint32_t i = 0; i < sampleCount; ++i) {
    packed = static_cast<uint8_t>((packed << 1) | (buffer[i] >= 128 ? 1u : 0u));
    if ((i & 7u) == 7u) {
      buffer[out++] = packed;
      packed = 0;
    }
  }
  if ((sampleCount & 7u) != 0) buffer[out] = static_cast<uint8_t>(packed << (8u - (sampleCount & 7u)));
}

bool FilmLinesNeedGrey() {
  const SharedState& s = *sharedState;
  return s.workingParameter.scanMode == kScanModeColour && s.requestedParameter.scanMode < kScanModeColour;
}

bool FilmLinesNeedBits() { return FilmLinesNeedGrey() && OneBitScanMode(sharedState->requestedParameter.scanMode); }

uint32_t FilmFrameLineConversion(uint8_t* line, uint32_t length) {
  if (!FilmLinesNeedGrey()) return length;
  ConvertToGrey(line, statusPixelsPerLine);
  length /= 3;
  if (FilmLinesNeedBits()) {
    ConvertToBits(line, statusPixelsPerLine);
    length /= 8;
  }
  return length;
}

int32_t FilmFrameSearch(uint32_t* frameOffsetLines) {
  SharedState& s = *sharedState;
  const ScanParameter& d = s.deviceParameter;
  const uint32_t lineBytes = s.outBytesPerLine;
  const uint32_t pixelBytes = d.bitsPerPixel / 8u;
  uint8_t* line = s.cropLineBuffer;
  // The reference row lies behind the line in the crop line buffer (which
  // holds a device line plus a reference line).
  uint8_t* reference = s.cropLineBuffer + lineBytes;
  if (CopyOutputBytes(line, lineBytes) == 0) return 0;

  // Reference: the first sample of every pixel in the first two thirds of
  // the first line, then flattened to the dark or light level of the film.
  const uint32_t limit = lineBytes / 3 * 2;
  uint32_t count = 0, sum = 0;
  for (uint32_t i = 0; pixelBytes != 0 && i < limit; i += pixelBytes) {
    reference[count++] = line[i];
    sum += line[i];
  }
  const uint32_t average = count != 0 ? sum / count : 0;
  const uint8_t low = s.gammaLevelLow, high = s.gammaLevelHigh, span = s.gammaLevelSpan;
  const uint8_t level = average > uint32_t{low} + span / 2u ? high : low;
  // Every entry but the last: the last keeps the sample it was taken from.
  if (count > 1) std::memset(reference, level, count - 1);

  // Look for the frame edge within 0.4 inch: a line whose samples differ
  // from the reference by about the gamma span in more places than 0.3 of
  // the resolution. (Exact integer forms of the 0.4 and 0.3 products.)
  const uint32_t lineLimit = d.yResolution * 4u / 10u;
  uint32_t j = 1;
  if (span != 0) {
    for (;;) {
      if (CopyOutputBytes(line, lineBytes) == 0) return 0;
      if (++j > lineLimit) break;
      uint32_t differing = 0;
      for (uint32_t r = 0; r < count; ++r) {
        const int32_t diff = static_cast<int32_t>(line[r * pixelBytes]) - reference[r];
        const uint32_t d2 = static_cast<uint32_t>(diff < 0 ? -diff : diff);
        const bool edge = span > 50 ? d2 >= span / 2u : (d2 + 4u >= span && d2 <= span);
        if (edge) ++differing;
      }
      if (differing * 10u > d.xResolution * 3u) break;
    }
  }
  const uint32_t frameTop = d.yResolution * 685u / 1000u;
  if (j == 1)
    *frameOffsetLines = frameTop + d.yResolution * 30u / 300u;
  else if (j <= lineLimit)
    *frameOffsetLines = frameTop;
  else
    *frameOffsetLines = 1;
  return 1;
}
