#include "calibration/sequences.h"

#include <algorithm>
#include <initializer_list>

#include "calibration/front_end.h"
#include "calibration/shading.h"
#include "controller/controller_registers.h"
#include "controller/motion.h"
#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "scan/scan_geometry.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kRegGain0 = 0x3B;
constexpr uint8_t kRegOffset0 = 0x38;
constexpr uint8_t kRegExposure = 0x08;
constexpr uint8_t kShadingFlags = kDarkTableLoaded | kWhiteTableLoaded;

// Reference mark search.
constexpr uint32_t kReferenceColumn = 150;   // pixel whose column finds the top edge
constexpr uint32_t kThresholdLines = 10;     // lines that give the threshold
constexpr uint32_t kEdgeConfirmLines = 5;    // the line this far below must be dark too
constexpr uint32_t kMinimumReferenceLight = 10;
constexpr uint32_t kEdgeThresholdLimit = 50;
constexpr uint32_t kFirstSearchLimit = 30;   // a left edge this far right is not trusted
constexpr uint16_t kXOriginNoEdge = 90;
constexpr uint16_t kXOriginFarEdge = 110;
constexpr int kYOriginSkip = 16;
constexpr int kYOriginMinimum = 25;
constexpr uint16_t kYOriginFallback = 85;

constexpr uint16_t kMoveBeforeReference = 50;
constexpr uint8_t kStartupShadingLines = 1;
constexpr uint8_t kScanShadingLines = 20;
constexpr uint16_t kDarkShadingLines = 30;
constexpr uint32_t kLampsOffSettleMs = 500;
constexpr uint32_t kScanLampWaitMs = 600;
constexpr uint32_t kFilmType2LampWaitMs = 500;

// Light level loop.
constexpr uint16_t kLightLevelStart = 1536;
constexpr uint16_t kLightLevelLast = 3200;
constexpr uint16_t kLightLevelFine = 2500;
constexpr uint16_t kWhiteLevelLoop = 250;   // the loop runs while the white level is above
constexpr uint16_t kWhiteLevelNear = 254;   // below: small steps

constexpr uint8_t kFilmFrameExposure = 10;
constexpr double kFactorUnit = 4096.0;

uint8_t FilmType() { return sharedState->filmUnitMode.filmType; }
bool NegativeFilm() { return sharedState->filmUnitMode.negative != 0; }

uint8_t Sample(const uint8_t* image, uint32_t pitch, uint32_t line, uint32_t pixel, uint32_t channel) {
  return image[line * pitch + 3 * pixel + channel];
}

void CopyCodesToBoth(uint8_t firstReg, const uint8_t codes[3]) {
  for (int c = 0; c < 3; ++c) SetBothValues(static_cast<uint8_t>(firstReg + c), codes[c]);
}

void SaveCalibrationCodes(uint8_t firstReg, uint8_t codes[3]) {
  for (int c = 0; c < 3; ++c) codes[c] = CalibrationValue(static_cast<uint8_t>(firstReg + c));
}

// Film frame line timing: exposure 10 with register 0x19 at 0, and the
// motor timing of the scan's vertical class.
void SetFilmFrameTiming() {
  SetBothValues(0x19, 0);
  SetBothValues(kRegExposure, kFilmFrameExposure);
  uint16_t stepPeriod = 0;
  uint32_t phase = 0;
  uint16_t linePeriod = 0;
  ComputeStepTiming(sharedState->motorYResolution, &stepPeriod, &phase, &linePeriod);
  SetBothPair(0x46, std::max<uint16_t>(stepPeriod, 2));
  SetScanValue(0x52, static_cast<uint8_t>(phase >> 8 & 0xFF));
  SetScanValue(0x53, static_cast<uint8_t>(phase & 0xFF));
  SetBothPair(0x48, ComputeRegister48Value());
}

void SetScanRegister48() {
  const uint16_t value = ComputeRegister48Value();
  SetScanValue(0x48, static_cast<uint8_t>(value >> 8));
  SetScanValue(0x49, static_cast<uint8_t>(value & 0xFF));
}

