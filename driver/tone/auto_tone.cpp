// Automatic tone pass: prescan collection, the DoToneFx call and the use of
// its curves and factors.
#include "tone/auto_tone.h"

#include "calibration/front_end.h"
#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "scan/read_scan.h"
#include "scan/reader.h"
#include "tone/tone_tables.h"

namespace {

constexpr uint32_t kCollectChunk = 65536;
constexpr uint16_t kUnity = 0x1000;  // 4.12 fixed point 1.0
constexpr uint16_t kLowestGain = 0x0EE1;
constexpr uint16_t kHighestGain = 0x9000;
constexpr uint8_t kFirstGainRegister = 0x3B;

void PutBig16(ToneParameterBlock& block, uint32_t offset, uint16_t value) {
  block.bytes[offset] = static_cast<uint8_t>(value >> 8);
  block.bytes[offset + 1] = static_cast<uint8_t>(value);
}

uint16_t GetBig16(const ToneParameterBlock& block, uint32_t offset) {
  return static_cast<uint16_t>(block.bytes[offset] << 8 | block.bytes[offset + 1]);
}

ToneImageDescriptor DescribePrescan() {
  const SharedState& s = *sharedState;
  const ScanParameter& w = s.workingParameter;
  ToneImageDescriptor d{};
  d.imageWidth = w.pixelsPerLine;
  d.imageHeight = w.lineCount;
  d.samplesPerPixel = w.scanMode == 4 ? 3 : 1;
  d.bitsPerSample = 8;
  d.xDpi = w.xResolution;
  d.yDpi = w.yResolution;
  d.interleave = 1;
  d.negative = s.filmUnitMode.negative;
  d.imageBytesPerLine = uint32_t{w.pixelsPerLine} * w.bitsPerPixel / 8u;
  return d;
}

ToneParameterBlock ParameterBlock(uint8_t mode) {
  ToneParameterBlock block{};
  for (uint32_t i = 0; i < sizeof block.bytes; i += 2) PutBig16(block, i, kUnity);
  PutBig16(block, 2, mode == 2 ? 0x2000 : 0x6000);
  PutBig16(block, 4, static_cast<uint16_t>(mode * kUnity));
  PutBig16(block, 12, kLowestGain);
  PutBig16(block, 14, kHighestGain);
  for (uint32_t c = 0; c < 3; ++c) {
    const double gain = GainOfCode(ScanValue(static_cast<uint8_t>(kFirstGainRegister + c))) * 4096.0;
    PutBig16(block, 16 + 2 * c, static_cast<uint16_t>(static_cast<uint32_t>(gain)));
  }
  return block;
}

// Looks a prescan curve entry up: curve values beyond 255 are held at 255,
// so that every lookup stays within the curve and the gamma table.
uint8_t CurveLevel(uint16_t value) { return value > 255 ? 255 : static_cast<uint8_t>(value); }

// Corrects the prescan in place with the prescan curves. A colour image is
// corrected channel by channel on its byte triples; a one-channel image
// (a grey film-unit prescan, whose curves TONEFX fills for channel 1 only)
// has every byte corrected with the channel 1 curve.
void CorrectPrescan(uint8_t* image, uint32_t size, const uint16_t* curves, bool colour) {
  if (!colour) {
    for (uint32_t k = 0; k < size; ++k) image[k] = static_cast<uint8_t>(curves[image[k] * 3 + 1]);
    return;
  }
  for (uint32_t k = 0; k + 2 < size; k += 3)
    for (uint32_t c = 0; c < 3; ++c) image[k + c] = static_cast<uint8_t>(curves[image[k + c] * 3 + c]);
}

}  // namespace

int32_t AutoTonePass(uint8_t pass, uint32_t count) {
  SharedState& s = *sharedState;
  const uint8_t mode = s.filmUnitMode.negative == 0 ? 1 : pass;
  const ToneImageDescriptor descriptor = DescribePrescan();
  const uint32_t size = descriptor.imageBytesPerLine * descriptor.imageHeight;

  uint32_t chunk = count != 0 ? size : kCollectChunk;
  if (s.bufferedReadOffset + chunk > size) chunk = size - s.bufferedReadOffset;
  const int32_t read = ReadArea(s.filmImageBuffer + s.bufferedReadOffset, chunk);
  s.bufferedReadOffset += chunk;
  if (read != 0 && s.bufferedReadOffset < size) {
    StoreLastError(kErrScanInProgress);
    return 0;
  }
  if (read == 0 || StopReader() == 0) return 0;

  ToneParameterBlock block = ParameterBlock(mode);
  uint16_t scanCurves[kToneCurveEntries * 3] = {};
  uint16_t prescanCurves[kToneCurveEntries * 3] = {};
  if (toneFxEntry == nullptr) {
    StoreLastError(kErrToneFxFailed);
    return 0;
  }
  const uint32_t answer = toneFxEntry(s.filmImageBuffer, &descriptor, &block, scanCurves, prescanCurves,
                                      mode == 2 ? 1u : 0u);
  if ((answer & 0xFF) != 0) {
    StoreLastError(kErrToneFxFailed);
    return 0;
  }
  s.autoExposureFactor = GetBig16(block, 4);
  for (uint32_t c = 0; c < 3; ++c) s.autoGainFactor[c] = GetBig16(block, 16 + 2 * c);
  // The prescan curves through the host's gamma: only the prescan image is
  // mapped, the scan curves are kept as TONEFX returned them.
  for (uint32_t i = 0; i < kToneCurveEntries; ++i)
    for (uint32_t c = 0; c < 3; ++c) {
      uint16_t& entry = prescanCurves[i * 3 + c];
      entry = static_cast<uint16_t>(gammaTable[c][CurveLevel(entry) * kGammaIndexScale] >> 8);
    }
  CorrectPrescan(s.filmImageBuffer, size, prescanCurves, descriptor.samplesPerPixel == 3);
  for (uint32_t i = 0; i < kToneCurveEntries; ++i)
    for (uint32_t c = 0; c < 3; ++c) s.toneCurve[c][i] = scanCurves[i * 3 + c];
  return 1;
}
