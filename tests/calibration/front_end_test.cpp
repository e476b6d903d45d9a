// The front end's code arithmetic and its two measurements on a scripted
// device whose image data follow the front-end registers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "calibration/front_end.h"
#include "calibration_fixture.h"
#include "interface/shared_state.h"

using namespace tq5test;

TEST(FrontEndCodes, GainOfCode) {
  const struct {
    uint8_t code;
    double gain;
  } cases[] = {{0x00, 0.93},  {0x01, 0.997}, {0x08, 1.466}, {0x0D, 1.801}, {0x1F, 3.007},
               {0x20, 2.79},  {0x23, 3.393}, {0x26, 3.996}, {0x3F, 9.021}};
  for (const auto& c : cases) EXPECT_NEAR(GainOfCode(c.code), c.gain, 1e-9) << int(c.code);
}

TEST(FrontEndCodes, GainCodeForRatio) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    uint8_t code;
    double ratio;
    GainRounding rounding;
    uint8_t expected;
  } cases[] = {
      {"target over 40000", 1, 58880.0 / 40000, GainRounding::Nearest, 0x08},
      {"target over 15000", 1, 58880.0 / 15000, GainRounding::Nearest, 0x26},
      {"unchanged", 1, 1.0, GainRounding::Nearest, 0x01},
      {"2.8 takes the times-3 range", 1, 2.8 / 0.997, GainRounding::Nearest, 0x20},
      {"2.78 stays in range 1", 1, 2.78 / 0.997, GainRounding::Nearest, 0x1C},
      {"below the minimum", 1, 0.5, GainRounding::Nearest, 0x00},
      {"above the maximum", 1, 20.0, GainRounding::Nearest, 0x3F},
      {"unbounded", 1, inf, GainRounding::Nearest, 0x3F},
      {"not a number", 1, std::nan(""), GainRounding::Nearest, 0x00},
      {"1.84 downward", 1, 1.84, GainRounding::Downward, 0x0D},
      {"3.53 downward", 1, 3.53, GainRounding::Downward, 0x23},
      {"13.7 steps nearest", 0, (0.93 + 13.7 * 0.067) / 0.93, GainRounding::Nearest, 14},
      {"13.7 steps downward", 0, (0.93 + 13.7 * 0.067) / 0.93, GainRounding::Downward, 13},
      {"from the times-3 range", 0x26, 0.5, GainRounding::Nearest, 0x10},
  };
  for (const auto& c : cases) EXPECT_EQ(GainCodeForRatio(c.code, c.ratio, c.rounding), c.expected) << c.name;
}

// The exposure code saturates at 0 and 255 instead of wrapping to its low
// 8 bits.
TEST(FrontEndCodes, ExposureCodeForRatio) {
  const struct {
    uint8_t code;
    double ratio;
    uint8_t expected;
  } cases[] = {
      {10, 1.0, 10}, {10, 2.0, 22}, {10, 3.0, 34}, {6, 1.5, 10}, {5, 0.5, 1},
      {200, 2.0, 255},  // 400: wrapping would give 144
      {253, 1.0, 253}, {254, 1.004, 255},
      {0, 0.0, 0},      // -1: wrapping would give 255
      {10, 0.1, 0},     // -0.79 truncates to 0
      {10, 100.0, 255},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExposureCodeForRatio(c.code, c.ratio), c.expected) << int(c.code) << " x " << c.ratio;
}

TEST(FrontEndCodes, StepOffsetCode) {
  const struct {
    uint8_t code, expected;
  } cases[] = {{0x00, 0x01}, {0x05, 0x06}, {0x1E, 0x1F}, {0x1F, 0x1F}, {0x20, 0x01},
               {0x21, 0x00}, {0x22, 0x21}, {0x3F, 0x3E}};
  for (const auto& c : cases) {
    uint8_t code = c.code;
    StepOffsetCode(&code);
    EXPECT_EQ(code, c.expected) << int(c.code);
  }
}

class FrontEnd : public CalibrationTest {};

TEST_F(FrontEnd, LineMaximumSkipsTheLastPixel) {
  std::vector<uint8_t> line;
  for (uint16_t v : {100, 200, 300, 400, 500, 600, 0x9000, 0x9001, 0x9002}) PutSample(line, v);  // 3 pixels
  PutSample(line, 0xFFFF);  // trailing bytes
  sharedState->scanMode = 4;
  EXPECT_EQ(LineMaximum(line.data(), 18, 0), 400);
  EXPECT_EQ(LineMaximum(line.data(), 18, 1), 500);
  EXPECT_EQ(LineMaximum(line.data(), 18, 2), 600);
  sharedState->scanMode = 2;
  EXPECT_EQ(LineMaximum(line.data(), 18, 2), 0x9001);  // 9 samples, the first 8 examined
}

