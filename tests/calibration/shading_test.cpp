// Shading: trimmed means, coefficients, line limits and the tables that
// reach the controller's shading memories.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "calibration/shading.h"
#include "calibration_fixture.h"
#include "interface/shared_state.h"
#include "transport/controller_memory.h"

using namespace tq5test;

TEST(TrimmedMean, DropsPerRule) {
  struct Case {
    const char* name;
    std::vector<uint16_t> values;
    TrimRule rule;
    uint16_t expected;
  };
  std::vector<uint16_t> twenty;  // 1..20: white drops 1-5 and 19-20
  for (uint16_t v = 1; v <= 20; ++v) twenty.push_back(v);
  std::vector<uint16_t> thirty;  // 1..30: dark drops 1-7 and 24-30
  for (uint16_t v = 30; v >= 1; --v) thirty.push_back(v);
  const Case cases[] = {
      {"one value", {777}, TrimRule::White, 777},
      {"two white values keep the higher", {300, 100}, TrimRule::White, 300},
      {"two dark values", {300, 100}, TrimRule::Dark, 200},
      {"three white: the middle", {9, 1, 5}, TrimRule::White, 5},
      {"five white: drops 2 low, 1 high", {10, 50, 20, 40, 30}, TrimRule::White, 35},
      {"five dark: drops 1 low", {10, 50, 20, 40, 30}, TrimRule::Dark, 35},
      {"nine white: 2 low, 1 high", {1, 2, 3, 4, 5, 6, 7, 8, 90}, TrimRule::White, 5},
      {"nine dark: 2 low, 2 high", {1, 2, 3, 4, 5, 6, 7, 80, 90}, TrimRule::Dark, 5},
      {"twenty white: 13 middle values", twenty, TrimRule::White, (6 + 18) * 13 / 2 / 13},
      {"thirty dark: 16 middle values", thirty, TrimRule::Dark, (8 + 23) * 16 / 2 / 16},
      {"mean truncates", {1, 2, 2, 3}, TrimRule::Dark, 2},
      {"dust and a spike", {12000, 0, 12000, 12000, 12000, 12000, 12000, 12000, 12000, 16000}, TrimRule::White,
       12000},
  };
  for (auto c : cases) EXPECT_EQ(TrimmedMean(c.values.data(), static_cast<int>(c.values.size()), c.rule), c.expected) << c.name;
}

TEST(TrimmedMean, ColumnsReduceInPlace) {
  // Three lines of two words, samples high byte first; results in host order
  // in the first line.
  uint8_t buffer[] = {0x00, 0x40, 0x10, 0x00,   // 16, 1024
                      0x00, 0x80, 0x20, 0x00,   // 32, 2048
                      0x00, 0xC0, 0x30, 0x00};  // 48, 3072
  ColumnTrimmedMean(buffer, 3, 2, TrimRule::Dark);
  uint16_t first, second;
  std::memcpy(&first, buffer, 2);
  std::memcpy(&second, buffer + 2, 2);
  EXPECT_EQ(first, (16 + 32 + 48) / 3);
  EXPECT_EQ(second, (1024 + 2048 + 3072) / 3);
}

TEST(WhiteCoefficient, Values) {
  const struct {
    uint16_t mean, source, expected;
  } cases[] = {{14000, 0, 20597}, {14000, 2, 19099}, {14000, 1, 20597}, {4401, 0, 65521}, {4400, 0, 0xFFFF},
               {4081, 2, 65519},  {4080, 2, 0xFFFF}, {1, 0, 0xFFFF},     {0, 0, 0xFFFF},     {16383, 0, 17601}};
  for (const auto& c : cases) EXPECT_EQ(WhiteCoefficient(c.mean, c.source), c.expected) << c.mean << "/" << c.source;
}

