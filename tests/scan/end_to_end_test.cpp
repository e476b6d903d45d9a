// Whole scans through the exports on the virtual scanner: SetScanParameter,
// GetDataStatus, StartScan, ReadScan, StopScan. Each image is compared with
// the virtual scanner's test chart as it lies on the glass: the reference
// of an output pixel is the chart under its footprint.
//
// Two comparisons, each with its stated tolerance:
// - placement (every scan): wherever the chart steps by 100 levels or more
//   between neighbouring output pixels (away from its corners), the scan
//   steps the same way by at least 25 within one output pixel of that place,
//   in every channel; where the chart is flat the scan does not step by 100. This judges geometry
//   (areas, resolutions, cut, skip, colour registration, channel order)
//   whatever the scanner's tone.
// - tone (the 300-dpi colour scan, where the calibrated virtual scanner is
//   close to the chart today): every sample within the chart values under
//   its footprint widened by one output pixel, give or take 40 levels, and
//   8 levels from the chart on average. 16-bit samples count by their high
//   byte.
//
// The reader runs on the virtual clock. A scan whose raw data fit the ring
// is read once the reader has finished; a larger one is read without a
// thread (its line sources read the device themselves), so that no wait of
// the consumer races the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "scan_support.h"
#include "scene.h"
#include "virtual_scanner.h"
#include "virtual_scanner_fixture.h"

namespace {

constexpr int kSampleTolerance = 40;
constexpr double kMeanTolerance = 8.0;

struct Case {
  const char* name;
  uint8_t mode, bits;
  uint16_t xResolution, yResolution;
  uint16_t left, top, width, height;
  uint8_t monoChannel = 2;
};

struct Scan {
  DataStatus status{};
  std::vector<uint8_t> bytes;
  bool threaded = false;
};

class EndToEnd : public tq5test::OnVirtualScanner {
 protected:
  // One scan through the exports; `forceSynchronous` scans without a thread.
  Scan Run(const Case& c, bool forceSynchronous = false) {
    Scan scan;
    ScanParameter p = tq5test::ScanRequest(
        {c.xResolution, c.yResolution, c.left, c.top, c.width, c.height, c.mode, c.bits, 0, c.monoChannel});
    tq5test::LoadIdentityGammaTables();
    const int32_t accepted = SetScanParameter(&p);
    EXPECT_EQ(accepted, 1) << "SetScanParameter: " << lastError;
    if (accepted != 1) return scan;
    GetDataStatus(&scan.status);
    const bool fits = sharedState->rawTotalBytes <= sharedState->ringBufferSize;
    scan.threaded = fits && !forceSynchronous;
    PlatTestFailThreadCreation(!scan.threaded);
    const int32_t started = StartScan();
    PlatTestFailThreadCreation(false);
    EXPECT_EQ(started, 1) << "StartScan: " << lastError;
    if (started != 1) return scan;
    EXPECT_EQ(sharedState->readerThread != 0, scan.threaded);
    if (scan.threaded) {
      EXPECT_TRUE(scantest::WaitUntil(ReaderFinished));
    }
    scan.bytes.assign(scan.status.totalBytes, 0xA5);
    EXPECT_EQ(ReadScan(0, scan.bytes.data(), scan.status.totalBytes), 1) << "ReadScan: " << lastError;
    // Not a byte more than GetDataStatus announced.
    uint8_t extra = 0;
    EXPECT_EQ(ReadScan(0, &extra, 1), 0);
    EXPECT_EQ(lastError, kErrBadParameter);
    lastError = 0;
    EXPECT_EQ(StopScan(), 1) << "StopScan: " << lastError;
    return scan;
  }

  // Scans each case and checks that the chart is in place.
  template <size_t N>
  void ScanAllInPlace(const Case (&cases)[N], bool forceSynchronous = false);
};

// The chart as it lies on the glass (its top left corner at the origin of
// the scan area coordinates), channel by channel.
class ChartReference {
 public:
  ChartReference() : rows_(chart_.Height()) {}
  int Value(int x, int y, int channel) {
    x = std::clamp(x, 0, chart_.Width() - 1);
    y = std::clamp(y, 0, chart_.Height() - 1);
    std::vector<uint8_t>& row = rows_[y];
    if (row.empty()) {
      row.resize(static_cast<size_t>(chart_.Width()) * 3);
      chart_.Row(y, row.data());
    }
    return row[static_cast<size_t>(x) * 3 + channel];
  }

