#include "tone/gamma_builders.h"

#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"

// Film: four points per channel. Flatbed: six points per channel; point 5
// lies left of point 4 and only sets the slope above point 4.
const GammaPointTable kFilmGammaPoints = {
    {{0.0, 12.2, 108.39, 204.9}, {0.0, 13.66, 106.65, 203.72}, {0.0, 13.77, 97.38, 196.56}},
    {0.0, 13.0, 100.0, 200.0},
    2,
};

const GammaPointTable kFlatbedGammaPoints = {
    {{0.0, 11.746, 66.172, 135.228, 233.782, 4.1},
     {0.0, 11.782, 65.82, 134.726, 233.57, 4.74},
     {0.0, 11.482, 66.946, 137.328, 236.256, 4.06}},
    {0.0, 7.5, 64.0, 132.0, 243.16, 2.68},
    4,
};

const GammaPointTable kFlatbedHighResolutionGammaPoints = {
    {{0.0, 11.322, 64.316, 132.102, 227.866, 0.421},
     {0.0, 11.272, 63.916, 131.602, 227.65, 0.578},
     {0.0, 11.236, 65.89, 135.952, 233.664, 0.279}},
    {0.0, 7.5, 64.0, 132.0, 243.16, 2.68},
    4,
};

namespace {

constexpr uint8_t kSixteenBitSamples = 0x20;  // register 0x09: the controller bypasses its gamma memory
constexpr uint16_t kHighResolutionFrom = 600;
constexpr double kLevelClamp = 255.00001;

// The channels a scan loads: all three in colour, else the one-channel
// scan's sensor channel (an out-of-range index means channel 1, as the
// upload itself reads it).
int ChannelsToLoad(uint8_t channels[3]) {
  const SharedState& s = *sharedState;
  if (s.scanMode == kScanModeColour) {
    channels[0] = 0, channels[1] = 1, channels[2] = 2;
    return 3;
  }
  channels[0] = static_cast<uint8_t>(s.monoChannelIndex < 3 ? s.monoChannelIndex : 1);
  return 1;
}

double SegmentSlope(const GammaPointTable& t, int c, int seg) {
  return (t.y[seg + 1] - t.y[seg]) / (t.x[c][seg + 1] - t.x[c][seg]);
}

// Tone curves hold levels 0..255; a larger entry (a misbehaving tone
// library) is read as 255 rather than past the gamma table.
uint32_t ToneLevel(uint8_t channel, uint32_t index) {
  const uint16_t level = sharedState->toneCurve[channel][index];
  return level < 255 ? level : 255;
}

}  // namespace

void ComputeBuilderCurves(const GammaPointTable& t, uint16_t curves[3][kBuilderCurveEntries]) {
  for (int c = 0; c < 3; ++c) {
    uint16_t* f = curves[c];
    f[0] = 0;
    int seg = 0;
    double slope = SegmentSlope(t, c, seg);
    for (int i = 1; i < kBuilderCurveEntries; ++i) {
      while (i > t.x[c][seg + 1] && seg < t.lastSegment) slope = SegmentSlope(t, c, ++seg);
      double v = i;
      if (i > t.x[c][seg]) {
        v = (i - t.x[c][seg]) * slope + t.y[seg];
        if (v > kLevelClamp) v = 255.0;
      }
      f[i] = static_cast<uint16_t>(v * kGammaIndexScale);
    }
  }
}

namespace {

// The builders' common part: the fixed curves of `points`, each entry
// mapped through `compose`(channel, entry) onto the host's tables, expanded
// and uploaded for every channel the scan uses. A scratch table carries the
// upload, so gammaTable stays as the host loaded it.
template <typename Compose>
DriverError ComposeAndUpload(const GammaPointTable& points, Compose compose) {
  auto* table = static_cast<uint16_t*>(AllocBlock(kGammaTableEntries * sizeof(uint16_t)));
  if (table == nullptr) return kErrNoMemory;
  uint16_t curves[3][kBuilderCurveEntries];
  ComputeBuilderCurves(points, curves);
  uint8_t channels[3];
  const int count = ChannelsToLoad(channels);
  DriverError result = kErrNone;
  for (int k = 0; k < count && result == kErrNone; ++k) {
    const uint8_t c = channels[k];
    uint16_t* f = curves[c];
    for (int i = 0; i < kBuilderCurveEntries; ++i) f[i] = compose(c, f[i]);
    ExpandCurve256To16384(f, table);
    result = UploadGammaChannel(table, c, kGammaTableEntries);
  }
  FreeBlock(table);
  return result;
}

}  // namespace

DriverError BuildFilmGamma() {
  return ComposeAndUpload(kFilmGammaPoints, [](uint8_t c, uint16_t entry) {
    return gammaTable[c][ToneLevel(c, entry / kGammaIndexScale) * kGammaIndexScale];
  });
}

// The composed table is built in a scratch table: the host's gammaTable
// stays as the host loaded it, so every scan composes the correction onto
// the same tables and two scans of one area look alike.
DriverError BuildFlatbedGamma() {
  if (ScanValue(0x09) & kSixteenBitSamples) return kErrNone;
  const SharedState& s = *sharedState;
  const bool highResolution = s.scanMode == kScanModeColour && s.opticalXResolution >= kHighResolutionFrom;
  return ComposeAndUpload(highResolution ? kFlatbedHighResolutionGammaPoints : kFlatbedGammaPoints,
                          [](uint8_t c, uint16_t entry) { return gammaTable[c][entry]; });
}

// A toneArgument other than 1 counts as 0 (the identity).
DriverError UploadGammaForScan(uint8_t toneArgument) {
  const SharedState& s = *sharedState;
  const bool hostTone = toneArgument == 1;
  if (hostTone && s.filmUnitMode.negative == 0)
    return s.scanSource != kSourceFlatbed ? BuildFilmGamma() : BuildFlatbedGamma();
  uint8_t channels[3];
  const int count = ChannelsToLoad(channels);
  for (int k = 0; k < count; ++k) {
    const uint8_t c = channels[k];
    DriverError result;
    if (hostTone && s.scanSource == kSourceFilmFrame)
      result = UploadGammaChannel(sharedState->toneCurve[c], c, kToneCurveEntries);
    else if (hostTone)
      result = UploadGammaChannel(gammaTable[c], c, kGammaTableEntries);
    else
      result = UploadGammaChannel(nullptr, c, kToneCurveEntries);
    if (result != kErrNone) return result;
  }
  return kErrNone;
}
