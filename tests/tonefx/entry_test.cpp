// The entry: validation order and codes, what a failed call leaves, and
// hostile descriptors that must not lead outside the image or the tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tone_image.h"
#include "tonefx_state.h"

namespace {

using namespace tonefx_test;

struct DescriptorCase {
  const char* name;
  uint16_t negative;
  uint16_t samplesPerPixel;
  uint16_t interleave;
  uint32_t width;
  uint32_t height;
  uint32_t bytesPerLine;
  uint32_t result;
};

// Bytes the descriptor promises: imageHeight lines of imageBytesPerLine,
// none when either is 0 or negative as a signed value.
size_t PromisedBytes(const ToneImageDescriptor& d) {
  if (static_cast<int32_t>(d.imageHeight) <= 0 || static_cast<int32_t>(d.imageBytesPerLine) <= 0) return 0;
  return static_cast<size_t>(d.imageHeight) * d.imageBytesPerLine;
}

class DescriptorTest : public ::testing::TestWithParam<DescriptorCase> {};

// Each descriptor gives its code. The image buffer holds exactly what the
// descriptor promises, so a read outside it stops the sanitizer build; the
// few that promise more than 1 MiB have no analysed line and get only that
// much.
TEST_P(DescriptorTest, ResultCode) {
  const DescriptorCase& k = GetParam();
  ToneImage image;
  ToneImageDescriptor& d = image.descriptor;
  d.negative = k.negative;
  d.samplesPerPixel = k.samplesPerPixel;
  d.bitsPerSample = 8;
  d.interleave = k.interleave;
  d.imageWidth = k.width;
  d.imageHeight = k.height;
  d.imageBytesPerLine = k.bytesPerLine;
  std::vector<uint8_t> bytes(std::min<size_t>(PromisedBytes(d), 1u << 20), 128);
  const ToneParameterBlock block = image.block;
  for (uint16_t& v : image.prescanCurves) v = 0xBEEF;
  const uint32_t result =
      DoToneFx(bytes.empty() ? nullptr : bytes.data(), &d, &image.block, image.scanCurves, image.prescanCurves, 0);
  EXPECT_EQ(result & 0xFF, k.result) << k.name;
  if (k.result >= 0x10) {
    // A rejected descriptor leaves the block and prescanCurves as they were.
    EXPECT_EQ(std::memcmp(block.bytes, image.block.bytes, 42), 0) << k.name;
    for (uint16_t v : image.prescanCurves) ASSERT_EQ(v, 0xBEEF) << k.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Order, DescriptorTest,
    ::testing::Values(
        DescriptorCase{"negative 2 before samplesPerPixel 2", 2, 2, 1, 10, 4, 30, 0x15},
        DescriptorCase{"negative 2 before a short colour line", 2, 3, 0, 10, 4, 1, 0x15},
        DescriptorCase{"negative 0xFFFF", 0xFFFF, 3, 1, 10, 4, 30, 0x15},
        DescriptorCase{"interleave 0 before a short line", 0, 3, 0, 10, 4, 29, 0x10},
        DescriptorCase{"interleave 2", 1, 3, 2, 10, 4, 30, 0x10},
        DescriptorCase{"colour line 3 x width - 1", 0, 3, 1, 10, 4, 29, 0x13},
        DescriptorCase{"colour line 3 x width", 0, 3, 1, 10, 4, 30, 0x00},
        DescriptorCase{"grey line width - 1", 1, 1, 1, 10, 4, 9, 0x13},
        DescriptorCase{"grey ignores interleave", 1, 1, 0, 10, 4, 10, 0x00},
        DescriptorCase{"samplesPerPixel 0", 0, 0, 1, 10, 4, 30, 0x11},
        DescriptorCase{"samplesPerPixel 2", 1, 2, 1, 10, 4, 30, 0x11},
        DescriptorCase{"samplesPerPixel 4", 0, 4, 1, 10, 4, 40, 0x11}),
    [](const testing::TestParamInfo<DescriptorCase>& info) { return "Case" + std::to_string(info.index); });

// Descriptors at the edges of the 32-bit fields. The comparisons are signed;
// products are exact, so a width whose 3 x width wraps 32 bits is still too
// wide for a short line, and negative sizes analyse nothing.
INSTANTIATE_TEST_SUITE_P(
    Hostile, DescriptorTest,
    ::testing::Values(
        DescriptorCase{"3 x width wraps to 2", 0, 3, 1, 0x55555556, 4, 2, 0x13},
        DescriptorCase{"grey width 2^31 - 1, line 2^31 - 1, no lines", 0, 1, 1, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x00},
        DescriptorCase{"negative line", 0, 1, 1, 1, 4, 0x80000000, 0x13},
        DescriptorCase{"line -1, width 0", 1, 1, 1, 0, 4, 0xFFFFFFFF, 0x13},
        DescriptorCase{"negative width passes, analyses nothing", 0, 3, 1, 0x80000000, 4, 0, 0x00},
        DescriptorCase{"width -1 and line -3", 1, 3, 1, 0xFFFFFFFF, 4, 0xFFFFFFFD, 0x00},
        DescriptorCase{"height -1", 0, 1, 1, 10, 0xFFFFFFFF, 10, 0x00},
        DescriptorCase{"height -2^31", 1, 3, 1, 10, 0x80000000, 30, 0x00},
        DescriptorCase{"height 2^31 - 1, width 0", 0, 1, 1, 0, 0x7FFFFFFF, 0, 0x00},
        DescriptorCase{"width 0", 0, 3, 1, 0, 10, 0, 0x00},
        DescriptorCase{"height 0", 1, 3, 1, 10, 0, 30, 0x00},
        DescriptorCase{"1 x 1 analyses nothing", 0, 3, 1, 1, 1, 3, 0x00},
        DescriptorCase{"3 x 2 reads only the first line", 1, 3, 1, 3, 2, 9, 0x00},
        DescriptorCase{"long stride, few lines", 0, 1, 1, 2, 3, 100000, 0x00},
        DescriptorCase{"width 2^31 - 1, height 1: no analysed line", 0, 1, 1, 0x7FFFFFFF, 1, 0x7FFFFFFF, 0x00}),
    [](const testing::TestParamInfo<DescriptorCase>& info) { return "Case" + std::to_string(info.index); });

// An empty analysed area takes B = 0 and W = 255: a positive colour image
// then keeps its gains (A = 65025 / 255 = 255).
TEST(ToneEntryTest, EmptyAreaKeepsTheGains) {
  ToneImage image = MakeImage(1, 1, 3, false, Uniform(1, 2, 3));
  image.block = DriverBlock(0x1234, 0x2345, 0x3456);
  ASSERT_EQ(image.Run(), 0u);
  EXPECT_EQ(tonefx::toneStats.analysedCount, 0u);
  EXPECT_EQ(BlockValue(image.block, 16), 0x1234);
  EXPECT_EQ(BlockValue(image.block, 18), 0x2345);
  EXPECT_EQ(BlockValue(image.block, 20), 0x3456);
}

// scanCurves is written after a failed validation too, from the internal
// curves the last successful call left.
TEST(ToneEntryTest, FailedValidationHandsOutThePreviousScanCurves) {
  ToneImage good = MakeImage(60, 50, 3, false, Uniform(91, 91, 98));
  good.block = DriverBlock(0x8000, 0x8000, 0x8000);  // scan curves stretch by 453 / 255
  ASSERT_EQ(good.Run(), 0u);

  ToneImage bad = MakeImage(60, 50, 3, false, Uniform(186, 186, 186));
  bad.descriptor.negative = 2;
  for (uint16_t& v : bad.scanCurves) v = 0xBEEF;
  EXPECT_EQ(bad.Run(), 0x15u);
  EXPECT_EQ(std::memcmp(bad.scanCurves, good.scanCurves, sizeof good.scanCurves), 0);
  EXPECT_EQ(good.Scan(100, 1), 177);
}

}  // namespace
