// The calibration sequences on a scripted device whose captures depend on
// what the driver set up: lamps off gives dark lines, the white read (no
// vertical start blocks) white lines, the offset window black lines, the
// scan set the reference strip, anything else a gain line.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>

#include "calibration/sequences.h"
#include "calibration_fixture.h"
#include "carriage_model.h"
#include "controller/motion.h"
#include "interface/shared_state.h"
#include "scan/scan_geometry.h"

using namespace tq5test;

namespace {

enum class Kind { Gain, Offset, Dark, White, Move, Lamp, Reference };

Kind Classify(const CaptureSource::Registers& regs) {
  if (regs[0x5B] == 0x11) return Kind::Dark;
  if (regs[0x4E] == 0x01 && regs[0x24] == 0x14 && regs[0x25] == 0x30) return Kind::Move;  // a positioning move
  if (regs[0x09] == 0x1A) return regs[0x24] == 0x03 ? Kind::Reference : Kind::Lamp;
  if (regs[0x4F] == 0) return Kind::White;
  if (regs[0x22] == 0 && regs[0x23] == 35) return Kind::Offset;
  return Kind::Gain;
}

std::vector<uint8_t> ColourCapture(size_t bytes, uint16_t v0, uint16_t v1, uint16_t v2) {
  std::vector<uint8_t> data;
  data.reserve(bytes);
  const uint16_t v[3] = {v0, v1, v2};
  for (size_t i = 0; data.size() + 2 <= bytes; ++i) PutSample(data, v[i % 3]);
  return data;
}

}  // namespace

class Sequences : public CalibrationTest {
 protected:
  void SetUp() override {
    CalibrationTest::SetUp();
    // A 300-dpi colour scan of one inch at the left of the bed.
    sharedState->scanMode = 4;
    sharedState->opticalXResolution = 300;
    sharedState->xPixelPitch = 20;
    SetScanWindow(64, 664);
  }
  // Captures by kind; gain lines carry the white levels of `whites` in turn
  // (the last one repeating), or the per-channel maxima of gainLine.
  void Attach() {
    source = std::make_unique<CaptureSource>(*device, [this](int, const CaptureSource::Registers& regs) {
      const Kind kind = Classify(regs);
      kinds.push_back(kind);
      switch (kind) {
        case Kind::Dark:
          return UniformCapture(300000, 400);
        case Kind::White:
          return UniformCapture(300000, 0x8000);
        case Kind::Offset:
          return UniformCapture(300000, 1024);
        case Kind::Reference:
          return reference;
        case Kind::Move:
          return std::vector<uint8_t>();
        case Kind::Lamp: {
          lampTimes.push_back(PlatClockNow());
          const uint8_t level = lampLevels.empty() ? 100 : lampLevels.front();
          if (!lampLevels.empty()) lampLevels.pop_front();
          return std::vector<uint8_t>(7656, level);
        }
        case Kind::Gain:
          break;
      }
      if (!whites.empty()) {
        const uint16_t white = whites.front();
        if (whites.size() > 1) whites.pop_front();
        return UniformCapture(300000, static_cast<uint16_t>(white * 256 + 128));
      }
      return ColourCapture(300000, gainLine[0], gainLine[1], gainLine[2]);
    });
  }
  void TearDown() override {
    source.reset();
    CalibrationTest::TearDown();
  }
  int Count(Kind kind) { return static_cast<int>(std::count(kinds.begin(), kinds.end(), kind)); }
  // Light levels written with WriteReg2A, in order.
  std::vector<uint32_t> LightLevels() {
    std::vector<uint32_t> levels;
    int high = -1;
    for (const auto& op : device->Ops()) {
      if (op.type != RegisterOp::Write) continue;
      if (op.reg == 0x2A) high = static_cast<int>(op.value);
      if (op.reg == 0x2B && high >= 0) levels.push_back(4095 - (static_cast<uint32_t>(high) << 8 | op.value));
    }
    return levels;
  }
  void Film(uint16_t source, uint8_t filmType, uint8_t negative) {
    sharedState->scanSource = source;
    sharedState->filmUnitMode.filmType = filmType;
    sharedState->filmUnitMode.negative = negative;
  }
  std::array<uint8_t, 3> Both(uint8_t firstReg) {
    std::array<uint8_t, 3> codes{};
    for (int c = 0; c < 3; ++c) {
      const auto reg = static_cast<uint8_t>(firstReg + c);
      EXPECT_EQ(ScanValue(reg), CalibrationValue(reg)) << int(reg);
      codes[c] = ScanValue(reg);
    }
    return codes;
  }

