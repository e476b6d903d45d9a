// The register image: its list, both upload sets on the wire, and the
// working-state reset with its defaults and the fields it keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "controller/register_image.h"
#include "driver_fixture.h"
#include "tone/tone_tables.h"
#include "wire.h"

using namespace tq5test;

using RegisterImage = DriverOnScriptedDevice;

namespace {

const uint8_t kListed[] = {0x08, 0x09, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x17, 0x18, 0x19, 0x1E, 0x1F,
                           0x22, 0x23, 0x24, 0x25, 0x26, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x42, 0x43,
                           0x44, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4E, 0x4F, 0x50, 0x52, 0x53, 0x57};

}  // namespace

TEST_F(RegisterImage, LoadFillsTheListFromTheDefaults) {
  std::memset(sharedState->registerImage, 0xAA, sizeof sharedState->registerImage);
  LoadRegisterImage();
  for (int i = 0; i < kRegisterImageCount; ++i) {
    const auto& e = sharedState->registerImage[i];
    EXPECT_EQ(e.reg, kListed[i]) << i;
    EXPECT_EQ(e.scanValue, registerDefaults[kListed[i]]) << i;
    EXPECT_EQ(e.calibrationValue, registerDefaults[kListed[i]]) << i;
  }
  EXPECT_EQ(sharedState->registerImage[kRegisterImageCount].reg, 0xFF);
  EXPECT_EQ(ScanValue(0x08), 0x06);
  EXPECT_EQ(CalibrationValue(0x08), 0x06);
  EXPECT_EQ(ScanValue(0x57), 0x1F);
  EXPECT_EQ(CalibrationValue(0x57), 0x1F);
}

TEST_F(RegisterImage, ColumnsAreSeparate) {
  LoadRegisterImage();
  SetScanValue(0x46, 0x12);
  SetCalibrationValue(0x47, 0x34);
  SetBothValues(0x4A, 0x56);
  SetScanValue(0x4B, 0x78);
  EXPECT_EQ(ScanValue(0x46), 0x12);
  EXPECT_EQ(CalibrationValue(0x46), registerDefaults[0x46]);
  EXPECT_EQ(CalibrationValue(0x47), 0x34);
  EXPECT_EQ(ScanValue(0x47), registerDefaults[0x47]);
  EXPECT_EQ(ScanValue(0x4A), 0x56);
  EXPECT_EQ(CalibrationValue(0x4A), 0x56);
  EXPECT_EQ(ScanValue16(0x4A), 0x5678);
}

TEST_F(RegisterImage, EachSetIs43WritesInListOrder) {
  LoadRegisterImage();
  for (int i = 0; i < kRegisterImageCount; ++i) {
    sharedState->registerImage[i].scanValue = static_cast<uint8_t>(i + 1);
    sharedState->registerImage[i].calibrationValue = static_cast<uint8_t>(0x80 + i);
  }
  for (bool calibration : {false, true}) {
    SCOPED_TRACE(calibration ? "calibration set" : "scan set");
    device->ClearLog();
    const uint64_t before = PlatClockNow();
    ASSERT_EQ(calibration ? WriteCalibrationSet() : WriteScanSet(), 0u);
    std::vector<RegisterOp> expected = {W(0x18, 0x18), W(0x07, 0x20), W(0x19, 0x06)};
    for (int i = 0; i < kRegisterImageCount; ++i)
      expected.push_back(W(kListed[i], calibration ? 0x80 + i : i + 1));
    expected.push_back(W(0x07, 0x00));
    EXPECT_EQ(device->Ops(), expected);
    EXPECT_EQ(expected.size(), 43u);
    EXPECT_GE(PlatClockNow() - before, 2u);  // the 2 ms sleep after the first write
  }
}

