// The line pipeline on a ring that is already full: selection tables,
// compaction, colour assembly, the cut and skip of ReadArea, and the byte
// stream of ReadScan. No device and no thread: the ring is filled here.
#include <gtest/gtest.h>

#include <numeric>

#include "scan_support.h"

using scantest::ApplyLayout;
using scantest::ExpectedImage;
using scantest::Layout;
using scantest::MakeLayout;
using scantest::RawByte;
using scantest::RawImage;

namespace {

using Pipeline = scantest::OnFullRing;

int32_t Ones(const std::vector<uint8_t>& table, size_t end) {
  return std::accumulate(table.begin(), table.begin() + static_cast<long>(end), 0);
}

}  // namespace

TEST(SelectionTable, SpreadsOutputsEvenlyOverInputs) {
  struct Case {
    uint32_t n, m;
  };
  const Case cases[] = {{4, 2}, {3, 3}, {10, 7}, {600, 450}, {7016, 300}, {5104 * 8, 4096 * 8}, {1, 1}, {9, 1}};
  for (const Case& c : cases) {
    std::vector<uint8_t> table(c.n + 4, 0xAA);
    BuildSelectionTable(table.data(), c.n, c.m);
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " m=" << c.m);
    EXPECT_EQ(table[0], 1);
    EXPECT_EQ(Ones(table, c.n), static_cast<int32_t>(c.m));
    for (uint32_t i = 0; i < c.n; ++i) ASSERT_LE(table[i], 1) << "entry " << i;
    // Evenly spread: after i inputs the outputs placed stay within one of i * m / n.
    int32_t placed = 0;
    for (uint32_t i = 0; i < c.n; ++i) {
      placed += table[i];
      const double ideal = static_cast<double>(i + 1) * c.m / c.n;
      ASSERT_LE(std::abs(placed - ideal), 1.0) << "after input " << i;
    }
    EXPECT_EQ(table[c.n], 0xAA) << "wrote past the inputs";
  }
}

TEST(SelectionTable, KnownDistributions) {
  std::vector<uint8_t> t(4);
  BuildSelectionTable(t.data(), 4, 2);
  EXPECT_EQ(t, (std::vector<uint8_t>{1, 0, 1, 0}));
  std::vector<uint8_t> u(2);
  BuildSelectionTable(u.data(), 2, 4);
  EXPECT_EQ(u, (std::vector<uint8_t>{2, 2}));
}

// CompactLine on one raw line with a column table of the test's own: every
// case keeps the even pixels (or bits), or all of them.
TEST_F(Pipeline, CompactLineKeepsSelectedColumns) {
  struct Case {
    const char* name;
    uint8_t mode, bits;
    bool dropOdd;
  };
  const Case cases[] = {
      {"colour 24, all kept", 4, 24, false}, {"colour 24, odd dropped", 4, 24, true},
      {"colour 48, all kept", 4, 48, false}, {"colour 48, odd dropped", 4, 48, true},
      {"grey 8, odd dropped", 2, 8, true},   {"grey 16, all kept", 3, 16, false},
      {"grey 16, odd dropped", 3, 16, true}, {"mode 5 16, odd dropped", 5, 16, true},
      {"mode 5 8, odd dropped", 5, 8, true}, {"one bit, all kept", 0, 1, false},
      {"one bit, odd dropped", 1, 1, true},
  };
  SharedState& s = *sharedState;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t rawPixels = 64;
    const uint32_t outPixels = c.dropOdd ? 32 : 64;
    Layout l;
    l.mode = c.mode;
    l.bits = c.bits;
    l.rawPixels = rawPixels;
    l.outPixels = outPixels;
    l.pad = 2;
    ApplyLayout(l);
    std::vector<uint8_t> table(c.bits == 1 ? rawPixels : rawPixels);
    for (uint32_t i = 0; i < table.size(); ++i) table[i] = (!c.dropOdd || i % 2 == 0) ? 1 : 0;
    s.columnTable = table.data();
    s.columnTableEntries = static_cast<uint32_t>(table.size());

    std::vector<uint8_t> line(l.RawBytesPerLine());
    for (uint32_t j = 0; j < line.size(); ++j) line[j] = RawByte(5, j);
    const std::vector<uint8_t> raw = line;
    CompactLine(line.data());
    s.columnTable = nullptr;

    // Reference: pixel by pixel (bit by bit for one-bit data).
    std::vector<uint8_t> expected(l.OutBytesPerLine());
    if (c.bits == 1) {
      uint32_t out = 0;
      for (uint32_t i = 0; i < rawPixels; ++i) {
        if (table[i] == 0) continue;
        const int bit = (raw[i / 8] >> (7 - i % 8)) & 1;
        expected[out / 8] = static_cast<uint8_t>(expected[out / 8] | bit << (7 - out % 8));
        ++out;
      }
    } else {
      const uint32_t pixelBytes = c.bits / 8, swap = (c.bits % 16 == 0) ? 1 : 0;
      uint32_t out = 0;
      for (uint32_t i = 0; i < rawPixels; ++i) {
        if (table[i] == 0) continue;
        for (uint32_t b = 0; b < pixelBytes; ++b) expected[out * pixelBytes + b] = raw[i * pixelBytes + (b ^ swap)];
        ++out;
      }
    }
    EXPECT_EQ(std::vector<uint8_t>(line.begin(), line.begin() + static_cast<long>(expected.size())), expected);
  }
}