  std::unique_ptr<CaptureSource> source;
  std::vector<Kind> kinds;
  std::deque<uint16_t> whites;
  uint16_t gainLine[3] = {40000, 20000, 30000};
  std::vector<uint8_t> reference;
  std::deque<uint8_t> lampLevels;  // 8-bit level of each lamp reading
  std::vector<uint64_t> lampTimes;
};

TEST_F(Sequences, LightLevelLoop) {
  struct Case {
    const char* name;
    uint16_t mode, source;
    std::deque<uint16_t> whites;
    std::vector<uint32_t> levels;
  };
  std::vector<uint32_t> fine;
  for (uint32_t c = 1536; c <= 3200; c += 64) fine.push_back(c);
  const std::vector<uint32_t> coarse = {1536, 1792, 2048, 2304, 2560, 2688, 2816, 2944, 3072, 3200};
  const Case cases[] = {
      {"saturated throughout", 4, 0, {255}, coarse},
      {"254 throughout", 4, 0, {254}, coarse},
      {"251 throughout: small steps", 4, 0, {251}, fine},
      {"250 never starts", 4, 0, {250}, {}},
      {"ends once the level drops", 4, 0, {255, 252, 250}, {1536, 1600}},
      {"coarse then fine", 4, 0, {255, 255, 253, 255, 200}, {1536, 1792, 1856, 2112}},
      {"one channel 8 bit runs it", 3, 0, {255, 200}, {1536}},
      {"one channel 2 does not", 2, 0, {255}, {}},
      {"film unit does not", 4, 1, {255}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kinds.clear();
    whites = c.whites;
    sharedState->scanMode = c.mode;
    Film(c.source, 0, 0);
    Attach();
    device->ClearLog();
    ASSERT_EQ(CalibrateForScan(1), kErrNone);
    EXPECT_EQ(LightLevels(), c.levels);
    EXPECT_EQ(Count(Kind::Gain), static_cast<int>(c.levels.size()) + 1);
    source.reset();
  }
}

TEST_F(Sequences, CalibrateForScanPerSituation) {
  struct Case {
    const char* name;
    uint16_t source;
    uint8_t filmType, negative;
    int gainCaptures, offsetCaptures, darkCaptures;
    uint8_t lamps;       // last value written to register 0x5B
    std::array<uint8_t, 3> gains, offsets;
    bool filmTiming;
    uint8_t exposure;    // scan value of register 0x08 afterwards
    uint16_t reg48;      // scan value of 0x48/0x49 afterwards (0: not checked)
  };
  // Measured gains of the line 40000/20000/30000: the fixed target on the
  // flatbed, the brightest channel's on the film unit. Saved codes: 0.
  const Case cases[] = {
      {"flatbed", 0, 0, 0, 1, 7, 1, 0x19, {0x08, 0x21, 0x0F}, {0x1F, 0x1F, 0x1F}, false, 0x06, 0},
      {"film unit, type 0", 1, 0, 0, 1, 7, 1, 0x19, {0x01, 0x10, 0x06}, {0x1F, 0x1F, 0x1F}, false, 0x06, 275},
      {"film unit, type 1: saved codes", 1, 1, 0, 0, 0, 1, 0x19, {0, 0, 0}, {0, 0, 0}, false, 0x06, 275},
      {"film frame, type 0", 2, 0, 0, 1, 7, 1, 0x91, {0x01, 0x10, 0x06}, {0x1F, 0x1F, 0x1F}, true, 10, 183},
      {"film frame, type 3: saved codes", 2, 3, 1, 0, 0, 1, 0x91, {0, 0, 0}, {0, 0, 0}, true, 10, 183},
      {"film frame, type 4: tone factors", 2, 4, 0, 0, 0, 2, 0x91, {0x01, 0x0F, 0x00}, {0, 0, 0}, true, 22, 91},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    sharedState->scanMode = 4;
    sharedState->opticalXResolution = 300;
    sharedState->xPixelPitch = 20;
    SetScanWindow(64, 664);
    sharedState->autoExposureFactor = 8192;
    sharedState->autoGainFactor[1] = 8192;
    sharedState->autoGainFactor[2] = 2048;
    Film(c.source, c.filmType, c.negative);
    kinds.clear();
    Attach();
    device->ClearLog();
    ASSERT_EQ(CalibrateForScan(2), kErrNone);
    EXPECT_EQ(Count(Kind::Gain), c.gainCaptures);
    EXPECT_EQ(Count(Kind::Offset), c.offsetCaptures);
    EXPECT_EQ(Count(Kind::Dark), c.darkCaptures);
    EXPECT_EQ(Count(Kind::White), 1);
    EXPECT_EQ(WritesTo(0x5B).back(), c.lamps);
    EXPECT_EQ(Both(0x3B), c.gains);
    EXPECT_EQ(Both(0x38), c.offsets);
    EXPECT_EQ(ScanValue(0x08), c.exposure);
    EXPECT_EQ(CalibrationValue(0x08), c.exposure);
    if (c.filmTiming) {
      EXPECT_EQ(ScanValue(0x19), 0);
      EXPECT_EQ(CalibrationValue(0x19), 0);
      EXPECT_EQ(ScanValue16(0x46), 1362);  // motor class 300
      // A second dark read (type 4) leaves its own timing in the
      // calibration column.
      EXPECT_EQ(CalibrationValue(0x46) << 8 | CalibrationValue(0x47), c.darkCaptures == 1 ? 1362 : 681);
      EXPECT_EQ(ScanValue16(0x52), 5449);
    }
    if (c.reg48 != 0) {
      EXPECT_EQ(ScanValue16(0x48), c.reg48);
    }
    // Both tables loaded; the second dark pass leaves both flags in the scan
    // column.
    EXPECT_EQ(ScanValue(0x42) & 0x06, 0x06);
    EXPECT_EQ(WritesTo(0x45).back(), 0x13u);
    source.reset();
  }
}

TEST_F(Sequences, FilmType2) {
  struct Case {
    const char* name;
    uint8_t negative, mode;
    std::array<uint8_t, 3> saved;  // gain codes saved before
    bool measures;
    std::array<uint8_t, 3> gains;
    uint8_t exposure;
    std::array<uint8_t, 3> savedAfter;
  };
  const Case cases[] = {
      {"positive measures and saves", 0, 1, {5, 5, 5}, true, {0x01, 0x10, 0x06}, 10, {0x01, 0x10, 0x06}},
      {"negative reuses equal codes", 1, 2, {5, 5, 5}, false, {0x01, 0x0D, 0x23}, 22, {5, 5, 5}},
      {"negative, mode 3 measures again", 1, 3, {5, 5, 5}, true, {0x01, 0x24, 0x29}, 34, {0x01, 0x10, 0x06}},
      {"negative, mode 1", 1, 1, {0x01, 0x10, 0x06}, false, {0x01, 0x24, 0x29}, 10, {0x01, 0x10, 0x06}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    sharedState->scanMode = 4;
    sharedState->opticalXResolution = 300;
    sharedState->xPixelPitch = 20;
    SetScanWindow(64 + 2050, 64 + 2050 + 600);
    Film(2, 2, c.negative);
    for (int i = 0; i < 3; ++i) {
      sharedState->savedGainCodes[i] = c.saved[i];
      sharedState->savedOffsetCodes[i] = static_cast<uint8_t>(3 + i);
    }
    kinds.clear();
    Attach();
    ASSERT_EQ(CalibrateForScan(c.mode), kErrNone);
    EXPECT_EQ(Count(Kind::Gain), c.measures ? 1 : 0);
    EXPECT_EQ(Count(Kind::Offset), c.measures ? 7 : 0);
    EXPECT_EQ(Count(Kind::Dark), 2);
    EXPECT_EQ(Both(0x3B), c.gains);
    EXPECT_EQ(ScanValue(0x08), c.exposure);
    EXPECT_EQ(CalibrationValue(0x08), c.exposure);
    EXPECT_EQ(std::to_array(sharedState->savedGainCodes), c.savedAfter);
    if (!c.measures) {
      EXPECT_EQ(Both(0x38), (std::array<uint8_t, 3>{3, 4, 5}));
    }
    EXPECT_EQ(ScanValue(0x42) & 0x06, 0x06);
    EXPECT_EQ(WritesTo(0x5B).back(), 0x91u);
    source.reset();
  }
}

// A dark measurement that fails ends the calibration with its code, after
// the lamps were restored; no white shading follows.
TEST_F(Sequences, FailedDarkMeasurementEndsTheCalibration) {
  struct Case {
    uint16_t source;
    uint8_t filmType;
    uint8_t lamps;
  };
  for (const Case c : {Case{0, 0, 0x19}, Case{2, 0, 0x91}, Case{2, 2, 0x91}}) {
    SCOPED_TRACE(c.source * 10 + c.filmType);
    ResetScanState();
    sharedState->scanMode = 4;
    sharedState->xPixelPitch = 20;
    SetScanWindow(64, 664);
    Film(c.source, c.filmType, 0);
    kinds.clear();
    Attach();
    source->ready = [](const CaptureSource::Registers& regs) { return regs[0x5B] != 0x11; };
    device->ClearLog();
    const uint64_t begin = PlatClockNow();
    EXPECT_EQ(CalibrateForScan(1), kErrDataTimeout);
    EXPECT_GE(PlatClockNow() - begin, 25000u);
    EXPECT_EQ(WritesTo(0x5B), (std::vector<uint32_t>{0x11, c.lamps}));
    EXPECT_EQ(Count(Kind::White), 0);
    source.reset();
  }
}

TEST_F(Sequences, DarkShadingGroupRestoresTheLamps) {
  Attach();
  const uint64_t begin = PlatClockNow();
  ASSERT_EQ(DarkShadingGroup(false, true, 600), kErrNone);
  EXPECT_GE(PlatClockNow() - begin, 1100u);
  EXPECT_EQ(WritesTo(0x5B), (std::vector<uint32_t>{0x11, 0x91}));
  EXPECT_EQ(Count(Kind::Dark), 1);
  // Without a window that fits, the measurement fails and the lamps still
  // come back.
  SetScanWindow(64, 64);
  device->ClearLog();
  EXPECT_EQ(DarkShadingGroup(true, false, 500), kErrBadLength);
  EXPECT_EQ(WritesTo(0x5B), (std::vector<uint32_t>{0x11, 0x19}));
}

TEST_F(Sequences, StartupCalibrationWithoutGeometry) {
  // The state as the first initialization finds it, before any geometry:
  // no division by a zero resolution or pitch.
  ResetScanState();
  sharedState->opticalXResolution = 0;
  sharedState->xPixelPitch = 0;
  Attach();
  ASSERT_EQ(StartupCalibration(), kErrNone);
  EXPECT_EQ(Count(Kind::Gain), 1);
  EXPECT_EQ(Count(Kind::Offset), 7);
  EXPECT_EQ(Count(Kind::White), 1);
  EXPECT_EQ(Both(0x3B), (std::array<uint8_t, 3>{0x08, 0x21, 0x0F}));
  EXPECT_EQ(WritesTo(0x45), (std::vector<uint32_t>{0x03, 0x13}));
}

TEST_F(Sequences, InitialCalibrationFindsTheOrigins) {
  ResetScanState();
  CarriageModel carriage(*device, CarriageModel::Where::Away, {});
  // The reference strip: bright, with the mark's corner at line 60, pixel 12.
  const uint16_t pitch = ReferenceLinePitch();
  reference.assign(size_t{pitch} * kReferenceLines, 200);
  for (uint32_t r = 60; r < kReferenceLines; ++r)
    for (uint32_t i = 12; i < 300; ++i)
      for (int ch = 0; ch < 3; ++ch) reference[r * pitch + 3 * i + ch] = 10;
  Attach();
  device->ClearLog();
  ASSERT_EQ(InitialCalibration(), kErrNone);
  EXPECT_EQ(sharedState->xOriginOffset, 124);
  EXPECT_EQ(sharedState->yOriginOffset, 44);
  EXPECT_EQ((std::vector<Kind>{Kind::Gain, Kind::Offset, Kind::Offset, Kind::Offset, Kind::Offset, Kind::Offset,
                               Kind::Offset, Kind::Offset, Kind::White, Kind::Move, Kind::Reference}),
            kinds);
  // The reference capture ran with the default window and the carriage is
  // on its way home.
  const auto& regs = source->CaptureRegisters();
  EXPECT_EQ(regs[0x24] << 8 | regs[0x25], 1000);
  EXPECT_EQ(WritesTo(0x07).back(), 0x02u);
  EXPECT_EQ(carriageAtHome, 1);
  // The move before the capture: 50 units, no origin yet.
  const auto writes = Writes(device->Ops());
  auto at = std::find(writes.begin(), writes.end(), W(0x4B, 50));
  ASSERT_NE(at, writes.end());
  EXPECT_EQ(at[-1], W(0x4A, 0));
  source.reset();
}

TEST_F(Sequences, InitialCalibrationFailuresReleaseTheCapture) {
  ResetScanState();
  CarriageModel carriage(*device, CarriageModel::Where::Home, {});
  reference.assign(size_t{ReferenceLinePitch()} * kReferenceLines, 5);  // too dark: 178
  Attach();
  EXPECT_EQ(InitialCalibration(), kErrLightSourceFault);
  // Gain, offset, white line, 3 white tables, the identity gamma and its 3
  // read-backs, then the capture.
  PlatTestFailAllocation(11);
  EXPECT_EQ(InitialCalibration(), kErrNoMemory);
  PlatTestFailAllocation(0);
  source.reset();
  CarriageModel jammed(*device, CarriageModel::Where::Home, {.jammed = true});
  Attach();
  EXPECT_EQ(InitialCalibration(), kErrHomeSensorFault);
  source.reset();
}

// InitializeScanner's lamp rules on the scripted device: the warm-up check
// runs unless the flatbed lamp is on and the last activity is 10 s old; a
// second 164 is tolerated after a 2000 ms pause.
TEST_F(Sequences, InitializeScannerLampRules) {
  struct Case {
    const char* name;
    uint32_t activityAgeMs;  // 0: no activity recorded
    uint8_t lampRegister;    // register 0x5B before the call
    std::deque<uint8_t> levels;
    int32_t result;
    DriverError error;
    size_t readings;
    uint16_t lampUnstable;
  };
  const Case cases[] = {
      {"stable at once", 0, 0x19, {100, 100}, 1, kErrNone, 2, 0},
      {"stable at the second check", 0, 0x19, {100, 110, 120, 121}, 1, kErrNone, 4, 0},
      {"164 twice is tolerated", 0, 0x19, {100, 110, 120, 130}, 1, kErrNone, 4, 1},
      {"too dark", 0, 0x19, {10, 10}, 0, kErrLightSourceFault, 2, 0},
      {"too dark at the second check", 0, 0x19, {100, 110, 10, 12}, 0, kErrLightSourceFault, 4, 0},
      {"lamp on, activity 20 s ago: no check", 20000, 0x19, {}, 1, kErrNone, 0, 0},
      {"lamp on, activity 5 s ago: check", 5000, 0x19, {100, 100}, 1, kErrNone, 2, 0},
      {"lamp off, activity 20 s ago: check", 20000, 0x11, {100, 100}, 1, kErrNone, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint16_t pitch = ReferenceLinePitch();
    reference.assign(size_t{pitch} * kReferenceLines, 200);
    for (uint32_t r = 60; r < kReferenceLines; ++r)
      for (uint32_t i = 12; i < 300; ++i)
        for (int ch = 0; ch < 3; ++ch) reference[r * pitch + 3 * i + ch] = 10;
    CarriageModel carriage(*device, CarriageModel::Where::Home, {});
    device->SetRegister(0x73, 0x00);
    device->SetRegister(0x5B, c.lampRegister);
    sharedState->initState = 0;
    sharedState->lastActivityTime = c.activityAgeMs == 0 ? 0 : PlatTickCount() - c.activityAgeMs;
    lampLevels = c.levels;
    lampTimes.clear();
    kinds.clear();
    Attach();
    lastError = 0;
    EXPECT_EQ(InitializeScanner(), c.result);
    EXPECT_EQ(static_cast<DriverError>(lastError), c.error);
    EXPECT_EQ(lampTimes.size(), c.readings);
    EXPECT_EQ(sharedState->lampUnstable, c.lampUnstable);
    EXPECT_EQ(sharedState->initState, c.result == 1 ? 2 : 0);
    EXPECT_EQ(device->Register(0x73), c.result == 1 ? 0x10 : 0x00);
    if (c.result == 1) {
      EXPECT_EQ(sharedState->xOriginOffset, 124);
      EXPECT_EQ(sharedState->yOriginOffset, 44);
    }
    if (c.readings == 4) {
      // Readings 2000 ms apart; between the checks the rest of the interval
      // and the 2000 ms pause.
      EXPECT_GE(lampTimes[1] - lampTimes[0], 2000u);
      EXPECT_GE(lampTimes[2] - lampTimes[1], 4000u);
      EXPECT_LT(lampTimes[2] - lampTimes[1], 4300u);
      EXPECT_GE(lampTimes[3] - lampTimes[2], 2000u);
    }
    source.reset();
    device->onWriteRegister = nullptr;
    device->onReadRegister = nullptr;
  }
}
