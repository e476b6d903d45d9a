// The reader thread and the synchronous line source against a scripted
// scanning device: the image through the ring (carry across blocks, a ring
// of one line, wrapping), the bottom zone, the time-outs, the forced end of
// a stuck reader, a stale error, scans without a thread, and StopScan.
//
// Most tests run on the virtual clock and let the reader finish before the
// image is consumed, so that no wait of one side can race the other. Tests
// in which producer and consumer must take turns run on a clock ten times
// faster than real time instead: their waits (200 ms sleeps) take 20 ms and
// their limits (50 s) stay seconds long.
#include <gtest/gtest.h>

#include "scan_support.h"
#include "transport/controller_memory.h"

using scantest::ApplyLayout;
using scantest::ExpectedImage;
using scantest::Layout;
using scantest::RawImage;
using scantest::ScanningDevice;
using tq5test::RegisterOp;

namespace {

constexpr double kTurnTakingSpeed = 10.0;

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(5'000'000, 1);
    ASSERT_TRUE(DriverProcessAttach());
    ZeroWorkingState(*sharedState);
    device = std::make_unique<tq5test::ScriptedDevice>(tq5test::UniqueSocketPath("scan"));
    ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
    lastError = 0;
    blocksBefore = PlatTestBlocksInUse();
  }
  void TearDown() override {
    if (sharedState->readerThread != 0 || sharedState->ringBuffer != nullptr) StopReader();
    PlatTestFailThreadCreation(false);
    scanner.reset();
    CloseDeviceForProcess();
    device.reset();
    DriverProcessDetach();
    PlatClockUseReal(1.0);
  }

  // Prepares `layout`, attaches the scanning device model with its raw
  // image, and starts the scan without calibration.
  void Start(const Layout& layout, ScanningDevice::Options options = {}, bool withThread = true) {
    ApplyLayout(layout);
    scanner.reset();
    scanner = std::make_unique<ScanningDevice>(*device, RawImage(layout), options);
    PlatTestFailThreadCreation(!withThread);
    ASSERT_EQ(BeginScan(0, 0, 1, 0), 1) << "lastError " << lastError;
    PlatTestFailThreadCreation(false);
    ASSERT_EQ(sharedState->readerThread != 0, withThread);
  }

  static bool ReaderFinished() {
    auto* thread = reinterpret_cast<PlatThread*>(sharedState->readerThread);
    uint32_t code = kPlatThreadStillActive;
    return thread == nullptr || (PlatThreadExitCode(thread, &code) && code != kPlatThreadStillActive);
  }
  void AwaitReader() { ASSERT_TRUE(scantest::WaitUntil(ReaderFinished)) << "the reader did not finish"; }

  std::vector<uint8_t> ReadAll(uint32_t bytes, uint32_t chunk = 0) {
    std::vector<uint8_t> image(bytes);
    uint32_t at = 0;
    while (at < bytes) {
      const uint32_t n = chunk == 0 ? bytes - at : std::min(chunk, bytes - at);
      if (ReadScan(0, image.data() + at, n) != 1) {
        ADD_FAILURE() << "ReadScan failed at " << at << " with " << lastError;
        break;
      }
      at += n;
    }
    return image;
  }

  uint32_t ImageBytes(const Layout& l) { return l.OutBytesPerLine() * l.outLines; }

  std::unique_ptr<tq5test::ScriptedDevice> device;
  std::unique_ptr<ScanningDevice> scanner;
  int64_t blocksBefore = 0;
};

// A grey scan whose raw line (1002 bytes) does not divide the 2048-byte
// blocks: most blocks end in mid-line.
Layout GreyLayout() { return scantest::MakeLayout(2, 8, 1000, 24, 0, 6); }

Layout ColourLayout() { return scantest::MakeLayout(4, 24, 310, 20, 2, 12); }

}  // namespace