// Colour at a line delay of 2 (the 300-line class): channel c of image line
// k comes from raw line k + 2c; the first line needs raw lines 0, 2 and 4.
TEST_F(Pipeline, ColourPhasesFollowTheLineDelay) {
  for (uint8_t delay : {1, 2, 4}) {
    SCOPED_TRACE(testing::Message() << "delay " << int(delay));
    const Layout l = MakeLayout(4, 24, 8, 6, delay);
    const auto raw = RawImage(l);
    ApplyLayout(l);
    StartOnFullRing(l, raw);
    SharedState& s = *sharedState;
    std::vector<std::pair<int, int>> seen, expected;
    const uint32_t rawLines = l.RawLineCount();
    for (uint32_t r = 0; r < rawLines; ++r)
      for (int c = 0; c < 3; ++c)
        if (r >= static_cast<uint32_t>(c * delay)) expected.push_back({c, static_cast<int>(r)});
    for (size_t i = 0; i < expected.size(); ++i) {
      uint8_t channel = 9;
      uint8_t* line = nullptr;
      ASSERT_EQ(NextColourPhase(&channel, &line), 0u);
      seen.push_back({channel, static_cast<int>((line - s.ringBuffer) / s.rawBytesPerLine)});
    }
    EXPECT_EQ(seen, expected);
    TearDown();
    SetUp();
  }
}

TEST_F(Pipeline, FirstColourLineAtDelayTwoUsesRawLinesZeroTwoFour) {
  const Layout l = MakeLayout(4, 24, 10, 5, 2);
  const auto raw = RawImage(l);
  ApplyLayout(l);
  StartOnFullRing(l, raw);
  SharedState& s = *sharedState;
  EXPECT_EQ(s.colourSlotCount, 6u);
  uint8_t* line = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(NextColourLine(&line, &length), 0u);
  ASSERT_EQ(length, 30u);
  for (uint32_t p = 0; p < 10; ++p) {
    EXPECT_EQ(line[3 * p + 0], RawByte(0, 3 * p + 0));
    EXPECT_EQ(line[3 * p + 1], RawByte(2, 3 * p + 1));
    EXPECT_EQ(line[3 * p + 2], RawByte(4, 3 * p + 2));
  }
  EXPECT_EQ(ring.readLine.load(), 4u) << "raw line 4 is the last one needed";
}

TEST_F(Pipeline, DroppedColourLinesAreAssembledAndPassedOver) {
  Layout l = MakeLayout(4, 24, 4, 9, 1, 2);
  l.outLines = 3;  // every third image line: 1, 0, 0, 1, 0, 0, 1, 0, 0
  const auto raw = RawImage(l);
  ApplyLayout(l);
  StartOnFullRing(l, raw);
  const std::vector<uint8_t> rows(sharedState->rowTable, sharedState->rowTable + 9);
  ASSERT_EQ(rows, (std::vector<uint8_t>{1, 0, 0, 1, 0, 0, 1, 0, 0}));
  for (uint32_t k : {0u, 3u, 6u}) {
    uint8_t* line = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(NextColourLine(&line, &length), 0u);
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(line[c], RawByte(2 + k + c, c)) << "image line " << k;
  }
}

TEST_F(Pipeline, ColourSlotFilledTwiceIsALineSequenceError) {
  const Layout l = MakeLayout(4, 24, 4, 4, 1);
  ApplyLayout(l);
  StartOnFullRing(l, RawImage(l));
  sharedState->colourSlots[0].channelFilled[1] = 1;  // as if channel 1 had run ahead
  uint8_t* line = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(NextColourLine(&line, &length), static_cast<DriverError>(kErrLineSequenceError));
}

// A pending failure code ends the colour assembly; a lock time-out does not.
TEST_F(Pipeline, ColourLineRequestStopsOnAReportedFailure) {
  const Layout l = MakeLayout(4, 24, 4, 4, 1, 3);
  ApplyLayout(l);
  StartOnFullRing(l, RawImage(l));
  uint8_t* line = nullptr;
  uint32_t length = 0;
  lastError = kErrLockTimeout;
  EXPECT_EQ(NextColourLine(&line, &length), 0u);
  lastError = kErrTransferFailed;
  EXPECT_EQ(NextColourLine(&line, &length), static_cast<DriverError>(kErrTransferFailed));
  lastError = 0;
}

