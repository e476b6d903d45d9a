// Acceptance of the driver on the virtual scanner, through the exports, on
// the virtual clock: a cold power-on finds the origin the documented layout
// implies, and a calibrated 300-dpi colour scan of the built-in test chart
// matches the chart (tone, column stripes, colour registration of an edge,
// registration crosses). An uncalibrated scan of the same patch shows the
// stripes, so the stripe check is shown to fail where it should.
//
// Coordinates: a scan area is given in chart pixels (1/600 inch, the chart's
// top-left corner on the glass origin). At 300 dpi output pixel i of line k
// covers chart columns left + 2i and left + 2i + 1 and sees chart row
// top + 2k: the sensor averages the two sensor pixels under an output pixel,
// and every line is a point sample of the bed at the carriage position where
// it starts (docs/virtual-scanner.md, "Sensor and front end").
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "controller/motion.h"
#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/driver.h"
#include "interface/shared_state.h"
#include "layout.h"
#include "platform.h"
#include "scan/scan_start.h"
#include "scene.h"
#include "tq5/tq5drv.h"
#include "virtual_scanner.h"
#include "virtual_scanner_fixture.h"

namespace {

using tq5sim::TestChart;

constexpr int kDpi = 300;
constexpr int kScale = 600 / kDpi;  // chart pixels per output pixel, both ways

// What "matches the chart" allows.
constexpr double kMaxMeanAbsoluteError = 2.0;  // levels, per channel
constexpr double kMaxStripe = 0.5;             // levels between column means of a uniform patch
constexpr double kMaxMarkOffset = 1.0;         // output pixels

// A scan area in chart pixels.
struct Area {
  int left, top, width, height;
};

// An 8-bit RGB image, pixel-interleaved, lines top down.
struct Rgb {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bytes;
  int At(int x, int y, int c) const { return bytes[(static_cast<size_t>(y) * width + x) * 3 + c]; }
};

// The ideal output of a calibrated scan of `area`: the scanner averages the
// light (not the chart values) of the two sensor pixels under an output
// pixel, and a calibrated scan through the driver's flatbed correction maps
// the light of chart value v back to v. So the reference of an output pixel
// is the chart value whose light is nearest the mean light of its two chart
// pixels, in the sensor's own tone response at 300 dpi. On uniform areas it
// is the chart value itself.
Rgb RenderReference(const Area& area) {
  static_assert(kScale == 2, "the reference pairs two chart pixels per output pixel");
  const tq5sim::LightTables tables = tq5sim::LightTables::Make(/*highResolution=*/false);
  // The output value of every pair of chart values, per channel.
  std::vector<uint8_t> pairs(3 * 256 * 256);
  for (int c = 0; c < 3; ++c) {
    const auto& light = tables.reflect[c];
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) {
        const double mean = (light[a] + light[b]) / 2.0;
        int best = 0;
        for (int v = 1; v < 256; ++v)
          if (std::abs(light[v] - mean) < std::abs(light[best] - mean)) best = v;
        pairs[(static_cast<size_t>(c) * 256 + a) * 256 + b] = static_cast<uint8_t>(best);
      }
  }
  TestChart chart;
  Rgb ref;
  ref.width = area.width / kScale;
  ref.height = area.height / kScale;
  ref.bytes.resize(static_cast<size_t>(ref.width) * ref.height * 3);
  std::vector<uint8_t> row(static_cast<size_t>(TestChart::kWidth) * 3);
  for (int k = 0; k < ref.height; ++k) {
    chart.Row(area.top + kScale * k, row.data());
    for (int i = 0; i < ref.width; ++i)
      for (int c = 0; c < 3; ++c) {
        const size_t x = static_cast<size_t>(area.left) + kScale * i;
        ref.bytes[(static_cast<size_t>(k) * ref.width + i) * 3 + c] =
            pairs[(static_cast<size_t>(c) * 256 + row[x * 3 + c]) * 256 + row[(x + 1) * 3 + c]];
      }
  }
  return ref;
}

// Column stripes: the spread (max - min) of the column means of one channel
// over a rectangle of the image.
double StripeMetric(const Rgb& image, int x0, int y0, int x1, int y1, int c) {
  double lo = 1e9, hi = -1e9;
  for (int x = x0; x < x1; ++x) {
    double sum = 0;
    for (int y = y0; y < y1; ++y) sum += image.At(x, y, c);
    const double mean = sum / (y1 - y0);
    lo = std::min(lo, mean);
    hi = std::max(hi, mean);
  }
  return hi - lo;
}