 private:
  tq5sim::TestChart chart_;
  std::vector<std::vector<uint8_t>> rows_;
};

struct Footprint {
  int lo = 255, hi = 0;  // chart values over the widened footprint
  double mean = 0;       // chart value averaged over the footprint
};

// The chart under output pixel (i, k) of `c`, and its range over the
// footprint widened by one output pixel each way.
Footprint Under(ChartReference& chart, const Case& c, uint32_t i, uint32_t k, int channel) {
  const double sx = 600.0 / c.xResolution, sy = 600.0 / c.yResolution;
  const int x0 = c.left + static_cast<int>(std::floor(i * sx)), x1 = c.left + static_cast<int>(std::ceil((i + 1) * sx));
  const int y0 = c.top + static_cast<int>(std::floor(k * sy)), y1 = c.top + static_cast<int>(std::ceil((k + 1) * sy));
  const int wx = static_cast<int>(std::ceil(sx)), wy = static_cast<int>(std::ceil(sy));
  Footprint f;
  double sum = 0;
  int count = 0;
  for (int y = y0 - wy; y < y1 + wy; ++y)
    for (int x = x0 - wx; x < x1 + wx; ++x) {
      const int v = chart.Value(x, y, channel);
      f.lo = std::min(f.lo, v);
      f.hi = std::max(f.hi, v);
      if (x >= x0 && x < x1 && y >= y0 && y < y1) {
        sum += v;
        ++count;
      }
    }
  f.mean = sum / count;
  return f;
}

// The level of sample (pixel i, line k, channel ch); 16-bit samples (low
// byte first) by their high byte, one-bit pixels as 0 or 255.
int Level(const Case& c, const Scan& scan, uint32_t i, uint32_t k, uint32_t ch) {
  const uint8_t* line = &scan.bytes[static_cast<size_t>(k) * scan.status.bytesPerLine];
  if (c.bits == 1) return ((line[i / 8] >> (7 - i % 8)) & 1) ? 255 : 0;
  const uint32_t channels = c.mode == 4 ? 3 : 1, sampleBytes = c.bits % 16 == 0 ? 2 : 1;
  return line[(static_cast<size_t>(i) * channels + ch) * sampleBytes + sampleBytes - 1];
}

int ChartChannel(const Case& c, uint32_t ch) {
  if (c.mode == 4) return static_cast<int>(ch);
  return c.monoChannel == 1 ? 0 : c.monoChannel == 3 ? 2 : 1;
}

uint32_t Channels(const Case& c) { return c.mode == 4 ? 3 : 1; }

// Tone: every sample within the chart values under its widened footprint,
// give or take kSampleTolerance levels, and the samples within
// kMeanTolerance levels of the chart's footprint averages on average.
void ExpectChartTone(const Case& c, const Scan& scan) {
  ChartReference chart;
  ASSERT_EQ(scan.bytes.size(), static_cast<size_t>(scan.status.totalBytes));
  const uint32_t channels = Channels(c);
  const uint32_t pixels = scan.status.bytesPerLine * 8 / c.bits;
  uint64_t outside = 0, samples = 0;
  double absolute = 0;
  std::string first;
  for (uint32_t k = 0; k < scan.status.lineCount; ++k) {
    for (uint32_t i = 0; i < pixels; ++i) {
      for (uint32_t ch = 0; ch < channels; ++ch) {
        const Footprint f = Under(chart, c, i, k, ChartChannel(c, ch));
        const int value = Level(c, scan, i, k, ch);
        bool ok;
        if (c.bits == 1) {
          ok = !(f.lo >= 128 + kSampleTolerance && value == 0) && !(f.hi < 128 - kSampleTolerance && value == 255);
        } else {
          ok = value >= f.lo - kSampleTolerance && value <= f.hi + kSampleTolerance;
          absolute += std::abs(value - f.mean);
        }
        ++samples;
        if (!ok && outside++ == 0)
          first = "pixel " + std::to_string(i) + " line " + std::to_string(k) + " channel " + std::to_string(ch) +
                  ": " + std::to_string(value) + " outside " + std::to_string(f.lo) + ".." + std::to_string(f.hi);
      }
    }
  }
  EXPECT_EQ(outside, 0u) << outside << " of " << samples << " samples off the chart; first " << first;
  if (c.bits != 1) {
    EXPECT_LE(absolute / static_cast<double>(samples), kMeanTolerance);
  }
}

// The chart value at the centre of output pixel (i, k).
int ChartAt(ChartReference& chart, const Case& c, int i, int k, int channel) {
  const int x = c.left + static_cast<int>((i + 0.5) * 600.0 / c.xResolution);
  const int y = c.top + static_cast<int>((k + 0.5) * 600.0 / c.yResolution);
  return chart.Value(x, y, channel);
}

// Whether a one-bit scan can show the step between chart values a and b:
// one side clearly below its threshold of 128 and the other clearly above.
// Every step shows at other depths.
bool Visible(const Case& c, int a, int b) {
  if (c.bits != 1) return true;
  return std::min(a, b) < 128 - kSampleTolerance && std::max(a, b) >= 128 + kSampleTolerance;
}

// Whether a one-bit scan of chart value v is settled (clearly away from
// the threshold), so that it does not flip between neighbouring pixels.
bool Settled(const Case& c, int v) { return c.bits != 1 || std::abs(v - 128) >= kSampleTolerance; }

// Geometry, judged where the chart has edges and so independent of the
// scanner's tone: wherever the chart steps by kEdge levels or more between
// two neighbouring output pixels (across or down), the scan steps the same
// way by at least kEdgeSeen levels within one pixel of that place; and
// where the chart is flat under two neighbouring pixels and one pixel
// around them, the scan does not step by kEdge between them. A pixel of any
// channel out of place by two or more, a swapped channel or a torn line
// breaks this.
void ExpectChartInPlace(const Case& c, const Scan& scan) {
  constexpr int kEdge = 100;
  constexpr int kEdgeSeen = 25;
  ChartReference chart;
  ASSERT_EQ(scan.bytes.size(), static_cast<size_t>(scan.status.totalBytes));
  const int channels = static_cast<int>(Channels(c));
  const int pixels = static_cast<int>(scan.status.bytesPerLine * 8 / c.bits);
  const int lines = static_cast<int>(scan.status.lineCount);
  auto level = [&](int i, int k, int ch) {
    i = std::clamp(i, 0, pixels - 1);
    k = std::clamp(k, 0, lines - 1);
    return Level(c, scan, static_cast<uint32_t>(i), static_cast<uint32_t>(k), static_cast<uint32_t>(ch));
  };
  // The chart at the pixel centres, with a margin of two pixels.
  constexpr int kMargin = 2;
  const int gridWidth = pixels + 2 * kMargin, gridHeight = lines + 2 * kMargin;
  std::vector<std::vector<int>> centres(channels, std::vector<int>(static_cast<size_t>(gridWidth) * gridHeight));
  for (int ch = 0; ch < channels; ++ch)
    for (int k = -kMargin; k < lines + kMargin; ++k)
      for (int i = -kMargin; i < pixels + kMargin; ++i)
        centres[ch][static_cast<size_t>(k + kMargin) * gridWidth + (i + kMargin)] =
            ChartAt(chart, c, i, k, ChartChannel(c, static_cast<uint32_t>(ch)));
  auto centre = [&](int i, int k, int ch) {
    return centres[ch][static_cast<size_t>(k + kMargin) * gridWidth + (i + kMargin)];
  };
  uint64_t edges = 0, missed = 0, spurious = 0;
  std::string first;
  for (int k = 0; k < lines; ++k)
    for (int i = 0; i < pixels; ++i)
      for (int ch = 0; ch < channels; ++ch) {
        const int channel = ChartChannel(c, static_cast<uint32_t>(ch));
        for (const auto& [di, dk] : {std::pair{1, 0}, std::pair{0, 1}}) {
          if (i + di >= pixels || k + dk >= lines) continue;
          const int step = centre(i + di, k + dk, ch) - centre(i, k, ch);
          // The scan's step across the place, one pixel wider on each side.
          const int seen = level(i + 2 * di, k + 2 * dk, ch) - level(i - di, k - dk, ch);
          // An edge near a corner of the chart may lie one pixel across too.
          bool straight = true;
          for (int q = -1; q <= 1 && straight; q += 2)
            straight = centre(i + q * dk, k + q * di, ch) == centre(i, k, ch) &&
                       centre(i + di + q * dk, k + dk + q * di, ch) == centre(i + di, k + dk, ch);
          if (std::abs(step) >= kEdge && straight && Visible(c, centre(i, k, ch), centre(i + di, k + dk, ch))) {
            ++edges;
            if (seen * step <= 0 || std::abs(seen) < kEdgeSeen) {
              if (missed++ == 0)
                first = "edge at pixel " + std::to_string(i) + " line " + std::to_string(k) + " channel " +
                        std::to_string(ch) + ": chart steps " + std::to_string(step) + ", scan " + std::to_string(seen);
            }
            continue;
          }
          const int local = level(i + di, k + dk, ch) - level(i, k, ch);
          if (std::abs(local) < kEdge) continue;
          // Flat: one chart value under both pixels' widened footprints.
          const Footprint here = Under(chart, c, static_cast<uint32_t>(i), static_cast<uint32_t>(k), channel);
          const Footprint next = Under(chart, c, static_cast<uint32_t>(i + di), static_cast<uint32_t>(k + dk), channel);
          const bool flat = here.lo == here.hi && next.lo == next.hi && here.lo == next.lo && Settled(c, here.lo);
          if (flat && spurious++ == 0 && first.empty())
            first = "step at pixel " + std::to_string(i) + " line " + std::to_string(k) + " channel " +
                    std::to_string(ch) + " where the chart is flat: " + std::to_string(local);
        }
      }
  EXPECT_GT(edges, 0u) << "the area must show edges of the chart";
  EXPECT_EQ(missed, 0u) << missed << " of " << edges << " chart edges not in place; first " << first;
  EXPECT_EQ(spurious, 0u) << spurious << " steps where the chart is flat; first " << first;
}

template <size_t N>
void EndToEnd::ScanAllInPlace(const Case (&cases)[N], bool forceSynchronous) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Scan scan = Run(c, forceSynchronous);
    if (forceSynchronous) {
      EXPECT_FALSE(scan.threaded);
    }
    ExpectChartInPlace(c, scan);
  }
}

}  // namespace