// Whole images through ReadScan for every depth, read in uneven chunks.
TEST_F(Pipeline, ReadScanDeliversTheImageInEveryDepth) {
  struct Case {
    const char* name;
    uint8_t mode, bits, delay;
  };
  const Case cases[] = {{"grey 8", 2, 8, 0},      {"grey 16", 3, 16, 0}, {"one bit", 0, 1, 0},
                        {"colour 24", 4, 24, 2},  {"colour 48", 4, 48, 1}, {"mode 5 16", 5, 16, 0},
                        {"colour 24 d8", 4, 24, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Layout l = MakeLayout(c.mode, c.bits, 48, 11, c.delay, 3);
    ApplyLayout(l);
    StartOnFullRing(l, RawImage(l));
    const auto expected = ExpectedImage(l);
    std::vector<uint8_t> got(expected.size() + 16, 0x5A);
    size_t at = 0;
    for (uint32_t chunk = 1; at < expected.size(); chunk = chunk * 3 + 1) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk % 97, expected.size() - at));
      ASSERT_EQ(ReadScan(0, got.data() + at, n), 1) << "at " << at;
      at += n;
    }
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + static_cast<long>(expected.size())), expected);
    for (size_t i = expected.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0x5A) << "wrote past the image";
    TearDown();
    SetUp();
  }
}