TEST_F(FrontEnd, LeadingSampleSum) {
  std::vector<uint8_t> line;
  for (uint16_t v : {400, 800, 1200, 404, 3, 1208, 4000, 8000, 12000}) PutSample(line, v);
  sharedState->scanMode = 4;
  EXPECT_EQ(LeadingSampleSum(line.data(), 2, 0), 100u + 101u);
  EXPECT_EQ(LeadingSampleSum(line.data(), 3, 2), 300u + 302u + 3000u);
  EXPECT_EQ(LeadingSampleSum(line.data(), 2, 1), 0u);  // a sample below 4 is 0
  EXPECT_EQ(LeadingSampleSum(line.data(), 1, 1), 200u);
  sharedState->scanMode = 3;
  EXPECT_EQ(LeadingSampleSum(line.data(), 3, 2), 100u + 200u + 300u);
  EXPECT_EQ(LeadingSampleSum(line.data(), 5, 0), 0u);
}

TEST_F(FrontEnd, PrepareCalibrationLineFillsTheCalibrationColumn) {
  struct Case {
    uint16_t optical, source, mode;
    uint16_t end, blocks;
  };
  // W = 2550, 5100 or 600 pixels; end = 64 + W x 600 / class.
  const Case cases[] = {{300, 0, 4, 64 + 5100, 8}, {600, 0, 4, 64 + 5100, 15}, {300, 2, 4, 64 + 1200, 2},
                        {300, 0, 2, 64 + 5100, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.optical * 10 + c.source);
    ResetScanState();
    sharedState->opticalXResolution = c.optical;
    sharedState->scanSource = c.source;
    sharedState->scanMode = c.mode;
    SetScanValue(0x08, 0x0A);
    SetScanValue(0x09, 0x02);
    SetScanValue(0x46, 0x12);
    ASSERT_EQ(PrepareCalibrationLine(), kErrNone);
    EXPECT_EQ(CalibrationValue(0x08), 0x0A);
    EXPECT_EQ(CalibrationValue(0x46), 0x12);
    EXPECT_EQ(CalibrationValue(0x09), 0x3A);
    EXPECT_EQ(CalibrationValue(0x22) << 8 | CalibrationValue(0x23), 64);
    EXPECT_EQ(CalibrationValue(0x24) << 8 | CalibrationValue(0x25), c.end);
    EXPECT_EQ(CalibrationValue(0x4E), c.blocks);
    EXPECT_EQ(CalibrationValue(0x4F), 2);
    for (uint8_t reg : {0x38, 0x39, 0x3A, 0x4A, 0x4B, 0x50, 0x52, 0x53}) EXPECT_EQ(CalibrationValue(reg), 0);
    for (uint8_t reg : {0x3B, 0x3C, 0x3D}) EXPECT_EQ(CalibrationValue(reg), 1);
  }
  // The column went out as the calibration set.
  EXPECT_EQ(WritesTo(0x09).back(), 0x3Au);
}

// A gain line whose channel maxima sit at pixel 5, with a brighter last
// pixel that the measurement must not see.
std::vector<uint8_t> GainLine(uint32_t pixels, bool colour, const uint16_t maxima[3]) {
  std::vector<uint8_t> line;
  for (uint32_t i = 0; i < pixels; ++i)
    for (int c = 0; c < (colour ? 3 : 1); ++c) {
      const uint16_t m = maxima[colour ? c : 0];
      PutSample(line, i == pixels - 1 ? 0xFFFF : i == 5 ? m : static_cast<uint16_t>(m / 2));
    }
  PutSample(line, 0xFFFF);
  return line;
}

