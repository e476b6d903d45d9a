#include "controller/register_image.h"

#include "interface/shared_state.h"
#include "scan/scan_parameters.h"
#include "tone/tone_tables.h"
#include "transport/transport.h"

// clang-format off
uint8_t registerDefaults[96] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x1A, 0x00, 0x02, 0x60, 0x2F, 0x13, 0x06,
    0x17, 0x01, 0x03, 0x03, 0x05, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x21, 0x00, 0x40,
    0x15, 0x40, 0x00, 0x40, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x01, 0x0F, 0xFF, 0x3F, 0xFF, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00,
    0x40, 0x00, 0x20, 0x00, 0x00, 0x13, 0x05, 0x52, 0x00, 0xF0, 0x00, 0x01, 0x00, 0x00, 0x80, 0x02,
    0x00, 0xFC, 0x00, 0x45, 0x00, 0x00, 0x02, 0x1F, 0x05, 0x44, 0x14, 0x19, 0x00, 0x00, 0x80, 0x00,
};

// The registers that differ between scanning and calibration, in upload order.
static const uint8_t kImageRegisters[kRegisterImageCount] = {
    0x08, 0x09, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x17, 0x18, 0x19, 0x1E, 0x1F,
    0x22, 0x23, 0x24, 0x25, 0x26, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x42, 0x43,
    0x44, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4E, 0x4F, 0x50, 0x52, 0x53, 0x57,
};
// clang-format on

namespace {

// The entry of a listed register. The list is fixed, so an unlisted register
// is a programming error; it falls back to the terminator entry, which no
// upload sends.
RegisterImageEntry& Entry(uint8_t reg) {
  RegisterImageEntry* image = sharedState->registerImage;
  for (int i = 0; i < kRegisterImageCount; ++i)
    if (kImageRegisters[i] == reg) return image[i];
  return image[kRegisterImageCount];
}

DriverError WriteSet(bool calibration) {
  DriverError result = WriteRegister(0x18, 0x18);
  if (result != kErrNone) return result;
  PlatSleep(2);
  if ((result = WriteRegister(0x07, 0x20)) != kErrNone) return result;
  if ((result = WriteRegister(0x19, 0x06)) != kErrNone) return result;
  for (const RegisterImageEntry* e = sharedState->registerImage; e->reg != kRegisterImageTerminator; ++e) {
    result = WriteRegister(e->reg, calibration ? e->calibrationValue : e->scanValue);
    if (result != kErrNone) return result;
  }
  return WriteRegister(0x07, 0x00);
}

}  // namespace

uint8_t ScanValue(uint8_t reg) { return Entry(reg).scanValue; }
uint8_t CalibrationValue(uint8_t reg) { return Entry(reg).calibrationValue; }
void SetScanValue(uint8_t reg, uint8_t value) { Entry(reg).scanValue = value; }
void SetCalibrationValue(uint8_t reg, uint8_t value) { Entry(reg).calibrationValue = value; }
void SetBothValues(uint8_t reg, uint8_t value) {
  Entry(reg).scanValue = value;
  Entry(reg).calibrationValue = value;
}
uint16_t ScanValue16(uint8_t highReg) {
  return static_cast<uint16_t>(ScanValue(highReg) << 8 | ScanValue(static_cast<uint8_t>(highReg + 1)));
}

void LoadRegisterImage() {
  RegisterImageEntry* image = sharedState->registerImage;
  for (int i = 0; i < kRegisterImageCount; ++i) {
    const uint8_t reg = kImageRegisters[i];
    image[i] = RegisterImageEntry{reg, registerDefaults[reg], registerDefaults[reg], 0};
  }
  image[kRegisterImageCount] = RegisterImageEntry{kRegisterImageTerminator, 0, 0, 0};
}

DriverError WriteScanSet() { return WriteSet(false); }
DriverError WriteCalibrationSet() { return WriteSet(true); }

void ResetScanState() {
  SharedState& s = *sharedState;
  // The whole-image buffers this process allocated go before their
  // references are zeroed with the rest of the working state.
  ReleaseWholeImageBuffers();
  ZeroWorkingState(s);
  s.abilityIdentifier = kAbilityIdentifier;
  s.frontEndWindowBase = 34;
  s.frontEndWindowLimit = 61;
  s.xStartBase = static_cast<uint16_t>(registerDefaults[0x1E] * 256 + registerDefaults[0x1F]);
  s.yStartBase = 1;
  s.motorYResolution = 300;
  s.xPixelPitch = 20;
  // The optical class that the pitch above describes. Calibration divides by
  // it before any scan geometry has been prepared, so it must never be 0.
  s.opticalXResolution = 300;
  s.scanMode = 4;
  s.xOriginOffset = 0;
  s.yOriginOffset = 0;
  s.filmFrameXOffset = 2050;
  s.filmStartDistance = 410;
  s.autoExposureFactor = 4096;
  for (auto& factor : s.autoGainFactor) factor = 4096;
  LoadRegisterImage();
  SetIdentityGammaTables();
  SetIdentityToneCurves();
}