TEST_F(Pipeline, ReadScanRefusesWhatItCannotServe) {
  const Layout l = MakeLayout(2, 8, 10, 4, 0, 3);
  std::vector<uint8_t> buffer(64, 0x77);

  // No scan started in this process.
  ApplyLayout(l);
  EXPECT_EQ(ReadScan(0, buffer.data(), 4), 0);
  EXPECT_EQ(lastError, kErrBadParameter);

  StartOnFullRing(l, RawImage(l));
  lastError = 0;
  EXPECT_EQ(ReadScan(0, nullptr, 4), 0);
  EXPECT_EQ(lastError, kErrBadParameter);

  // 40 bytes in all: 30 read, then 11 more are refused and nothing is copied.
  ASSERT_EQ(ReadScan(0, buffer.data(), 30), 1);
  std::fill(buffer.begin(), buffer.end(), 0x77);
  lastError = 0;
  EXPECT_EQ(ReadScan(0, buffer.data(), 11), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
  for (uint8_t b : buffer) ASSERT_EQ(b, 0x77);
  // The rest of the image is still there.
  ASSERT_EQ(ReadScan(0, buffer.data(), 10), 1);
  const auto expected = ExpectedImage(l);
  EXPECT_TRUE(std::equal(expected.begin() + 30, expected.end(), buffer.begin()));
  // A count of 0 at the end is fine.
  EXPECT_EQ(ReadScan(0, buffer.data(), 0), 1);
}

// A pipeline failure leaves a read position that cannot be trusted: later
// reads repeat the failure until StopScan.
TEST_F(Pipeline, ReadScanAfterAFailureRepeatsIt) {
  const Layout l = MakeLayout(2, 8, 10, 4, 0, 3);
  ApplyLayout(l);
  StartOnFullRing(l, RawImage(l));
  ring.filledLines = 1;  // the reader has ended with only the first lead-in line
  std::vector<uint8_t> buffer(40);
  EXPECT_EQ(ReadScan(0, buffer.data(), 10), 0);
  EXPECT_EQ(lastError, kErrDataTimeout);
  lastError = 0;
  EXPECT_EQ(ReadScan(0, buffer.data(), 1), 0);
  EXPECT_EQ(lastError, kErrDataTimeout);
}

// ReadArea: the device area is wider and higher than the host's area; the
// lines above are skipped once and the requested columns cut out.
TEST_F(Pipeline, ReadAreaSkipsLinesAndCutsColumns) {
  struct Case {
    const char* name;
    uint8_t mode, bits;
    uint16_t workLeft, workTop, devLeft, devTop;
    uint16_t workPixels;
  };
  // 300 dpi: a device line of 90 pixels; the area starts 7 (or 12) pixels in.
  const Case cases[] = {
      {"grey, left edge", 2, 8, 0, 0, 0, 0, 30},
      {"grey, moved left", 2, 8, 240, 40, 200, 20, 40},
      {"colour", 4, 24, 24, 20, 0, 0, 50},
      {"one bit, byte aligned", 0, 1, 128, 0, 0, 0, 40},
      {"one bit, mid byte", 1, 1, 14, 6, 0, 0, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Layout l = MakeLayout(c.mode, c.bits, c.bits == 1 ? 160 : 90, 16, c.mode == 4 ? 1 : 0, 3);
    ApplyLayout(l);
    SharedState& s = *sharedState;
    s.workingParameter.left = c.workLeft;
    s.workingParameter.top = c.workTop;
    s.workingParameter.pixelsPerLine = c.workPixels;
    s.deviceParameter.left = c.devLeft;
    s.deviceParameter.top = c.devTop;
    s.widthEnlarged = 1;
    s.heightEnlarged = c.workTop != c.devTop ? 1 : 0;
    const uint32_t skip = (c.workTop * 300 / 600) - (c.devTop * 300 / 600);
    const uint32_t offsetPixels = c.workLeft / 2 - c.devLeft / 2;
    const uint32_t lines = l.outLines - skip;
    statusPixelsPerLine = c.workPixels;
    statusLineCount = static_cast<uint16_t>(lines);
    const auto raw = RawImage(l);
    StartOnFullRing(l, raw);
    const auto device = ExpectedImage(l);  // the whole device area
    const uint32_t deviceLine = l.OutBytesPerLine();
    const uint32_t lineBytes = c.workPixels * c.bits / 8;

    std::vector<uint8_t> expected;
    for (uint32_t k = skip; k < l.outLines; ++k) {
      const uint8_t* from = &device[static_cast<size_t>(k) * deviceLine];
      for (uint32_t j = 0; j < lineBytes; ++j) {
        if (c.bits == 1) {
          uint8_t v = 0;
          for (uint32_t b = 0; b < 8; ++b) {
            const uint32_t bit = offsetPixels + 8 * j + b;
            v = static_cast<uint8_t>(v << 1 | ((from[bit / 8] >> (7 - bit % 8)) & 1));
          }
          expected.push_back(v);
        } else {
          expected.push_back(from[offsetPixels * c.bits / 8 + j]);
        }
      }
    }
    std::vector<uint8_t> got(expected.size());
    // First call of 0 bytes: the skip happens all the same.
    ASSERT_EQ(ReadArea(got.data(), 0), 1);
    EXPECT_EQ(s.heightEnlarged, 0u);
    for (size_t at = 0; at < got.size(); at += 7)
      ASSERT_EQ(ReadArea(got.data() + at, static_cast<uint32_t>(std::min<size_t>(7, got.size() - at))), 1);
    EXPECT_EQ(got, expected);
    TearDown();
    SetUp();
  }
}

// A one-inch colour area at the left edge of a 300-dpi scan widened to
// three inches: each delivered line is the first 900 bytes of a device line.
TEST_F(Pipeline, WidenedColourScanHandsOutTheLeftInch) {
  const Layout l = MakeLayout(4, 24, 900, 6, 2, 3);
  ApplyLayout(l);
  SharedState& s = *sharedState;
  s.workingParameter.pixelsPerLine = 300;
  s.widthEnlarged = 1;
  statusPixelsPerLine = 300;
  StartOnFullRing(l, RawImage(l));
  const auto device = ExpectedImage(l);
  std::vector<uint8_t> got(900 * 6);
  ASSERT_EQ(ReadScan(0, got.data(), static_cast<uint32_t>(got.size())), 1);
  for (uint32_t k = 0; k < 6; ++k)
    ASSERT_TRUE(std::equal(got.begin() + k * 900, got.begin() + (k + 1) * 900, device.begin() + k * 2700))
        << "line " << k;
}

// 4 MiB of raw data and 1 MiB of allocatable memory: the ring starts at 2 MiB
// (the ring size of an ordinary scan), and halves until an allocation
// succeeds, always a whole number of raw lines.
TEST_F(Pipeline, RingHalvesUntilItCanBeAllocated) {
  Layout l = MakeLayout(4, 24, 5104, 280, 4);
  ApplyLayout(l);
  SharedState& s = *sharedState;
  ASSERT_GE(s.rawTotalBytes, 4u << 20);
  const uint32_t line = s.rawBytesPerLine;
  const uint32_t twoMiB = (2u << 20) / line * line;
  ASSERT_EQ(AllocateRingBuffer(), 0u);
  EXPECT_EQ(s.ringCapacityBytes, twoMiB);
  FreeRingBuffer();
  // The 2 MiB allocation is refused: the ring is half as large, rounded down
  // to whole lines.
  PlatTestFailAllocation(1);
  ASSERT_EQ(AllocateRingBuffer(), 0u);
  PlatTestFailAllocation(0);
  EXPECT_EQ(s.ringCapacityBytes, twoMiB / 2 / line * line);
  EXPECT_EQ(s.ringCapacityBytes % line, 0u);
  EXPECT_EQ(s.ringCapacityLines, s.ringCapacityBytes / line);
  FreeRingBuffer();
  // Smaller than one raw line: no ring at all.
  s.ringBufferSize = line - 1;
  EXPECT_EQ(AllocateRingBuffer(), static_cast<DriverError>(kErrNoMemory));
  EXPECT_EQ(s.ringBuffer, nullptr);
}