// The centroid of the darkness (200 - level where below 200) of channel c in
// a window, in output pixel coordinates.
std::array<double, 2> DarkCentroid(const Rgb& image, int x0, int y0, int x1, int y1, int c) {
  double sw = 0, sx = 0, sy = 0;
  for (int y = std::max(0, y0); y < std::min(image.height, y1); ++y)
    for (int x = std::max(0, x0); x < std::min(image.width, x1); ++x) {
      const double w = std::max(0, 200 - image.At(x, y, c));
      sw += w, sx += w * x, sy += w * y;
    }
  if (sw == 0) return {-1e9, -1e9};
  return {sx / sw, sy / sw};
}

// A cold power-on: the scanner starts without its initialization marker,
// and SetUp initializes it as a host does while the lamp warms up.
class Acceptance : public tq5test::OnVirtualScanner {
 protected:
  Acceptance() : OnVirtualScanner({.socketStem = "acc"}) {}
  void ScannerStarted() override { ASSERT_FALSE(scanner->State().initMarker); }

  // A 24-bit colour scan of `area` at 300 dpi. Calibrated: through
  // StartScan, which calibrates before every scan. Uncalibrated: the same
  // start without the calibration (BeginScan with calibrate 0), after the
  // carriage is brought to where the calibration leaves it (home, then
  // left home), so the image lies where a calibrated one does. The
  // geometry of SetScanParameter leaves register 0x42 at 0x20 (shading
  // correction off); only the calibration sets its dark and white bits
  // (0x04, 0x02) in the scan register set, so this scan goes out with the
  // controller's shading correction off: the raw sensor with its fixed
  // pattern, through the same gamma (and with the front end at the neutral
  // codes the geometry sets, since its calibration is skipped too).
  Rgb Scan(const Area& area, bool calibrated) {
    Rgb image;
    ScanParameter p = tq5test::ScanRequest({uint16_t{kDpi}, uint16_t{kDpi}, static_cast<uint16_t>(area.left),
                                            static_cast<uint16_t>(area.top), static_cast<uint16_t>(area.width),
                                            static_cast<uint16_t>(area.height), 4, 24});
    tq5test::LoadIdentityGammaTables();
    const int32_t accepted = SetScanParameter(&p);
    EXPECT_EQ(accepted, 1) << "SetScanParameter: " << lastError;
    if (accepted != 1) return image;
    DataStatus status{};
    GetDataStatus(&status);
    // Raw data that fit the ring are read once the reader thread is done;
    // larger scans are read without a thread, so the consumer never waits
    // on the reader in real time.
    const bool threaded = sharedState->rawTotalBytes <= sharedState->ringBufferSize;
    PlatTestFailThreadCreation(!threaded);
    int32_t started = 0;
    if (calibrated) {
      started = StartScan();
    } else {
      EXPECT_EQ(ScanValue(0x42) & 0x06, 0) << "the scan register set already asks for shading correction";
      if (LockDevice(kLockTimeout)) {
        if (GoHome() == kErrNone && LeaveHome() == kErrNone) started = BeginScan(1, 0, 1, 0);
        UnlockDevice();
      }
    }
    PlatTestFailThreadCreation(false);
    EXPECT_EQ(started, 1) << "scan start: " << lastError;
    if (started != 1) return image;
    EXPECT_EQ(scanner->Registers()[0x42] & 0x06, calibrated ? 0x06 : 0x00);
    if (threaded) {
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!ReaderFinished() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_TRUE(ReaderFinished());
    }
    image.width = area.width / kScale;
    image.height = area.height / kScale;
    EXPECT_EQ(status.bytesPerLine, static_cast<uint32_t>(image.width) * 3);
    EXPECT_EQ(status.lineCount, static_cast<uint32_t>(image.height));
    image.bytes.assign(status.totalBytes, 0);
    EXPECT_EQ(ReadScan(0, image.bytes.data(), status.totalBytes), 1) << "ReadScan: " << lastError;
    EXPECT_EQ(StopScan(), 1) << "StopScan: " << lastError;
    if (status.bytesPerLine != static_cast<uint32_t>(image.width) * 3 ||
        status.lineCount != static_cast<uint32_t>(image.height))
      image = Rgb{};
    return image;
  }
};

