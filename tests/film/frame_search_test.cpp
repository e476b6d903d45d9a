// The film frame search on synthetic device lines in a full ring: the
// lines it reads, and the frame offset it gives for an edge, for no search
// and for no edge within 0.4 inch.
#include <gtest/gtest.h>

#include "scan/film_frame.h"
#include "scan_support.h"

namespace {

// Device lines of 60 colour pixels at 50 dpi: the search looks at most
// 0.4 x 50 = 20 lines, and an edge needs more than 0.3 x 50 = 15 of the
// 40 reference pixels.
constexpr uint32_t kPixels = 60;
constexpr uint32_t kLines = 30;
constexpr uint16_t kResolution = 50;
constexpr uint32_t kFrameTop = kResolution * 685 / 1000;  // 34 lines

class FrameSearch : public scantest::OnFullRing {
 protected:
  // A ring full of device lines: line r has every sample at level[r], except
  // that its last byte is the line number (to tell which line comes next).
  void StartOnLines(const std::vector<uint8_t>& level) {
    const scantest::Layout l = scantest::MakeLayout(2, 8, kPixels * 3, kLines);
    scantest::ApplyLayout(l);
    SharedState& s = *sharedState;
    s.deviceParameter.bitsPerPixel = 24;
    s.deviceParameter.xResolution = s.deviceParameter.yResolution = kResolution;
    s.heightEnlarged = 1;  // the crop line buffer is built
    const uint32_t lineBytes = l.RawBytesPerLine();
    std::vector<uint8_t> raw(static_cast<size_t>(lineBytes) * kLines);
    for (uint32_t r = 0; r < kLines; ++r) {
      std::memset(raw.data() + r * lineBytes, level[r], lineBytes);
      raw[r * lineBytes + kPixels * 3 - 1] = static_cast<uint8_t>(r);
    }
    StartOnFullRing(l, raw);
  }
  // The number of the device line the pipeline hands out next.
  uint8_t NextLine() {
    std::vector<uint8_t> line(kPixels * 3);
    EXPECT_EQ(CopyOutputBytes(line.data(), kPixels * 3), 1);
    return line.back();
  }
};

}  // namespace

TEST_F(FrameSearch, OffsetAndLinesReadFollowTheEdge) {
  struct Case {
    const char* name;
    uint8_t low, high, span;
    uint8_t film, frame;  // levels above the edge and from the edge on
    uint32_t edgeLine;    // first line at the frame level
    uint32_t offset;      // frame offset in device lines
    uint8_t nextLine;     // first line left for the skip
  };
  const Case cases[] = {
      {"wide span, edge on line 5", 20, 220, 200, 20, 220, 5, kFrameTop, 6},
      {"wide span, light film, dark frame", 20, 220, 200, 230, 90, 3, kFrameTop, 4},
      {"narrow span, difference inside the span", 20, 50, 30, 20, 48, 7, kFrameTop, 8},
      {"narrow span, difference beyond the span", 20, 50, 30, 20, 60, 7, 1, 21},
      {"wide span, difference below half the span", 20, 220, 200, 20, 110, 2, 1, 21},
      {"edge on the last line looked at", 20, 220, 200, 20, 220, 19, kFrameTop, 20},
      {"edge one line too late", 20, 220, 200, 20, 220, 20, 1, 21},
      {"span 0: no search", 0, 0, 0, 20, 220, 1, kFrameTop + kResolution * 30 / 300, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> level(kLines);
    for (uint32_t r = 0; r < kLines; ++r) level[r] = r < c.edgeLine ? c.film : c.frame;
    StartOnLines(level);
    sharedState->gammaLevelLow = c.low;
    sharedState->gammaLevelHigh = c.high;
    sharedState->gammaLevelSpan = c.span;
    uint32_t offset = 0xFFFF;
    ASSERT_EQ(FilmFrameSearch(&offset), 1);
    EXPECT_EQ(offset, c.offset);
    EXPECT_EQ(NextLine(), c.nextLine);
    TearDown();
    SetUp();
  }
}

TEST_F(FrameSearch, FailedLineReadEndsTheSearch) {
  StartOnLines(std::vector<uint8_t>(kLines, 20));
  sharedState->gammaLevelSpan = 200;
  // The reader has failed: no line can be had.
  sharedState->readerDone = 1;
  ring.filledLines = 0;
  lastError = kErrDataTimeout;
  uint32_t offset = 0xFFFF;
  EXPECT_EQ(FilmFrameSearch(&offset), 0);
  EXPECT_EQ(offset, 0xFFFFu);
}

// A film frame line becomes the requested depth: grey from colour, then bits.
TEST_F(FrameSearch, LineConversionFollowsTheRequestedMode) {
  struct Case {
    uint8_t requestedMode;
    uint32_t length;
    std::vector<uint8_t> head;
  };
  // 16 pixels: R = 10 x i, G = 255 for even i, B = 0.
  const Case cases[] = {
      {4, 48, {0, 255, 0, 10, 0, 0}},
      {2, 16, {153, 3, 159, 9}},
      {0, 2, {0xAA, 0xAA}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.requestedMode));
    SharedState& s = *sharedState;
    s.workingParameter.scanMode = 4;
    s.requestedParameter.scanMode = c.requestedMode;
    statusPixelsPerLine = 16;
    std::vector<uint8_t> line(48);
    for (uint32_t i = 0; i < 16; ++i) {
      line[3 * i] = static_cast<uint8_t>(10 * i);
      line[3 * i + 1] = i % 2 == 0 ? 255 : 0;
    }
    EXPECT_EQ(FilmFrameLineConversion(line.data(), 48), c.length);
    EXPECT_EQ(std::vector<uint8_t>(line.begin(), line.begin() + static_cast<long>(c.head.size())), c.head);
  }
}