// Colour at every resolution class across (75 to 600, and 100 and 500 dpi,
// which drop sensor columns) and down (150 to 1200 lines per inch, and 200,
// which drops raw lines), in 24 and 48 bits; areas that the driver widens
// (and cuts), moves left at the right edge of the bed, or extends upwards
// in the bottom zone. The areas stay on the chart and clear of the
// reference mark at the corner of the glass.
TEST_F(EndToEnd, ColourScansMatchTheChart) {
  const Case cases[] = {
      // name, mode, bits, x dpi, y dpi, left, top, width, height
      {"75 x 150, widened to 5 inches", 4, 24, 75, 150, 300, 400, 1200, 600},
      {"150 x 300", 4, 24, 150, 300, 400, 500, 3000, 400},
      {"200 x 200 (raw lines dropped)", 4, 24, 200, 200, 300, 560, 1800, 450},
      {"300 x 300, one inch, widened and cut", 4, 24, 300, 300, 600, 600, 600, 600},
      {"400 x 450", 4, 24, 400, 450, 2000, 4400, 1800, 300},
      {"600 x 600", 4, 24, 600, 600, 900, 1000, 1800, 240},
      {"600 x 1200", 4, 24, 600, 1200, 3200, 4400, 1800, 160},
      {"100 x 300 (sensor columns dropped)", 4, 24, 100, 300, 300, 600, 3000, 300},
      {"500 x 300 (sensor columns dropped)", 4, 24, 500, 300, 300, 600, 1800, 200},
      {"moved left at the right edge", 4, 24, 300, 300, 4400, 200, 600, 300},
      {"bottom zone, extended upwards", 4, 24, 300, 300, 200, 5700, 1800, 300},
      {"48 bit, 300 x 300", 4, 48, 300, 300, 600, 700, 1800, 400},
      {"48 bit, widened", 4, 48, 150, 150, 600, 4400, 900, 300},
  };
  ScanAllInPlace(cases);
}

