#include "calibration/front_end.h"

#include <cmath>
#include <initializer_list>

#include "controller/controller_registers.h"
#include "controller/motion.h"
#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kRegOffset0 = 0x38;
constexpr uint8_t kRegGain0 = 0x3B;

constexpr double kGainBase = 0.93;
constexpr double kGainStep = 0.067;
constexpr double kGainRangeLimit = 2.79;  // above it the times-3 range is used
constexpr uint8_t kGainStepMask = 0x1F;

// The target of the brightest sample when the gain is not matched to the
// brightest channel (0xE600, 230 of 255).
constexpr double kGainTarget = 58880.0;
// White levels of the gain rules.
constexpr uint16_t kWhiteSaturated = 255;
constexpr uint16_t kWhiteBright = 240;
constexpr uint16_t kHighResolutionClass = 450;

// The registers PrepareCalibrationLine copies from the scan column.
constexpr uint8_t kCopiedFromScan[] = {0x08, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x17, 0x19,
                                       0x1E, 0x1F, 0x26, 0x42, 0x46, 0x47, 0x48, 0x49, 0x57};

uint16_t Sample(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The channel of a one-channel line (the geometry keeps 0-2).
uint16_t MonoChannel() {
  const uint16_t channel = sharedState->monoChannelIndex;
  return channel <= 2 ? channel : 1;
}

// Stores codes in both columns of three consecutive registers.
void StoreCodes(uint8_t firstReg, const uint8_t codes[3]) {
  for (int c = 0; c < 3; ++c) SetBothValues(static_cast<uint8_t>(firstReg + c), codes[c]);
}

// Pixels of the gain measurement line.
uint32_t GainLinePixels() {
  const uint32_t optical = CalibrationOpticalResolution();
  if (sharedState->scanSource == kSourceFilmFrame) return static_cast<uint32_t>(optical * 1.47);
  return optical * 85 / 10;
}

// The gain code for one channel whose brightest sample is `maximum`.
// A maximum of 0 means the channel saw no light at all: the wanted gain is
// unbounded, and the channel gets the largest gain there is (what any
// maximum too small to reach the target gives), instead of a ratio that
// divides by zero.
uint8_t ChannelGainCode(double target, uint16_t maximum) {
  if (maximum == 0) return kGainMaxCode;
  return GainCodeForRatio(kGainStartCode, target / maximum, GainRounding::Nearest);
}

}  // namespace

uint16_t CalibrationOpticalResolution() {
  const uint16_t optical = sharedState->opticalXResolution;
  return optical != 0 ? optical : 300;
}

uint16_t CalibrationPixelPitch() {
  const uint16_t pitch = sharedState->xPixelPitch;
  return pitch != 0 ? pitch : static_cast<uint16_t>(6000 / CalibrationOpticalResolution());
}

bool ColourCalibration() { return sharedState->scanMode == kScanModeColour; }

void SetCalibrationPair(uint8_t highReg, uint16_t value) {
  SetCalibrationValue(highReg, static_cast<uint8_t>(value >> 8));
  SetCalibrationValue(static_cast<uint8_t>(highReg + 1), static_cast<uint8_t>(value & 0xFF));
}

void SetBothPair(uint8_t highReg, uint16_t value) {
  SetBothValues(highReg, static_cast<uint8_t>(value >> 8));
  SetBothValues(static_cast<uint8_t>(highReg + 1), static_cast<uint8_t>(value & 0xFF));
}

DriverError ReadCalibrationLine(uint8_t* buffer, uint32_t count) {
  DriverError result = CommandIdle();
  if (result == kErrNone) result = WriteRegister(kRegCommand, kCommandStart);
  if (result == kErrNone) result = ReadImageData(buffer, count);
  if (result == kErrNone) result = WriteRegister(kRegCommand, kCommandStop);
  return result;
}

double GainOfCode(uint8_t code) {
  if (code & kGainTimesThree) return (kGainBase + kGainStep * (code & kGainStepMask)) * 3;
  return kGainBase + kGainStep * code;
}

uint8_t GainCodeForRatio(uint8_t code, double ratio, GainRounding rounding) {
  double gain = GainOfCode(code) * ratio;
  uint8_t result = 0;
  if (gain > kGainRangeLimit) {
    result = kGainTimesThree;
    gain /= 3;
  }
  const double step = (gain - kGainBase) / kGainStep + (rounding == GainRounding::Nearest ? 0.5 : 0.0001);
  // Limited before the conversion, so that no value (NaN, infinity) is
  // converted out of range.
  uint8_t n = 0;
  if (step >= 31.0)
    n = 31;
  else if (step > 0.0)
    n = static_cast<uint8_t>(step);
  return static_cast<uint8_t>(result | n);
}