TEST_F(FrontEnd, CalibrateGainChoosesCodesPerChannel) {
  struct Case {
    const char* name;
    uint16_t optical, source, mode, mono;
    uint16_t maxima[3];
    uint8_t codes[3];
    uint16_t white;
  };
  const Case cases[] = {
      {"fixed target below 450 dpi", 300, 0, 4, 0, {40000, 15000, 58880}, {0x08, 0x26, 0x01}, 230},
      {"high resolution, brightest as target", 600, 0, 4, 0, {51200, 25600, 40000}, {0x01, 0x10, 0x05}, 200},
      {"high resolution, saturated keeps the fixed target", 600, 0, 4, 0, {65535, 30000, 40000}, {0x00, 0x0F, 0x08}, 255},
      {"bright line puts the brightest at code 0", 600, 0, 4, 0, {30000, 62720, 40000}, {0x0F, 0x00, 0x08}, 245},
      {"white level 240 keeps code 1", 600, 0, 4, 0, {61695, 30000, 30000}, {0x01, 0x11, 0x11}, 240},
      {"film unit, brightest as target", 300, 1, 4, 0, {30000, 15000, 20000}, {0x01, 0x10, 0x08}, 117},
      {"film unit, saturated line at code 0", 300, 1, 4, 0, {65535, 15000, 20000}, {0x00, 0x26, 0x21}, 255},
      {"a dark channel gets the largest gain", 300, 0, 4, 0, {40000, 0, 58880}, {0x08, 0x3F, 0x01}, 230},
      {"no light at all", 300, 1, 4, 0, {0, 0, 0}, {0x3F, 0x3F, 0x3F}, 0},
      {"one channel: its code in all three", 300, 0, 2, 1, {40000, 0, 0}, {0x08, 0x08, 0x08}, 156},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    sharedState->opticalXResolution = c.optical;
    sharedState->scanSource = c.source;
    sharedState->scanMode = c.mode;
    sharedState->monoChannelIndex = c.mono;
    SetBothValues(0x3B, 0x11);
    const bool colour = c.mode == 4;
    const uint32_t pixels = c.optical * 85 / 10;
    CaptureSource source(*device, [&](int, const CaptureSource::Registers&) { return GainLine(pixels, colour, c.maxima); });
    device->ClearLog();
    uint16_t white = 0;
    ASSERT_EQ(CalibrateGain(&white), kErrNone);
    EXPECT_EQ(white, c.white);
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(ScanValue(0x3B + ch), c.codes[ch]) << ch;
      EXPECT_EQ(CalibrationValue(0x3B + ch), c.codes[ch]) << ch;
    }
    // Gain code 1 went to the measured channels before the capture.
    std::vector<RegisterOp> before;
    for (const auto& op : device->Ops()) {
      if (op == W(0x07, 0x03)) break;
      if (op.type == RegisterOp::Write && op.reg >= 0x3B && op.reg <= 0x3D) before.push_back(op);
    }
    if (colour)
      EXPECT_EQ(before, (std::vector<RegisterOp>{W(0x3B, 1), W(0x3C, 1), W(0x3D, 1)}));
    else
      EXPECT_EQ(before, (std::vector<RegisterOp>{W(0x3B + c.mono, 1)}));
    // One line of L + 2 bytes was read.
    uint32_t read = 0;
    for (const auto& op : device->Ops())
      if (op.type == RegisterOp::StreamRead && op.reg == 0x00) read += op.value;
    EXPECT_EQ(read, pixels * (colour ? 6 : 2) + 2);
  }
}

TEST_F(FrontEnd, CalibrateGainFailureKeepsTheCodes) {
  SetBothValues(0x3C, 0x07);
  device->SetRegister(0x01, 0);  // no data: the read times out
  uint16_t white = 99;
  EXPECT_EQ(CalibrateGain(&white), kErrDataTimeout);
  EXPECT_EQ(ScanValue(0x3C), 0x07);
  EXPECT_EQ(CalibrationValue(0x3C), 0x07);
  EXPECT_EQ(white, 99);
}

// Black level model: every sample of channel c is base[c] + 40 x the signed
// offset of the code in register 0x38 + c (14-bit, not below 0).
std::vector<uint8_t> OffsetLine(const CaptureSource::Registers& regs, bool colour, const int base[3]) {
  std::vector<uint8_t> line;
  for (int i = 0; i < 600; ++i)
    for (int c = 0; c < (colour ? 3 : 1); ++c) {
      const int ch = colour ? c : 1;
      const uint8_t code = regs[0x38 + ch];
      const int offset = (code & 0x20) ? -(code & 0x1F) : (code & 0x1F);
      const int level = std::max(0, base[ch] + 40 * offset);
      PutSample(line, static_cast<uint16_t>(level << 2));
    }
  return line;
}