TEST_F(Reader, LinesSpanningBlocksArriveWhole) {
  for (uint32_t maxLevel : {1u, 3u, 255u}) {
    SCOPED_TRACE(testing::Message() << "blocks per read " << maxLevel);
    const Layout l = GreyLayout();
    ScanningDevice::Options options;
    options.maxLevel = maxLevel;
    Start(l, options);
    AwaitReader();
    EXPECT_EQ(scanner->Sent(), l.RawBytesPerLine() * l.RawLineCount());
    EXPECT_EQ(ring.filledLines, static_cast<int32_t>(l.RawLineCount()));
    EXPECT_EQ(ReadAll(ImageBytes(l)), ExpectedImage(l));
    EXPECT_EQ(StopScan(), 1);
    EXPECT_EQ(scanner->HomeCommands(), 1);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
  }
}

// Producer and consumer taking turns: a ring of one raw line (the producer
// waits for the consumer after every line) and a ring of five lines that
// wraps many times, in grey and in colour.
TEST_F(Reader, SmallRingsTakeTurns) {
  PlatClockUseReal(kTurnTakingSpeed);
  struct Case {
    const char* name;
    Layout layout;
    uint32_t ringLines;
  };
  Layout grey = GreyLayout();
  grey.imageLines = grey.outLines = 8;
  grey.extraLines = 2;
  Layout colour = ColourLayout();
  colour.imageLines = colour.outLines = 10;
  colour.extraLines = 3;
  const Case cases[] = {{"grey, one line", grey, 1}, {"colour, one line", colour, 1}, {"colour, five lines", colour, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Layout l = c.layout;
    l.ringBufferSize = c.ringLines * l.RawBytesPerLine() + l.RawBytesPerLine() / 2;
    ScanningDevice::Options options;
    options.maxLevel = 1;
    Start(l, options);
    ASSERT_EQ(sharedState->ringCapacityLines, c.ringLines);
    EXPECT_EQ(ReadAll(ImageBytes(l), 333), ExpectedImage(l));
    AwaitReader();
    EXPECT_EQ(StopScan(), 1);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
  }
}

// A scan ending in the bottom zone: the last 0x4E x 2048 bytes are read only
// after the motor has stopped, and then even though register 0x01 reports
// nothing. The same with the thread and with the synchronous source.
// The bottom zone starts below 5816/600 inch: a scan ending there has none.
TEST_F(Reader, BottomZoneStartsTwoInchesAboveTheEndOfTheBed) {
  for (const auto& [edge, zone] : {std::pair{5816, 0u}, std::pair{5817, 4u * 2048u}, std::pair{6000, 4u * 2048u}}) {
    Layout l = GreyLayout();
    l.bottomEdge = static_cast<uint16_t>(edge);
    ApplyLayout(l);
    SetScanValue(0x4E, 4);
    Start(l, {}, /*withThread=*/false);
    EXPECT_EQ(sharedState->bottomZoneBytes, zone) << "bottom edge " << edge;
    EXPECT_EQ(StopScan(), 1);
  }
}

TEST_F(Reader, BottomZoneIsDrainedAfterTheMotorStops) {
  for (bool withThread : {true, false}) {
    SCOPED_TRACE(withThread ? "thread" : "synchronous");
    Layout l = GreyLayout();
    l.bottomEdge = 6000;
    ApplyLayout(l);
    SetScanValue(0x4E, 4);
    ScanningDevice::Options options;
    options.zeroLevelAfterStop = true;
    options.maxLevel = 2;
    device->ClearLog();
    Start(l, options, withThread);
    std::vector<uint8_t> image;
    if (withThread)
      AwaitReader();
    else
      EXPECT_EQ(sharedState->bottomZoneBytes, 4u * 2048u);
    image = ReadAll(ImageBytes(l), withThread ? 0 : 4999);
    EXPECT_EQ(image, ExpectedImage(l));
    const uint32_t total = l.RawBytesPerLine() * l.RawLineCount();
    EXPECT_EQ(scanner->Sent(), total);
    EXPECT_EQ(scanner->SentAfterStop(), 8192u);
    // Before the stop command, the reader had read exactly up to the zone.
    uint32_t before = 0;
    bool stopSeen = false, statusPolled = false;
    for (const RegisterOp& op : device->Ops()) {
      if (op.type == RegisterOp::Read && op.reg == 0x03) statusPolled = true;
      if (op.type == RegisterOp::Write && op.reg == 0x07 && op.value == 0x00 && before > 0) {
        stopSeen = true;
        break;
      }
      if (op.type == RegisterOp::StreamRead && op.reg == 0x00) before += op.value;
    }
    EXPECT_TRUE(stopSeen);
    EXPECT_TRUE(statusPolled);
    EXPECT_EQ(before, total - 8192u);
    EXPECT_EQ(StopScan(), 1);
    EXPECT_EQ(sharedState->bottomZoneBytes, 0u);
  }
}

// No image data for 25 s: the reader gives up with 173 and sends the
// carriage home; ReadScan reports 173; StopScan does not send it again.
// Without a thread the read itself times out and StopScan sends it home.
TEST_F(Reader, NoDataFor25SecondsIsADataTimeout) {
  for (bool withThread : {true, false}) {
    SCOPED_TRACE(withThread ? "thread" : "synchronous");
    const Layout l = GreyLayout();
    ScanningDevice::Options options;
    options.deliverLimit = 0;
    const uint32_t before = PlatTickCount();
    Start(l, options, withThread);
    if (withThread) {
      AwaitReader();
      EXPECT_EQ(lastError, kErrDataTimeout);
      EXPECT_EQ(scanner->HomeCommands(), 1);
    }
    std::vector<uint8_t> buffer(100);
    EXPECT_EQ(ReadScan(0, buffer.data(), 100), 0);
    EXPECT_EQ(lastError, kErrDataTimeout);
    EXPECT_GE(PlatTickCount() - before, 25000u);
    lastError = 0;
    EXPECT_EQ(StopScan(), 1);
    EXPECT_EQ(scanner->HomeCommands(), 1) << "the carriage goes home exactly once";
    EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
  }
}

// A reader stuck in a transfer does not stop: after 25 s StopScan ends it,
// reports 250 and frees every buffer.
TEST_F(Reader, StuckReaderIsEndedAfter25Seconds) {
  const Layout l = ColourLayout();
  ScanningDevice::Options options;
  options.maxLevel = 1;
  options.blockOnImageRead = 2;
  Start(l, options);
  ASSERT_TRUE(scantest::WaitUntil([&] { return scanner->Blocked(); }));
  const uint32_t before = PlatTickCount();
  EXPECT_EQ(StopScan(), 0);
  EXPECT_EQ(lastError, kErrTransferFailed);
  EXPECT_GE(PlatTickCount() - before, 25000u);
  EXPECT_EQ(sharedState->readerThread, 0u);
  EXPECT_EQ(sharedState->ringBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
  scanner->Release();
}

// An error left in lastError by an earlier call (not yet fetched with
// GetScannerStatus) ends the consumer's first wait on an empty ring.
TEST_F(Reader, StaleErrorEndsTheFirstWait) {
  const Layout l = GreyLayout();
  ScanningDevice::Options options;
  options.maxLevel = 6;           // the first read brings the lead-in and 6 image lines
  options.blockOnImageRead = 2;   // then the device stalls
  Start(l, options);
  ASSERT_TRUE(scantest::WaitUntil([&] { return scanner->Blocked(); }));
  lastError = kErrLampNotStable;
  const uint32_t lines = (6 * 2048) / l.RawBytesPerLine() - l.extraLines;
  std::vector<uint8_t> image(ImageBytes(l));
  EXPECT_EQ(ReadScan(0, image.data(), static_cast<uint32_t>(image.size())), 0);
  EXPECT_EQ(lastError, kErrLampNotStable);
  const auto expected = ExpectedImage(l);
  const size_t good = static_cast<size_t>(lines) * l.OutBytesPerLine();
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + static_cast<long>(good), image.begin()));
  scanner->Release();
  AwaitReader();
  lastError = 0;
  EXPECT_EQ(StopScan(), 1);
}

