// The lamp warm-up check: its window, its light thresholds and stability
// rules, with two synthetic readings per check, on the virtual clock.
#include <gtest/gtest.h>

#include <array>

#include "calibration/lamp_check.h"
#include "calibration_fixture.h"
#include "interface/shared_state.h"

using namespace tq5test;

namespace {

// One reading: per channel a level for every pixel and a maximum at one
// pixel.
struct Reading {
  std::array<uint8_t, 3> level;
  std::array<uint8_t, 3> maximum;
};

std::vector<uint8_t> LampLine(uint32_t pixels, const Reading& r) {
  std::vector<uint8_t> line(pixels * 3);
  for (uint32_t i = 0; i < pixels; ++i)
    for (int c = 0; c < 3; ++c) line[3 * i + c] = i == 7 ? r.maximum[c] : r.level[c];
  return line;
}

}  // namespace

class LampCheck : public CalibrationTest {
 protected:
  // Runs the check with the two readings; records when each capture
  // started.
  DriverError Run(uint8_t filmLamp, const Reading& first, const Reading& second) {
    const uint32_t pixels = filmLamp == 1 ? 413 : 2552;
    captureTimes.clear();
    CaptureSource source(*device, [&](int capture, const CaptureSource::Registers&) {
      captureTimes.push_back(PlatClockNow());
      return LampLine(pixels, capture == 0 ? first : second);
    });
    device->ClearLog();
    return CheckLampWarmUp(filmLamp);
  }
  std::vector<uint64_t> captureTimes;
};

TEST_F(LampCheck, FlatbedRules) {
  struct Case {
    const char* name;
    Reading first, second;
    DriverError expected;
  };
  const Case cases[] = {
      {"stable", {{100, 100, 100}, {150, 150, 150}}, {{100, 100, 100}, {150, 150, 150}}, kErrNone},
      {"means exactly 3.0 apart pass", {{100, 100, 100}, {150, 150, 150}}, {{103, 100, 100}, {153, 150, 150}}, kErrNone},
      {"means 4 apart fail", {{100, 100, 100}, {150, 150, 150}}, {{100, 100, 104}, {150, 150, 150}}, kErrLampNotStable},
      {"falling mean fails too", {{100, 104, 100}, {150, 150, 150}}, {{100, 100, 100}, {150, 150, 150}}, kErrLampNotStable},
      {"maximum 4 apart passes", {{100, 100, 100}, {150, 150, 150}}, {{100, 100, 100}, {150, 150, 154}}, kErrNone},
      {"channel 2 maximum up 5 fails", {{100, 100, 100}, {150, 150, 150}}, {{100, 100, 100}, {150, 150, 155}}, kErrLampNotStable},
      {"maximum exactly 15 passes", {{5, 5, 5}, {15, 3, 3}}, {{5, 5, 5}, {15, 3, 3}}, kErrNone},
      {"maximum 15 in the second reading only", {{5, 5, 5}, {14, 3, 3}}, {{5, 5, 5}, {15, 3, 3}}, kErrNone},
      {"maximum 14 is too dark", {{5, 5, 5}, {14, 14, 14}}, {{5, 5, 5}, {14, 14, 14}}, kErrLightSourceFault},
      {"too dark even while drifting", {{1, 1, 1}, {2, 2, 2}}, {{9, 9, 9}, {14, 14, 14}}, kErrLightSourceFault},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(0, c.first, c.second), c.expected);
  }
}

TEST_F(LampCheck, FilmUnitRules) {
  struct Case {
    const char* name;
    Reading first, second;
    DriverError expected;
  };
  const Case cases[] = {
      {"stable", {{150, 150, 150}, {200, 200, 200}}, {{150, 150, 150}, {200, 200, 200}}, kErrNone},
      {"channels 0 and 2 drift freely", {{150, 150, 150}, {200, 200, 200}}, {{190, 153, 100}, {250, 200, 120}}, kErrNone},
      {"maxima are not compared", {{150, 150, 150}, {200, 130, 200}}, {{150, 150, 150}, {200, 250, 200}}, kErrNone},
      {"channel 1 mean drifts", {{150, 150, 150}, {200, 200, 200}}, {{150, 154, 150}, {200, 200, 200}}, kErrLampNotStable},
      {"maximum exactly 120 passes", {{100, 100, 100}, {120, 110, 110}}, {{100, 100, 100}, {110, 110, 110}}, kErrNone},
      {"maximum 119 is too dark", {{100, 100, 100}, {119, 110, 110}}, {{100, 100, 100}, {110, 110, 119}}, kErrFilmLampTooDark},
      {"too dark even while drifting", {{10, 10, 10}, {20, 20, 20}}, {{10, 90, 10}, {20, 100, 20}}, kErrFilmLampTooDark},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(1, c.first, c.second), c.expected);
  }
}