// A second dark measurement with the shading correction off, on the film
// lamp, after the exposure or gains were rescaled.
DriverError RemeasureDarkWithFilmLamp(uint32_t finalWaitMs) {
  DriverError result = SetReg45Bit4(false);
  if (result != kErrNone) return result;
  SetCalibrationValue(0x42, static_cast<uint8_t>(CalibrationValue(0x42) & ~kShadingFlags));
  if ((result = DarkShadingGroup(false, true, finalWaitMs)) != kErrNone) return result;
  SetScanValue(0x42, static_cast<uint8_t>(ScanValue(0x42) | kShadingFlags));
  return kErrNone;
}

// The reference capture after the carriage has left home: the start of the
// bed at the defaults' window, read whole, then searched.
DriverError CaptureReference() {
  const uint16_t pitch = ReferenceLinePitch();
  auto* image = static_cast<uint8_t*>(AllocBlock(uint32_t{pitch} * kReferenceLines));
  if (image == nullptr) return kErrNoMemory;
  DriverError result = CommandIdle();
  if (result == kErrNone) result = WriteRegister(kRegCommand, 0x03);
  if (result == kErrNone) result = ReadImageData(image, uint32_t{pitch} * kReferenceLines);
  if (result == kErrNone) result = StartGoHome();
  if (result == kErrNone) result = FindReferenceMark(image, pitch, kReferenceLines);
  FreeBlock(image);
  return result;
}

}  // namespace

uint16_t ReferenceLinePitch() {
  const uint8_t* d = registerDefaults;
  const int pixels = ((d[0x24] * 256 + d[0x25]) - (d[0x22] * 256 + d[0x23])) / 2;
  return static_cast<uint16_t>(pixels * 3 + 2);
}

// The first of these results that fails ends the group: a dark table that
// was not measured (or measured with the lamps still lit) would correct
// every later scan with stale or wrong levels, which must not pass as a
// successful calibration. The lamps are restored and the final wait kept on
// every way out, so the failure does not also leave the lamps dark.
DriverError DarkShadingGroup(bool flatbedLamp, bool filmLamp, uint32_t finalWaitMs) {
  DriverError result = SetLamps(false, false);
  if (result == kErrNone) {
    Delay(kLampsOffSettleMs);
    result = MeasureDarkShading(kDarkShadingLines);
  }
  const DriverError restored = SetLamps(flatbedLamp, filmLamp);
  Delay(finalWaitMs);
  return result != kErrNone ? result : restored;
}

DriverError StartupCalibration() {
  uint16_t white = 0;
  DriverError result = PrepareCalibrationLine();
  if (result == kErrNone) result = SetReg45Bit4(false);
  if (result == kErrNone) result = CalibrateGain(&white);
  if (result == kErrNone) result = CalibrateOffset();
  if (result == kErrNone) result = SetReg45Bit4(true);
  if (result == kErrNone) result = CalibrateShading(kStartupShadingLines);
  return result;
}

DriverError InitialCalibration() {
  DriverError result = GoHome();
  if (result == kErrNone) result = LeaveHome();
  if (result == kErrNone) result = StartupCalibration();
  if (result == kErrNone) result = MoveCarriage(kMoveBeforeReference);
  if (result == kErrNone) result = GoHome();
  if (result == kErrNone) result = LeaveHome();
  if (result == kErrNone) result = UploadIdentityGamma();
  if (result != kErrNone) return result;
  SetScanValue(0x24, registerDefaults[0x24]);
  SetScanValue(0x25, registerDefaults[0x25]);
  if ((result = WriteScanSet()) != kErrNone) return result;
  return CaptureReference();
}

