// InitializeScanner and ResetScanner against the virtual scanner: a cold
// power-on, the cheap second call, a power-cycled scanner, a lamp still
// warming, a dead lamp, a jammed carriage, and a fault at every transfer of
// a whole initialization.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "virtual_scanner.h"
#include "virtual_scanner_fixture.h"

using tq5sim::RequestKind;
using tq5sim::TrafficEntry;
using tq5sim::VirtualScanner;

// Every tick read advances the virtual clock by this much, so the polling
// loops of an initialization take few transfers (it keeps the loop over
// every transfer short).
constexpr uint32_t kClockStep = 20;

// A lamp that takes long to warm up and starts at 40 % of its light.
constexpr double kSlowLampSeconds = 7.0;
constexpr double kSlowLampColdLight = 0.4;
// What a reading adds to the driver's waits: its transfers, each tick read
// moving the clock by kClockStep.
constexpr uint64_t kReadingSlackMs = 300;

// The driver has found the cold scanner; the tests initialize it.
class Initialize : public tq5test::OnVirtualScanner {
 protected:
  Initialize()
      : OnVirtualScanner(
            {.socketStem = "scanner", .clockStep = kClockStep, .initializeAttempts = 0, .checkBlocks = true}) {}

  // Lets a return home under way finish.
  void SettleHome() {
    PlatClockAdvance(15000);
    ASSERT_TRUE(scanner->State().atHome);
  }
  void ClearTrafficLog() {
    auto lock = scanner->Lock();
    scanner->device().ClearLog();
  }
  // Leaves the carriage away from home, as after an interrupted scan.
  void MoveCarriageAway() {
    VirtualScanner::Session session(*scanner);
    session.WriteRegister(0x07, 0x01);
    PlatClockAdvance(500);
    session.WriteRegister(0x07, 0x00);
    ASSERT_FALSE(scanner->State().atHome);
  }
  // Times (scanner clock) of the command writes to register 0x07 with
  // `value`, in order.
  std::vector<uint64_t> CommandTimes(const std::vector<TrafficEntry>& log, uint8_t value) {
    std::vector<uint64_t> times;
    for (const auto& e : log)
      if (e.op == TrafficEntry::Op::WriteRegister && e.reg == 0x07 && e.value == value) times.push_back(e.timeMs);
    return times;
  }
  // True when the next request of `kind` is refused: a fault set with
  // FailNth has not fired yet.
  bool FaultStillPending(RequestKind kind) {
    VirtualScanner::Session session(*scanner);
    const uint64_t failed = scanner->GetCounters().failed;
    uint8_t value = 0;
    switch (kind) {
      case RequestKind::Write:
        session.WriteRegister(0x5F, 0x00);
        break;
      case RequestKind::Read:
        session.ReadRegister(0x02, &value);
        break;
      case RequestKind::Control:
        scanner->FailPipeResets(false);
        session.ResetPipes();
        scanner->FailPipeResets(true);
        break;
    }
    return scanner->GetCounters().failed > failed;
  }
  uint64_t Requests() {
    const auto c = scanner->GetCounters();
    return c.writes + c.reads + c.controls + c.failed;
  }
};

TEST_F(Initialize, ColdPowerOnFindsTheOrigins) {
  ASSERT_EQ(InitializeScanner(), 1) << lastError;
  EXPECT_EQ(sharedState->initState, 2);
  EXPECT_EQ(sharedState->xOriginOffset, tq5sim::layout::kExpectedXOriginOffset);
  EXPECT_EQ(sharedState->yOriginOffset, tq5sim::layout::kExpectedYOriginOffset);
  EXPECT_EQ(sharedState->lampUnstable, 0);
  EXPECT_TRUE(scanner->State().initMarker);
  // Front end and white shading were calibrated and loaded.
  const auto regs = scanner->Registers();
  EXPECT_NE(sharedState->registerImage[0].reg, 0);
  EXPECT_EQ(regs[0x45], 0x13);
  for (int bank = 0; bank < 3; ++bank) {
    const auto white = scanner->Memory(bank, 1);
    EXPECT_TRUE(std::any_of(white.begin(), white.end(), [](uint8_t b) { return b != 0; })) << bank;
  }
}