TEST_F(EndToEnd, ColourToneMatchesTheChartAt300Dpi) {
  const Case c{"300 x 300 colour, grey ramp and colour patches", 4, 24, 300, 300, 600, 600, 600, 600};
  const Scan scan = Run(c);
  ExpectChartTone(c, scan);
}

// The same scans read without a reader thread (the platform refuses to
// create it): the line sources read the device themselves.
TEST_F(EndToEnd, ScansWithoutAThreadMatchTheChart) {
  const Case cases[] = {
      {"300 x 300 colour", 4, 24, 300, 300, 600, 600, 600, 600},
      {"600 x 600 colour, raw data larger than the ring", 4, 24, 600, 600, 600, 700, 3000, 600},
      {"bottom zone", 4, 24, 300, 300, 200, 5700, 1800, 300},
  };
  ScanAllInPlace(cases, /*forceSynchronous=*/true);
}

// One-channel scans: grey 8 and 16 bit and one bit, in each of the three
// channels the record can choose (monoChannel 1, 2 or 0, 3, and 4 upwards,
// which scans the middle channel), across and down at several resolutions.
// Every area holds edges of the chart in both directions.
TEST_F(EndToEnd, OneChannelScansMatchTheChart) {
  const Case cases[] = {
      // name, mode, bits, x dpi, y dpi, left, top, width, height, monoChannel
      {"grey 8, 300 x 300", 2, 8, 300, 300, 600, 600, 1800, 600},
      {"grey 8, 150 x 600, channel 1", 3, 8, 150, 600, 600, 600, 3000, 400, 1},
      {"grey 8, 600 x 600, channel 3", 2, 8, 600, 600, 3200, 4400, 1800, 200, 3},
      {"grey 8, 75 x 150, channel 0", 3, 8, 75, 150, 300, 400, 1200, 600, 0},
      {"grey 8, 400 x 1200, channel 4", 2, 8, 400, 1200, 2000, 4400, 1800, 160, 4},
      {"grey 16, 300 x 300", 3, 16, 300, 300, 600, 600, 1800, 400},
      {"one bit, 300 x 300", 0, 1, 300, 300, 600, 4300, 1200, 600},
      {"one bit, 400 x 300", 1, 1, 400, 300, 4300, 100, 600, 300},
  };
  ScanAllInPlace(cases);
}

