// Gamma tables: the size conversions, a channel's upload with the shared
// gamma levels, the verified identity upload and SetGammaTable.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "controller/register_image.h"
#include "driver_fixture.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"
#include "wire.h"

using namespace tq5test;

namespace {

std::vector<uint8_t> Expand4096(const std::function<int(int)>& curve) {
  uint8_t c[256];
  for (int i = 0; i < 256; ++i) c[i] = static_cast<uint8_t>(curve(i));
  std::vector<uint8_t> t(4096, 0xEE);
  ExpandGamma256To4096(c, t.data());
  return t;
}

std::vector<uint16_t> Expand16384(const std::function<int(int)>& curve) {
  uint16_t c[256];
  for (int i = 0; i < 256; ++i) c[i] = static_cast<uint16_t>(curve(i));
  std::vector<uint16_t> g(16384, 0xEEEE);
  ExpandCurve256To16384(c, g.data());
  return g;
}

std::vector<uint8_t> IdentityController() {
  std::vector<uint8_t> t(4096);
  for (int k = 0; k < 4096; ++k) t[k] = static_cast<uint8_t>(k / 16);
  return t;
}

}  // namespace

TEST(GammaConversions, Expand256To4096) {
  struct Case {
    const char* name;
    std::function<int(int)> curve;
    std::vector<std::pair<int, int>> entries;  // (index, value)
  };
  const Case cases[] = {
      {"identity", [](int i) { return i; }, {{0, 0}, {15, 0}, {16, 1}, {4079, 254}, {4080, 255}, {4095, 255}}},
      // A falling curve: (d * j) / 16 truncates toward zero, so each step
      // holds its level instead of dropping one early.
      {"inverted", [](int i) { return 255 - i; }, {{0, 255}, {1, 255}, {15, 255}, {16, 254}, {4095, 0}}},
      {"steep rise", [](int i) { return i == 0 ? 0 : 255; }, {{0, 0}, {1, 15}, {8, 127}, {15, 239}, {16, 255}}},
      {"steep fall", [](int i) { return i == 0 ? 255 : 0; }, {{0, 255}, {1, 240}, {8, 128}, {15, 16}, {16, 0}}},
      {"last level fills the end", [](int i) { return i == 255 ? 7 : 100; }, {{4064, 100}, {4079, 13}, {4080, 7}, {4095, 7}}},
  };
  for (const auto& c : cases) {
    const auto t = Expand4096(c.curve);
    for (const auto& [index, value] : c.entries) EXPECT_EQ(t[index], value) << c.name << " [" << index << "]";
  }
  EXPECT_EQ(Expand4096([](int i) { return i; }), IdentityController());
}

TEST(GammaConversions, Reduce16384To4096TakesEveryFourthHighByte) {
  std::vector<uint16_t> g(16384);
  for (int i = 0; i < 16384; ++i) g[i] = static_cast<uint16_t>(i % 4 == 0 ? (i / 4 % 256) << 8 | 0xFF : 0xFFFF);
  std::vector<uint8_t> t(4096);
  ReduceGamma16384To4096(g.data(), t.data());
  for (int k = 0; k < 4096; ++k) ASSERT_EQ(t[k], k % 256) << k;

  for (int i = 0; i < 16384; ++i) g[i] = static_cast<uint16_t>(4 * i);  // the identity gammaTable
  ReduceGamma16384To4096(g.data(), t.data());
  EXPECT_EQ(t, IdentityController());
}

TEST(GammaConversions, ExpandCurve256To16384) {
  struct Case {
    const char* name;
    std::function<int(int)> curve;
    std::vector<std::pair<int, int>> entries;
  };
  const Case cases[] = {
      {"identity", [](int i) { return i; }, {{0, 0}, {63, 0}, {64, 1}, {16319, 254}, {16320, 255}, {16383, 255}}},
      {"falling step truncates toward zero", [](int i) { return i == 0 ? 100 : 0; }, {{1, 99}, {32, 50}, {63, 2}, {64, 0}}},
      {"wide rise", [](int i) { return i == 0 ? 0 : 65535; }, {{1, 1023}, {63, 64511}, {64, 65535}}},
      {"end", [](int i) { return i == 255 ? 9 : 3; }, {{16319, 8}, {16320, 9}, {16383, 9}}},
  };
  for (const auto& c : cases) {
    const auto g = Expand16384(c.curve);
    for (const auto& [index, value] : c.entries) EXPECT_EQ(g[index], value) << c.name << " [" << index << "]";
    for (uint16_t v : g) ASSERT_NE(v, 0xEEEE) << c.name;  // every entry written
  }
}

