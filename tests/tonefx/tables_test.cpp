// The lookup tables: density scale rows, the plain shapes, and the film
// characteristic's rows and properties over every entry.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "tone_tables.h"
#include "tonefx_state.h"

namespace {

using tonefx::toneTables;

class ToneTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { tonefx::BuildToneTables(); }
};

struct Row {
  uint32_t index;
  uint32_t value;
};

TEST_F(ToneTablesTest, DensityOfLevelTellingRows) {
  const Row rows[] = {{0, 255}, {1, 255},  {2, 255},  {3, 246},  {4, 230}, {8, 191},
                      {16, 153}, {64, 76}, {128, 38}, {200, 13}, {254, 0}, {255, 0}};
  for (const Row& row : rows) EXPECT_EQ(toneTables.densityOfLevel[row.index], row.value) << "level " << row.index;
  for (uint32_t i = 1; i < 256; ++i) {
    EXPECT_LE(toneTables.densityOfLevel[i], toneTables.densityOfLevel[i - 1]) << "level " << i;
  }
}

TEST_F(ToneTablesTest, LevelOfDensityTellingRows) {
  const Row rows[] = {{0, 25},   {64, 81},   {89, 127},  {117, 210}, {122, 230},
                      {128, 257}, {130, 266}, {192, 817}, {255, 2550}};
  for (const Row& row : rows) EXPECT_EQ(toneTables.levelOfDensity[row.index], row.value) << "code " << row.index;
  for (uint32_t i = 1; i < 256; ++i) {
    EXPECT_GE(toneTables.levelOfDensity[i], toneTables.levelOfDensity[i - 1]) << "code " << i;
  }
}

TEST_F(ToneTablesTest, PositiveShapeAndSquareTable) {
  const Row positive[] = {{0, 0}, {1, 0}, {2, 1}, {4096, 4095}, {65535, 65534}};
  for (const Row& row : positive) EXPECT_EQ(toneTables.positiveShape[row.index], row.value) << row.index;
  const Row square[] = {{0, 0}, {255, 0}, {256, 1}, {32768, 16384}, {46341, 32768}, {65534, 65533}, {65535, 65535}};
  for (const Row& row : square) EXPECT_EQ(toneTables.squareTable[row.index], row.value) << row.index;
}

// The measured rows of the film characteristic, per channel.
constexpr uint32_t kRowX[10] = {0, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65535};
struct ShapeExpectation {
  uint16_t rows[10];
  uint32_t flatEnd;
  double gamma;
};
const ShapeExpectation kShape[3] = {
    {{65535, 65534, 65524, 65361, 63071, 49451, 31281, 19087, 11616, 7068}, 281, 0.7168},
    {{65535, 65534, 65531, 65474, 64442, 54222, 34334, 20335, 11990, 7068}, 390, 0.7625},
    {{65535, 65534, 65533, 65507, 64952, 57316, 36755, 21311, 12275, 7068}, 485, 0.7964},
};

class NegativeShapeTest : public ToneTablesTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(NegativeShapeTest, PassesThroughEveryRow) {
  const uint32_t c = GetParam();
  for (uint32_t k = 0; k < 10; ++k) {
    EXPECT_EQ(toneTables.negativeShape[c][kRowX[k]], kShape[c].rows[k]) << "x " << kRowX[k];
  }
}

TEST_P(NegativeShapeTest, FlatAt65534UpToTheListedIndexThenFalls) {
  const uint32_t c = GetParam();
  const uint16_t* shape = toneTables.negativeShape[c];
  EXPECT_EQ(shape[0], 65535);
  for (uint32_t x = 1; x <= kShape[c].flatEnd; ++x) ASSERT_EQ(shape[x], 65534) << "x " << x;
  EXPECT_LT(shape[kShape[c].flatEnd + 1], 65534);
}

TEST_P(NegativeShapeTest, NeverRises) {
  const uint16_t* shape = toneTables.negativeShape[GetParam()];
  for (uint32_t x = 1; x < 65536; ++x) ASSERT_LE(shape[x], shape[x - 1]) << "x " << x;
}

// From 16384 on the table follows 7068 x (65535 / x)^gamma, in whole units,
// to within 8.
TEST_P(NegativeShapeTest, FollowsThePowerLawAtTheTop) {
  const uint32_t c = GetParam();
  const uint16_t* shape = toneTables.negativeShape[c];
  int32_t worst = 0;
  for (uint32_t x = 16384; x < 65536; ++x) {
    const double law = std::round(7068.0 * std::pow(65535.0 / x, kShape[c].gamma));
    const int32_t off = static_cast<int32_t>(shape[x]) - static_cast<int32_t>(law);
    ASSERT_LE(std::abs(off), 8) << "x " << x << " law " << law << " table " << shape[x];
    worst = std::max(worst, std::abs(off));
  }
  // Each doubling of x multiplies the value by 2^-gamma.
  const double doubling = std::pow(2.0, -kShape[c].gamma);
  EXPECT_NEAR(static_cast<double>(shape[32768]) / shape[16384], doubling, 0.001);
  EXPECT_NEAR(static_cast<double>(shape[65535]) / shape[32768], doubling, 0.001);
}

INSTANTIATE_TEST_SUITE_P(Channels, NegativeShapeTest, ::testing::Values(0u, 1u, 2u));

}  // namespace