// Captures shorter than the search needs (ten threshold lines, the first
// candidate line 10 and its confirmation five lines below), or lines too
// short to hold the reference column, cannot show the mark; they report
// what a search that runs out reports instead of reading past the image.
DriverError FindReferenceMark(const uint8_t* image, uint16_t linePitch, uint16_t lines) {
  if (lines < kThresholdLines + 1 + kEdgeConfirmLines) return kErrHomeSensorFault;
  const uint32_t pixels = (linePitch - 2u) / 3u;
  if (linePitch < 2 || pixels <= kReferenceColumn) return kErrReferenceNotFound;

  uint32_t sum = 0;
  for (uint32_t r = 0; r < kThresholdLines; ++r) sum += Sample(image, linePitch, r, kReferenceColumn, 1);
  const uint32_t threshold = sum / kThresholdLines / 3;
  if (threshold < kMinimumReferenceLight) return kErrLightSourceFault;

  // Top edge: the first line that is dark in the reference column and still
  // dark five lines further down.
  uint32_t top = kThresholdLines;
  while (!(Sample(image, linePitch, top, kReferenceColumn, 1) <= threshold &&
           Sample(image, linePitch, top + kEdgeConfirmLines, kReferenceColumn, 1) <= threshold)) {
    ++top;
    if (top >= lines - kEdgeConfirmLines) return kErrHomeSensorFault;
  }

  const uint32_t line = top + kEdgeConfirmLines;
  const uint32_t dark = Sample(image, linePitch, line, kReferenceColumn, 1);
  const uint32_t edge = std::min(dark * 7 / 2, kEdgeThresholdLimit);

  // Left edge: walk left from the reference column while the mark stays dark.
  int k = static_cast<int>(kReferenceColumn);
  while (k >= 0 && Sample(image, linePitch, line, static_cast<uint32_t>(k), 1) < edge) --k;
  uint32_t left = static_cast<uint32_t>(k + 1);
  if (left == 0 || left >= kFirstSearchLimit) {
    // Second search, from the left end, on channel 0.
    uint32_t i = 0;
    while (i < pixels && Sample(image, linePitch, line, i, 0) > edge) ++i;
    if (i >= pixels) return kErrReferenceNotFound;
    left = i;
  }

  SharedState& s = *sharedState;
  if (left == 0)
    s.xOriginOffset = kXOriginNoEdge;
  else if (left < kFirstSearchLimit)
    s.xOriginOffset = static_cast<uint16_t>(2 * left + 100);
  else
    s.xOriginOffset = kXOriginFarEdge;
  const int y = static_cast<int>(top) - kYOriginSkip;
  s.yOriginOffset = y > kYOriginMinimum ? static_cast<uint16_t>(y) : kYOriginFallback;
  return kErrNone;
}

