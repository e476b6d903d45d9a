// Tone statistics: the analysed area, percentiles and the peak test, mean and
// highlight densities, the target blend and the exposure factors.

#include <gtest/gtest.h>

#include <cstring>

#include "tone_image.h"
#include "tone_statistics.h"
#include "tone_tables.h"
#include "tonefx_state.h"

namespace {

using tonefx::toneCall;
using tonefx::toneStats;
using namespace tonefx_test;

// Sets up a call on hand-made histograms for the step functions.
class ToneStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tonefx::BuildToneTables();
    std::memset(&toneStats, 0, sizeof toneStats);
    toneCall.colour = true;
    toneCall.negative = false;
    toneCall.saturationCheck = true;
  }
  uint16_t* Histogram(uint32_t c) { return toneStats.channelHistogram[c]; }
};

// ---------------------------------------------------------------------------
// The analysed area: the central 80 % of width and height.

struct AreaCase {
  uint32_t width, height;
  uint32_t top, left, rows, columns;
};

class AnalysedAreaTest : public ::testing::TestWithParam<AreaCase> {};

TEST_P(AnalysedAreaTest, CountsExactlyTheCentralPixels) {
  const AreaCase& a = GetParam();
  for (const uint16_t spp : {uint16_t{1}, uint16_t{3}}) {
    // Pixels inside the area are (10, 20, 30), outside (200, 201, 202);
    // padding bytes after each line are 0xEE and must not be counted.
    ToneImage image = MakeImage(
        a.width, a.height, spp, false,
        [&](uint32_t x, uint32_t y, uint8_t* s) {
          const bool inside = y >= a.top && y < a.top + a.rows && x >= a.left && x < a.left + a.columns;
          s[0] = inside ? 10 : 200;
          s[1] = inside ? 20 : 201;
          s[2] = inside ? 30 : 202;
        },
        5);
    ASSERT_EQ(image.Run(), 0u);
    const uint32_t n = a.rows * a.columns;
    EXPECT_EQ(toneStats.analysedCount, n) << "spp " << spp;
    EXPECT_EQ(toneStats.channelHistogram[1][20], n);
    EXPECT_EQ(toneStats.channelHistogram[1][201], 0u);
    EXPECT_EQ(toneStats.channelHistogram[1][0xEE], 0u);
    if (spp == 3) {
      EXPECT_EQ(toneStats.channelHistogram[0][10], n);
      EXPECT_EQ(toneStats.channelHistogram[2][30], n);
      EXPECT_EQ(toneStats.channelHistogram[0][200] + toneStats.channelHistogram[2][202], 0u);
    } else {
      EXPECT_EQ(toneStats.channelHistogram[0][10] + toneStats.channelHistogram[2][30], 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AnalysedAreaTest,
                         ::testing::Values(AreaCase{10, 10, 1, 1, 8, 8},  // rows and columns 1-8
                                           AreaCase{4, 4, 0, 0, 3, 3},    // (4 - 3) / 2 = 0
                                           AreaCase{7, 3, 0, 1, 2, 5},    // 5.6 and 2.4 truncate
                                           AreaCase{125, 31, 3, 12, 24, 100}));

// More than 65535 analysed pixels at one level wrap that level's counter:
// a 256 x 256 area of one level leaves the histogram empty, and the
// percentiles fall back to the full range.
TEST(ToneStatisticsTest, UniformAreaOf65536PixelsWrapsToAnEmptyHistogram) {
  ToneImage image = MakeImage(320, 320, 1, false, Uniform(0, 100, 0));
  ASSERT_EQ(image.Run(), 0u);
  EXPECT_EQ(toneStats.analysedCount, 65536u);
  EXPECT_EQ(toneStats.channelHistogram[1][100], 0);
  EXPECT_EQ(toneStats.B[1], 0);
  EXPECT_EQ(toneStats.meanCount[1], 0u);
}

// ---------------------------------------------------------------------------
// Percentiles and the peak test.

TEST_F(ToneStepTest, PercentilesSkipAtMostOneThousandthFromEachEnd) {
  struct Case {
    uint32_t analysed;
    uint16_t lowCount;   // pixels at level 5
    uint16_t highCount;  // pixels at level 250
    uint16_t B, W;
  };
  const Case cases[] = {
      {999, 1, 1, 5, 250},        // fewer than 1000: threshold 0, the extremes count
      {10000, 10, 10, 40, 200},   // threshold 10: 10 pixels do not exceed it
      {10000, 11, 11, 5, 250},    // 11 do
      {10000, 11, 10, 5, 200},
  };
  for (const Case& k : cases) {
    std::memset(toneStats.channelHistogram, 0, sizeof toneStats.channelHistogram);
    toneStats.analysedCount = k.analysed;
    uint16_t* h = Histogram(0);
    h[5] = k.lowCount;
    h[250] = k.highCount;
    h[40] = 100;
    h[200] = 100;
    h[120] = static_cast<uint16_t>(k.analysed - k.lowCount - k.highCount - 200);
    tonefx::FindPercentiles(0);
    EXPECT_EQ(toneStats.B[0], k.B) << "analysed " << k.analysed << " low " << k.lowCount;
    EXPECT_EQ(toneStats.W[0], k.W) << "analysed " << k.analysed << " high " << k.highCount;
  }
}

TEST_F(ToneStepTest, EmptyHistogramGivesTheFullRangeAndUsesTheMean) {
  toneStats.analysedCount = 0;
  tonefx::FindPercentiles(1);
  EXPECT_EQ(toneStats.B[1], 0);
  EXPECT_EQ(toneStats.W[1], 255);
  EXPECT_EQ(toneStats.useMean[1], 1);
}

// useMean is 0 only for a peak above the mean level, a range wider than 85
// levels and no level from B up to the mean holding more than half the peak.
TEST_F(ToneStepTest, PeakTest) {
  struct Case {
    const char* name;
    uint16_t peakLevel, peakCount;
    uint16_t spreadFrom, spreadTo, spreadCount;  // every level in [from, to]
    uint16_t extraLevel, extraCount;
    uint8_t useMean;
  };
  const Case cases[] = {
      {"bright peak over a wide spread", 180, 4000, 20, 199, 30, 0, 0, 0},
      {"peak below the mean", 30, 4000, 20, 250, 30, 0, 0, 1},
      {"range of 85 levels", 180, 4000, 100, 185, 30, 0, 0, 1},
      {"range of 86 levels", 180, 4000, 100, 186, 30, 0, 0, 0},
      {"half peak below the mean", 180, 4000, 20, 199, 30, 60, 2001, 1},
      {"exactly half the peak", 180, 4000, 20, 199, 30, 60, 2000, 0},
  };
  for (const Case& k : cases) {
    std::memset(toneStats.channelHistogram, 0, sizeof toneStats.channelHistogram);
    uint16_t* h = Histogram(2);
    uint32_t total = 0;
    for (uint32_t i = k.spreadFrom; i <= k.spreadTo; ++i) h[i] = k.spreadCount;
    total += (k.spreadTo - k.spreadFrom + 1u) * k.spreadCount;
    h[k.peakLevel] = k.peakCount;
    total += k.peakCount - k.spreadCount;
    if (k.extraCount != 0) {
      total += k.extraCount - h[k.extraLevel];
      h[k.extraLevel] = k.extraCount;
    }
    toneStats.analysedCount = total;
    tonefx::FindPercentiles(2);
    EXPECT_EQ(toneStats.useMean[2], k.useMean) << k.name;
  }
}

// ---------------------------------------------------------------------------
// Mean and highlight densities.

TEST_F(ToneStepTest, PositiveMeanAndHighlightDensity) {
  uint16_t* h = Histogram(1);
  h[128] = 500;  // density code 38
  h[255] = 500;  // density code 0
  tonefx::MeanDensity(1);
  EXPECT_EQ(toneStats.meanCount[1], 1000u);
  EXPECT_EQ(toneStats.meanDensity[1], 19);
  // The highlight is the first level from 255 down at which the count
  // exceeds u = 1 % of n.
  const struct {
    uint16_t at255;
    uint16_t highlight;
  } cases[] = {{500, 0}, {6, 0}, {5, 38}};  // n 1000 / 506 / 505: u 10 / 5 / 5
  for (const auto& k : cases) {
    h[255] = k.at255;
    tonefx::MeanDensity(1);
    tonefx::HighlightDensity(1);
    EXPECT_EQ(toneStats.highlightDensity[1], k.highlight) << k.at255 << " pixels at 255";
  }
  // An empty histogram never passes u: code 255.
  h[255] = h[128] = 0;
  tonefx::MeanDensity(1);
  tonefx::HighlightDensity(1);
  EXPECT_EQ(toneStats.meanDensity[1], 0);
  EXPECT_EQ(toneStats.highlightDensity[1], 255);
}

TEST_F(ToneStepTest, NegativeMeanDensitySpreadsCountsOverTheCodesOfALevel) {
  toneCall.negative = true;
  uint16_t* h = Histogram(0);
  // Level 3 covers codes 246 .. 254 (levels 2 and 3 have codes 255 and 246):
  // 90 pixels spread as 10 per code, mean (246 + ... + 254) / 9 = 250.
  h[3] = 90;
  // Levels 1 and 2 share code 255 with level 0: their counts are still
  // carried when the walk ends and are left out; level 0 is never read.
  h[0] = 7000;
  h[1] = 1000;
  h[2] = 1000;
  tonefx::MeanDensity(0);
  EXPECT_EQ(toneStats.meanCount[0], 90u);
  EXPECT_EQ(toneStats.meanDensity[0], 250);
  // Levels 251 .. 255 all have code 0 and are spread together over the
  // codes 0 of level 250's step down: they add to n but not to the sum.
  h[255] = 90;
  tonefx::MeanDensity(0);
  EXPECT_EQ(toneStats.meanCount[0], 180u);
  EXPECT_EQ(toneStats.meanDensity[0], 125);
}

TEST_F(ToneStepTest, NegativeHighlightDensityWalksUpFromTheDensestFilm) {
  toneCall.negative = true;
  uint16_t* h = Histogram(1);
  h[3] = 90;    // codes 246 .. 254
  h[64] = 900;  // code 76
  toneStats.meanCount[1] = 990;  // u = 9
  // Level 0 .. 2 carry nothing; at level 2 the 0 pixels are spread over
  // 255 .. 247, at level 3 the 90 pixels go 90 / (246 - 230) = 5 per code
  // from 246 down: the sum passes 9 at the second code, 245.
  tonefx::HighlightDensity(1);
  EXPECT_EQ(toneStats.highlightDensity[1], 245);
  // Fewer pixels than the threshold: the walk ends with 0.
  h[64] = 0;
  h[3] = 0;
  h[5] = 1;
  toneStats.meanCount[1] = 500;
  tonefx::HighlightDensity(1);
  EXPECT_EQ(toneStats.highlightDensity[1], 0);
}

// ---------------------------------------------------------------------------
// Target densities: the blend weight k of the mean density in a negative.

struct TargetCase {
  const char* name;
  bool colour;
  uint16_t highlight[3];
  uint16_t mean[3];
  uint8_t useMean[3];
  uint16_t target[3];
};

class TargetDensityTest : public ToneStepTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(TargetDensityTest, BlendsHighlightAndMean) {
  const TargetCase& k = GetParam();
  toneCall.negative = true;
  toneCall.colour = k.colour;
  for (uint32_t c = 0; c < 3; ++c) {
    toneStats.highlightDensity[c] = k.highlight[c];
    toneStats.meanDensity[c] = k.mean[c];
    toneStats.useMean[c] = k.useMean[c];
  }
  tonefx::TargetDensity();
  for (uint32_t c = tonefx::FirstChannel(); c < tonefx::EndChannel(); ++c) {
    EXPECT_EQ(toneStats.target[c], k.target[c]) << k.name << " channel " << c;
  }
}

// Highlights 91, 88, 87 are h = 50 after the base offsets 41, 38, 37.
INSTANTIATE_TEST_SUITE_P(
    Cases, TargetDensityTest,
    ::testing::Values(
        TargetCase{"channels agree: k 64", true, {91, 88, 87}, {200, 200, 200}, {1, 1, 1}, {87, 87, 87}},
        TargetCase{"means spread 13: k 60", true, {91, 88, 87}, {200, 230, 180}, {0, 1, 0}, {85, 92, 80}},
        TargetCase{"highlights spread 20: k 128", true, {91, 108, 97}, {200, 200, 200}, {1, 1, 1}, {125, 135, 130}},
        TargetCase{"both spread, sH < sD: k 44", true, {91, 108, 97}, {100, 150, 130}, {1, 1, 1}, {58, 84, 72}},
        TargetCase{"both spread, sH >= sD: k 184 held at 160", true, {91, 118, 97}, {100, 130, 110}, {1, 1, 1},
                   {81, 111, 91}},
        TargetCase{"means spread 50: k negative, held at 0", true, {91, 88, 87}, {100, 200, 150}, {1, 1, 1},
                   {50, 50, 50}},
        TargetCase{"no channel passes the peak test: k 0", true, {91, 88, 87}, {200, 200, 200}, {0, 0, 0},
                   {50, 50, 50}},
        TargetCase{"highlight at the base offset: h 0, no spread", true, {30, 88, 87}, {200, 200, 200}, {1, 1, 1},
                   {50, 87, 87}},
        TargetCase{"grey using the mean: k 64", false, {0, 88, 0}, {0, 200, 0}, {0, 1, 0}, {0, 87, 0}},
        TargetCase{"grey not using the mean: k 0", false, {0, 88, 0}, {0, 200, 0}, {1, 0, 1}, {0, 50, 0}}));

TEST_F(ToneStepTest, PositiveTarget) {
  toneCall.colour = false;
  toneStats.highlightDensity[1] = 17;
  toneStats.meanDensity[1] = 17;
  tonefx::TargetDensity();
  EXPECT_EQ(toneStats.target[1], 89);  // 32 x (7 x 99 + 17) / 255
}

// ---------------------------------------------------------------------------
// Exposure factors.

TEST_F(ToneStepTest, NegativeFactorsAreRelativeToEachChannelsReference) {
  toneCall.negative = true;
  const struct {
    uint16_t target[3];
    uint16_t A[3];
  } cases[] = {
      {{130, 122, 117}, {255, 255, 255}},
      {{255, 255, 255}, {2444, 2827, 3096}},  // 255 x 2550 / 266, / 230, / 210
      {{300, 999, 256}, {2444, 2827, 3096}},  // targets above 255 are held at 255
      {{0, 0, 0}, {23, 27, 30}},
  };
  for (const auto& k : cases) {
    std::memcpy(toneStats.target, k.target, sizeof k.target);
    tonefx::ExposureFactors();
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(toneStats.A[c], k.A[c]) << "target " << k.target[c];
  }
}

TEST_F(ToneStepTest, PositiveColourGetsOneFactorLimitedByTheBrightestChannel) {
  const struct {
    uint16_t target[3];
    uint16_t W[3];
    uint16_t A;
  } cases[] = {
      {{89, 89, 89}, {255, 255, 255}, 255},
      {{129, 129, 124}, {91, 91, 98}, 510},    // (526 + 526 + 479) / 3
      {{190, 190, 190}, {200, 30, 30}, 325},   // 65025 / 200
      {{190, 190, 190}, {0, 0, 0}, 1582},      // W 0 counts as 1
  };
  for (const auto& k : cases) {
    std::memcpy(toneStats.target, k.target, sizeof k.target);
    std::memcpy(toneStats.W, k.W, sizeof k.W);
    tonefx::ExposureFactors();
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(toneStats.A[c], k.A) << "W " << k.W[0] << " target " << k.target[0];
  }
  // A grey positive has no such limit.
  toneCall.colour = false;
  toneStats.target[1] = 190;
  toneStats.W[1] = 200;
  tonefx::ExposureFactors();
  EXPECT_EQ(toneStats.A[1], 1582);
}

// ---------------------------------------------------------------------------
// From image to factor: uniform images of known density.

TEST(ToneStatisticsTest, ImagesGiveTheirExposureFactors) {
  struct Case {
    const char* name;
    uint16_t spp;
    uint8_t level[3];
    uint16_t A;
  } cases[] = {
      // Levels 185 .. 187 have density code 17: target 89, A 255.
      {"grey level 186", 1, {0, 186, 0}, 255},
      {"colour level 185 .. 187", 3, {185, 186, 187}, 255},
      // Codes 57, 57, 52: targets 129, 129, 124, factors 526, 526, 479.
      {"colour 91, 91, 98", 3, {91, 91, 98}, 510},
      // Code 55: target 127, factor 255 x 252 / 127.
      {"grey level 93", 1, {0, 93, 0}, 505},
      // Dark level 30 (target 190) with 20 of 10000 pixels at 200: the
      // colour factor stops at 65025 / 200.
      {"dark colour, highlights at 200", 3, {30, 30, 30}, 325},
      {"dark grey, highlights at 200", 1, {0, 30, 0}, 1582},
  };
  for (const Case& k : cases) {
    const bool highlights = k.level[1] == 30;
    ToneImage image = MakeImage(125, 125, k.spp, false, [&](uint32_t x, uint32_t y, uint8_t* s) {
      const bool bright = highlights && y == 62 && x >= 40 && x < 60;
      for (uint32_t c = 0; c < 3; ++c) s[c] = bright ? 200 : k.level[c];
    });
    ASSERT_EQ(image.Run(), 0u) << k.name;
    EXPECT_EQ(toneStats.A[1], k.A) << k.name;
    if (k.spp == 3) {
      EXPECT_EQ(toneStats.A[0], k.A) << k.name;
      EXPECT_EQ(toneStats.A[2], k.A) << k.name;
    }
  }
}

}  // namespace