// The code saturates at 0 and 255: a result that wrapped to its low 8 bits
// would turn the longest wanted exposure into one of the shortest (or the
// reverse), a plainly wrong picture; the nearest code that exists is the
// closest the controller can come.
uint8_t ExposureCodeForRatio(uint8_t code, double ratio) {
  const double wanted = std::trunc((code + 2) * ratio - 2 + 0.01);
  if (!(wanted > 0.0)) return 0;
  if (wanted >= 255.0) return 255;
  return static_cast<uint8_t>(wanted);
}

uint16_t LineMaximum(const uint8_t* line, uint32_t lineBytes, uint16_t channel) {
  const bool colour = ColourCalibration();
  const uint32_t pixelBytes = colour ? 6 : 2;
  const uint32_t pixels = lineBytes / pixelBytes;
  const uint32_t offset = colour ? channel * 2u : 0u;
  uint16_t maximum = 0;
  for (uint32_t i = 0; i + 1 < pixels; ++i) {
    const uint16_t v = Sample(line + i * pixelBytes + offset);
    if (v > maximum) maximum = v;
  }
  return maximum;
}

uint32_t LeadingSampleSum(const uint8_t* line, uint32_t count, uint16_t channel) {
  const bool colour = ColourCalibration();
  const uint32_t pixelBytes = colour ? 6 : 2;
  const uint32_t offset = colour ? channel * 2u : 0u;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t v = Sample(line + i * pixelBytes + offset) >> 2;
    if (v == 0) return 0;
    sum += v;
  }
  return sum;
}

void StepOffsetCode(uint8_t* code) {
  const uint8_t magnitude = *code & kGainStepMask;
  if ((*code & kOffsetNegative) == 0) {
    *code = static_cast<uint8_t>(magnitude < 31 ? magnitude + 1 : 31);
  } else if (magnitude == 0) {
    *code = 1;
  } else {
    *code = magnitude == 1 ? 0 : static_cast<uint8_t>(kOffsetNegative | (magnitude - 1));
  }
}

DriverError PrepareCalibrationLine() {
  const SharedState& s = *sharedState;
  const uint32_t optical = CalibrationOpticalResolution();
  const uint32_t width = s.scanSource == kSourceFilmFrame ? optical * 2 : optical * 85 / 10;
  const uint16_t start = s.xStartBase;
  const uint16_t end = static_cast<uint16_t>(start + width * 600 / optical);

  for (uint8_t reg : kCopiedFromScan) SetCalibrationValue(reg, ScanValue(reg));
  SetCalibrationValue(0x09, static_cast<uint8_t>(ScanValue(0x09) | 0x38));
  SetCalibrationPair(0x22, start);
  SetCalibrationPair(0x24, end);
  for (int c = 0; c < 3; ++c) {
    SetCalibrationValue(static_cast<uint8_t>(kRegOffset0 + c), 0);
    SetCalibrationValue(static_cast<uint8_t>(kRegGain0 + c), kGainStartCode);
  }
  for (uint8_t reg : {0x4A, 0x4B, 0x50, 0x52, 0x53}) SetCalibrationValue(reg, 0);
  const uint32_t lineBytes = ColourCalibration() ? width * 6 : width * 2;
  uint32_t blocks = (lineBytes >> 10) / 2 + 1;
  if (blocks < 2) blocks = 2;
  SetCalibrationValue(0x4E, static_cast<uint8_t>(blocks));
  SetCalibrationValue(0x4F, 2);
  return WriteCalibrationSet();
}