// The black block and the uniform grey patch beside it, with paper around
// both: top and bottom edges of the block, the patch whole.
constexpr Area kBlockArea{400, 4400, 4300, 1200};
// The uniform grey patch inside kBlockArea, two output pixels in from its
// edges (the two sensor pixels averaged at an edge, and the edge's own
// pixel, are not uniform).
constexpr int kPatchX0 = (TestChart::kGreyX0 - kBlockArea.left) / kScale + 2;
constexpr int kPatchX1 = (TestChart::kGreyX1 - kBlockArea.left) / kScale - 2;
constexpr int kPatchY0 = (TestChart::kGreyY0 - kBlockArea.top) / kScale + 2;
constexpr int kPatchY1 = (TestChart::kGreyY1 - kBlockArea.top) / kScale - 2;

// The whole chart width, in two bands: the top one (the upper
// registration crosses, the grey ramp, the colour patches, the fine lines)
// and the bottom one (the black block, the grey patch, the smooth ramp, the
// lower crosses).
constexpr Area kTopBand{0, 0, TestChart::kWidth, 4400};
constexpr Area kBottomBand{0, 4400, TestChart::kWidth, TestChart::kHeight - 4400};

}  // namespace

// From a cold power-on (SetUp), InitializeScanner succeeds and its
// reference-mark search finds the origin offsets that the layout of the
// reference mark implies.
TEST_F(Acceptance, ColdPowerOnFindsTheDocumentedOrigin) {
  EXPECT_TRUE(scanner->State().initMarker);
  EXPECT_EQ(sharedState->xOriginOffset, tq5sim::layout::kExpectedXOriginOffset);
  EXPECT_EQ(sharedState->yOriginOffset, tq5sim::layout::kExpectedYOriginOffset);
}

// Tone and registration crosses over the whole chart. Excluded: the
// reference mark, printed on the glass over the document's top-left corner
// (sensor pixels 88-367, bed rows 149-164, i.e. chart columns 0-179 and
// rows 5-20): output pixels 0-89 of lines 3-10, taken with one more output
// pixel right of it and below it (pixels 0-90, lines 0-11) for the sensor
// pixels averaged at its edge. Nothing else is excluded: the reference averages light over
// each output pixel as the sensor does, so edges need no margin.
TEST_F(Acceptance, CalibratedColourScanMatchesTheChart) {
  constexpr int kMarkPixels = (tq5sim::layout::kMarkRight - tq5sim::layout::kGlassLeft) / kScale + 1;
  constexpr int kMarkLines =
      (tq5sim::layout::kMarkBottomRow - tq5sim::layout::kGlassTopRow + kScale - 1) / kScale + 1;
  std::array<double, 3> absolute{};
  uint64_t samples = 0;
  for (const Area& area : {kTopBand, kBottomBand}) {
    SCOPED_TRACE("area from chart row " + std::to_string(area.top));
    const Rgb scan = Scan(area, /*calibrated=*/true);
    ASSERT_FALSE(scan.bytes.empty());
    const Rgb ref = RenderReference(area);
    for (int k = 0; k < scan.height; ++k)
      for (int i = 0; i < scan.width; ++i) {
        if (area.top == 0 && area.left == 0 && i < kMarkPixels && k < kMarkLines) continue;
        for (int c = 0; c < 3; ++c) absolute[c] += std::abs(scan.At(i, k, c) - ref.At(i, k, c));
        ++samples;
      }
    // The registration crosses in this area: the centroid of their
    // darkness within 75 output pixels (150 chart pixels, beyond the
    // 120-pixel arms) of the true centre.
    for (const auto& cross : TestChart::kCrosses) {
      if (cross[1] < area.top || cross[1] >= area.top + area.height) continue;
      const double trueX = (cross[0] - area.left) / double{kScale} - 0.5;
      const double trueY = (cross[1] - area.top) / double{kScale} - 0.5;
      const int x = static_cast<int>(trueX), y = static_cast<int>(trueY);
      for (int c = 0; c < 3; ++c) {
        const auto seen = DarkCentroid(scan, x - 75, y - 75, x + 76, y + 76, c);
        std::printf("cross (%d, %d) channel %d: at (%.2f, %.2f), true (%.2f, %.2f)\n", cross[0], cross[1], c,
                    seen[0], seen[1], trueX, trueY);
        EXPECT_NEAR(seen[0], trueX, kMaxMarkOffset) << "cross " << cross[0] << "," << cross[1] << " channel " << c;
        EXPECT_NEAR(seen[1], trueY, kMaxMarkOffset) << "cross " << cross[0] << "," << cross[1] << " channel " << c;
      }
    }
  }
  ASSERT_GT(samples, 0u);
  for (int c = 0; c < 3; ++c) {
    const double mae = absolute[c] / static_cast<double>(samples);
    std::printf("channel %d: mean absolute error %.3f levels over %llu pixels\n", c, mae,
                static_cast<unsigned long long>(samples));
    EXPECT_LE(mae, kMaxMeanAbsoluteError) << "channel " << c;
  }
}

