// Gains and curves from whole calls: the positive worked cases, grey
// images, negatives with their black and white points, clipped negatives
// and the saturation flags, and the residual-factor failure.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tone_image.h"
#include "tonefx_state.h"

namespace {

using tonefx::toneStats;
using namespace tonefx_test;

// ---------------------------------------------------------------------------
// Positive worked cases. Uniform images of known exposure factor:
// (186, 186, 186) gives A = 255, (91, 91, 98) gives A = 510.

struct Row {
  uint32_t level;
  uint16_t value;
};

struct WorkedCase {
  const char* name;
  uint8_t pixel[3];
  uint16_t gainIn;
  uint16_t A;
  uint16_t gainOut;
  uint16_t R;
  std::function<uint16_t(uint32_t)> prescan;
  std::vector<Row> scanRows;  // telling rows of every channel's scan curve
};

uint16_t NearIdentity(uint32_t i) { return static_cast<uint16_t>(i == 0 ? 0 : i - 1); }
uint16_t Doubling(uint32_t i) { return static_cast<uint16_t>(i == 0 ? 0 : i <= 127 ? 2 * i - 1 : 255); }

std::vector<Row> NearIdentityRows() { return {{0, 0}, {1, 0}, {2, 1}, {128, 127}, {255, 254}}; }

class PositiveWorkedCaseTest : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(PositiveWorkedCaseTest, GainsAndCurves) {
  const WorkedCase& k = GetParam();
  ToneImage image = MakeImage(60, 50, 3, false, Uniform(k.pixel[0], k.pixel[1], k.pixel[2]));
  image.block = DriverBlock(k.gainIn, k.gainIn, k.gainIn);
  ASSERT_EQ(image.Run(), 0u);
  for (uint32_t c = 0; c < 3; ++c) {
    SCOPED_TRACE(testing::Message() << k.name << " channel " << c);
    EXPECT_EQ(toneStats.A[c], k.A);
    EXPECT_EQ(toneStats.R[c], k.R);
    EXPECT_EQ(BlockValue(image.block, 16 + 2 * c), k.gainOut);
    EXPECT_EQ(BlockValue(image.block, 26 + 2 * c), 0x1000);
    for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(image.Prescan(i, c), k.prescan(i)) << "prescan " << i;
    for (const Row& row : k.scanRows) EXPECT_EQ(image.Scan(row.level, c), row.value) << "scan " << row.level;
  }
  // The range limits and the values TONEFX does not use stay as they were.
  const ToneParameterBlock before = DriverBlock(k.gainIn, k.gainIn, k.gainIn);
  for (uint32_t offset : {0u, 2u, 4u, 6u, 8u, 10u, 12u, 14u, 22u, 24u, 32u, 34u, 36u, 38u, 40u}) {
    EXPECT_EQ(BlockValue(image.block, offset), BlockValue(before, offset)) << "offset " << offset;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PositiveWorkedCaseTest,
    ::testing::Values(
        // Gains stay, both passes use F = 255: identity minus one 14-bit step.
        WorkedCase{"A 255", {186, 186, 186}, 0x1000, 255, 0x1000, 255, NearIdentity, NearIdentityRows()},
        // The new gain 2.0 takes the whole change: R 255, the scan curves are
        // the near identity, the prescan is corrected by doubling.
        WorkedCase{"A 510, gain 1.0", {91, 91, 98}, 0x1000, 510, 0x2000, 255, Doubling, NearIdentityRows()},
        // 8.0 x 2 exceeds 9.0: the gain stops at 9.0 and the curves keep
        // r = 16 / 9, R = 453.
        WorkedCase{"A 510, gain 8.0",
                   {91, 91, 98},
                   0x8000,
                   510,
                   0x9000,
                   453,
                   Doubling,
                   {{0, 0}, {1, 1}, {2, 3}, {50, 88}, {100, 177}, {143, 254}, {144, 255}, {255, 255}}},
        // Below the lowest gain: 0.93 and r = (255 / 255 x 0.5) / 0.93.
        WorkedCase{"A 255, gain 0.5",
                   {186, 186, 186},
                   0x0800,
                   255,
                   0x0EE1,
                   137,
                   NearIdentity,
                   {{0, 0}, {1, 0}, {2, 1}, {100, 53}, {200, 107}, {255, 136}}}),
    [](const testing::TestParamInfo<WorkedCase>& info) { return "Case" + std::to_string(info.index); });

// A grey image is channel 1 alone: only its gain, its 1.0 and its prescan
// curve are written; scanCurves channels 0 and 2 hand out what the last
// colour call left in the internal curves.
TEST(ToneCurvesTest, GreyCallTouchesChannelOneOnly) {
  ToneImage colour = MakeImage(60, 50, 3, false, Uniform(91, 91, 98));
  colour.block = DriverBlock(0x8000, 0x8000, 0x8000);
  ASSERT_EQ(colour.Run(), 0u);

  // Grey level 93: A = 505, gain 1.0 -> trunc(505 / 255 x 4096) = 0x1FAF.
  ToneImage grey = MakeImage(40, 40, 1, false, Uniform(0, 93, 0));
  for (uint32_t b = 0; b < 42; ++b) grey.block.bytes[b] = static_cast<uint8_t>(0x11 + 3 * b);
  SetBlockValue(grey.block, 12, 0x0EE1);
  SetBlockValue(grey.block, 14, 0x9000);
  SetBlockValue(grey.block, 18, 0x1000);
  const ToneParameterBlock before = grey.block;
  for (uint16_t& v : grey.prescanCurves) v = 0xBEEF;
  ASSERT_EQ(grey.Run(), 0u);

  EXPECT_EQ(toneStats.A[1], 505);
  EXPECT_EQ(BlockValue(grey.block, 18), 0x1FAF);
  EXPECT_EQ(BlockValue(grey.block, 28), 0x1000);
  for (uint32_t b = 0; b < 42; ++b) {
    if (b == 18 || b == 19 || b == 28 || b == 29) continue;
    EXPECT_EQ(grey.block.bytes[b], before.bytes[b]) << "byte " << b;
  }
  const Row prescanRows[] = {{0, 0}, {1, 1}, {64, 126}, {128, 253}, {130, 255}, {255, 255}};
  for (const Row& row : prescanRows) EXPECT_EQ(grey.Prescan(row.level, 1), row.value) << row.level;
  for (uint32_t i = 0; i < 256; ++i) {
    ASSERT_EQ(grey.Prescan(i, 0), 0xBEEF) << i;
    ASSERT_EQ(grey.Prescan(i, 2), 0xBEEF) << i;
    ASSERT_EQ(grey.Scan(i, 1), NearIdentity(i)) << i;  // R 255
    ASSERT_EQ(grey.Scan(i, 0), colour.Scan(i, 0)) << i;
    ASSERT_EQ(grey.Scan(i, 2), colour.Scan(i, 2)) << i;
  }
}

// ---------------------------------------------------------------------------
// Negatives.

// A negative whose analysed samples run evenly from lo[c] to hi[c] across
// the width (100 pixels at each end): B = lo and W = hi.
ToneImage GradientNegative(const uint8_t lo[3], const uint8_t hi[3], uint16_t spp = 3) {
  return MakeImage(125, 125, spp, true, [=](uint32_t x, uint32_t, uint8_t* s) {
    const uint32_t column = x < 12 ? 0 : x >= 112 ? 99 : x - 12;
    for (uint32_t c = 0; c < 3; ++c) s[c] = static_cast<uint8_t>(lo[c] + column * (hi[c] - lo[c]) / 99);
  });
}

void ExpectNonIncreasing(const ToneImage& image, uint32_t c, bool scan) {
  for (uint32_t i = 1; i < 256; ++i) {
    const uint16_t now = scan ? image.Scan(i, c) : image.Prescan(i, c);
    const uint16_t before = scan ? image.Scan(i - 1, c) : image.Prescan(i - 1, c);
    ASSERT_LE(now, before) << (scan ? "scan" : "prescan") << " channel " << c << " level " << i;
  }
}

// The densest 0.1 % of the film (B) becomes the white point, level 250,
// the thinnest (W) the black point, level 1; the curves invert.
TEST(ToneCurvesTest, NegativeMapsItsPercentilesToWhiteAndBlack) {
  const uint8_t lo[3] = {120, 70, 40};
  const uint8_t hi[3] = {230, 200, 170};
  ToneImage image = GradientNegative(lo, hi);
  ASSERT_EQ(image.Run(), 0u);
  for (uint32_t c = 0; c < 3; ++c) {
    SCOPED_TRACE(testing::Message() << "channel " << c);
    EXPECT_EQ(image.Prescan(lo[c], c), 250);
    EXPECT_EQ(image.Prescan(hi[c], c), 1);
    EXPECT_EQ(image.Prescan(255, c), 0);  // the toe below the black point
    EXPECT_GT(image.Prescan(0, c), 250);   // the shoulder above the white point
    ExpectNonIncreasing(image, c, false);
    // Pass 2 maps the percentiles as they read after the gain change.
    const uint16_t B = toneStats.B[c];
    const uint16_t W = toneStats.W[c];
    ASSERT_LT(B, W);
    EXPECT_EQ(B, lo[c] * toneStats.A[c] / toneStats.R[c]);
    EXPECT_EQ(image.Scan(B, c), 250);
    EXPECT_EQ(image.Scan(W, c), 1);
    ExpectNonIncreasing(image, c, true);
  }
}

TEST(ToneCurvesTest, GreyNegativeUsesChannelOne) {
  const uint8_t lo[3] = {0, 70, 0};
  const uint8_t hi[3] = {0, 200, 0};
  ToneImage image = GradientNegative(lo, hi, 1);
  for (uint16_t& v : image.prescanCurves) v = 0xBEEF;
  ASSERT_EQ(image.Run(), 0u);
  EXPECT_EQ(image.Prescan(70, 1), 250);
  EXPECT_EQ(image.Prescan(200, 1), 1);
  EXPECT_EQ(image.Prescan(70, 0), 0xBEEF);
  EXPECT_EQ(image.Prescan(70, 2), 0xBEEF);
}

// Old gains far below the range make A / R (the gain ratio) about 17, so
// B x A / R passes 255 and is held there before it indexes the curve: the
// white and black points coincide at the top level.
TEST(ToneCurvesTest, RescaledPercentilesAreHeldAtTheTopLevel) {
  const uint8_t lo[3] = {120, 70, 40};
  const uint8_t hi[3] = {230, 200, 170};
  ToneImage image = GradientNegative(lo, hi);
  image.block = DriverBlock(0x0100, 0x0100, 0x0100);
  ASSERT_EQ(image.Run(), 0u);
  for (uint32_t c = 0; c < 3; ++c) {
    SCOPED_TRACE(testing::Message() << "channel " << c);
    EXPECT_EQ(BlockValue(image.block, 16 + 2 * c), 0x0EE1);
    const uint16_t residual[3] = {1, 3, 6};  // A 23, 49, 98 with old gain 1/16
    EXPECT_EQ(toneStats.R[c], residual[c]);
    EXPECT_GT(lo[c] * toneStats.A[c] / toneStats.R[c], 255);
    EXPECT_EQ(toneStats.B[c], 255);
    EXPECT_EQ(toneStats.W[c], 255);
    EXPECT_EQ(image.Scan(255, c), 1);
    // Channel 0 keeps a residual of 1: its whole stretch stays on the flat
    // top of the film characteristic, where p equals the black point, and
    // the curve is level 1 throughout. The others rise into the shoulder.
    EXPECT_EQ(image.Scan(0, c), c == 0 ? 1 : 255);
    ExpectNonIncreasing(image, c, true);
  }
}

// ---------------------------------------------------------------------------
// Saturation: more than 1 % of the analysed pixels (here 100 of 10000) of a
// negative's channel at 255.

struct SaturationCase {
  const char* name;
  uint16_t spp;
  bool negative;
  uint8_t clippedChannels;  // bit c: channel c clipped
  uint32_t clippedPixels;   // inside the analysed area
  uint32_t flags;           // with retry 0; retry 1 always gives 0
};

class SaturationTest : public ::testing::TestWithParam<SaturationCase> {};

TEST_P(SaturationTest, FlagsWithRetryZeroSameResultsWithRetryOne) {
  const SaturationCase& k = GetParam();
  const uint8_t lo[3] = {120, 70, 40};
  auto pixel = [&](uint32_t x, uint32_t y, uint8_t* s) {
    const uint32_t column = x < 12 ? 0 : x >= 112 ? 99 : x - 12;
    // Clipped pixels fill rows 12, 13, ... of the area from its left edge.
    const bool clipped = y >= 12 && x >= 12 && x < 112 && (y - 12) * 100 + (x - 12) < k.clippedPixels;
    for (uint32_t c = 0; c < 3; ++c) {
      s[c] = clipped && (k.clippedChannels >> c & 1) ? 255 : static_cast<uint8_t>(lo[c] + column);
    }
  };
  ToneImage first = MakeImage(125, 125, k.spp, k.negative, pixel);
  ToneImage second = MakeImage(125, 125, k.spp, k.negative, pixel);
  EXPECT_EQ(first.Run(0), k.flags) << k.name;
  EXPECT_EQ(second.Run(1), 0u) << k.name;
  EXPECT_EQ(std::memcmp(first.block.bytes, second.block.bytes, 42), 0) << k.name;
  EXPECT_EQ(std::memcmp(first.prescanCurves, second.prescanCurves, sizeof first.prescanCurves), 0) << k.name;
  EXPECT_EQ(std::memcmp(first.scanCurves, second.scanCurves, sizeof first.scanCurves), 0) << k.name;
  // Any retry value but 1 keeps the check on.
  ToneImage third = MakeImage(125, 125, k.spp, k.negative, pixel);
  EXPECT_EQ(third.Run(2), k.flags) << k.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaturationTest,
    ::testing::Values(SaturationCase{"colour, channel 2 over 1 %", 3, true, 4, 200, 4},
                      SaturationCase{"colour, channels 0 and 1", 3, true, 3, 200, 3},
                      SaturationCase{"colour, all channels", 3, true, 7, 101, 7},
                      SaturationCase{"colour, exactly 1 %", 3, true, 7, 100, 0},
                      SaturationCase{"grey", 1, true, 2, 101, 7},
                      SaturationCase{"grey, exactly 1 %", 1, true, 2, 100, 0},
                      SaturationCase{"positive colour", 3, false, 7, 5000, 0},
                      SaturationCase{"positive grey", 1, false, 2, 5000, 0}),
    [](const testing::TestParamInfo<SaturationCase>& info) { return "Case" + std::to_string(info.index); });

// ---------------------------------------------------------------------------
// A residual factor of zero: old gain 1/4096 of the lowest. Pass 1 and the
// gains are already written; the internal scan curves keep the previous
// call's contents.

TEST(ToneCurvesTest, ZeroResidualStopsBeforePassTwo) {
  ToneImage previous = MakeImage(60, 50, 3, false, Uniform(91, 91, 98));
  previous.block = DriverBlock(0x8000, 0x8000, 0x8000);
  ASSERT_EQ(previous.Run(), 0u);

  ToneImage image = MakeImage(40, 40, 1, false, Uniform(0, 186, 0));
  image.block = DriverBlock(0x1000, 0x0001, 0x1000);
  for (uint16_t& v : image.scanCurves) v = 0xBEEF;
  EXPECT_EQ(image.Run(), 0x14u);
  EXPECT_EQ(toneStats.R[1], 0);
  EXPECT_EQ(BlockValue(image.block, 18), 0x0EE1);
  EXPECT_EQ(BlockValue(image.block, 28), 0x1000);
  for (uint32_t i = 0; i < 256; ++i) {
    ASSERT_EQ(image.Prescan(i, 1), NearIdentity(i)) << i;
    for (uint32_t c = 0; c < 3; ++c) ASSERT_EQ(image.Scan(i, c), previous.Scan(i, c)) << i << " channel " << c;
  }
}

// A highest gain of 0 would make the residual infinite: it stays at 65535
// and every scan curve entry above 0 saturates.
TEST(ToneCurvesTest, ResidualBeyondSixteenBitsStaysAtTheTop) {
  ToneImage image = MakeImage(40, 40, 1, false, Uniform(0, 186, 0));
  SetBlockValue(image.block, 14, 0);
  ASSERT_EQ(image.Run(), 0u);
  EXPECT_EQ(toneStats.R[1], 65535);
  EXPECT_EQ(BlockValue(image.block, 18), 0);
  EXPECT_EQ(image.Scan(0, 1), 0);
  for (uint32_t i = 1; i < 256; ++i) ASSERT_EQ(image.Scan(i, 1), 255) << i;
}

}  // namespace