class GammaUpload : public DriverOnScriptedDevice {
 protected:
  void SetUp() override {
    DriverOnScriptedDevice::SetUp();
    ResetScanState();  // identity tables, register image loaded
    for (auto& bank : {0, 1, 2}) device->Memory(bank, 2).assign(4096, 0xEE);
  }
  void Levels(int low, int high, int span) {
    EXPECT_EQ(sharedState->gammaLevelLow, low);
    EXPECT_EQ(sharedState->gammaLevelHigh, high);
    EXPECT_EQ(sharedState->gammaLevelSpan, span);
  }
  void SetLevels(uint8_t low, uint8_t high, uint8_t span) {
    sharedState->gammaLevelLow = low;
    sharedState->gammaLevelHigh = high;
    sharedState->gammaLevelSpan = span;
  }
};

TEST_F(GammaUpload, IdentityToChannel0IsOneWriteWithoutReadBack) {
  ASSERT_EQ(UploadGammaChannel(nullptr, 0, 256), 0u);
  EXPECT_EQ(device->Memory(0, 2), IdentityController());
  Levels(0, 255, 255);
  std::vector<RegisterOp> expected = {W(0x03, 0x02), W(0x04, 0x00), W(0x05, 0x00)};
  for (int i = 0; i < 16; ++i) expected.push_back(StreamW(0x06, 255));
  expected.push_back(StreamW(0x06, 4096 - 16 * 255));
  EXPECT_EQ(device->Ops(), expected);

  // The identity gammaTable, whole or seen through the identity tone curve,
  // gives the same controller table.
  for (int c = 0; c < 3; ++c) {
    device->Memory(0, 2).assign(4096, 0xEE);
    ASSERT_EQ(UploadGammaChannel(gammaTable[c], 0, 16384), 0u);
    EXPECT_EQ(device->Memory(0, 2), IdentityController());
    device->Memory(0, 2).assign(4096, 0xEE);
    ASSERT_EQ(UploadGammaChannel(sharedState->toneCurve[c], 0, 256), 0u);
    EXPECT_EQ(device->Memory(0, 2), IdentityController());
  }
}

TEST_F(GammaUpload, FlatChannel0TableGetsTheLeastSpan) {
  // An all-zero table, as in a process that never loaded one.
  std::vector<uint16_t> flat(16384, 0);
  ASSERT_EQ(UploadGammaChannel(flat.data(), 0, 16384), 0u);
  const auto& t = device->Memory(0, 2);
  for (int k = 0; k < 4096; ++k) ASSERT_EQ(t[k], k >= 4080 ? 8 : 0) << k;
  Levels(0, 8, 8);
}