// No column stripes on the uniform grey patch with calibration; clear
// stripes without it (the check can fail). And the three channels of the
// black block's top and bottom edges cross mid-level on the same output
// line, the true one.
TEST_F(Acceptance, ShadingRemovesColumnStripesAndChannelsAreRegistered) {
  const Rgb calibrated = Scan(kBlockArea, /*calibrated=*/true);
  ASSERT_FALSE(calibrated.bytes.empty());
  for (int c = 0; c < 3; ++c) {
    const double stripes = StripeMetric(calibrated, kPatchX0, kPatchY0, kPatchX1, kPatchY1, c);
    std::printf("calibrated channel %d: column means spread %.3f levels\n", c, stripes);
    EXPECT_LE(stripes, kMaxStripe) << "channel " << c;
  }

  // The block's top edge lies on output line 50, its bottom edge after line
  // 549 (point samples of chart rows 4500 and 5498). Per channel and column
  // of the block's interior, the first line at or below mid-level between
  // the paper above and the block (top edge), and the first line back above
  // it (bottom edge); the median over the columns.
  constexpr int kTopEdgeLine = (TestChart::kBlackY0 - kBlockArea.top) / kScale;
  constexpr int kBottomEdgeLine = (TestChart::kBlackY1 - kBlockArea.top) / kScale;
  constexpr int kBlockX0 = (TestChart::kBlackX0 - kBlockArea.left) / kScale + 2;
  constexpr int kBlockX1 = (TestChart::kBlackX1 - kBlockArea.left) / kScale - 2;
  for (int c = 0; c < 3; ++c) {
    std::vector<int> tops, bottoms;
    for (int x = kBlockX0; x < kBlockX1; ++x) {
      const int paper = calibrated.At(x, kTopEdgeLine - 20, c), black = calibrated.At(x, kTopEdgeLine + 20, c);
      const int mid = (paper + black) / 2;
      int top = -1, bottom = -1;
      for (int y = kTopEdgeLine - 10; y < kTopEdgeLine + 10 && top < 0; ++y)
        if (calibrated.At(x, y, c) <= mid) top = y;
      for (int y = kBottomEdgeLine - 10; y < kBottomEdgeLine + 10 && bottom < 0; ++y)
        if (calibrated.At(x, y, c) > mid) bottom = y;
      tops.push_back(top);
      bottoms.push_back(bottom);
    }
    std::nth_element(tops.begin(), tops.begin() + tops.size() / 2, tops.end());
    std::nth_element(bottoms.begin(), bottoms.begin() + bottoms.size() / 2, bottoms.end());
    const int top = tops[tops.size() / 2], bottom = bottoms[bottoms.size() / 2];
    std::printf("channel %d: top edge on line %d (true %d), bottom edge on line %d (true %d)\n", c, top,
                kTopEdgeLine, bottom, kBottomEdgeLine);
    EXPECT_EQ(top, kTopEdgeLine) << "channel " << c;
    EXPECT_EQ(bottom, kBottomEdgeLine) << "channel " << c;
  }

  // Without shading correction the sensor's fixed pattern (pixel
  // sensitivity, lamp fall-off) shows: the patch is neither black nor
  // saturated, and its column means spread far beyond the limit.
  const Rgb raw = Scan(kBlockArea, /*calibrated=*/false);
  ASSERT_FALSE(raw.bytes.empty());
  for (int c = 0; c < 3; ++c) {
    double sum = 0;
    for (int y = kPatchY0; y < kPatchY1; ++y)
      for (int x = kPatchX0; x < kPatchX1; ++x) sum += raw.At(x, y, c);
    const double mean = sum / ((kPatchY1 - kPatchY0) * (kPatchX1 - kPatchX0));
    const double stripes = StripeMetric(raw, kPatchX0, kPatchY0, kPatchX1, kPatchY1, c);
    std::printf("uncalibrated channel %d: patch mean %.1f, column means spread %.3f levels\n", c, mean, stripes);
    EXPECT_GT(mean, 10.0) << "channel " << c;
    EXPECT_LT(mean, 245.0) << "channel " << c;
    EXPECT_GT(stripes, kMaxStripe) << "channel " << c;
  }
}