// The tone of one-channel scans: each channel through its own front-end
// codes, shading tables and gamma table, at 300 dpi and in the classes that
// average (75) or do not average (600) sensor columns.
TEST_F(EndToEnd, OneChannelToneMatchesTheChart) {
  const Case cases[] = {
      {"grey 300 x 300, channel 2", 2, 8, 300, 300, 600, 600, 3000, 1600, 2},
      {"grey 300 x 300, channel 1", 3, 8, 300, 300, 600, 600, 3000, 1600, 1},
      {"grey 300 x 300, channel 3", 2, 8, 300, 300, 600, 600, 3000, 1600, 3},
      {"grey 600 x 600, channel 3", 3, 8, 600, 600, 600, 1000, 1800, 400, 3},
      {"grey 75 x 150, channel 1", 2, 8, 75, 150, 300, 400, 4000, 1800, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectChartTone(c, Run(c));
  }
}

// One-bit scans at 500 dpi: sensor columns are dropped bit by bit, and the
// output line (a whole number of bytes) is narrower than the area asked
// for, by its rounding to bytes and, for narrow areas, than the device
// area widened to the minimum width. At 600 dpi nothing is dropped.
TEST_F(EndToEnd, BitWiseOneChannelScansMatchTheChart) {
  const Case cases[] = {
      {"one bit, 500 x 300, widened and moved left", 1, 1, 500, 300, 4300, 100, 600, 300},
      {"one bit, 500 x 300, widened", 0, 1, 500, 300, 1000, 4300, 900, 300},
      {"one bit, 500 x 600, wide", 0, 1, 500, 600, 600, 4300, 3000, 300},
      {"one bit, 600 x 600, wide, across the grey steps", 1, 1, 600, 600, 600, 4300, 3000, 300},
  };
  ScanAllInPlace(cases);
}

// Mode 5 reads the one-channel line like grey scans and lines up with them.
TEST_F(EndToEnd, ModeFiveScansMatchTheChart) {
  const Case cases[] = {
      {"mode 5, 8 bit, 100 x 300", 5, 8, 100, 300, 600, 600, 3000, 400},
      {"mode 5, 16 bit, 300 x 300", 5, 16, 300, 300, 600, 600, 1800, 400},
  };
  ScanAllInPlace(cases);
}
