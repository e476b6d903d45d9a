// The scan-start gamma builders: their curves' telling values, what each
// composes and uploads to the controller's gamma memory, and the rule that
// picks the upload for a scan.
#include <algorithm>
#include <cstring>
#include <vector>

#include "controller/register_image.h"
#include "driver_fixture.h"
#include "tone/gamma_builders.h"
#include "tone/tone_tables.h"

namespace {

constexpr uint8_t kGammaMemory = 2;

struct Curves {
  uint16_t f[3][kBuilderCurveEntries];
  explicit Curves(const GammaPointTable& points) { ComputeBuilderCurves(points, f); }
};

}  // namespace

TEST(GammaBuilderCurves, TellingValues) {
  struct Case {
    const char* name;
    const GammaPointTable& points;
    int channel, input;
    uint16_t value;
  };
  const Case cases[] = {
      {"film", kFilmGammaPoints, 0, 0, 0},
      {"film", kFilmGammaPoints, 0, 1, 68},
      {"film", kFilmGammaPoints, 0, 12, 818},
      {"film", kFilmGammaPoints, 0, 13, 878},
      {"film", kFilmGammaPoints, 0, 128, 7700},
      // Channel 0 never reaches 255: level 251.9 at the top.
      {"film", kFilmGammaPoints, 0, 255, 16122},
      {"film", kFilmGammaPoints, 2, 252, 16320},
      {"flatbed", kFlatbedGammaPoints, 0, 1, 40},
      {"flatbed", kFlatbedGammaPoints, 0, 128, 7992},
      {"flatbed", kFlatbedGammaPoints, 0, 246, 16320},
      {"flatbed high resolution", kFlatbedHighResolutionGammaPoints, 0, 240, 16320},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " channel " << c.channel << " input " << c.input);
    EXPECT_EQ(Curves(c.points).f[c.channel][c.input], c.value);
  }
}

TEST(GammaBuilderCurves, WhereTheyReachTheTop) {
  struct Case {
    const char* name;
    const GammaPointTable& points;
    int channel;
    int firstAtTop;  // 256: never
  };
  const Case cases[] = {
      {"film channel 0", kFilmGammaPoints, 0, 256},
      {"film channel 2", kFilmGammaPoints, 2, 252},
      {"flatbed channel 0", kFlatbedGammaPoints, 0, 246},
      {"flatbed high resolution channel 0", kFlatbedHighResolutionGammaPoints, 0, 240},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Curves curves(c.points);
    const uint16_t* f = curves.f[c.channel];
    const int first = static_cast<int>(std::find(f, f + 256, 16320) - f);
    EXPECT_EQ(first, c.firstAtTop);
    // Rising all the way, and flat once at the top.
    for (int i = 1; i < 256; ++i) EXPECT_LE(f[i - 1], f[i]) << i;
    for (int i = first; i < 256; ++i) EXPECT_EQ(f[i], 16320) << i;
  }
}

class GammaBuilders : public DriverOnScriptedDevice {
 protected:
  void SetUp() override {
    DriverOnScriptedDevice::SetUp();
    ResetScanState();
    for (int bank = 0; bank < 3; ++bank) std::fill(Bank(bank).begin(), Bank(bank).end(), 0xEE);
    Scan(4, 0, 300);
  }
  void Scan(uint16_t mode, uint16_t source, uint16_t opticalX, uint16_t monoChannel = 1) {
    sharedState->scanMode = mode;
    sharedState->scanSource = source;
    sharedState->opticalXResolution = opticalX;
    sharedState->monoChannelIndex = monoChannel;
  }
  std::vector<uint8_t>& Bank(int bank) { return device->Memory(bank, kGammaMemory); }
  bool Untouched(int bank) {
    return std::all_of(Bank(bank).begin(), Bank(bank).end(), [](uint8_t b) { return b == 0xEE; });
  }
  // Controller table entry for input level i of bank 0.
  uint8_t Level(int bank, int input) { return Bank(bank)[16 * input]; }
};