TEST_F(GammaUpload, LevelsFollowTheEndsOfTheTable) {
  struct Case {
    const char* name;
    std::function<int(int)> curve;  // tone curve, through the identity gammaTable
    int low, high, span;
    int first, last;  // uploaded t[0] and t[4095]
  };
  const Case cases[] = {
      {"inverted", [](int i) { return 255 - i; }, 0, 255, 255, 255, 0},
      {"narrow range", [](int i) { return 20 + i * 180 / 255; }, 20, 200, 180, 20, 200},
      {"span of exactly 8 is kept", [](int i) { return 100 + i * 8 / 255; }, 100, 108, 8, 100, 108},
      {"span of 7 is widened", [](int i) { return 100 + i * 7 / 255; }, 0, 8, 8, 0, 8},
      {"flat mid grey", [](int) { return 128; }, 0, 8, 8, 0, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint16_t curve[256];
    for (int i = 0; i < 256; ++i) curve[i] = static_cast<uint16_t>(c.curve(i));
    ASSERT_EQ(UploadGammaChannel(curve, 0, 256), 0u);
    Levels(c.low, c.high, c.span);
    EXPECT_EQ(device->Memory(0, 2)[0], c.first);
    EXPECT_EQ(device->Memory(0, 2)[4095], c.last);
  }
}

TEST_F(GammaUpload, ToneCurveIsLookedUpThroughTheChannelsGammaTable) {
  // Channel 2's gammaTable inverts; the tone curve is the identity.
  for (int i = 0; i < 16384; ++i) gammaTable[2][i] = static_cast<uint16_t>((16383 - i) * 4);
  ASSERT_EQ(UploadGammaChannel(sharedState->toneCurve[2], 2, 256), 0u);
  EXPECT_EQ(device->Memory(2, 2), Expand4096([](int i) { return 255 - i; }));
  // Channel 1 still uses its own (identity) table.
  ASSERT_EQ(UploadGammaChannel(sharedState->toneCurve[1], 1, 256), 0u);
  EXPECT_EQ(device->Memory(1, 2), IdentityController());

  // A tone curve entry beyond 255 is taken as 255, never read past the table.
  uint16_t wild[256];
  for (int i = 0; i < 256; ++i) wild[i] = static_cast<uint16_t>(i < 128 ? i : 0xFFFF);
  ASSERT_EQ(UploadGammaChannel(wild, 1, 256), 0u);
  EXPECT_EQ(device->Memory(1, 2), Expand4096([](int i) { return i < 128 ? i : 255; }));
}

TEST_F(GammaUpload, ChannelsMapToBanksAndOnlyChannel0SetsLevels) {
  struct Case {
    uint8_t channel;
    int bank;
  };
  const Case cases[] = {{1, 1}, {2, 2}, {3, 1}, {7, 1}, {255, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.channel));
    SetLevels(1, 2, 3);
    device->ClearLog();
    ASSERT_EQ(UploadGammaChannel(nullptr, c.channel, 256), 0u);
    EXPECT_EQ(device->Ops().front(), W(0x03, c.bank * 4 + 2));
    Levels(1, 2, 3);
  }
  // A mapped channel also reads its table from the channel it maps to.
  for (int i = 0; i < 16384; ++i) gammaTable[1][i] = 0x4000;  // level 0x40 everywhere
  device->Memory(1, 2).assign(4096, 0xEE);
  ASSERT_EQ(UploadGammaChannel(sharedState->toneCurve[0], 3, 256), 0u);
  EXPECT_EQ(device->Memory(1, 2), std::vector<uint8_t>(4096, 0x40));
}

TEST_F(GammaUpload, FullTableIsReadWhateverTheCount) {
  std::vector<uint16_t> table(16384);
  for (int i = 0; i < 16384; ++i) table[i] = static_cast<uint16_t>((i / 4 % 200) << 8);
  ASSERT_EQ(UploadGammaChannel(table.data(), 1, 257), 0u);
  const auto& t = device->Memory(1, 2);
  for (int k = 0; k < 4096; ++k) ASSERT_EQ(t[k], k % 200) << k;
}

TEST_F(GammaUpload, SixteenBitScansUploadNothing) {
  SetScanValue(0x09, static_cast<uint8_t>(ScanValue(0x09) | 0x20));
  SetLevels(1, 2, 3);
  for (uint8_t channel : {0, 1, 2}) EXPECT_EQ(UploadGammaChannel(nullptr, channel, 256), 0u);
  EXPECT_TRUE(device->Frames().empty());
  Levels(1, 2, 3);
  // Only the scan column counts.
  SetScanValue(0x09, 0x1A);
  SetCalibrationValue(0x09, 0x3A);
  EXPECT_EQ(UploadGammaChannel(nullptr, 1, 256), 0u);
  EXPECT_FALSE(device->Frames().empty());
}

TEST_F(GammaUpload, ErrorsAreReturnedAndTheBlockFreed) {
  const int64_t blocks = PlatTestBlocksInUse();
  SetLevels(1, 2, 3);
  PlatTestFailAllocation(1);
  EXPECT_EQ(UploadGammaChannel(nullptr, 0, 256), kErrNoMemory);
  EXPECT_TRUE(device->Frames().empty());
  Levels(1, 2, 3);
  device->FailAll(kWriteFrame, true);
  EXPECT_EQ(UploadGammaChannel(nullptr, 1, 256), kErrTransferFailed);
  device->FailAll(kWriteFrame, false);
  EXPECT_EQ(PlatTestBlocksInUse(), blocks);
}