class Shading : public CalibrationTest {
 protected:
  // Scan geometry for the shading window.
  void Geometry(uint16_t mode, uint16_t pitch, uint16_t pixels, uint16_t source = 0, uint16_t mono = 1) {
    sharedState->scanMode = mode;
    sharedState->xPixelPitch = pitch;
    sharedState->opticalXResolution = static_cast<uint16_t>(6000 / pitch);
    sharedState->scanSource = source;
    sharedState->monoChannelIndex = mono;
    SetScanWindow(64, static_cast<uint16_t>(64 + pixels * pitch / 10));
  }
  uint32_t ImageBytesRead() {
    uint32_t n = 0;
    for (const auto& op : device->Ops())
      if (op.type == RegisterOp::StreamRead && op.reg == 0x00) n += op.value;
    return n;
  }
  // Lines of `pixels` pixels whose sample (channel c, pixel i, line k) is
  // value(c, i, k) as a 14-bit value.
  static std::vector<uint8_t> Lines(int lines, uint32_t pixels, int channels,
                                    const std::function<uint16_t(int, uint32_t, int)>& value) {
    std::vector<uint8_t> data;
    for (int k = 0; k < lines; ++k) {
      for (uint32_t i = 0; i < pixels; ++i)
        for (int c = 0; c < channels; ++c) PutSample(data, static_cast<uint16_t>(value(c, i, k) << 2));
      PutSample(data, 0);
    }
    return data;
  }
  uint16_t Entry(int bank, int memory, uint32_t i) {
    const auto& m = device->Memory(bank, memory);
    return static_cast<uint16_t>(m[2 * i] << 8 | m[2 * i + 1]);
  }
  bool MemoryWritten() {
    for (const auto& op : device->Ops())
      if (op.type == RegisterOp::StreamWrite && op.reg == 0x06) return true;
    return false;
  }
};