DriverError CalibrateGain(uint16_t* whiteLevel) {
  const SharedState& s = *sharedState;
  const bool colour = ColourCalibration();
  const uint32_t width = GainLinePixels();
  const uint32_t lineBytes = colour ? width * 6 : width * 2;
  auto* line = static_cast<uint8_t*>(AllocBlock(lineBytes + 2));
  if (line == nullptr) return kErrNoMemory;

  DriverError result = kErrNone;
  if (colour) {
    for (int c = 0; c < 3 && result == kErrNone; ++c)
      result = WriteRegister(static_cast<uint8_t>(kRegGain0 + c), kGainStartCode);
  } else {
    result = WriteRegister(static_cast<uint8_t>(kRegGain0 + MonoChannel()), kGainStartCode);
  }
  if (result == kErrNone) result = ReadCalibrationLine(line, lineBytes + 2);
  if (result != kErrNone) {
    FreeBlock(line);
    return result;
  }

  uint16_t maxima[3];
  for (uint16_t c = 0; c < 3; ++c) maxima[c] = LineMaximum(line, lineBytes, colour ? c : MonoChannel());
  FreeBlock(line);

  uint16_t brightest = maxima[0];
  for (uint16_t m : maxima)
    if (m > brightest) brightest = m;
  const uint16_t white = brightest / 256;

  // At high resolution (or on the film unit) a line that does not saturate
  // is matched to its brightest channel instead of the fixed target; a
  // bright one then puts that channel at the lowest gain.
  double target = kGainTarget;
  const bool matchBrightest =
      (CalibrationOpticalResolution() >= kHighResolutionClass && white < kWhiteSaturated && s.scanMode > 2) ||
      s.scanSource != kSourceFlatbed;
  if (matchBrightest) {
    target = brightest;
    if (white > kWhiteBright) target = target * 0.93 / 0.997 + 0.999;
  }

  uint8_t codes[3];
  for (int c = 0; c < 3; ++c) codes[c] = ChannelGainCode(target, maxima[c]);
  StoreCodes(kRegGain0, codes);
  *whiteLevel = white;
  return kErrNone;
}

DriverError CalibrateOffset() {
  const SharedState& s = *sharedState;
  const bool colour = ColourCalibration();
  const uint32_t pitch = CalibrationPixelPitch();
  const uint32_t optical = CalibrationOpticalResolution();
  const uint32_t target = (s.scanSource == kSourceFilmFrame ? 70000u : 30720u) / pitch;
  const uint32_t samples = (240 / pitch) / 2;

  const int base = s.frontEndWindowBase;
  const int limit = s.frontEndWindowLimit;
  const auto start = static_cast<uint16_t>(base + (limit - base - 24) / 2);
  const auto end = static_cast<uint16_t>(start + 300);
  const uint32_t lineBytes = colour ? 300 * 3 * optical * 2 / 600 : 300 * optical * 2 / 600;
  SetCalibrationValue(0x4B, 0);
  SetCalibrationValue(0x1E, 0);
  SetCalibrationValue(0x1F, static_cast<uint8_t>(base & 0xFF));
  SetCalibrationPair(0x22, start);
  SetCalibrationPair(0x24, end);
  uint8_t blocks = static_cast<uint8_t>(((lineBytes + 2) >> 11) & 0xFF);
  SetCalibrationValue(0x4E, blocks < 1 ? 1 : blocks);
  SetCalibrationValue(0x4F, 2);
  SetCalibrationValue(0x50, 0);
  DriverError result = WriteCalibrationSet();
  if (result != kErrNone) return result;
  auto* line = static_cast<uint8_t*>(AllocBlock(lineBytes + 2));
  if (line == nullptr) return kErrNoMemory;

  uint16_t channels[3];
  int channelCount = 0;
  if (colour) {
    for (uint16_t c = 0; c < 3; ++c) channels[channelCount++] = c;
  } else {
    channels[channelCount++] = MonoChannel();
  }
  uint8_t codes[3] = {0, 0, 0};
  bool negative[3] = {false, false, false};

  // Successive approximation, one bit of the magnitude per pass after the
  // sign pass; the last pass only writes the final codes.
  for (int pass = 0; pass <= 6; ++pass) {
    const auto passBit = static_cast<uint8_t>(0x20 >> pass);  // 0 in the last pass
    for (int k = 0; k < channelCount && result == kErrNone; ++k) {
      const uint16_t c = channels[k];
      if (pass >= 1 && pass <= 5) codes[c] |= passBit;
      result = WriteRegister(static_cast<uint8_t>(kRegOffset0 + c), codes[c]);
    }
    if (result == kErrNone) result = ReadCalibrationLine(line, lineBytes + 2);
    if (result != kErrNone) {
      FreeBlock(line);
      return result;
    }
    if (pass == 6) break;
    for (int k = 0; k < channelCount; ++k) {
      const uint16_t c = channels[k];
      const bool above = LeadingSampleSum(line, samples, c) > target;
      uint8_t& code = codes[c];
      if (pass == 0) {
        negative[c] = above;
        code = above ? kOffsetNegative : 0;
      } else if (pass <= 4) {
        // Positive: keep the bit while the level stays at or below the
        // target. Negative: keep it while the level stays above.
        if (above != negative[c]) code &= static_cast<uint8_t>(~passBit);
      } else if (!negative[c]) {
        if (!above) StepOffsetCode(&code);
      } else if (!above) {
        code &= static_cast<uint8_t>(~passBit);
        if (code == kOffsetNegative) code = 0;
      }
    }
  }
  FreeBlock(line);
  StoreCodes(kRegOffset0, codes);
  return kErrNone;
}