// A second call, from this process or another, finds the marker set and
// stops after the controller check: a pipe reset, three register writes and
// four register reads.
TEST_F(Initialize, SecondCallTakesTheCheapPath) {
  ASSERT_EQ(InitializeScanner(), 1) << lastError;
  const auto before = scanner->GetCounters();
  scanner->EnableTrafficLog(true);
  ASSERT_EQ(InitializeScanner(), 1);
  const auto after = scanner->GetCounters();
  EXPECT_EQ(after.controls - before.controls, 1u);
  EXPECT_EQ(after.writes - before.writes, 3u + 4u);  // 4 of them read headers
  EXPECT_EQ(after.reads - before.reads, 4u);
  const auto log = scanner->TrafficLog();
  std::vector<std::pair<uint8_t, uint8_t>> written;
  for (const auto& e : log)
    if (e.op == TrafficEntry::Op::WriteRegister) written.emplace_back(e.reg, e.value);
  EXPECT_EQ(written, (std::vector<std::pair<uint8_t, uint8_t>>{{0x0B, 0x02}, {0x0C, 0x60}, {0x0D, 0x2F}}));
}

// The early return home runs only before the first initialization of the
// shared state; a power-cycled scanner (marker clear) with initState 2 runs
// the full sequence and homes after the lamp check.
TEST_F(Initialize, EarlyReturnHomeOnlyOnTheFirstInitialization) {
  struct Case {
    const char* name;
    int32_t initState;
    bool earlyHome;
  };
  for (const Case c : {Case{"first", 0, true}, Case{"power-cycled, initialized", 2, false}}) {
    SCOPED_TRACE(c.name);
    SettleHome();
    scanner->PowerCycle();
    MoveCarriageAway();
    sharedState->initState = c.initState;
    ClearTrafficLog();
    scanner->EnableTrafficLog(true);
    ASSERT_EQ(InitializeScanner(), 1) << lastError;
    EXPECT_EQ(sharedState->initState, 2);
    const auto log = scanner->TrafficLog();
    scanner->EnableTrafficLog(false);
    const auto homes = CommandTimes(log, 0x02);
    const auto captures = CommandTimes(log, 0x03);
    ASSERT_FALSE(homes.empty());
    ASSERT_FALSE(captures.empty());
    EXPECT_EQ(homes.front() < captures.front(), c.earlyHome);
    EXPECT_EQ(sharedState->xOriginOffset, tq5sim::layout::kExpectedXOriginOffset);
  }
}

// A lamp that warms up slowly still drifts at both warm-up checks, while
// giving light enough: the initialization pauses 2000 ms between the
// checks, goes on, and succeeds with the lamp marked unstable. Each check
// takes two readings 2000 ms apart and waits 2000 ms after the second; the
// next one starts 100 ms after the pause.
TEST_F(Initialize, LampStillWarmingAtBothChecksIsTolerated) {
  ASSERT_TRUE(scanner->SetLampWarmUp(kSlowLampSeconds, kSlowLampColdLight));
  ClearTrafficLog();
  scanner->EnableTrafficLog(true);
  ASSERT_EQ(InitializeScanner(), 1) << lastError;
  const auto log = scanner->TrafficLog();
  EXPECT_EQ(sharedState->lampUnstable, 1);
  EXPECT_EQ(sharedState->initState, 2);
  EXPECT_TRUE(scanner->State().initMarker);
  EXPECT_EQ(sharedState->xOriginOffset, tq5sim::layout::kExpectedXOriginOffset);
  // The readings of the two checks are the first four captures.
  const auto captures = CommandTimes(log, 0x03);
  ASSERT_GE(captures.size(), 4u);
  for (const size_t first : {size_t{0}, size_t{2}}) {
    EXPECT_GE(captures[first + 1] - captures[first], 2000u);
    EXPECT_LE(captures[first + 1] - captures[first], 2000u + kReadingSlackMs);
  }
  EXPECT_GE(captures[2] - captures[1], 2000u + 2000u + 100u);
  EXPECT_LE(captures[2] - captures[1], 2000u + 2000u + 100u + kReadingSlackMs);
}