DriverError CalibrateForScan(uint8_t calibrationMode) {
  const SharedState& s = *sharedState;
  const bool filmFrame = s.scanSource == kSourceFilmFrame;
  if (filmFrame && FilmType() == 2) return CalibrateFilmType2(calibrationMode);

  DriverError result = PrepareCalibrationLine();
  if (result == kErrNone) result = SetReg45Bit4(false);
  if (result != kErrNone) return result;

  const bool measure = s.scanSource == kSourceFlatbed || FilmType() == 0;
  uint16_t white = 0;
  if (measure) {
    if ((result = CalibrateGain(&white)) != kErrNone) return result;
  } else {
    CopyCodesToBoth(kRegGain0, s.savedGainCodes);
  }

  // Light level: a flatbed multi-channel scan whose white still saturates
  // gets a stronger lamp current, in steps that shrink as it nears the top.
  for (uint16_t level = kLightLevelStart;
       s.scanSource == kSourceFlatbed && s.scanMode > 2 && white > kWhiteLevelLoop && level <= kLightLevelLast;) {
    if ((result = WriteReg2A(level)) != kErrNone) return result;
    if ((result = CalibrateGain(&white)) != kErrNone) return result;
    if (white < kWhiteLevelNear)
      level += 64;
    else if (level <= kLightLevelFine)
      level += 256;
    else
      level += 128;
  }

  if (measure) {
    if ((result = CalibrateOffset()) != kErrNone) return result;
  } else {
    CopyCodesToBoth(kRegOffset0, s.savedOffsetCodes);
  }

  if ((result = DarkShadingGroup(!filmFrame, filmFrame, kScanLampWaitMs)) != kErrNone) return result;
  if ((result = SetReg45Bit4(true)) != kErrNone) return result;
  if ((result = CalibrateShading(kScanShadingLines)) != kErrNone) return result;

  if (filmFrame) SetFilmFrameTiming();
  if (filmFrame && FilmType() >= 4) {
    SetScanValue(kRegExposure, ExposureCodeForRatio(ScanValue(kRegExposure), s.autoExposureFactor / kFactorUnit));
    for (int c = 0; c < 3; ++c)
      SetScanValue(static_cast<uint8_t>(kRegGain0 + c),
                   GainCodeForRatio(kGainStartCode, s.autoGainFactor[c] / kFactorUnit, GainRounding::Downward));
    for (uint8_t reg : {kRegExposure, uint8_t{0x3B}, uint8_t{0x3C}, uint8_t{0x3D}})
      SetCalibrationValue(reg, ScanValue(reg));
    if ((result = RemeasureDarkWithFilmLamp(kScanLampWaitMs)) != kErrNone) return result;
    if ((result = SetReg45Bit4(true)) != kErrNone) return result;
  }
  if (s.scanSource != kSourceFlatbed) SetScanRegister48();
  return kErrNone;
}

DriverError CalibrateFilmType2(uint8_t calibrationMode) {
  SharedState& s = *sharedState;
  DriverError result = PrepareCalibrationLine();
  if (result == kErrNone) result = SetReg45Bit4(false);
  if (result != kErrNone) return result;

  const bool measure = !NegativeFilm() || calibrationMode == 3;
  if (measure) {
    uint16_t white = 0;
    if ((result = CalibrateGain(&white)) != kErrNone) return result;
    SaveCalibrationCodes(kRegGain0, s.savedGainCodes);
    if ((result = CalibrateOffset()) != kErrNone) return result;
    SaveCalibrationCodes(kRegOffset0, s.savedOffsetCodes);
  } else {
    CopyCodesToBoth(kRegGain0, s.savedGainCodes);
    CopyCodesToBoth(kRegOffset0, s.savedOffsetCodes);
  }

  if ((result = DarkShadingGroup(false, true, kFilmType2LampWaitMs)) != kErrNone) return result;
  if ((result = SetReg45Bit4(true)) != kErrNone) return result;
  if ((result = CalibrateShading(kScanShadingLines)) != kErrNone) return result;
  SetFilmFrameTiming();

  if (NegativeFilm()) {
    // Negative film: channel 0 at the start gain, the others in the fixed
    // proportions of the film's orange mask, and the exposure scaled by the
    // calibration mode.
    const double g0 = GainOfCode(CalibrationValue(0x3B));
    const double g1 = GainOfCode(CalibrationValue(0x3C));
    const double g2 = GainOfCode(CalibrationValue(0x3D));
    SetCalibrationValue(0x3B, kGainStartCode);
    SetCalibrationValue(0x3C, GainCodeForRatio(kGainStartCode, g1 * 1.84 / g0, GainRounding::Downward));
    SetCalibrationValue(0x3D, GainCodeForRatio(kGainStartCode, g2 * 3.53 / g0, GainRounding::Downward));
    SetCalibrationValue(kRegExposure, ExposureCodeForRatio(kFilmFrameExposure, calibrationMode));
    for (uint8_t reg : {kRegExposure, uint8_t{0x3B}, uint8_t{0x3C}, uint8_t{0x3D}})
      SetScanValue(reg, CalibrationValue(reg));
  }

  if ((result = RemeasureDarkWithFilmLamp(kFilmType2LampWaitMs)) != kErrNone) return result;
  if ((result = SetReg45Bit4(true)) != kErrNone) return result;
  SetScanRegister48();
  return kErrNone;
}