TEST_F(FrontEnd, CalibrateOffsetFindsTheLowestLevelAboveTheTarget) {
  struct Case {
    const char* name;
    uint16_t optical, pitch, source, mode;
    int base[3];
    uint8_t codes[3];
  };
  const Case cases[] = {
      // 300 dpi: 6 samples, target 256 per sample.
      {"positive, negative, negative to zero", 300, 20, 0, 4, {100, 500, 260}, {0x04, 0x26, 0x00}},
      {"at the target goes positive", 300, 20, 0, 4, {256, 257, 0}, {0x01, 0x00, 0x07}},
      {"largest magnitudes", 300, 20, 0, 4, {1600, 5000, 10}, {0x3F, 0x3F, 0x07}},
      // 75 dpi: one sample, target 384.
      {"75 dpi target", 75, 80, 0, 4, {380, 390, 300}, {0x01, 0x00, 0x03}},
      // Film frame: target 70000 / 20 = 3500 over 6 samples (583.3 each).
      {"film frame target", 300, 20, 2, 4, {560, 600, 500}, {0x01, 0x00, 0x03}},
      {"one channel", 300, 20, 0, 2, {0, 500, 0}, {0x00, 0x26, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    sharedState->opticalXResolution = c.optical;
    sharedState->xPixelPitch = c.pitch;
    sharedState->scanSource = c.source;
    sharedState->scanMode = c.mode;
    sharedState->monoChannelIndex = 1;
    for (uint8_t reg : {0x38, 0x39, 0x3A}) SetBothValues(reg, 0x15);
    const bool colour = c.mode == 4;
    CaptureSource source(*device, [&](int, const CaptureSource::Registers& regs) { return OffsetLine(regs, colour, c.base); });
    device->ClearLog();
    ASSERT_EQ(CalibrateOffset(), kErrNone);
    EXPECT_EQ(source.Captures(), 7);
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(ScanValue(0x38 + ch), c.codes[ch]) << ch;
      EXPECT_EQ(CalibrationValue(0x38 + ch), c.codes[ch]) << ch;
    }
    // The window of the offset lines: start 35, end 335, base 34.
    EXPECT_EQ(CalibrationValue(0x1F), 34);
    EXPECT_EQ(CalibrationValue(0x23), 35);
    EXPECT_EQ(CalibrationValue(0x24) << 8 | CalibrationValue(0x25), 335);
    // Besides the calibration set, only the calibrated channels are written
    // (once per pass).
    const size_t others = colour ? 8 : 1;
    EXPECT_EQ(WritesTo(0x38).size(), others);
    EXPECT_EQ(WritesTo(0x39).size(), 8u);
    EXPECT_EQ(WritesTo(0x3A).size(), others);
  }
}

// The codes the search writes, pass by pass, for one channel.
TEST_F(FrontEnd, CalibrateOffsetPassSequence) {
  sharedState->scanMode = 4;
  const int base[3] = {100, 500, 260};
  CaptureSource source(*device, [&](int, const CaptureSource::Registers& regs) { return OffsetLine(regs, true, base); });
  ASSERT_EQ(CalibrateOffset(), kErrNone);
  // The first write of each register is the calibration set's.
  auto passes = [&](uint8_t reg) {
    auto values = WritesTo(reg);
    return std::vector<uint32_t>(values.begin() + 1, values.end());
  };
  EXPECT_EQ(passes(0x38), (std::vector<uint32_t>{0x00, 0x10, 0x08, 0x04, 0x02, 0x03, 0x04}));
  EXPECT_EQ(passes(0x39), (std::vector<uint32_t>{0x00, 0x30, 0x28, 0x24, 0x26, 0x27, 0x26}));
  EXPECT_EQ(passes(0x3A), (std::vector<uint32_t>{0x00, 0x30, 0x28, 0x24, 0x22, 0x21, 0x00}));
}

// Calibration divides by the horizontal class and the pixel pitch; a state
// without a geometry (both 0) must calibrate as the 300 class instead of
// dividing by zero.
TEST_F(FrontEnd, NoGeometryCalibratesAsThe300Class) {
  sharedState->opticalXResolution = 0;
  sharedState->xPixelPitch = 0;
  const int base[3] = {100, 500, 260};
  CaptureSource source(*device, [&](int, const CaptureSource::Registers& regs) {
    return regs[0x23] == 35 ? OffsetLine(regs, true, base) : UniformCapture(20000, 40000);
  });
  ASSERT_EQ(PrepareCalibrationLine(), kErrNone);
  EXPECT_EQ(CalibrationValue(0x24) << 8 | CalibrationValue(0x25), 64 + 5100);
  uint16_t white = 0;
  ASSERT_EQ(CalibrateGain(&white), kErrNone);
  EXPECT_EQ(ScanValue(0x3B), 0x08);
  ASSERT_EQ(CalibrateOffset(), kErrNone);
  EXPECT_EQ(ScanValue(0x38), 0x04);
}