TEST_F(Initialize, FailuresOfThePhysicalScanner) {
  struct Case {
    const char* name;
    bool deadLamp, jammed, away;
    DriverError expected;
  };
  const Case cases[] = {
      {"dead lamp", true, false, false, kErrLightSourceFault},
      {"jammed at home", false, true, false, kErrHomeSensorFault},
      {"jammed away from home", false, true, true, kErrHomeTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scanner->ClearFaults();
    SettleHome();
    scanner->PowerCycle();
    sharedState->initState = 0;
    if (c.away) MoveCarriageAway();
    scanner->DeadLamp(c.deadLamp, false);
    scanner->JamCarriage(c.jammed);
    lastError = 0;
    EXPECT_EQ(InitializeScanner(), 0);
    EXPECT_EQ(static_cast<DriverError>(lastError), c.expected);
    EXPECT_NE(sharedState->initState, 2);
    EXPECT_FALSE(scanner->State().initMarker);
    // Once the scanner is mended a new call succeeds.
    scanner->ClearFaults();
    ASSERT_EQ(InitializeScanner(), 1) << lastError;
    EXPECT_EQ(sharedState->initState, 2);
  }
}

TEST_F(Initialize, ScanInProgressReturnsAtOnce) {
  sharedState->readerThread = 1;
  const uint64_t before = Requests();
  EXPECT_EQ(InitializeScanner(), 1);
  EXPECT_EQ(Requests(), before);
  sharedState->readerThread = 0;
}

TEST_F(Initialize, ResetScannerHandsOutTheDefaultRecord) {
  EXPECT_EQ(ResetScanner(nullptr), 0);
  EXPECT_EQ(lastError, kErrBadParameter);

  ScanParameter record;
  std::memset(&record, 0xAA, sizeof record);
  scanner->DeadLamp(true, false);
  EXPECT_EQ(ResetScanner(&record), 0);
  EXPECT_EQ(lastError, kErrLightSourceFault);
  const std::vector<uint8_t> untouched(sizeof record, 0xAA);
  EXPECT_EQ(std::memcmp(&record, untouched.data(), sizeof record), 0);

  scanner->ClearFaults();
  ASSERT_EQ(ResetScanner(&record), 1) << lastError;
  const uint8_t expected[31] = {0x58, 0x02, 0x58, 0x02, 0, 0, 0, 0, 0xF0, 0x13, 0x68, 0x1B, 0, 0, 0, 0,
                                4,    0,    24,   1,    0, 0, 1, 255, 0,  2,    0,    0,    0xAA, 0xAA, 0xAA};
  EXPECT_EQ(std::memcmp(&record, expected, sizeof expected), 0);
  EXPECT_EQ(std::memcmp(&sharedState->requestedParameter, expected, sizeof expected), 0);
}

// A transfer that fails at any point of a whole initialization, with the
// pipe reset that would allow a retry failing too, ends the call with the
// transfer's code (or is tolerated where the sequence ignores the result),
// leaks no block, and a later call recovers.
class FaultAtEveryTransfer : public Initialize, public ::testing::WithParamInterface<RequestKind> {};

TEST_P(FaultAtEveryTransfer, EndsWithItsCodeAndRecovers) {
  const RequestKind kind = GetParam();
  scanner->FailPipeResets(true);
  // The runs start alike: a scanner whose marker is clear, the carriage
  // home, and a shared state seen for the first time.
  auto prepare = [&] {
    PlatClockAdvance(15000);  // a return home under way ends
    scanner->PowerCycle();
    sharedState->initState = 0;
    sharedState->lastActivityTime = 0;
  };
  int faults = 0;
  for (uint32_t nth = 1;; ++nth) {
    SCOPED_TRACE(testing::Message() << "transfer " << nth);
    prepare();
    scanner->FailNth(kind, nth);
    lastError = 0;
    const int32_t result = InitializeScanner();
    const bool fired = !FaultStillPending(kind);
    scanner->FailNth(kind, 0);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
    if (!fired) {
      ASSERT_EQ(result, 1) << lastError;  // past the last transfer
      break;
    }
    ++faults;
    if (result == 0) {
      EXPECT_EQ(lastError, kErrTransferFailed);
      EXPECT_FALSE(scanner->State().initMarker);
      EXPECT_NE(sharedState->initState, 2);
      prepare();
      ASSERT_EQ(InitializeScanner(), 1) << lastError;
      EXPECT_EQ(sharedState->initState, 2);
    } else {
      // Tolerated: the pipe reset before the check, the vendor control
      // write, the move's completion poll.
      EXPECT_EQ(sharedState->initState, 2);
    }
  }
  EXPECT_GT(faults, kind == RequestKind::Control ? 1 : 100);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultAtEveryTransfer,
                         ::testing::Values(RequestKind::Write, RequestKind::Read, RequestKind::Control),
                         [](const auto& info) {
                           return std::string(info.param == RequestKind::Write  ? "Write"
                                              : info.param == RequestKind::Read ? "Read"
                                                                                : "Control");
                         });