TEST_F(LampCheck, WindowTimingAndRegisters) {
  struct Case {
    uint8_t filmLamp;
    uint16_t xOrigin;
    uint16_t start, end;
    uint32_t bytes;
  };
  const Case cases[] = {
      {0, 0, 64, 64 + 5104, 7656},
      {0, 124, 188, 188 + 5104, 7656},
      {2, 124, 188, 188 + 5104, 7656},  // any value but 1 is the flatbed
      {1, 0, 64 + 2050, 64 + 2050 + 827, 1239},
      {1, 110, 174 + 2050, 174 + 2050 + 827, 1239},
  };
  const Reading steady{{100, 100, 100}, {150, 150, 150}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    ResetScanState();
    sharedState->xOriginOffset = c.xOrigin;
    SetScanValue(0x08, 0x33);  // the geometry's values give way to the defaults
    SetCalibrationValue(0x08, 0x44);
    const uint64_t begin = PlatClockNow();
    ASSERT_EQ(Run(c.filmLamp, steady, steady), kErrNone);
    const uint64_t took = PlatClockNow() - begin;
    EXPECT_EQ(ScanValue(0x08), 0x06);
    EXPECT_EQ(CalibrationValue(0x08), 0x44);
    EXPECT_EQ(ScanValue16(0x22), c.start);
    EXPECT_EQ(ScanValue16(0x24), c.end);
    uint32_t read = 0;
    for (const auto& op : device->Ops())
      if (op.type == RegisterOp::StreamRead && op.reg == 0x00) read += op.value;
    EXPECT_EQ(read, 2 * c.bytes);
    // Readings start 2000 ms apart; the check holds the device over 4.1 s.
    ASSERT_EQ(captureTimes.size(), 2u);
    EXPECT_GE(captureTimes[1] - captureTimes[0], 2000u);
    EXPECT_LT(captureTimes[1] - captureTimes[0], 2200u);
    EXPECT_GE(took, 4100u);
    // Register 0x45 bit 4 cleared around the readings, set again after;
    // the identity went to the three gamma memories.
    EXPECT_EQ(WritesTo(0x45), (std::vector<uint32_t>{0x03, 0x13}));
    for (int bank = 0; bank < 3; ++bank) {
      EXPECT_EQ(device->Memory(bank, 2)[16 * 100], 100);
      EXPECT_EQ(device->Memory(bank, 2)[4095], 255);
    }
  }
}

TEST_F(LampCheck, FailuresReleaseTheLine) {
  PlatTestFailAllocation(1);  // the gamma upload's staging block
  EXPECT_EQ(CheckLampWarmUp(0), kErrNoMemory);
  PlatTestFailAllocation(4);  // the line, after three gamma uploads
  EXPECT_EQ(CheckLampWarmUp(0), kErrNoMemory);
  PlatTestFailAllocation(0);
  device->SetRegister(0x01, 0);  // no image data: 173 after 25 s
  EXPECT_EQ(CheckLampWarmUp(0), kErrDataTimeout);
  EXPECT_EQ(WritesTo(0x45).back(), 0x03u);  // left cleared
  // A transport failure during the readings ends the check.
  const Reading steady{{100, 100, 100}, {150, 150, 150}};
  CaptureSource source(*device, [&](int, const CaptureSource::Registers&) { return LampLine(2552, steady); });
  device->FailAll(kReadFrame, true);
  EXPECT_NE(CheckLampWarmUp(0), kErrNone);
  device->FailAll(kReadFrame, false);
}
