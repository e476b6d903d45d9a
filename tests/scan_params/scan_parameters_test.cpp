// SetScanParameter, GetScanParameter and GetDataStatus: the output and
// device areas, the refusals and what each leaves behind, the film-unit
// paths with their buffers, and the release of buffers a scan never used.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "scan/scan_geometry.h"
#include "scan_fixture.h"
#include "tone/tone_tables.h"

namespace {

DataStatus Status() {
  DataStatus status{};
  EXPECT_EQ(GetDataStatus(&status), 1);
  return status;
}

ScanParameter Requested() {
  ScanParameter p{};
  EXPECT_EQ(GetScanParameter(&p), 1);
  return p;
}

bool SameRecord(const ScanParameter& a, const ScanParameter& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What a refused call must leave alone: the scan engine's shared state, the
// register image, the tone curves and this process's status values.
struct ScanSnapshot {
  std::vector<uint8_t> bytes;
  static ScanSnapshot Take() {
    ScanSnapshot s;
    auto add = [&s](const void* data, size_t size) {
      const auto* p = static_cast<const uint8_t*>(data);
      s.bytes.insert(s.bytes.end(), p, p + size);
    };
    add(static_cast<const ScanWorkState*>(sharedState), sizeof(ScanWorkState));
    add(sharedState->registerImage, sizeof sharedState->registerImage);
    add(sharedState->toneCurve, sizeof sharedState->toneCurve);
    add(&statusPixelsPerLine, sizeof statusPixelsPerLine);
    add(&statusLineCount, sizeof statusLineCount);
    return s;
  }
  bool operator==(const ScanSnapshot&) const = default;
};

void ScrambleToneCurves() {
  for (auto& curve : sharedState->toneCurve)
    for (int j = 0; j < 256; ++j) curve[j] = static_cast<uint16_t>(255 - j);
}

bool ToneCurvesAreIdentity() {
  for (const auto& curve : sharedState->toneCurve)
    for (int j = 0; j < 256; ++j)
      if (curve[j] != j) return false;
  return true;
}

}  // namespace

class ScanParameters : public AttachedDriver {
 protected:
  int32_t Set(const Request& request) {
    ScanParameter p = request.Make();
    return SetScanParameter(&p);
  }
};

TEST_F(ScanParameters, OutputAndDeviceAreas) {
  struct Area {
    uint16_t left, top, width, height, ppl, lines;
  };
  struct Case {
    const char* name;
    Request request;
    DataStatus status;
    uint16_t workingWidth;
    Area device;
    uint32_t widthEnlarged, heightEnlarged;
  };
  const Case cases[] = {
      {"one inch square at 300 dpi is scanned three inches wide",
       {.x = 300, .y = 300, .width = 600, .height = 600},
       {900, 300, 270000}, 600, {0, 0, 1800, 600, 900, 300}, 1, 0},
      {"one bit: whole bytes per line",
       {.x = 300, .y = 300, .width = 1000, .height = 600, .mode = 0, .bits = 1},
       {62, 300, 18600}, 992, {0, 0, 1800, 600, 896, 300}, 1, 0},
      {"75 dpi: at least five inches",
       {.x = 75, .y = 75, .width = 600, .height = 600},
       {225, 75, 16875}, 600, {0, 0, 3000, 600, 375, 75}, 1, 0},
      {"151 dpi: at least three inches",
       {.x = 151, .y = 151, .width = 600, .height = 600},
       {453, 151, 68403}, 600, {0, 0, 1800, 600, 453, 151}, 1, 0},
      {"a widened area ends at the right edge",
       {.x = 300, .y = 300, .left = 4000, .width = 600, .height = 600},
       {900, 300, 270000}, 600, {3304, 0, 1800, 600, 900, 300}, 1, 0},
      {"wide enough: scanned as asked",
       {.x = 300, .y = 300, .left = 100, .width = 2400, .height = 600},
       {3600, 300, 1080000}, 2400, {100, 0, 2400, 600, 1200, 300}, 0, 0},
      {"ends at the bottom, one inch long: kept",
       {.x = 300, .y = 300, .top = 6416, .width = 600, .height = 600},
       {900, 300, 270000}, 600, {0, 6416, 1800, 600, 900, 300}, 1, 0},
      {"ends at the bottom, half an inch: extended upwards",
       {.x = 300, .y = 300, .top = 6716, .width = 600, .height = 300},
       {900, 150, 135000}, 600, {0, 6416, 1800, 600, 900, 300}, 1, 1},
      {"one inch under 2048 bytes: two inches",
       {.x = 75, .y = 30, .top = 6816, .width = 600, .height = 200, .mode = 0, .bits = 1},
       {9, 10, 90}, 576, {0, 5816, 3000, 1200, 368, 60}, 1, 1},
      {"pixel and line counts given",
       {.x = 300, .y = 300, .width = 600, .height = 600, .ppl = 1000, .lines = 50},
       {3000, 50, 150000}, 2000, {0, 0, 2000, 600, 1000, 50}, 0, 0},
      {"film frame in grey: the caller's depth, scanned in colour",
       {.x = 300, .y = 300, .width = 600, .height = 500, .mode = 2, .source = 2, .bits = 8},
       {300, 250, 75000}, 600, {0, 0, 860, 1500, 430, 750}, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    ASSERT_EQ(Set(c.request), 1) << lastError;
    const DataStatus status = Status();
    EXPECT_EQ(+status.bytesPerLine, +c.status.bytesPerLine);
    EXPECT_EQ(+status.lineCount, +c.status.lineCount);
    EXPECT_EQ(+status.totalBytes, +c.status.totalBytes);
    EXPECT_TRUE(SameRecord(Requested(), c.request.Make()));
    const ScanParameter& w = sharedState->workingParameter;
    EXPECT_EQ(+w.width, c.workingWidth);
    EXPECT_EQ(+w.pixelsPerLine, statusPixelsPerLine);
    EXPECT_EQ(+w.lineCount, statusLineCount);
    const ScanParameter& d = sharedState->deviceParameter;
    EXPECT_EQ(+d.left, c.device.left);
    EXPECT_EQ(+d.top, c.device.top);
    EXPECT_EQ(+d.width, c.device.width);
    EXPECT_EQ(+d.height, c.device.height);
    EXPECT_EQ(+d.pixelsPerLine, c.device.ppl);
    EXPECT_EQ(+d.lineCount, c.device.lines);
    EXPECT_EQ(sharedState->widthEnlarged, c.widthEnlarged);
    EXPECT_EQ(sharedState->heightEnlarged, c.heightEnlarged);
    // The geometry was prepared from the device record.
    EXPECT_EQ(sharedState->outLineCount, +d.lineCount);
    EXPECT_EQ(sharedState->bottomEdge, +d.top + +d.height);
  }
}

TEST_F(ScanParameters, FilmFrameAlwaysScansColour) {
  for (uint8_t mode : {0, 2, 3}) {
    SCOPED_TRACE(int{mode});
    ASSERT_EQ(Set({.width = 600, .height = 500, .mode = mode, .source = 2, .bits = uint8_t(mode < 2 ? 1 : 8)}), 1);
    EXPECT_EQ(sharedState->workingParameter.scanMode, 4);
    EXPECT_EQ(sharedState->workingParameter.bitsPerPixel, 24);
    EXPECT_EQ(sharedState->scanMode, 4);
    EXPECT_EQ(Requested().scanMode, mode);
  }
}

// A 400-dpi line of an odd number of pixels: the width covered is rounded
// up, so that the scanned line holds every output pixel.
TEST_F(ScanParameters, ScannedLineHoldsEveryOutputPixel) {
  ASSERT_EQ(Set({.x = 400, .y = 300, .width = 1802, .height = 600}), 1);
  EXPECT_EQ(statusPixelsPerLine, 1201);
  EXPECT_EQ(+sharedState->workingParameter.width, 1802);
  const SharedState& s = *sharedState;
  EXPECT_GE(s.rawBytesPerLine - s.padBytes, s.outBytesPerLine);
  EXPECT_EQ(s.outBytesPerLine, 3603);
}

TEST_F(ScanParameters, RefusedRecordsStoreNothing) {
  struct Case {
    const char* name;
    Request request;
    bool accepted;
  };
  const Case cases[] = {
      {"flatbed right edge", {.left = 4504, .width = 600}, true},
      {"flatbed past the right edge", {.left = 4505, .width = 600}, false},
      {"flatbed past the bottom", {.top = 6417, .height = 600}, false},
      // The film unit scans its 860 x 1500 window; the area is cut out of it.
      {"film unit window bottom", {.top = 900, .height = 600, .source = 1}, true},
      {"film unit past its window's bottom", {.top = 901, .height = 600, .source = 1}, false},
      {"film unit window right edge", {.left = 260, .width = 600, .source = 1}, true},
      {"film unit past its window's right edge", {.left = 261, .width = 600, .source = 1}, false},
      {"film unit: lines given, to the window's end", {.top = 900, .height = 600, .ppl = 100, .lines = 300, .source = 1}, true},
      {"film unit: lines given, one past the window", {.top = 900, .height = 600, .ppl = 100, .lines = 301, .source = 1}, false},
      {"film unit past the bottom", {.top = 7801, .height = 600, .source = 1}, false},
      {"film frame width", {.width = 851, .height = 568, .source = 2}, true},
      {"film frame too wide", {.width = 852, .height = 500, .source = 2}, false},
      {"film frame too long", {.width = 600, .height = 569, .source = 2}, false},
      {"eight times the bounds", {.left = 5104 * 8 - 600, .width = 600, .flags = 0x40}, true},
      {"past eight times the bounds", {.left = 5104 * 8 - 599, .width = 600, .flags = 0x40}, false},
      {"film frame: eight times the flatbed, past the window", {.width = 5104 * 8, .height = 600, .source = 2, .flags = 0x40}, false},
      {"film frame: eight times, within the window", {.left = 260, .width = 600, .source = 2, .flags = 0x40}, true},
      {"film frame: eight times, past the window", {.left = 4000, .width = 600, .source = 2, .flags = 0x40}, false},
      {"unknown source", {.source = 3}, false},
      {"unknown mode", {.mode = 6, .bits = 8}, false},
      {"one bit at 8 bits", {.mode = 1, .bits = 8}, false},
      {"one bit at 0 bits", {.mode = 0, .bits = 0}, false},
      {"grey at 12 bits", {.mode = 2, .bits = 12}, false},
      {"grey at 24 bits", {.mode = 3, .bits = 24}, false},
      {"colour at 8 bits", {.mode = 4, .bits = 8}, false},
      {"bitwise at 1 bit", {.mode = 5, .bits = 1}, false},
      // Mode 5 runs the pipeline in whole 8- or 16-bit samples.
      {"mode 5 at 4 bits", {.mode = 5, .bits = 4}, false},
      {"mode 5 at 12 bits", {.mode = 5, .bits = 12}, false},
      {"mode 5 at 8 bits", {.mode = 5, .bits = 8}, true},
      {"mode 5 at 16 bits", {.mode = 5, .bits = 16}, true},
      {"zero horizontal resolution", {.x = 0}, false},
      {"zero vertical resolution", {.y = 0}, false},
      {"film unit at 1200 dpi", {.x = 1200, .y = 1200, .source = 1}, true},
      {"film unit above 1200 dpi across", {.x = 1201, .y = 600, .source = 1}, false},
      {"film unit above 1200 dpi down", {.x = 600, .y = 1201, .source = 1}, false},
      {"film frame above 1200 dpi", {.x = 1201, .y = 300, .width = 600, .height = 500, .source = 2}, false},
      // A film frame is scanned in colour and converted to 8-bit grey or bits.
      {"film frame grey at 16 bits", {.width = 600, .height = 500, .mode = 3, .source = 2, .bits = 16}, false},
      {"film frame grey at 8 bits", {.width = 600, .height = 500, .mode = 2, .source = 2, .bits = 8}, true},
      {"film frame colour at 48 bits", {.width = 600, .height = 500, .mode = 4, .source = 2, .bits = 48}, true},
      {"film unit grey at 16 bits", {.width = 600, .height = 500, .mode = 2, .source = 1, .bits = 16}, true},
      // Two half-resolution passes are merged pixel by pixel: not one-bit lines.
      {"film unit one bit above 600 dpi", {.x = 601, .y = 300, .width = 600, .height = 500, .mode = 0, .source = 1, .bits = 1}, false},
      {"film unit one bit at 600 dpi", {.x = 600, .y = 300, .width = 600, .height = 500, .mode = 1, .source = 1, .bits = 1}, true},
      {"film frame one bit above 600 dpi", {.x = 1200, .y = 300, .width = 600, .height = 500, .mode = 0, .source = 2, .bits = 1}, true},
      {"line beyond 16 bits", {.x = 600, .width = 25000, .flags = 0x40}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    ASSERT_EQ(Set({.x = 150, .y = 150, .width = 900, .height = 300}), 1);
    const ScanParameter previous = Requested();
    const ScanSnapshot before = ScanSnapshot::Take();
    lastError = 0;
    const int32_t result = Set(c.request);
    if (c.accepted) {
      EXPECT_EQ(result, 1) << lastError;
      EXPECT_TRUE(SameRecord(Requested(), c.request.Make()));
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(lastError, kErrBadParameter);
      EXPECT_TRUE(SameRecord(Requested(), previous));
      EXPECT_TRUE(ScanSnapshot::Take() == before);
    }
  }
}

// The resolution limits of the flatbed and of the film-type-2 scan refuse a
// record after it has been stored: the request, the working geometry and
// the status values hold it; the device record and the prepared geometry
// stay those of the last accepted call.
TEST_F(ScanParameters, ResolutionLimitsRefuseAfterStoring) {
  struct Case {
    const char* name;
    Request request;
    uint8_t filmType;
  };
  const Case cases[] = {
      {"flatbed 1200 dpi across", {.x = 1200, .y = 600}, 0},
      {"flatbed above 1200 dpi down", {.x = 600, .y = 1201}, 0},
      {"film type 2 above 600 dpi across", {.x = 601, .y = 300, .source = 1}, 2},
      {"film type 2 above 600 dpi down", {.x = 300, .y = 601, .source = 1}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    ASSERT_EQ(Set({}), 1);
    const ScanParameter device = sharedState->deviceParameter;
    const uint16_t rawBytesPerLine = sharedState->rawBytesPerLine;
    sharedState->filmUnitMode.filmType = c.filmType;
    ScrambleToneCurves();
    lastError = 0;
    EXPECT_EQ(Set(c.request), 0);
    EXPECT_EQ(lastError, kErrBadParameter);
    EXPECT_TRUE(SameRecord(Requested(), c.request.Make()));
    const uint32_t pixels = uint32_t{c.request.width} * c.request.x / 600;
    const uint32_t lines = uint32_t{c.request.height} * c.request.y / 600;
    EXPECT_EQ(+sharedState->workingParameter.pixelsPerLine, pixels);
    EXPECT_EQ(+Status().bytesPerLine, pixels * 3);
    EXPECT_EQ(+Status().lineCount, lines);
    EXPECT_TRUE(SameRecord(sharedState->deviceParameter, device));
    EXPECT_EQ(sharedState->rawBytesPerLine, rawBytesPerLine);
    EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
    EXPECT_FALSE(ToneCurvesAreIdentity());
  }
}

// The automatic tone pass cannot analyse a one-bit film-unit image: such a
// record is refused before anything is stored. A film frame is collected
// in colour, and without film type 2 nothing is analysed.
TEST_F(ScanParameters, FilmTypeTwoRefusesOneBitFilmUnitImages) {
  struct Case {
    const char* name;
    Request request;
    uint8_t filmType;
    bool accepted;
  };
  const Case cases[] = {
      {"film unit, one bit, film type 2", {.x = 300, .y = 300, .width = 600, .height = 600, .mode = 0, .source = 1, .bits = 1}, 2, false},
      {"film unit, grey, film type 2", {.x = 300, .y = 300, .width = 600, .height = 600, .mode = 2, .source = 1, .bits = 8}, 2, true},
      {"film frame, one bit, film type 2", {.x = 300, .y = 300, .width = 600, .height = 500, .mode = 1, .source = 2, .bits = 1}, 2, true},
      {"film unit, one bit, film type 0", {.x = 300, .y = 300, .width = 600, .height = 600, .mode = 0, .source = 1, .bits = 1}, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    ASSERT_EQ(Set({}), 1);
    const ScanParameter previous = Requested();
    sharedState->filmUnitMode.filmType = c.filmType;
    lastError = 0;
    EXPECT_EQ(Set(c.request), c.accepted ? 1 : 0);
    EXPECT_EQ(lastError, c.accepted ? 0 : kErrBadParameter);
    EXPECT_TRUE(SameRecord(Requested(), c.accepted ? c.request.Make() : previous));
    if (sharedState->filmImageBuffer != nullptr) ReleaseWholeImageBuffers();
  }
}

TEST_F(ScanParameters, FilmTypeTwoCollectsTheWholeImage) {
  sharedState->filmUnitMode.filmType = 2;
  ScrambleToneCurves();
  sharedState->bufferedReadOffset = 77;
  ASSERT_EQ(Set({.x = 300, .y = 300, .width = 600, .height = 600, .source = 1}), 1) << lastError;
  const SharedState& s = *sharedState;
  EXPECT_NE(s.filmImageBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart + 1);
  EXPECT_TRUE(ToneCurvesAreIdentity());
  EXPECT_EQ(s.widthEnlarged, 1u);
  EXPECT_EQ(s.heightEnlarged, 1u);
  EXPECT_EQ(s.filmPrescanPending, 1u);
  EXPECT_EQ(s.bufferedReadOffset, 0u);
  EXPECT_EQ(s.halvedXResolution, 0u);
  // The hardware scans the film window.
  const ScanParameter& d = s.deviceParameter;
  EXPECT_EQ(+d.left, 0);
  EXPECT_EQ(+d.top, 0);
  EXPECT_EQ(+d.width, 860);
  EXPECT_EQ(+d.height, 1500);
  EXPECT_EQ(+d.pixelsPerLine, 430);
  EXPECT_EQ(+d.lineCount, 750);
  EXPECT_EQ(s.scanSource, 1);
  EXPECT_EQ(ScanValue(0x19), 2);
  // The whole image fits: its last byte can be written.
  s.filmImageBuffer[300 * 3 * 300 - 1] = 0x5A;

  // No memory: 152, the tone curves already reset, nothing kept.
  Reset();
  sharedState->filmUnitMode.filmType = 2;
  ScrambleToneCurves();
  PlatTestFailAllocation(1);
  lastError = 0;
  EXPECT_EQ(Set({.x = 300, .y = 300, .width = 600, .height = 600, .source = 1}), 0);
  EXPECT_EQ(lastError, kErrNoMemory);
  EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
  EXPECT_TRUE(ToneCurvesAreIdentity());
  EXPECT_EQ(sharedState->filmPrescanPending, 0u);
}

TEST_F(ScanParameters, FilmAbove600DpiScansTwoHalfResolutionPasses) {
  const Request request{.x = 1200, .y = 1200, .width = 600, .height = 600, .source = 1};
  sharedState->bufferedReadOffset = 5;
  ASSERT_EQ(Set(request), 1) << lastError;
  const SharedState& s = *sharedState;
  // The host gets 1200 pixels per line; the passes scan 600 each.
  EXPECT_EQ(statusPixelsPerLine, 1200);
  EXPECT_EQ(+Status().bytesPerLine, 3600u);
  EXPECT_EQ(+s.workingParameter.xResolution, 600);
  EXPECT_EQ(+s.workingParameter.pixelsPerLine, 600);
  EXPECT_EQ(+s.deviceParameter.xResolution, 600);
  EXPECT_EQ(+s.deviceParameter.yResolution, 1200);
  EXPECT_EQ(+s.deviceParameter.pixelsPerLine, 860);
  EXPECT_EQ(+s.deviceParameter.lineCount, 3000);
  EXPECT_EQ(s.halvedXResolution, 1u);
  EXPECT_EQ(s.bufferedReadOffset, 0u);
  EXPECT_NE(s.halfImageBuffer, nullptr);
  EXPECT_NE(s.mergeLineBuffer, nullptr);
  EXPECT_NE(s.twoLineBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart + 3);
  EXPECT_EQ(s.ringBufferSize, 0x300000u);
  // The first pass fills the half-resolution image: 600 pixels x 1200 lines.
  s.halfImageBuffer[600 * 3 * 1200 - 1] = 0x5A;

  // Any of the three allocations failing leaves nothing allocated.
  for (uint32_t nth : {1u, 2u, 3u}) {
    SCOPED_TRACE(nth);
    Reset();
    PlatTestFailAllocation(nth);
    lastError = 0;
    EXPECT_EQ(Set(request), 0);
    EXPECT_EQ(lastError, kErrNoMemory);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
    EXPECT_EQ(sharedState->halfImageBuffer, nullptr);
    EXPECT_EQ(sharedState->mergeLineBuffer, nullptr);
    EXPECT_EQ(sharedState->twoLineBuffer, nullptr);
    EXPECT_EQ(sharedState->halvedXResolution, 0u);
    PlatTestFailAllocation(0);
  }
}

TEST_F(ScanParameters, FilmUpTo600DpiIsScannedDirectly) {
  sharedState->halvedXResolution = 1;
  ASSERT_EQ(Set({.x = 600, .y = 600, .width = 600, .height = 600, .source = 1}), 1);
  const SharedState& s = *sharedState;
  EXPECT_EQ(s.halvedXResolution, 0u);
  EXPECT_EQ(s.halfImageBuffer, nullptr);
  EXPECT_EQ(s.filmImageBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
  EXPECT_EQ(+s.deviceParameter.pixelsPerLine, 860);
  EXPECT_EQ(+s.deviceParameter.lineCount, 1500);
  EXPECT_EQ(s.widthEnlarged, 1u);
  EXPECT_EQ(s.heightEnlarged, 1u);
  EXPECT_EQ(s.ringBufferSize, 0x200000u);
}

// Buffers of a call whose scan never ran would otherwise be lost, and would
// send the next flatbed scan down a buffered path.
TEST_F(ScanParameters, ANewCallReleasesUnusedBuffers) {
  sharedState->filmUnitMode.filmType = 2;
  ASSERT_EQ(Set({.source = 1}), 1);
  ASSERT_NE(sharedState->filmImageBuffer, nullptr);
  sharedState->filmUnitMode.filmType = 0;
  ASSERT_EQ(Set({.x = 1200, .y = 600, .source = 1}), 1);
  EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart + 3);
  ASSERT_EQ(Set({}), 1);
  EXPECT_EQ(sharedState->halfImageBuffer, nullptr);
  EXPECT_EQ(sharedState->mergeLineBuffer, nullptr);
  EXPECT_EQ(sharedState->twoLineBuffer, nullptr);
  EXPECT_EQ(sharedState->halvedXResolution, 0u);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);

  // A block that another process allocated is only dropped: its address
  // means nothing here (freeing it would corrupt this process's heap).
  uint8_t elsewhere[4];
  sharedState->filmImageBuffer = elsewhere;
  ASSERT_EQ(Set({}), 1);
  EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
}

// The reset of the working state frees the whole-image buffers this
// process allocated before it zeroes their references.
TEST_F(ScanParameters, ResetFreesThisProcessBuffers) {
  struct Case {
    const char* name;
    Request request;
    uint8_t filmType;
    int64_t blocks;
  };
  const Case cases[] = {
      {"film type 2: the whole image", {.source = 1}, 2, 1},
      {"film above 600 dpi: the three buffers of the passes", {.x = 1200, .y = 600, .source = 1}, 0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sharedState->filmUnitMode.filmType = c.filmType;
    ASSERT_EQ(Set(c.request), 1) << lastError;
    ASSERT_EQ(PlatTestBlocksInUse(), blocksAtStart + c.blocks);
    ResetScanState();
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
    EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
    EXPECT_EQ(sharedState->halfImageBuffer, nullptr);
    EXPECT_EQ(sharedState->mergeLineBuffer, nullptr);
    EXPECT_EQ(sharedState->twoLineBuffer, nullptr);
  }
  // Another process's block is only dropped.
  uint8_t elsewhere[4];
  sharedState->filmImageBuffer = elsewhere;
  ResetScanState();
  EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart);
}

TEST_F(ScanParameters, FirstCallFillsTheAbilityCache) {
  ASSERT_EQ(sharedState->abilityCacheValid, 0u);
  ASSERT_EQ(Set({}), 1);
  EXPECT_EQ(sharedState->abilityCacheValid, 1u);
  const uint8_t* cache = sharedState->abilityCache;
  EXPECT_EQ(cache[84] | cache[85] << 8, 5104);
  EXPECT_EQ(cache[128] | cache[129] << 8, 851);
}

TEST_F(ScanParameters, RefusedWithoutTouchingAnything) {
  ASSERT_EQ(Set({}), 1);
  std::vector<uint8_t> before(sizeof(SharedState));
  auto snapshot = [&] { std::memcpy(before.data(), sharedState, sizeof(SharedState)); };
  auto unchanged = [&] { return std::memcmp(before.data(), sharedState, sizeof(SharedState)) == 0; };
  const ScanParameter other = Request{.x = 150, .y = 150}.Make();

  // A scan started in any process, with a reader thread or read without
  // one: 162, ScannerBusy.
  ScanParameter p = other;
  uint8_t ring[1];
  for (bool withThread : {true, false}) {
    SCOPED_TRACE(withThread ? "reader thread" : "ring only");
    if (withThread)
      sharedState->readerThread = 1;
    else
      sharedState->ringBuffer = ring;
    snapshot();
    lastError = 0;
    EXPECT_EQ(SetScanParameter(&p), 0);
    EXPECT_EQ(lastError, kErrScannerBusy);
    EXPECT_TRUE(unchanged());
    sharedState->readerThread = 0;
    sharedState->ringBuffer = nullptr;
  }

  // The device lock held elsewhere: 150 after the wait.
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    ASSERT_TRUE(LockDevice(kLockTimeout));
    held = true;
    while (!done) std::this_thread::yield();
    UnlockDevice();
  });
  while (!held) std::this_thread::yield();
  snapshot();
  lastError = 0;
  EXPECT_EQ(SetScanParameter(&p), 0);
  EXPECT_EQ(lastError, kErrLockTimeout);
  EXPECT_TRUE(unchanged());
  done = true;
  holder.join();

  // No record at all.
  lastError = 0;
  EXPECT_EQ(SetScanParameter(nullptr), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
  EXPECT_TRUE(unchanged());
  lastError = 0;
  EXPECT_EQ(GetScanParameter(nullptr), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
  lastError = 0;
  EXPECT_EQ(GetDataStatus(nullptr), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
}

TEST_F(ScanParameters, ReservedBytesAreKept) {
  ScanParameter p = Request{}.Make();
  const uint8_t reserved[] = {1, 0, 0, 1, 255, 0};
  std::memcpy(p.reserved19, reserved, sizeof reserved);
  p.reserved26[0] = 7;
  p.reserved26[1] = 8;
  p.parameterFlags = 0x1234 & ~0x40;
  p.reserved30 = 9;
  ASSERT_EQ(SetScanParameter(&p), 1);
  EXPECT_TRUE(SameRecord(Requested(), p));
  // Before any call after the reset the record is all zero.
  ResetScanState();
  EXPECT_TRUE(SameRecord(Requested(), ScanParameter{}));
}
