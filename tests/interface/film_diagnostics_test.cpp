// The film unit mode exports and the diagnostics against the virtual
// scanner. These run scans, whose reader thread and consumer take turns; a
// virtual clock that every busy-wait advances would let one side's spinning
// run out the other's time limits, so the clock is real time sped up 20
// times (the scanner's time as well as the driver's).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/diagnostics.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scripted_device.h"
#include "virtual_scanner.h"
#include "virtual_scanner_fixture.h"

using tq5sim::TrafficEntry;
using tq5sim::VirtualScanner;

namespace {

uint8_t Status() {
  uint8_t code = 0xFF;
  GetScannerStatus(&code);
  return code;
}

// The scanner found and initialized by a single InitializeScanner call, on
// the sped-up real clock.
class OnScanner : public tq5test::OnVirtualScanner {
 protected:
  OnScanner()
      : OnVirtualScanner({.socketStem = "scanner",
                          .clock = tq5test::VirtualScannerSetup::Clock::Real,
                          .realSpeed = 20,
                          .initializeAttempts = 1,
                          .checkBlocks = true}) {}
  void ClearLog() {
    scanner->EnableTrafficLog(true);
    auto lock = scanner->Lock();
    scanner->device().ClearLog();
  }
  // Values written to a register since the log was cleared.
  std::vector<uint8_t> Writes(uint8_t reg) {
    std::vector<uint8_t> values;
    for (const auto& e : scanner->TrafficLog())
      if (e.op == TrafficEntry::Op::WriteRegister && e.reg == reg) values.push_back(e.value);
    return values;
  }
};

using Diagnostics = OnScanner;
using FilmUnit = OnScanner;

}  // namespace

TEST_F(Diagnostics, LampTestSwitchesThePickedLamps) {
  struct Case {
    uint32_t option;
    bool flatbed, film;
  };
  const Case cases[] = {{2, false, true}, {0, false, false}, {1, true, false}};
  scanner->AttachFilmUnit(true);  // the film lamp lights only in an attached unit
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    ASSERT_EQ(TestScanner(1, c.option, 0, 0), 1) << Status();
    EXPECT_EQ(scanner->State().flatbedLampOn, c.flatbed);
    EXPECT_EQ(scanner->State().filmLampOn, c.film);
  }
  ClearLog();
  // An unknown option and an unknown test only wait for the controller.
  EXPECT_EQ(TestScanner(1, 3, 0, 0), 1);
  EXPECT_EQ(TestScanner(7, 0, 0, 0), 1);
  EXPECT_EQ(TestScanner(0x101, 0x2, 0, 0), 1);  // only the low byte counts: test 1, option 2
  EXPECT_EQ(Writes(0x5B), std::vector<uint8_t>{0x91});
}

TEST_F(Diagnostics, RefusedWhileAScanRunsOrTheControllerStaysBusy) {
  sharedState->readerThread = 1;
  EXPECT_EQ(TestScanner(1, 1, 0, 0), 0);
  EXPECT_EQ(Status(), kErrScannerBusy);
  EXPECT_EQ(ReadFlashRAMData(nullptr, 0, 0), 0);
  EXPECT_EQ(Status(), kErrScannerBusy);
  sharedState->readerThread = 0;
}

TEST_F(Diagnostics, TestScanReadsTheWholeBedAndEndsAtHome) {
  ASSERT_EQ(TestScanner(4, 0, 0, 0), 1) << Status();
  EXPECT_EQ(sharedState->readerThread, 0u);
  PlatSleep(20000);  // the return home under way
  EXPECT_TRUE(scanner->State().atHome);
  EXPECT_FALSE(scanner->State().captureActive);
}

