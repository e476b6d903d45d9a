// Carriage motion over (virtual) time, line timing, the image memory's fill
// level and pause threshold, end of travel, and the motion faults.
#include "sim_fixture.h"

namespace simtest {
namespace {

using namespace tq5sim::layout;

class Motion : public SimTest {
 protected:
  void SetUp() override { LoadDefaults(); }
  double Position() { return scanner->State().positionSteps; }
  bool Finished() { return (Read(0x03) & 0x10) != 0; }
  bool AtHome() { return (Read(0x02) & 0x01) != 0; }
  // A 300-dpi colour window of 468 pixels: lines of 1406 bytes.
  void SmallWindow() {
    Write16(0x22, 64);
    Write16(0x24, 1000);
  }
  static constexpr uint32_t kLine = 468 * 3 + 2;
};

TEST_F(Motion, LeaveHomeMovesOffTheSensorAtFeedSpeed) {
  Write(0x07, 0x01);
  Wait(7);  // 28 steps: still on the sensor
  EXPECT_TRUE(AtHome());
  EXPECT_EQ(Read(0x07) & 0x03, 1);
  Wait(2);
  EXPECT_FALSE(AtHome());
  Wait(10);
  EXPECT_EQ(Read(0x07) & 0x03, 0);
  EXPECT_DOUBLE_EQ(Position(), kLeaveHomeSteps);
  Write(0x07, 0x01);  // already off the sensor: nothing to do
  EXPECT_EQ(Read(0x07) & 0x03, 0);
}

TEST_F(Motion, PositioningMoveFinishesAtTheVerticalStartAndReturnHomeTakesItsTime) {
  Write(0x07, 0x01);
  Wait(20);
  Write(0x07, 0x00);
  // What a positioning move writes: start 410 (1/300 inch), threshold one block.
  Write16(0x4A, 410);
  Write(0x4E, 0x01);
  Write16(0x22, 0x0040);
  Write16(0x24, 0x1430);
  Write(0x07, 0x03);
  Wait(405);
  EXPECT_FALSE(Finished());
  EXPECT_NEAR(Position(), kLeaveHomeSteps + 405 * kFeedStepsPerMs, 1.0);
  Wait(15);  // arrived after 410 ms, one line later the image memory holds a block
  EXPECT_TRUE(Finished());
  EXPECT_DOUBLE_EQ(Position(), kLeaveHomeSteps + 4 * 410 + 4);
  EXPECT_GE(FillBlocks(), 1u);
  Write(0x07, 0x00);
  const double there = Position();
  Wait(1000);
  EXPECT_DOUBLE_EQ(Position(), there);
  Write(0x07, 0x02);
  const uint32_t needed = static_cast<uint32_t>(there / kFeedStepsPerMs);
  Wait(needed - 10);
  EXPECT_FALSE(AtHome());
  EXPECT_EQ(Read(0x07) & 0x02, 0x02);
  Wait(11);
  EXPECT_TRUE(AtHome());
  EXPECT_EQ(Read(0x07), 0x00);
  EXPECT_DOUBLE_EQ(Position(), 0.0);
}

struct Timing {
  const char* name;
  uint16_t stepPeriod;
  uint8_t reg19;
  double stepsPerLine;
  double periodUs;
};

TEST_F(Motion, LineRateAndCarriageAdvanceFollowTheStepTiming) {
  const std::vector<Timing> cases = {
      {"300 class", 1362, 0, 4.0, 5449},       {"150 class", 681, 0, 8.0, 5449},
      {"450 class", 2043, 0, 8.0 / 3, 5449},   {"1200 class", 5449, 0, 1.0, 5449},
      {"film, 0x19 = 2", 2043, 2, 4.0, 8173.5},
  };
  for (const auto& c : cases) {
    Write(0x07, 0x00);
    Write(0x07, 0x02);
    Wait(5000);
    SmallWindow();
    Write16(0x46, c.stepPeriod);
    Write(0x19, c.reg19);
    Write16(0x4A, 0);
    const double start = Position();
    Write(0x07, 0x03);
    Wait(1000);
    const auto s = scanner->State();
    const auto lines = static_cast<uint64_t>(1e6 / c.periodUs);
    EXPECT_EQ(s.unreadBytes, lines * kLine) << c.name;
    EXPECT_NEAR(s.positionSteps - start, lines * c.stepsPerLine, 1e-6) << c.name;
  }
}

TEST_F(Motion, CaptureWithMotorBitClearStandsStill) {
  Write(0x45, 0x03);
  SmallWindow();
  Write16(0x4A, 50);  // ignored without the motor
  Write(0x07, 0x03);
  Wait(100);
  EXPECT_DOUBLE_EQ(Position(), 0.0);
  EXPECT_EQ(scanner->State().unreadBytes, 18 * kLine);
}

TEST_F(Motion, FillLevelCountsWholeBlocksAndTheThresholdPausesTheMotor) {
  SmallWindow();
  Write(0x4E, 3);  // pause at 6144 unread bytes
  Write(0x07, 0x03);
  Wait(6);
  EXPECT_EQ(FillBlocks(), 0u);  // one line: 1406 bytes
  Wait(10);
  EXPECT_EQ(FillBlocks(), 1u);  // two lines: 2812 bytes
  Wait(200);
  // Five lines (7030 bytes) reach the threshold: the motor stops.
  EXPECT_EQ(scanner->State().unreadBytes, 5 * kLine);
  EXPECT_EQ(FillBlocks(), 3u);
  EXPECT_TRUE(Finished());
  const double paused = Position();
  Wait(500);
  EXPECT_DOUBLE_EQ(Position(), paused);
  // Reading below the threshold lets it go on.
  ReadImage(2048);
  EXPECT_FALSE(Finished());
  Wait(6);
  EXPECT_EQ(scanner->State().unreadBytes, 6 * kLine - 2048);
  EXPECT_TRUE(Finished());
  EXPECT_DOUBLE_EQ(Position(), paused + 4);
}

TEST_F(Motion, ThresholdZeroFillsTheWholeImageMemory) {
  SmallWindow();
  Write(0x4E, 0);
  Write(0x07, 0x03);
  Wait(5000);
  const uint32_t lines = kImageMemoryBytes / kLine;
  EXPECT_EQ(scanner->State().unreadBytes, lines * kLine);
  EXPECT_EQ(FillBlocks(), lines * kLine / 2048);
  EXPECT_TRUE(Finished());
}

TEST_F(Motion, DataStaysReadableAfterStopAndANewCaptureStartsEmpty) {
  // The reader's bottom zone: stop reading, wait for the motor to stop,
  // write 0 to 0x07, then read the rest whatever the fill level says.
  SmallWindow();
  Write(0x4E, 4);
  Write(0x07, 0x03);
  Wait(100);
  ASSERT_TRUE(Finished());
  Write(0x07, 0x00);
  const uint32_t unread = scanner->State().unreadBytes;
  std::vector<uint8_t> data;
  ASSERT_TRUE(session->ReadStream(0x00, unread - 100, &data));
  EXPECT_EQ(FillBlocks(), 0u);
  EXPECT_TRUE(session->ReadStream(0x00, 100, &data));
  EXPECT_FALSE(session->ReadStream(0x00, 1, &data));  // nothing left: a failed transfer
  Write(0x07, 0x03);
  Wait(100);
  Write(0x07, 0x00);
  EXPECT_EQ(scanner->State().unreadBytes % kLine, 0u);
}

TEST_F(Motion, EndOfTravelStopsTheCaptureAndReportsFinished) {
  SmallWindow();
  Write16(0x46, 681);  // 8 steps a line
  Write(0x07, 0x03);
  uint64_t total = 0;
  for (int i = 0; i < 200 && !Finished(); ++i) {
    Wait(100);
    total += ReadImage(FillBlocks() * 2048).size();
  }
  EXPECT_TRUE(Finished());
  EXPECT_LE(Position(), kTravelSteps);
  EXPECT_GT(Position() + 8, kTravelSteps);
  EXPECT_EQ(Read(0x07) & 0x03, 0x03);  // the command stays until the driver ends it
  const uint64_t produced = scanner->State().linesProduced;
  Wait(1000);
  ReadImage(FillBlocks() * 2048);
  EXPECT_EQ(scanner->State().linesProduced, produced);
  // The default vertical start (1/300 inch) feeds 4 steps first.
  EXPECT_EQ(produced, static_cast<uint64_t>((kTravelSteps - 4) / 8));
}

TEST_F(Motion, JammedCarriageNeverLeavesOrReachesHome) {
  scanner->JamCarriage(true);
  Write(0x07, 0x01);
  Wait(8000);
  EXPECT_TRUE(AtHome());
  EXPECT_EQ(Read(0x07) & 0x03, 0x01);
  Write(0x07, 0x00);
  scanner->JamCarriage(false);
  Write(0x07, 0x01);
  Wait(100);
  ASSERT_FALSE(AtHome());
  scanner->JamCarriage(true);
  Write(0x07, 0x02);
  Wait(10000);
  EXPECT_FALSE(AtHome());
  scanner->ClearFaults();
  Wait(100);
  EXPECT_TRUE(AtHome());
}

TEST_F(Motion, StoppedImageDataKeepsTheFillLevelAtZero) {
  SmallWindow();
  scanner->StopImageData(true);
  Write(0x07, 0x03);
  Wait(30000);
  EXPECT_EQ(FillBlocks(), 0u);
  EXPECT_FALSE(Finished());
  scanner->StopImageData(false);
  Wait(50);
  EXPECT_GT(FillBlocks(), 0u);
}

}  // namespace
}  // namespace simtest