// Without a reader thread the line sources read the device themselves:
// the same image, in grey and colour; asking for a line after the last one
// is a data time-out.
TEST_F(Reader, ScanWithoutThreadGivesTheSameImage) {
  for (const Layout& l : {GreyLayout(), ColourLayout()}) {
    Layout small = l;
    small.ringBufferSize = 7 * l.RawBytesPerLine();  // several ring fills
    ScanningDevice::Options options;
    options.maxLevel = 2;
    Start(small, options, /*withThread=*/false);
    const auto image = ReadAll(ImageBytes(small), 1111);
    EXPECT_EQ(image, ExpectedImage(small));
    EXPECT_EQ(scanner->HomeCommands(), 1) << "sent home when the last raw byte was read";
    uint8_t* line = nullptr;
    uint32_t length = 0;
    if (small.mode != 4) {
      EXPECT_EQ(NextRawLine(&line, &length), static_cast<DriverError>(kErrDataTimeout));
    }
    EXPECT_EQ(StopScan(), 1);
    EXPECT_EQ(scanner->HomeCommands(), 1);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
  }
}

TEST_F(Reader, ChunkSizesDoNotChangeTheBytes) {
  for (bool withThread : {true, false}) {
    const Layout l = ColourLayout();
    std::vector<std::vector<uint8_t>> images;
    for (uint32_t chunk : {0u, 1u, 7u, 1001u}) {
      SCOPED_TRACE(testing::Message() << (withThread ? "thread" : "synchronous") << ", chunk " << chunk);
      Start(l, {}, withThread);
      if (withThread) AwaitReader();
      images.push_back(ReadAll(ImageBytes(l), chunk));
      EXPECT_EQ(StopScan(), 1);
    }
    for (const auto& image : images) EXPECT_EQ(image, ExpectedImage(l));
  }
}