// The host's table (here one that inverts: entry i = 65535 - 4i) seen
// through the correction is what the controller gets; the host's tables
// stay as loaded, so a second scan uploads exactly what the first did.
TEST_F(GammaBuilders, FlatbedComposesOntoTheHostTableAndLeavesItAlone) {
  for (auto& table : gammaTable)
    for (int i = 0; i < kGammaTableEntries; ++i) table[i] = static_cast<uint16_t>(65535 - 4 * i);
  const std::vector<uint16_t> host(&gammaTable[0][0], &gammaTable[0][0] + 3 * kGammaTableEntries);
  ASSERT_EQ(BuildFlatbedGamma(), kErrNone);
  const Curves f(kFlatbedGammaPoints);
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(c);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(Level(c, i), (65535 - 4 * f.f[c][i]) >> 8) << i;
  }
  EXPECT_EQ(Level(0, 128), 131);  // 65535 - 4 x 7992, high byte
  EXPECT_EQ(Level(0, 246), 0);    // the correction's top: 65535 - 4 x 16320
  EXPECT_TRUE(std::equal(host.begin(), host.end(), &gammaTable[0][0]));

  const std::vector<uint8_t> first[3] = {Bank(0), Bank(1), Bank(2)};
  for (int bank = 0; bank < 3; ++bank) std::fill(Bank(bank).begin(), Bank(bank).end(), 0xEE);
  ASSERT_EQ(BuildFlatbedGamma(), kErrNone);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(Bank(c), first[c]) << c;
  EXPECT_TRUE(std::equal(host.begin(), host.end(), &gammaTable[0][0]));

  // Its scratch table cannot be had: 152, nothing written, the host's
  // tables as they were.
  for (int bank = 0; bank < 3; ++bank) std::fill(Bank(bank).begin(), Bank(bank).end(), 0xEE);
  PlatTestFailAllocation(1);
  EXPECT_EQ(BuildFlatbedGamma(), kErrNoMemory);
  PlatTestFailAllocation(0);
  for (int bank = 0; bank < 3; ++bank) EXPECT_TRUE(Untouched(bank)) << bank;
  EXPECT_TRUE(std::equal(host.begin(), host.end(), &gammaTable[0][0]));
}

TEST_F(GammaBuilders, FlatbedRowsByResolutionAndMode) {
  struct Case {
    const char* name;
    uint16_t mode, opticalX;
    int atInput240;  // the corrected level on the 16-bit scale, identity host table
  };
  const Case cases[] = {
      {"colour 600 dpi: high-resolution rows", 4, 600, 4 * 16320},
      {"colour 300 dpi: normal rows", 4, 300, 4 * Curves(kFlatbedGammaPoints).f[0][240]},
      {"grey 600 dpi: normal rows", 2, 600, 4 * Curves(kFlatbedGammaPoints).f[0][240]},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scan(c.mode, 0, c.opticalX, 0);
    ASSERT_EQ(BuildFlatbedGamma(), kErrNone);
    EXPECT_EQ(Level(0, 240), c.atInput240 >> 8);
  }
  EXPECT_LT(Curves(kFlatbedGammaPoints).f[0][240], 16320);
  EXPECT_NE((4 * Curves(kFlatbedGammaPoints).f[0][240]) >> 8, 255);
}

TEST_F(GammaBuilders, OneChannelScanLoadsItsChannelOnly) {
  Scan(2, 0, 300, 2);
  ASSERT_EQ(BuildFlatbedGamma(), kErrNone);
  EXPECT_TRUE(Untouched(0));
  EXPECT_TRUE(Untouched(1));
  EXPECT_EQ(Level(2, 128), (4 * Curves(kFlatbedGammaPoints).f[2][128]) >> 8);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(gammaTable[c][64 * 128], 4 * 64 * 128) << c;
}

TEST_F(GammaBuilders, SixteenBitScansBuildNothing) {
  SetScanValue(0x09, 0x22);
  device->ClearLog();
  ASSERT_EQ(BuildFlatbedGamma(), kErrNone);
  EXPECT_TRUE(device->Ops().empty());
  for (int c = 0; c < 3; ++c) EXPECT_EQ(gammaTable[c][64 * 128], 4 * 64 * 128);
}