TEST_F(RegisterImage, AFailedWriteEndsTheUpload) {
  LoadRegisterImage();
  // The fifth write (register 0x09 of the list) fails twice: first try and retry.
  device->FailCall(kWriteFrame, 5);
  device->FailCall(kWriteFrame, 6);
  EXPECT_EQ(WriteScanSet(), kErrTransferFailed);
  const auto writes = Writes(device->Ops());
  ASSERT_EQ(writes.size(), 4u);  // 0x18, 0x07 = 0x20, 0x19, 0x08; 0x07 stays 0x20
  EXPECT_EQ(writes.back(), W(0x08, 0x06));
  EXPECT_EQ(device->Register(0x07), 0x20);
}

TEST_F(RegisterImage, ResetScanStateSetsTheDefaultsAndKeepsThePreservedFields) {
  SharedState& s = *sharedState;
  const auto original = std::make_unique<SharedState>(s);
  // Fill everything with a pattern first.
  std::memset(static_cast<void*>(&s), 0x5C, sizeof s);
  const auto saved = std::make_unique<SharedState>(s);
  const SharedState& before = *saved;
  for (auto& table : gammaTable) std::memset(table, 0x33, sizeof table);

  ResetScanState();

  EXPECT_EQ(s.processCount, before.processCount);
  EXPECT_EQ(s.initState, before.initState);
  EXPECT_EQ(s.lastActivityTime, before.lastActivityTime);
  EXPECT_EQ(s.readerThread, before.readerThread);
  EXPECT_EQ(s.readerThreadId, before.readerThreadId);
  EXPECT_EQ(s.stopFlag, before.stopFlag);
  EXPECT_EQ(std::memcmp(s.mutexName, before.mutexName, sizeof s.mutexName), 0);
  EXPECT_EQ(s.activityMessage, before.activityMessage);

  struct Default {
    const char* name;
    uint32_t actual, expected;
  };
  const Default defaults[] = {
      {"abilityIdentifier", s.abilityIdentifier, 0x3C5E9D14},
      {"frontEndWindowBase", s.frontEndWindowBase, 34},
      {"frontEndWindowLimit", s.frontEndWindowLimit, 61},
      {"xStartBase", s.xStartBase, 64},
      {"yStartBase", s.yStartBase, 1},
      {"motorYResolution", s.motorYResolution, 300},
      {"xPixelPitch", s.xPixelPitch, 20},
      {"opticalXResolution", s.opticalXResolution, 300},  // never a zero divisor
      {"scanMode", s.scanMode, 4},
      {"xOriginOffset", s.xOriginOffset, 0},
      {"yOriginOffset", s.yOriginOffset, 0},
      {"filmFrameXOffset", s.filmFrameXOffset, 2050},
      {"filmStartDistance", s.filmStartDistance, 410},
      {"autoExposureFactor", s.autoExposureFactor, 4096},
      {"autoGainFactor[0]", s.autoGainFactor[0], 4096},
      {"autoGainFactor[1]", s.autoGainFactor[1], 4096},
      {"autoGainFactor[2]", s.autoGainFactor[2], 4096},
      {"lampOnTime", s.lampOnTime, 0},
      {"lampUnstable", s.lampUnstable, 0},
      {"filmCalibrated", s.filmCalibrated, 0},
      {"abilityCacheValid", s.abilityCacheValid, 0},
      {"halvedXResolution", s.halvedXResolution, 0},
      {"gammaLevelSpan", s.gammaLevelSpan, 0},
  };
  for (const auto& d : defaults) EXPECT_EQ(d.actual, d.expected) << d.name;

  // The register image is reloaded, gamma tables and tone curves are the identity.
  EXPECT_EQ(s.registerImage[0].reg, 0x08);
  EXPECT_EQ(s.registerImage[kRegisterImageCount].reg, 0xFF);
  EXPECT_EQ(ScanValue(0x57), 0x1F);
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < kGammaTableEntries; ++i) ASSERT_EQ(gammaTable[c][i], 4 * i) << c << " " << i;
    for (int j = 0; j < 256; ++j) ASSERT_EQ(s.toneCurve[c][j], j) << c << " " << j;
  }
  EXPECT_EQ(gammaTable[2][16383], 65532);
  EXPECT_TRUE(device->Frames().empty());  // no device access
  s = *original;
}
