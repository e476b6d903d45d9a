// DoToneFx: the library's one export. Validates the image descriptor, runs
// the analysis, and samples the internal scan curves into scanCurves.

#include <cstdint>

#include "tone_curves.h"
#include "tone_tables.h"
#include "tonefx_state.h"

namespace tonefx {

ToneCall toneCall;
ToneTables toneTables;

namespace {

// The descriptor checks in their order; 0 when the image can be analysed.
// The 32-bit fields are compared as signed values, and the products are
// taken in 64 bits: a width whose samples-per-line product would wrap a
// 32-bit value must not pass as fitting in a short line.
uint8_t ValidateDescriptor(const ToneImageDescriptor& d) {
  if (d.negative != 0 && d.negative != 1) return kToneBadNegative;
  const int64_t width = static_cast<int32_t>(d.imageWidth);
  const int64_t bytesPerLine = static_cast<int32_t>(d.imageBytesPerLine);
  if (d.samplesPerPixel == 3) {
    if (d.interleave != 1) return kToneNotInterleaved;
    if (bytesPerLine < 3 * width) return kToneLineTooShort;
    return kToneOk;
  }
  if (d.samplesPerPixel == 1) {
    if (bytesPerLine < width) return kToneLineTooShort;
    return kToneOk;
  }
  return kToneBadSamplesPerPixel;
}

// scanCurves[i][c] = internal[c][64 i] >> 6, for every channel.
void ConvertScanCurves(uint16_t* scanCurves) {
  for (uint32_t i = 0; i < 256; ++i) {
    for (uint32_t c = 0; c < 3; ++c) {
      scanCurves[3 * i + c] = static_cast<uint16_t>(toneCurves.internalScanCurves[kCurveToLevel * i][c] >> 6);
    }
  }
}

}  // namespace

}  // namespace tonefx

// The conversion into scanCurves runs whatever the analysis returned, also
// after a failed validation: it then hands out the internal curves of an
// earlier call (zeros in a freshly loaded library).
extern "C" TQ5_EXPORT uint32_t TQ5_CDECL DoToneFx(const uint8_t* image, const ToneImageDescriptor* descriptor,
                                                  ToneParameterBlock* parameterBlock, uint16_t* scanCurves,
                                                  uint16_t* prescanCurves, uint32_t retry) {
  using namespace tonefx;
  BuildToneTables();
  toneCall.image = image;
  toneCall.descriptor = *descriptor;
  toneCall.colour = toneCall.descriptor.samplesPerPixel == 3;
  toneCall.negative = toneCall.descriptor.negative == 1;
  toneCall.saturationCheck = retry != 1;

  uint8_t result = ValidateDescriptor(toneCall.descriptor);
  if (result == kToneOk) result = RunToneAnalysis(parameterBlock, prescanCurves);
  ConvertScanCurves(scanCurves);
  return result;
}