TEST_F(GammaBuilders, FilmComposesToneCurveAndHostTable) {
  Scan(4, 1, 300);
  for (auto& curve : sharedState->toneCurve)
    for (int j = 0; j < 256; ++j) curve[j] = static_cast<uint16_t>(255 - j);
  ASSERT_EQ(BuildFilmGamma(), kErrNone);
  // Input 128: the film curve gives level 120 (7700 / 64), the tone curve
  // turns it into 135, the identity host table keeps it.
  EXPECT_EQ(Level(0, 128), 135);
  EXPECT_EQ(Level(0, 0), 255);
  // The host's tables stay as they were.
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < kGammaTableEntries; i += 97) ASSERT_EQ(gammaTable[c][i], 4 * i);

  // Its staging block cannot be had: 152, nothing written.
  for (int bank = 0; bank < 3; ++bank) std::fill(Bank(bank).begin(), Bank(bank).end(), 0xEE);
  PlatTestFailAllocation(1);
  EXPECT_EQ(BuildFilmGamma(), kErrNoMemory);
  PlatTestFailAllocation(0);
  EXPECT_TRUE(Untouched(0));
}

TEST_F(GammaBuilders, UploadErrorsStopTheBuilders) {
  device->FailAll(tq5test::kWriteFrame, true);
  EXPECT_NE(BuildFlatbedGamma(), kErrNone);
  EXPECT_NE(BuildFilmGamma(), kErrNone);
  device->FailAll(tq5test::kWriteFrame, false);
  EXPECT_TRUE(Untouched(1));
  EXPECT_TRUE(Untouched(2));
}

// The rule of scan start, told apart by the level the controller gets for
// input 128 on channel 0, with a host table that inverts (entry i =
// 65535 - 4i) and a tone curve that maps 128 to 50.
TEST_F(GammaBuilders, ScanStartRule) {
  struct Case {
    const char* name;
    uint8_t toneArgument, negative;
    uint16_t source;
    uint8_t level;
  };
  const Case cases[] = {
      // Flatbed correction: host table at 7992 -> (65535 - 31968) >> 8.
      {"positive flatbed: flatbed builder", 1, 0, 0, 131},
      // Film correction: tone curve at 120, host table at 7680.
      {"positive film unit: film builder", 1, 0, 1, 135},
      {"positive film frame: film builder", 1, 0, 2, 135},
      // The tone curve through the host table: entry 50 x 64.
      {"negative film frame: tone curve", 1, 1, 2, 205},
      // The host table as it is: entry 8192.
      {"negative film unit: host table", 1, 1, 1, 127},
      {"negative flatbed: host table", 1, 1, 0, 127},
      {"identity", 0, 0, 0, 128},
      {"identity for a negative film frame", 0, 1, 2, 128},
      {"tone argument other than 1 counts as 0", 2, 0, 1, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < kGammaTableEntries; ++i) gammaTable[0][i] = static_cast<uint16_t>(65535 - 4 * i);
    SetIdentityToneCurves();
    sharedState->toneCurve[0][128] = 50;
    sharedState->filmUnitMode.negative = c.negative;
    Scan(4, c.source, 300);
    std::fill(Bank(0).begin(), Bank(0).end(), 0xEE);
    ASSERT_EQ(UploadGammaForScan(c.toneArgument), kErrNone);
    EXPECT_EQ(Level(0, 128), c.level);
    EXPECT_FALSE(Untouched(1));
    EXPECT_FALSE(Untouched(2));
  }
  // A one-channel scan loads only its channel.
  Scan(2, 0, 300, 0);
  for (int bank = 0; bank < 3; ++bank) std::fill(Bank(bank).begin(), Bank(bank).end(), 0xEE);
  ASSERT_EQ(UploadGammaForScan(0), kErrNone);
  EXPECT_FALSE(Untouched(0));
  EXPECT_TRUE(Untouched(1));
  EXPECT_TRUE(Untouched(2));
}
