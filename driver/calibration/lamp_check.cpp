#include "calibration/lamp_check.h"

#include <cmath>

#include "calibration/front_end.h"
#include "controller/motion.h"
#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

struct LampVariant {
  uint16_t windowWidth;  // 600-dpi sensor pixels
  uint16_t minimumLight;
  DriverError tooDark;
  bool allChannels;      // compare all channels' means and maxima, else channel 1's mean
};

constexpr LampVariant kFlatbedLamp{5104, 15, kErrLightSourceFault, true};
constexpr LampVariant kFilmLamp{827, 120, kErrFilmLampTooDark, false};

constexpr double kMeanTolerance = 3.0;
constexpr int kMaximumTolerance = 4;
constexpr uint32_t kSettleMs = 100;
constexpr uint32_t kPollMs = 2;

struct Reading {
  uint16_t maximum[3];
  double mean[3];
};

// Captures one line into `line` and reduces it.
DriverError TakeReading(uint8_t* line, uint32_t bytes, Reading* reading) {
  DriverError result = ReadCalibrationLine(line, bytes);
  if (result != kErrNone) return result;
  const uint32_t pixels = bytes / 3;
  uint32_t sum[3] = {0, 0, 0};
  for (int c = 0; c < 3; ++c) reading->maximum[c] = 0;
  for (uint32_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) {
      const uint8_t v = line[3 * i + c];
      if (v > reading->maximum[c]) reading->maximum[c] = v;
      sum[c] += v;
    }
  }
  for (int c = 0; c < 3; ++c) reading->mean[c] = pixels != 0 ? static_cast<double>(sum[c]) / pixels : 0.0;
  return kErrNone;
}

// Waits out the rest of the reading interval, polling the controller.
DriverError WaitInterval(uint32_t start) {
  while (PlatTickCount() - start < kLampReadingIntervalMs) {
    Delay(kPollMs);
    uint8_t ignored = 0;
    const DriverError result = ReadRegister(0x5F, &ignored);
    if (result != kErrNone) return result;
  }
  return kErrNone;
}

bool Stable(const LampVariant& variant, const Reading& first, const Reading& second) {
  for (int c = 0; c < 3; ++c) {
    if (!variant.allChannels && c != 1) continue;
    if (std::fabs(second.mean[c] - first.mean[c]) > kMeanTolerance) return false;
    if (variant.allChannels && std::abs(int{second.maximum[c]} - int{first.maximum[c]}) > kMaximumTolerance)
      return false;
  }
  return true;
}

// Both readings with the register 0x45 bit 4 cleared around them.
DriverError TakeReadings(uint8_t* line, uint32_t bytes, Reading readings[2]) {
  DriverError result = SetReg45Bit4(false);
  if (result != kErrNone) return result;
  Delay(kSettleMs);
  for (int k = 0; k < 2; ++k) {
    const uint32_t start = PlatTickCount();
    if ((result = TakeReading(line, bytes, &readings[k])) != kErrNone) return result;
    if ((result = WaitInterval(start)) != kErrNone) return result;
  }
  return SetReg45Bit4(true);
}

}  // namespace

DriverError CheckLampWarmUp(uint8_t filmLamp) {
  const SharedState& s = *sharedState;
  const LampVariant& variant = filmLamp == 1 ? kFilmLamp : kFlatbedLamp;

  for (RegisterImageEntry* e = sharedState->registerImage; e->reg != kRegisterImageTerminator; ++e)
    e->scanValue = registerDefaults[e->reg];
  auto start = static_cast<uint16_t>(registerDefaults[0x1F] + s.xOriginOffset);
  if (filmLamp == 1) start = static_cast<uint16_t>(start + s.filmFrameXOffset);
  const auto end = static_cast<uint16_t>(start + variant.windowWidth);
  SetScanValue(0x22, static_cast<uint8_t>(start >> 8));
  SetScanValue(0x23, static_cast<uint8_t>(start & 0xFF));
  SetScanValue(0x24, static_cast<uint8_t>(end >> 8));
  SetScanValue(0x25, static_cast<uint8_t>(end & 0xFF));

  DriverError result = WriteScanSet();
  for (uint8_t c = 0; c < 3 && result == kErrNone; ++c) result = UploadGammaChannel(nullptr, c, 256);
  if (result != kErrNone) return result;

  const uint32_t pixels = static_cast<uint16_t>(ScanValue16(0x24) - ScanValue16(0x22)) / 2u;
  const uint32_t bytes = pixels * 3;
  auto* line = static_cast<uint8_t*>(AllocBlock(bytes));
  if (line == nullptr) return kErrNoMemory;
  Reading readings[2];
  result = TakeReadings(line, bytes, readings);
  FreeBlock(line);
  if (result != kErrNone) return result;

  uint16_t brightest = 0;
  for (const Reading& r : readings)
    for (uint16_t m : r.maximum)
      if (m > brightest) brightest = m;
  if (brightest < variant.minimumLight) return variant.tooDark;
  if (!Stable(variant, readings[0], readings[1])) return kErrLampNotStable;
  return kErrNone;
}