TEST_F(Shading, LineLimitsAndReadRegisters) {
  struct Case {
    const char* name;
    uint16_t mode, pitch, pixels;
    bool white;
    uint16_t wanted;
    uint32_t lines;
    uint16_t stepPeriod;  // 75: 340, 100: 454, 150: 681
    uint8_t blocks;
  };
  const Case cases[] = {
      {"colour full width, white", 4, 10, 5100, true, 20, 9, 340, 135},
      {"colour full width, dark", 4, 10, 5100, false, 30, 9, 681, 134},
      {"one channel full width, white", 2, 10, 5100, true, 20, 20, 681, 100},
      {"one channel full width, dark", 2, 10, 5100, false, 30, 29, 681, 144},
      {"colour 12 lines fit: 100", 4, 10, 4100, true, 20, 12, 454, 145},
      {"one channel 18 lines fit: 100", 2, 10, 8192, true, 20, 18, 454, 145},
      {"one inch at 300 dpi, white", 4, 20, 300, true, 20, 20, 681, 18},
      {"one inch at 300 dpi, dark", 4, 20, 300, false, 30, 30, 681, 26},
      {"initialization: one white line", 4, 20, 2550, true, 1, 1, 681, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    Geometry(c.mode, c.pitch, c.pixels);
    CaptureSource source(*device, [](int, const CaptureSource::Registers&) { return UniformCapture(300000, 0x8000); });
    device->ClearLog();
    ASSERT_EQ(c.white ? CalibrateShading(static_cast<uint8_t>(c.wanted)) : MeasureDarkShading(c.wanted), kErrNone);
    const uint32_t lineBytes = c.pixels * (c.mode == 4 ? 6 : 2) + 2;
    EXPECT_EQ(ImageBytesRead(), c.lines * lineBytes);
    const auto& regs = source.CaptureRegisters();
    EXPECT_EQ(regs[0x46] << 8 | regs[0x47], c.stepPeriod);
    EXPECT_EQ(regs[0x4E], c.blocks);
    EXPECT_EQ(regs[0x4F], c.white ? 0 : 2);
    EXPECT_EQ(regs[0x4A], 0);
    EXPECT_EQ(regs[0x4B], 1);
    EXPECT_EQ(regs[0x09], 0x3A);  // scan value 0x1A with 0x20
    EXPECT_EQ(regs[0x24] << 8 | regs[0x25], ScanValue16(0x24));
    // The phase goes with the white read only (register 0x50 is 0: phase =
    // line period); the dark read leaves the calibration values (defaults).
    EXPECT_EQ(regs[0x52] << 8 | regs[0x53], c.white ? 5449 : 0x0045);
  }
}

TEST_F(Shading, WhiteTablesAreTrimmedCoefficientsPerChannel) {
  Geometry(4, 10, 4);
  // Per channel 12000, 14000, 16000; pixel 3 of channel 2 is dark (4400);
  // line 0 has dust (0) and line 19 a spike, both trimmed away.
  const uint16_t base[3] = {12000, 14000, 16000};
  CaptureSource source(*device, [&](int, const CaptureSource::Registers&) {
    return Lines(20, 4, 3, [&](int c, uint32_t i, int k) -> uint16_t {
      if (k == 0) return 0;
      if (k == 19) return 16383;
      return c == 2 && i == 3 ? 4400 : base[c];
    });
  });
  SetBothValues(0x42, 0x20);
  ASSERT_EQ(CalibrateShading(20), kErrNone);
  for (int c = 0; c < 3; ++c)
    for (uint32_t i = 0; i < 4; ++i) {
      const uint16_t expected = c == 2 && i == 3 ? 0xFFFF : WhiteCoefficient(base[c], 0);
      EXPECT_EQ(Entry(c, 1, i), expected) << c << "/" << i;
    }
  EXPECT_EQ(Entry(0, 1, 0), 24029);
  EXPECT_EQ(device->Memory(1, 1)[0], 0x50);  // 20597, high byte first
  EXPECT_EQ(device->Memory(1, 1)[1], 0x75);
  EXPECT_EQ(CalibrationValue(0x42), 0x22);
  EXPECT_EQ(ScanValue(0x42), 0x22);
  // The memory access set-up precedes the uploads, channels in order.
  const auto writes = Writes(device->Ops());
  auto at = std::find(writes.begin(), writes.end(), W(0x08, 0x04));
  ASSERT_NE(at, writes.end());
  EXPECT_EQ(at[1], W(0x09, 0x1A));
  EXPECT_EQ(at[2], W(0x03, 0x01));
}

TEST_F(Shading, OneChannelTablesGoToItsBankOnly) {
  Geometry(2, 10, 6, 0, 2);
  CaptureSource source(*device, [&](int, const CaptureSource::Registers& regs) {
    const bool dark = regs[0x4F] == 2;
    return Lines(30, 6, 1, [&](int, uint32_t, int) -> uint16_t { return dark ? 50 : 14000; });
  });
  ASSERT_EQ(CalibrateShading(20), kErrNone);
  ASSERT_EQ(MeasureDarkShading(30), kErrNone);
  const auto ops = device->Ops();
  std::vector<uint32_t> selected;
  for (const auto& op : ops)
    if (op.type == RegisterOp::Write && op.reg == 0x03) selected.push_back(op.value);
  EXPECT_EQ(selected, (std::vector<uint32_t>{2 * 4 + 1, 2 * 4 + 0}));
  EXPECT_EQ(Entry(2, 1, 5), 20597);
  EXPECT_EQ(Entry(2, 0, 5), 200);
}

TEST_F(Shading, WhiteDataRefused) {
  struct Case {
    const char* name;
    uint16_t mode, source;
    uint16_t level;   // every white mean
    bool oneZero;     // one column's mean is 0
    DriverError expected;
  };
  const Case cases[] = {
      {"flatbed, one column 0", 4, 0, 12000, true, kErrShadingDataInvalid},
      {"flatbed one channel, one column 0", 2, 0, 12000, true, kErrShadingDataInvalid},
      {"film unit tolerates a 0 column", 4, 1, 12000, true, kErrNone},
      {"film frame colour, all below 6400", 4, 2, 6399, false, kErrShadingDataInvalid},
      {"film frame colour at 6400", 4, 2, 6400, false, kErrNone},
      {"film frame one channel below 6400", 2, 2, 3000, false, kErrNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    Geometry(c.mode, 10, 8, c.source);
    SetBothValues(0x42, 0x20);
    const int channels = c.mode == 4 ? 3 : 1;
    CaptureSource source(*device, [&](int, const CaptureSource::Registers&) {
      return Lines(20, 8, channels, [&](int ch, uint32_t i, int) -> uint16_t {
        return c.oneZero && i == 4 && ch == channels - 1 ? 0 : c.level;
      });
    });
    device->ClearLog();
    EXPECT_EQ(CalibrateShading(20), c.expected);
    EXPECT_EQ(MemoryWritten(), c.expected == kErrNone);
    EXPECT_EQ(CalibrationValue(0x42), c.expected == kErrNone ? 0x22 : 0x20);
    EXPECT_EQ(ScanValue(0x42), c.expected == kErrNone ? 0x22 : 0x20);
  }
}

TEST_F(Shading, DarkTablesRaiseChannel0OfTheFilmFrame) {
  struct Case {
    const char* name;
    uint16_t mode, source;
    uint16_t entries[3];
  };
  // Dark means 100, 120, 130; three lines in ten at 1000 are trimmed away.
  const Case cases[] = {
      {"flatbed", 4, 0, {400, 480, 520}},
      {"film frame", 4, 2, {728, 480, 520}},
      {"film unit", 4, 1, {400, 480, 520}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    Geometry(c.mode, 20, 5, c.source);
    CaptureSource source(*device, [&](int, const CaptureSource::Registers&) {
      return Lines(30, 5, 3, [&](int ch, uint32_t, int k) -> uint16_t {
        return k % 10 == 3 ? 1000 : static_cast<uint16_t>(100 + (ch == 0 ? 0 : 10 + 10 * ch));
      });
    });
    ASSERT_EQ(MeasureDarkShading(30), kErrNone);
    for (int ch = 0; ch < 3; ++ch)
      for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(Entry(ch, 0, i), c.entries[ch]) << ch << "/" << i;
    EXPECT_EQ(CalibrationValue(0x42) & 0x04, 0x04);
    EXPECT_EQ(ScanValue(0x42), CalibrationValue(0x42));
  }
}

// A window whose tables cannot fit the 16384-byte shading memory, or an
// empty one, is refused before anything is read.
TEST_F(Shading, WindowMustFitTheMemory) {
  const struct {
    uint16_t start, end;
    uint16_t pitch;
  } cases[] = {{64, 64 + 8193, 10}, {64, 64, 10}, {500, 400, 10}, {0, 0xFFFF, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.end);
    sharedState->xPixelPitch = c.pitch;
    SetScanWindow(c.start, c.end);
    device->ClearLog();
    EXPECT_EQ(CalibrateShading(20), kErrBadLength);
    EXPECT_EQ(MeasureDarkShading(30), kErrBadLength);
    EXPECT_TRUE(device->Ops().empty());
  }
  // The widest window that fits: 8192 pixels.
  sharedState->scanMode = 2;
  SetScanWindow(64, 64 + 8192);
  CaptureSource source(*device, [](int, const CaptureSource::Registers&) { return UniformCapture(300000, 0x8000); });
  EXPECT_EQ(CalibrateShading(20), kErrNone);
}

TEST_F(Shading, FailuresReleaseTheirBlocks) {
  Geometry(4, 20, 100);
  CaptureSource source(*device, [](int, const CaptureSource::Registers&) { return UniformCapture(300000, 0x8000); });
  // Allocation 1 is the line buffer, 2-4 the channel tables.
  for (uint32_t nth = 1; nth <= 4; ++nth) {
    SCOPED_TRACE(nth);
    PlatTestFailAllocation(nth);
    EXPECT_EQ(CalibrateShading(20), kErrNoMemory);
    PlatTestFailAllocation(nth);
    EXPECT_EQ(MeasureDarkShading(30), kErrNoMemory);
    PlatTestFailAllocation(0);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
  }
  device->SetRegister(0x01, 0);
  device->onImageRead = nullptr;
  EXPECT_EQ(CalibrateShading(20), kErrDataTimeout);
  EXPECT_EQ(MeasureDarkShading(30), kErrDataTimeout);
}