TEST_F(Reader, StopScanDuringAScanEndsTheReaderOnce) {
  PlatClockUseReal(kTurnTakingSpeed);
  Layout l = GreyLayout();
  l.ringBufferSize = 4 * l.RawBytesPerLine();
  Start(l);
  std::vector<uint8_t> part(2 * l.OutBytesPerLine());
  ASSERT_EQ(ReadScan(0, part.data(), static_cast<uint32_t>(part.size())), 1);
  EXPECT_EQ(StopScan(), 1);
  EXPECT_EQ(sharedState->readerThread, 0u);
  EXPECT_EQ(scanner->HomeCommands(), 1);
  EXPECT_LT(scanner->Sent(), l.RawBytesPerLine() * l.RawLineCount()) << "the reader stopped early";
  EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
  // A second StopScan has nothing left to end.
  EXPECT_EQ(StopScan(), 1);
  EXPECT_EQ(scanner->HomeCommands(), 1);
}

TEST_F(Reader, StartScanWhileAScanRunsIsRefused) {
  for (bool withThread : {true, false}) {
    Start(GreyLayout(), {}, withThread);
    if (withThread) AwaitReader();  // a quiet device: only StartScan could talk to it
    uint8_t* ringBefore = sharedState->ringBuffer;
    device->ClearLog();
    lastError = 0;
    EXPECT_EQ(StartScan(), 0);
    EXPECT_EQ(lastError, kErrScannerBusy);
    EXPECT_TRUE(device->Ops().empty()) << "nothing is sent to the device";
    EXPECT_EQ(sharedState->ringBuffer, ringBefore);
    EXPECT_EQ(StopScan(), 1);
  }
}

// Every allocation BeginScan makes may fail: it then reports 152 and leaves
// no buffer and no thread behind. The ring alone shrinks instead of failing.
TEST_F(Reader, BeginScanFreesEverythingWhenAnAllocationFails) {
  const Layout l = ColourLayout();
  for (uint32_t nth = 1;; ++nth) {
    ApplyLayout(l);
    scanner = std::make_unique<ScanningDevice>(*device, RawImage(l), ScanningDevice::Options{});
    lastError = 0;
    PlatTestFailAllocation(nth);
    const int32_t started = BeginScan(0, 0, 1, 0);
    PlatTestFailAllocation(0);
    if (started == 1) {
      EXPECT_GT(nth, 5u) << "the gamma upload, the tables and the slots allocate first";
      AwaitReader();
      EXPECT_EQ(StopScan(), 1);
      break;
    }
    SCOPED_TRACE(testing::Message() << "allocation " << nth);
    EXPECT_EQ(lastError, kErrNoMemory);
    EXPECT_EQ(sharedState->readerThread, 0u);
    EXPECT_EQ(sharedState->ringBuffer, nullptr);
    EXPECT_EQ(sharedState->columnTable, nullptr);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
    ASSERT_LT(nth, 100u);
  }
}
