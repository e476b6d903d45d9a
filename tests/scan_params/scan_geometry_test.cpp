// Scan geometry and timing: the worked colour and grey scans register by
// register, the step timing of every vertical class, the class boundaries,
// the raw line and its even-length rule, the bounds of register 0x4E, the
// channel selection and the source rules.
#include <vector>

#include "scan/scan_geometry.h"
#include "scan_fixture.h"

namespace {

struct RegisterValue {
  uint8_t reg;
  uint8_t value;
};

void ExpectScanValues(const std::vector<RegisterValue>& expected) {
  for (const auto& e : expected)
    EXPECT_EQ(ScanValue(e.reg), e.value) << "register 0x" << std::hex << int{e.reg};
}

void Prepare(const Request& request) {
  const ScanParameter p = request.Make();
  ASSERT_EQ(PrepareScanGeometry(&p), kErrNone);
}

}  // namespace

using ScanGeometry = AttachedDriver;

TEST_F(ScanGeometry, WorkedExamples) {
  struct Sizes {
    uint16_t opticalX, motorY, pitch;
    uint8_t delay;
    uint16_t extra, pad, rawBytesPerLine, rawLineCount;
    uint32_t rawTotal;
    uint16_t outBytesPerLine, outLineCount;
    uint16_t ringLineSlots, xStartBase, yStartBase;
  };
  struct Case {
    const char* name;
    Request request;
    Sizes sizes;
    std::vector<RegisterValue> registers;
  };
  const std::vector<RegisterValue> neutralFrontEnd = {{0x38, 0x00}, {0x39, 0x00}, {0x3A, 0x00}, {0x3B, 0x01},
                                                      {0x3C, 0x01}, {0x3D, 0x01}, {0x42, 0x20}};
  const Case cases[] = {
      {"colour 300 x 300 dpi",
       {.x = 300, .y = 300, .width = 1800, .height = 600, .ppl = 900, .lines = 300, .mode = 4, .bits = 24},
       {300, 300, 20, 2, 12, 2, 2702, 316, 853832, 2700, 300, 6, 64, 0},
       {{0x08, 0x06}, {0x09, 0x1A}, {0x0F, 0x06}, {0x10, 0x17}, {0x11, 0x01}, {0x12, 0x03}, {0x13, 0x05},
        {0x14, 0x07}, {0x17, 0x0B}, {0x18, 0x00}, {0x19, 0x00}, {0x1E, 0x00}, {0x1F, 0x40}, {0x22, 0x00},
        {0x23, 0x40}, {0x24, 0x07}, {0x25, 0x48}, {0x26, 0x00}, {0x46, 0x05}, {0x47, 0x52}, {0x48, 0x01},
        {0x49, 0x13}, {0x4A, 0x00}, {0x4B, 0x01}, {0x4E, 0x8F}, {0x4F, 0x02}, {0x50, 0x3F}, {0x52, 0x00},
        {0x53, 0x3F}, {0x57, 0x1F}}},
      {"grey 150 x 150 dpi",
       {.x = 150, .y = 150, .width = 3000, .height = 600, .ppl = 750, .lines = 150, .mode = 2, .bits = 8, .mono = 2},
       {150, 150, 40, 0, 6, 2, 752, 156, 117312, 750, 150, 2, 64, 5},
       {{0x08, 0x0A}, {0x09, 0x1C}, {0x0F, 0x02}, {0x10, 0x08}, {0x11, 0x00}, {0x12, 0x01}, {0x13, 0x01},
        {0x14, 0x02}, {0x17, 0x04}, {0x18, 0x00}, {0x19, 0x00}, {0x22, 0x00}, {0x23, 0x40}, {0x24, 0x0B},
        {0x25, 0xF8}, {0x26, 0x0C}, {0x46, 0x02}, {0x47, 0xA9}, {0x48, 0x02}, {0x49, 0x26}, {0x4A, 0x00},
        {0x4B, 0x05}, {0x4E, 0x39}, {0x4F, 0x02}, {0x50, 0x3F}, {0x52, 0x0A}, {0x53, 0xC4}, {0x57, 0x1F}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    uint8_t stale[1];
    sharedState->ringBuffer = sharedState->columnTable = stale;
    sharedState->ringCapacityBytes = 4096;
    sharedState->syncFillBytes = 2048;
    Prepare(c.request);
    const SharedState& s = *sharedState;
    const Sizes& e = c.sizes;
    EXPECT_EQ(s.opticalXResolution, e.opticalX);
    EXPECT_EQ(s.motorYResolution, e.motorY);
    EXPECT_EQ(s.xPixelPitch, e.pitch);
    EXPECT_EQ(s.firstLineDelay, e.delay);
    EXPECT_EQ(s.secondLineDelay, e.delay);
    EXPECT_EQ(s.extraLines, e.extra);
    EXPECT_EQ(s.padBytes, e.pad);
    EXPECT_EQ(s.rawBytesPerLine, e.rawBytesPerLine);
    EXPECT_EQ(s.rawLineCount, e.rawLineCount);
    EXPECT_EQ(s.rawTotalBytes, e.rawTotal);
    EXPECT_EQ(s.rawBytesRemaining, e.rawTotal);
    EXPECT_EQ(s.outBytesPerLine, e.outBytesPerLine);
    EXPECT_EQ(s.outLineCount, e.outLineCount);
    EXPECT_EQ(s.outTotalBytes, uint32_t{e.outBytesPerLine} * e.outLineCount);
    EXPECT_EQ(s.ringLineSlots, e.ringLineSlots);
    EXPECT_EQ(s.ringBufferSize, 0x200000u);
    EXPECT_EQ(s.ringCapacityBytes, 0u);
    EXPECT_EQ(s.syncFillBytes, 0u);
    EXPECT_EQ(s.ringBuffer, nullptr);
    EXPECT_EQ(s.columnTable, nullptr);
    EXPECT_EQ(s.xStartBase, e.xStartBase);
    EXPECT_EQ(s.yStartBase, e.yStartBase);
    EXPECT_EQ(s.bottomEdge, 600);
    EXPECT_EQ(s.scanMode, c.request.mode);
    EXPECT_EQ(s.scanBits, c.request.bits);
    EXPECT_EQ(s.scanSource, 0);
    ExpectScanValues(c.registers);
    ExpectScanValues(neutralFrontEnd);
  }
}

TEST_F(ScanGeometry, StepTimingOfEveryClass) {
  struct Case {
    uint16_t m;
    uint16_t step, phase;      // register 0x19 at 0 or 1
    uint16_t step2, phase2;    // register 0x19 at 2
  };
  const Case cases[] = {
      {150, 681, 2756, 1021, 4260}, {300, 1362, 63, 2043, 2819}, {450, 2043, 2819, 3064, 1630},
      {600, 2724, 126, 4086, 189},  {1200, 5449, 5449, 8173, 126},
  };
  SetScanValue(0x50, 0x3F);
  SetScanValue(0x26, 0x00);
  for (const auto& c : cases) {
    for (uint8_t r19 : {0, 1, 2}) {
      SCOPED_TRACE(testing::Message() << "m " << c.m << ", register 0x19 = " << int{r19});
      SetScanValue(0x19, r19);
      uint16_t step = 0, linePeriod = 0;
      uint32_t phase = 0;
      ComputeStepTiming(c.m, &step, &phase, &linePeriod);
      EXPECT_EQ(linePeriod, 5449);
      EXPECT_EQ(step, r19 == 2 ? c.step2 : c.step);
      EXPECT_EQ(phase, r19 == 2 ? c.phase2 : c.phase);
    }
  }
  // A channel selection of 1 or 5 in its low bits triples the line period
  // (not the step period).
  for (uint8_t selection : {0x01, 0x05, 0x0D}) {
    SCOPED_TRACE(int{selection});
    SetScanValue(0x19, 0);
    SetScanValue(0x26, selection);
    uint16_t step = 0, linePeriod = 0;
    uint32_t phase = 0;
    ComputeStepTiming(150, &step, &phase, &linePeriod);
    EXPECT_EQ(linePeriod, 3 * 5449);
    EXPECT_EQ(step, 681);
    EXPECT_EQ(phase, 3u * 5449 - (4u * 63 * 681) % (3u * 5449));
  }
}

TEST_F(ScanGeometry, StepTimingReachesTheRegisters) {
  // After a film scan register 0x19 is 2; a flatbed 600-dpi colour scan
  // keeps it, which slows its motor step.
  Prepare({.x = 300, .y = 300, .width = 860, .height = 1500, .ppl = 430, .lines = 750, .source = 1});
  EXPECT_EQ(ScanValue(0x19), 2);
  Prepare({.x = 600, .y = 600, .width = 1800, .ppl = 1800, .lines = 600});
  EXPECT_EQ(ScanValue(0x19), 2);
  EXPECT_EQ(ScanValue16(0x46), 4086);
  EXPECT_EQ(ScanValue16(0x52), 189);
  // A grey scan clears it again.
  Prepare({.x = 600, .y = 600, .width = 1800, .ppl = 1800, .lines = 600, .mode = 2, .bits = 8});
  EXPECT_EQ(ScanValue(0x19), 0);
  EXPECT_EQ(ScanValue16(0x46), 2724);
}

TEST_F(ScanGeometry, Register48Value) {
  struct Case {
    uint8_t mode, exposure, r19;
    uint16_t value;
  };
  const Case cases[] = {{4, 6, 1, 275}, {4, 6, 0, 275}, {2, 15, 1, 388}, {4, 5, 2, 157}, {2, 5, 2, 471}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int{c.mode} << " exposure " << int{c.exposure});
    sharedState->scanMode = c.mode;
    SetScanValue(0x08, c.exposure);
    SetScanValue(0x19, c.r19);
    EXPECT_EQ(ComputeRegister48Value(), c.value);
  }
}

TEST_F(ScanGeometry, ResolutionClassesAtTheirBoundaries) {
  struct Case {
    uint16_t x, y;
    uint8_t mode, bits;
    uint16_t opticalX, motorY, pitch;
    uint8_t register09Low, exposure;
  };
  const Case cases[] = {
      // Vertical classes (horizontal 300, colour).
      {300, 150, 4, 24, 300, 150, 20, 2, 6},
      {300, 151, 4, 24, 300, 300, 20, 2, 6},
      {300, 300, 4, 24, 300, 300, 20, 2, 6},
      {300, 301, 4, 24, 300, 450, 20, 2, 10},
      {300, 450, 4, 24, 300, 450, 20, 2, 10},
      {300, 451, 4, 24, 300, 600, 20, 2, 10},
      {300, 600, 4, 24, 300, 600, 20, 2, 10},
      {300, 601, 4, 24, 300, 1200, 20, 2, 10},
      // Horizontal classes (vertical 300).
      {75, 300, 4, 24, 75, 300, 80, 6, 2},
      {76, 300, 4, 24, 150, 300, 40, 4, 6},
      {150, 300, 4, 24, 150, 300, 40, 4, 6},
      {151, 300, 4, 24, 200, 300, 30, 3, 6},
      {200, 300, 4, 24, 200, 300, 30, 3, 6},
      {201, 300, 4, 24, 300, 300, 20, 2, 6},
      {301, 300, 4, 24, 400, 300, 15, 1, 6},
      {400, 300, 4, 24, 400, 300, 15, 1, 6},
      // The 600 class of a colour flatbed scan takes exposure 10.
      {401, 300, 4, 24, 600, 300, 10, 0, 10},
      {600, 300, 4, 24, 600, 300, 10, 0, 10},
      // One-channel flatbed scans: 10, or 15 from 300 dpi down the bed.
      {75, 299, 2, 8, 75, 300, 80, 6, 10},
      {75, 300, 2, 8, 75, 300, 80, 6, 15},
      {300, 150, 2, 8, 300, 150, 20, 2, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << " x " << c.y << " mode " << int{c.mode});
    Prepare({.x = c.x, .y = c.y, .width = 1800, .height = 600, .ppl = 10, .lines = 10, .mode = c.mode, .bits = c.bits});
    EXPECT_EQ(sharedState->opticalXResolution, c.opticalX);
    EXPECT_EQ(sharedState->motorYResolution, c.motorY);
    EXPECT_EQ(sharedState->xPixelPitch, c.pitch);
    EXPECT_EQ(ScanValue(0x09) & 0x07, c.register09Low);
    EXPECT_EQ(ScanValue(0x08), c.exposure);
    EXPECT_EQ(sharedState->extraLines, c.motorY * 24 / 600);
    EXPECT_EQ(sharedState->firstLineDelay, c.mode == 4 ? c.motorY * 4 / 600 : 0);
  }
}

TEST_F(ScanGeometry, SourcesAndDepths) {
  struct Case {
    const char* name;
    Request request;
    uint8_t exposure, register19, register09;
    uint16_t xStartBase, yStartBase;
  };
  const Case cases[] = {
      {"flatbed colour", {.mode = 4, .bits = 24}, 6, 0, 0x1A, 64, 0},
      {"flatbed grey", {.mode = 2, .bits = 8}, 15, 0, 0x1A, 64, 5},
      {"flatbed grey 16-bit", {.mode = 3, .bits = 16}, 15, 0, 0x22, 64, 5},
      {"flatbed colour 48-bit", {.mode = 4, .bits = 48}, 6, 0, 0x22, 64, 0},
      {"flatbed one bit", {.mode = 0, .bits = 1}, 15, 0, 0x02, 64, 5},
      {"flatbed bitwise depth 4", {.mode = 5, .bits = 4}, 10, 0, 0x02, 64, 5},  // one channel: +5 like grey
      {"film unit colour", {.mode = 4, .source = 1, .bits = 24}, 5, 2, 0x1A, 64, 0},
      {"film frame colour", {.mode = 4, .source = 2, .bits = 24}, 5, 2, 0x1A, 64 + 2050, 35},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetScanState();
    Prepare(c.request);
    EXPECT_EQ(ScanValue(0x08), c.exposure);
    EXPECT_EQ(ScanValue(0x19), c.register19);
    EXPECT_EQ(ScanValue(0x09), c.register09);
    EXPECT_EQ(sharedState->xStartBase, c.xStartBase);
    EXPECT_EQ(sharedState->yStartBase, c.yStartBase);
  }
  // The calibration's origin corrections move both origins.
  ResetScanState();
  sharedState->xOriginOffset = 10;
  sharedState->yOriginOffset = 7;
  Prepare({.left = 100, .top = 40, .mode = 2, .bits = 8});
  EXPECT_EQ(sharedState->xStartBase, 74);
  EXPECT_EQ(sharedState->yStartBase, 12);
  EXPECT_EQ(ScanValue16(0x22), 174);
  EXPECT_EQ(ScanValue16(0x4A), 12 + 20);
}

TEST_F(ScanGeometry, RawLineIsEvenAndCoversTheWindow) {
  struct Case {
    const char* name;
    Request request;
    uint16_t rawBytesPerLine, padBytes, windowEnd;
  };
  const Case cases[] = {
      {"colour, even", {.x = 300, .width = 600, .mode = 4, .bits = 24}, 902, 2, 64 + 600},
      {"grey 75 dpi, one pixel more", {.x = 75, .width = 601, .mode = 2, .bits = 8}, 78, 3, 64 + 601 + 8},
      {"colour 600 dpi, one pixel more", {.x = 600, .width = 601, .mode = 4, .bits = 24}, 1808, 5, 64 + 602},
      {"one bit, eight pixels more", {.x = 600, .width = 8, .mode = 0, .bits = 1}, 4, 3, 64 + 16},
      {"one bit, a partial byte completed, then even", {.x = 500, .width = 2995, .mode = 0, .bits = 1}, 378, 3,
       64 + 3000 + 8},
      {"one bit at 400 dpi, a partial byte completed", {.x = 400, .width = 603, .mode = 1, .bits = 1}, 54, 3,
       64 + 612 + 12},
      {"grey 16-bit is always even", {.x = 300, .width = 601, .mode = 3, .bits = 16}, 602, 2, 64 + 601},
      {"left edge moves the window", {.x = 300, .left = 1000, .width = 600, .mode = 4, .bits = 24}, 902, 2,
       64 + 1000 + 600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(c.request);
    EXPECT_EQ(sharedState->rawBytesPerLine, c.rawBytesPerLine);
    EXPECT_EQ(sharedState->padBytes, c.padBytes);
    EXPECT_EQ(ScanValue16(0x24), c.windowEnd);
    EXPECT_EQ(ScanValue16(0x22), 64 + c.request.left);
  }
}

TEST_F(ScanGeometry, Register4EAndVerticalStart) {
  struct Case {
    const char* name;
    Request request;
    int register4E;  // -1: not looked at
    uint16_t verticalStart;
  };
  const Case cases[] = {
      // (296960 - 2702) / 2048 = 143 is below the image's 416 blocks.
      {"limited by one read", {.x = 300, .y = 300, .width = 1800, .ppl = 900, .lines = 300}, 143, 1},
      {"the most a read takes", {.x = 600, .y = 600, .width = 600, .ppl = 600, .lines = 10000, .mode = 2, .bits = 8},
       144, 5},
      // An image under one block still reads one block at a time.
      {"tiny image", {.x = 150, .y = 150, .width = 8, .ppl = 2, .lines = 1, .mode = 2, .bits = 8}, 1, 5},
      {"top 1 is raised to 1", {.top = 1, .ppl = 10, .lines = 10}, -1, 1},
      {"grey top 600", {.top = 600, .ppl = 10, .lines = 10, .mode = 2, .bits = 8}, -1, 305},
      {"film frame origin", {.top = 10, .ppl = 10, .lines = 10, .source = 2}, -1, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(c.request);
    if (c.register4E >= 0) {
      EXPECT_EQ(ScanValue(0x4E), c.register4E);
    }
    EXPECT_GE(ScanValue(0x4E), 1);
    EXPECT_LE(ScanValue(0x4E), 144);
    EXPECT_EQ(ScanValue16(0x4A), c.verticalStart);
  }
}

TEST_F(ScanGeometry, ChannelSelectionOfOneChannelScans) {
  struct Case {
    uint8_t monoChannel, register26;
    uint16_t index;
  };
  const Case cases[] = {{1, 0x04, 0}, {0, 0x0C, 1}, {2, 0x0C, 1}, {3, 0x14, 2}, {4, 0x1C, 1}, {255, 0x1C, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.monoChannel});
    sharedState->monoChannelIndex = 9;
    Prepare({.mode = 2, .bits = 8, .mono = c.monoChannel});
    EXPECT_EQ(ScanValue(0x26), c.register26);
    EXPECT_EQ(sharedState->monoChannelIndex, c.index);
  }
  // Colour selects all channels and leaves the index alone.
  sharedState->monoChannelIndex = 2;
  Prepare({.mode = 4, .bits = 24, .mono = 1});
  EXPECT_EQ(ScanValue(0x26), 0x00);
  EXPECT_EQ(sharedState->monoChannelIndex, 2);
}

// The colour line delay divides by the optical resolution of the ability
// cache. Callers other than SetScanParameter may come before anything
// filled it; the scanner's 600 dpi is used then.
TEST_F(ScanGeometry, OpticalResolutionBeforeTheCacheIsFilled) {
  for (bool filled : {false, true}) {
    SCOPED_TRACE(filled ? "cache filled" : "cache empty");
    ResetScanState();
    if (filled) {
      ScannerAbilityEx ability;
      ASSERT_EQ(GetScannerAbilityEx(&ability), 1);
    }
    ASSERT_EQ(sharedState->abilityCacheValid, filled ? 1u : 0u);
    EXPECT_EQ(CachedOpticalResolution(), 600);
    Prepare({.y = 1200, .ppl = 10, .lines = 10});
    EXPECT_EQ(sharedState->firstLineDelay, 8);
    EXPECT_EQ(sharedState->secondLineDelay, 8);
  }
}

TEST_F(ScanGeometry, RingBufferSizeFollowsTheHalfResolutionBuffer) {
  uint8_t stand_in[1];
  sharedState->halfImageBuffer = stand_in;
  Prepare({});
  EXPECT_EQ(sharedState->ringBufferSize, 0x300000u);
  sharedState->halfImageBuffer = nullptr;
  Prepare({});
  EXPECT_EQ(sharedState->ringBufferSize, 0x200000u);
}

TEST_F(ScanGeometry, ConsistencyCheckOfALayout) {
  // A 400-dpi line of 1201 pixels needs 1802 units: 1801 units hold only
  // 1200 pixels.
  EXPECT_FALSE(ScanGeometryFits(Request{.x = 400, .width = 1801, .ppl = 1201, .lines = 10}.Make()));
  EXPECT_TRUE(ScanGeometryFits(Request{.x = 400, .width = 1802, .ppl = 1201, .lines = 10}.Make()));
  // More output lines than the vertical class delivers.
  EXPECT_FALSE(ScanGeometryFits(Request{.y = 1201, .ppl = 10, .lines = 10, .source = 1}.Make()));
  // Sizes beyond 16 bits.
  EXPECT_FALSE(ScanGeometryFits(Request{.x = 600, .width = 30000, .ppl = 30000, .lines = 1}.Make()));
  EXPECT_FALSE(ScanGeometryFits(Request{.x = 600, .y = 1200, .ppl = 10, .lines = 65530}.Make()));
}