TEST_F(Diagnostics, FlashCaptureLengthsAndOverrides) {
  std::vector<uint8_t> buffer(20000, 0xEE);
  ClearLog();
  ASSERT_EQ(ReadFlashRAMData(buffer.data(), 20000, 0), 1) << Status();
  // 16320 bytes were read: the rest of the buffer is untouched.
  EXPECT_NE(std::count(buffer.begin(), buffer.begin() + 16320, 0xEE), 16320);
  EXPECT_TRUE(std::all_of(buffer.begin() + 16320, buffer.end(), [](uint8_t b) { return b == 0xEE; }));
  EXPECT_EQ(Writes(0x08), std::vector<uint8_t>{10});  // no INI file: the defaults

  std::fill(buffer.begin(), buffer.end(), 0xEE);
  ASSERT_EQ(ReadFlashRAMData(buffer.data(), 1000, 0), 1) << Status();
  EXPECT_TRUE(std::all_of(buffer.begin() + 1000, buffer.end(), [](uint8_t b) { return b == 0xEE; }));
  EXPECT_EQ(ReadFlashRAMData(nullptr, 0, 0), 1);  // starts and stops the capture only

  // Overrides from "C:\TQ5DRV.INI", taken modulo 256.
  const std::string drive = tq5test::PrivateRuntimeDirectory() + "/c";
  std::filesystem::create_directories(drive);
  std::ofstream(drive + "/TQ5DRV.INI") << "[Register]\nkREG_08H=300\nkREG_3BH=12\n";
  ClearLog();
  ASSERT_EQ(ReadFlashRAMData(buffer.data(), 100, 0), 1) << Status();
  EXPECT_EQ(Writes(0x08), std::vector<uint8_t>{44});
  EXPECT_EQ(Writes(0x3B), std::vector<uint8_t>{12});
  EXPECT_EQ(Writes(0x3C), std::vector<uint8_t>{1});
  std::filesystem::remove(drive + "/TQ5DRV.INI");
}

TEST_F(FilmUnit, RefusesABadFilmTypeAndAMissingUnit) {
  FilmUnitMode mode{};
  mode.switchToFilm = 1;
  mode.filmType = 5;
  ClearLog();
  EXPECT_EQ(SetTPUMode(&mode), 0);
  EXPECT_EQ(Status(), kErrBadParameter);
  EXPECT_TRUE(scanner->TrafficLog().empty());  // no device access

  mode.filmType = 1;
  scanner->AttachFilmUnit(false);
  EXPECT_EQ(SetTPUMode(&mode), 0);
  EXPECT_EQ(Status(), kErrLightSourceFault);
  EXPECT_TRUE(Writes(0x5B).empty());  // lamps untouched
  EXPECT_EQ(sharedState->filmUnitMode.switchToFilm, 0);  // the record is kept
  EXPECT_EQ(SetTPUMode(nullptr), 0);
  EXPECT_EQ(Status(), kErrBadParameter);
}

TEST_F(FilmUnit, SwitchingOnMeasuresTheUnitOnceAndBack) {
  scanner->AttachFilmUnit(true);
  FilmUnitMode mode{};
  ASSERT_EQ(GetTPUMode(&mode), 1) << Status();
  EXPECT_EQ(mode.attached, 1);

  sharedState->toneCurve[0][10] = 99;
  mode = FilmUnitMode{};
  mode.attached = 7;  // stored as given; GetTPUMode reports the real state
  mode.switchToFilm = 1;
  mode.filmType = 1;
  ASSERT_EQ(SetTPUMode(&mode), 1) << Status();
  EXPECT_TRUE(scanner->State().filmLampOn);
  EXPECT_FALSE(scanner->State().flatbedLampOn);
  EXPECT_EQ(sharedState->filmCalibrated, 1);
  EXPECT_EQ(sharedState->filmStartDistance, tq5sim::layout::kExpectedFilmStartDistance);
  EXPECT_EQ(sharedState->filmFrameXOffset, tq5sim::layout::kExpectedFilmFrameXOffset);
  EXPECT_EQ(sharedState->toneCurve[0][10], 99);  // film type 1 keeps the curves
  EXPECT_EQ(sharedState->lampUnstable, 0);

  FilmUnitMode read{};
  ASSERT_EQ(GetTPUMode(&read), 1);
  EXPECT_EQ(read.attached, 1);
  EXPECT_EQ(read.filmType, 1);

  // A second switch with film type 1 does not measure again; film type 0
  // resets the tone curves.
  ClearLog();
  mode.filmType = 0;
  ASSERT_EQ(SetTPUMode(&mode), 1) << Status();
  EXPECT_EQ(sharedState->toneCurve[0][10], 10);
  EXPECT_TRUE(Writes(0x5B).empty());  // lamps already right

  // Back to the flatbed.
  mode.switchToFilm = 0;
  ASSERT_EQ(SetTPUMode(&mode), 1) << Status();
  EXPECT_TRUE(scanner->State().flatbedLampOn);
  EXPECT_FALSE(scanner->State().filmLampOn);
  EXPECT_EQ(sharedState->filmCalibrated, 0);
}