TEST_F(GammaUpload, IdentityUploadWritesThenVerifiesEachBank) {
  SetScanValue(0x09, 0x3A);  // a 16-bit scan set does not matter here
  SetLevels(1, 2, 3);
  ASSERT_EQ(UploadIdentityGamma(), 0u);
  for (int bank = 0; bank < 3; ++bank) EXPECT_EQ(device->Memory(bank, 2), IdentityController()) << bank;
  Levels(1, 2, 3);
  // Selections in order: writes to banks 0, 1, 2, then reads of banks 0, 1, 2.
  std::vector<RegisterOp> selections;
  for (const auto& op : device->Ops())
    if (op.type == RegisterOp::Write || op.type == RegisterOp::StreamRead) selections.push_back(op);
  std::vector<RegisterOp> expected;
  for (int bank = 0; bank < 3; ++bank) {
    for (auto op : {W(0x03, bank * 4 + 2), W(0x04, 0x00), W(0x05, 0x00)}) expected.push_back(op);
  }
  for (int bank = 0; bank < 3; ++bank) {
    for (auto op : {W(0x03, bank * 4 + 2), W(0x04, 0x40), W(0x05, 0x00), StreamR(0x06, 4096)}) expected.push_back(op);
  }
  EXPECT_EQ(selections, expected);
  EXPECT_EQ(OpsOfType(device->Ops(), RegisterOp::StreamWrite).size(), 3u * 17);
}

TEST_F(GammaUpload, IdentityUploadStopsAtAMismatch) {
  // Bank 1's gamma memory loses its last byte before it is read back.
  uint8_t selected = 0;
  device->onWriteRegister = [&](uint8_t reg, uint8_t value) {
    if (reg == 0x03) selected = value;
    if (reg == 0x04 && (value & 0x40) && selected == 0x06) device->Memory(1, 2)[4095] = 0;
  };
  EXPECT_EQ(UploadIdentityGamma(), kErrMemoryMismatch);
  const auto reads = OpsOfType(device->Ops(), RegisterOp::StreamRead);
  EXPECT_EQ(reads.size(), 2u);  // bank 2 is not verified
}

TEST_F(GammaUpload, IdentityUploadReportsNoMemory) {
  const int64_t blocks = PlatTestBlocksInUse();
  PlatTestFailAllocation(1);
  EXPECT_EQ(UploadIdentityGamma(), kErrNoMemory);
  EXPECT_TRUE(device->Frames().empty());
  // The read-back block of the first verification.
  PlatTestFailAllocation(2);
  EXPECT_EQ(UploadIdentityGamma(), kErrNoMemory);
  EXPECT_EQ(OpsOfType(device->Ops(), RegisterOp::StreamWrite).size(), 3u * 17);
  EXPECT_TRUE(OpsOfType(device->Ops(), RegisterOp::StreamRead).empty());
  EXPECT_EQ(PlatTestBlocksInUse(), blocks);
}

TEST_F(GammaUpload, SetGammaTableSelectsByTheLowByte) {
  struct Case {
    uint32_t selector;
    int channel;
  };
  const Case cases[] = {{1, 0}, {257, 0}, {3, 2}, {0x7703, 2}, {0, 1}, {2, 1}, {4, 1}, {255, 1}, {0x100, 1}};
  std::vector<uint16_t> table(16384);
  uint16_t mark = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    SetIdentityGammaTables();
    table.assign(16384, mark);
    lastError = 77;
    EXPECT_EQ(SetGammaTable(table.data(), c.selector, 0xDEAD), 1);
    EXPECT_EQ(lastError, 77);  // untouched
    for (int ch = 0; ch < 3; ++ch) {
      if (ch == c.channel)
        EXPECT_EQ(std::memcmp(gammaTable[ch], table.data(), 32768), 0);
      else
        EXPECT_EQ(gammaTable[ch][5], 20);
    }
    ++mark;
  }
  EXPECT_TRUE(device->Frames().empty());
  // A null table is refused and changes nothing.
  lastError = 0;
  EXPECT_EQ(SetGammaTable(nullptr, 1, 0), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
  EXPECT_EQ(gammaTable[0][5], 20);
}
