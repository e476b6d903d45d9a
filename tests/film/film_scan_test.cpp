// Buffered film-unit scans through the exports on the virtual scanner
// with its film unit: SetTPUMode, SetScanParameter, StartScan, ReadScan,
// StopScan. The scans run without a reader thread (their line sources read
// the device themselves), on the virtual clock.
#include <gtest/gtest.h>

#include <vector>

#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scan/scan_parameters.h"
#include "tone/tone_tables.h"
#include "layout.h"
#include "virtual_scanner.h"
#include "virtual_scanner_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The initialized scanner with its film unit attached and positive film in
// the holder.
class FilmScan : public tq5test::OnVirtualScanner {
 protected:
  FilmScan() : OnVirtualScanner({.socketStem = "film"}) {}
  void SetUp() override {
    OnVirtualScanner::SetUp();
    if (HasFatalFailure()) return;
    scanner->AttachFilmUnit(true);
    scanner->LoadFilm(tq5sim::FilmKind::Positive);
  }
  void TearDown() override {
    toneFxEntry = nullptr;
    OnVirtualScanner::TearDown();
  }

  // The film unit on, as SetTPUMode leaves it after measuring the unit:
  // the record, the film lamp and the measured positions of the model.
  void SwitchToFilm(uint8_t filmType, uint8_t negative = 0) {
    SharedState& s = *sharedState;
    s.filmUnitMode = FilmUnitMode{};
    s.filmUnitMode.attached = 1;
    s.filmUnitMode.switchToFilm = 1;
    s.filmUnitMode.filmType = filmType;
    s.filmUnitMode.negative = negative;
    s.filmCalibrated = 1;
    s.filmStartDistance = tq5sim::layout::kExpectedFilmStartDistance;
    s.filmFrameXOffset = tq5sim::layout::kExpectedFilmFrameXOffset;
    ASSERT_TRUE(LockDevice(1000));
    const DriverError lamps = SetLamps(false, true);
    UnlockDevice();
    ASSERT_EQ(lamps, 0u);
    PlatClockAdvance(60000);
    lastError = 0;
  }

  // Prepares and starts a scan (without a reader thread); its DataStatus.
  DataStatus Start(ScanParameter p) {
    DataStatus status{};
    EXPECT_EQ(SetScanParameter(&p), 1) << "SetScanParameter: " << lastError;
    GetDataStatus(&status);
    PlatTestFailThreadCreation(true);
    EXPECT_EQ(StartScan(), 1) << "StartScan: " << lastError;
    return status;
  }
  // Reads the whole image in one call, checks that not a byte more can be
  // read, and stops the scan.
  Bytes ReadAllAndStop(const DataStatus& status) {
    Bytes image(status.totalBytes, 0xA5);
    EXPECT_EQ(ReadScan(0, image.data(), status.totalBytes), 1) << "ReadScan: " << lastError;
    uint8_t extra = 0;
    EXPECT_EQ(ReadScan(0, &extra, 1), 0);
    EXPECT_EQ(lastError, kErrBadParameter);
    lastError = 0;
    EXPECT_EQ(StopScan(), 1) << "StopScan: " << lastError;
    PlatTestFailThreadCreation(false);
    return image;
  }
  Bytes Scan(const ScanParameter& p, DataStatus* status) {
    *status = Start(p);
    return ReadAllAndStop(*status);
  }
};

ScanParameter Area(uint8_t source, uint8_t mode, uint8_t bits, uint16_t dpi, uint16_t width, uint16_t height) {
  return tq5test::ScanRequest({dpi, dpi, 60, 40, width, height, mode, bits, source});
}

bool Varies(const Bytes& image) {
  for (uint8_t b : image)
    if (b != image.front()) return true;
  return false;
}

}  // namespace

// A film-unit scan above 600 dpi: the first pass is collected (ReadScan
// returns 0 with GetScannerStatus 166 meanwhile, 65536 bytes a call with a
// count of 0), then the second pass, shifted by half a pixel, is merged
// with it into lines of twice the first pass's width.
TEST_F(FilmScan, HalfResolutionScanCollectsThenMerges) {
  SwitchToFilm(1);
  const ScanParameter p = Area(1, 4, 24, 1200, 600, 60);  // 1 inch by 0.1 inch
  const DataStatus status = Start(p);
  EXPECT_EQ(status.bytesPerLine, 3600u);
  EXPECT_EQ(status.lineCount, 120u);
  EXPECT_EQ(uint32_t{sharedState->workingParameter.pixelsPerLine}, 600u);
  const uint32_t firstPass = 1800u * 120u;  // 216000 bytes: four calls
  int waits = 0;
  uint8_t none = 0;
  while (ReadScan(0, &none, 0) == 0 && waits < 10) {
    ++waits;
    EXPECT_EQ(sharedState->bufferedReadOffset, 65536u * waits);
    EXPECT_EQ(sharedState->halvedXResolution, 1u);
    uint8_t state = 0;
    ASSERT_EQ(GetScannerStatus(&state), 1);
    EXPECT_EQ(state, kErrScanInProgress);
  }
  EXPECT_EQ(waits, 3);
  EXPECT_EQ(sharedState->bufferedReadOffset, firstPass);
  EXPECT_EQ(sharedState->halvedXResolution, 0u);
  const Bytes first(sharedState->halfImageBuffer, sharedState->halfImageBuffer + firstPass);
  const Bytes image = ReadAllAndStop(status);
  EXPECT_EQ(sharedState->halfImageBuffer, nullptr);
  EXPECT_TRUE(Varies(image));
  // Every odd pixel but the last of a line lies between two first-pass
  // values' neighbours; the last pixel of a line is the first pass itself.
  for (uint32_t k = 0; k < 120; ++k)
    for (uint32_t c = 0; c < 3; ++c)
      ASSERT_EQ(image[k * 3600 + 1199 * 3 + c], first[k * 1800 + 599 * 3 + c]) << "line " << k;
}

namespace {

// A stand-in for DoToneFx that records what it was given and answers with
// curves of its own: the prescan curves invert, scan curve c is i / 2 + c.
struct ToneFxCall {
  Bytes image;
  ToneImageDescriptor descriptor;
  ToneParameterBlock block;
  uint32_t retry;
};
std::vector<ToneFxCall> toneFxCalls;
std::vector<uint32_t> toneFxAnswers;  // one per call; 0 accepts

uint32_t FakeDoToneFx(const uint8_t* image, const ToneImageDescriptor* descriptor, ToneParameterBlock* block,
                      uint16_t* scanCurves, uint16_t* prescanCurves, uint32_t retry) {
  ToneFxCall call{Bytes(image, image + descriptor->imageBytesPerLine * descriptor->imageHeight), *descriptor, *block,
                  retry};
  toneFxCalls.push_back(call);
  const uint32_t answer = toneFxCalls.size() <= toneFxAnswers.size() ? toneFxAnswers[toneFxCalls.size() - 1] : 0;
  if (answer != 0) return 0x1200 | answer;  // only the low byte counts
  for (uint32_t i = 0; i < 256; ++i)
    for (uint32_t c = 0; c < 3; ++c) {
      prescanCurves[i * 3 + c] = static_cast<uint16_t>(255 - i);
      scanCurves[i * 3 + c] = static_cast<uint16_t>(i / 2 + c);
    }
  block->bytes[16] = 0x12;  // a gain factor of TONEFX's own for channel 0
  block->bytes[17] = 0x34;
  return 0x1200;
}

uint16_t Big16(const ToneParameterBlock& block, uint32_t at) {
  return static_cast<uint16_t>(block.bytes[at] << 8 | block.bytes[at + 1]);
}

}  // namespace

// A film-type-2 scan: the prescan is collected (0 with 166 meanwhile, 65536
// bytes a call), tone-corrected with the prescan curves and handed out; the
// scan curves become the tone curves.
TEST_F(FilmScan, FilmTypeTwoCollectsAndCorrects) {
  SwitchToFilm(2);
  toneFxCalls.clear();
  toneFxAnswers.clear();
  toneFxEntry = FakeDoToneFx;
  const DataStatus status = Start(Area(1, 4, 24, 300, 600, 600));
  EXPECT_EQ(status.bytesPerLine, 900u);
  EXPECT_EQ(status.lineCount, 300u);
  const uint32_t size = 900u * 300u;  // 270000 bytes: four calls wait
  int waits = 0;
  uint8_t none = 0;
  while (ReadScan(0, &none, 0) == 0 && waits < 10) {
    ++waits;
    EXPECT_EQ(lastError, kErrScanInProgress);
    EXPECT_EQ(sharedState->bufferedReadOffset, 65536u * waits);
    lastError = 0;
  }
  EXPECT_EQ(waits, 4);
  ASSERT_EQ(toneFxCalls.size(), 1u);
  const ToneFxCall& call = toneFxCalls[0];
  EXPECT_EQ(call.descriptor.imageWidth, 300u);
  EXPECT_EQ(call.descriptor.imageHeight, 300u);
  EXPECT_EQ(call.descriptor.samplesPerPixel, 3);
  EXPECT_EQ(call.descriptor.negative, 0);
  EXPECT_EQ(call.descriptor.imageBytesPerLine, 900u);
  EXPECT_EQ(call.retry, 0u);
  EXPECT_EQ(Big16(call.block, 0), 0x1000);
  EXPECT_EQ(Big16(call.block, 2), 0x6000);
  EXPECT_EQ(Big16(call.block, 4), 0x1000);  // a positive always runs as mode 1
  EXPECT_EQ(Big16(call.block, 12), 0x0EE1);
  EXPECT_EQ(Big16(call.block, 14), 0x9000);
  EXPECT_EQ(Big16(call.block, 40), 0x1000);
  ASSERT_EQ(call.image.size(), size);
  EXPECT_TRUE(Varies(call.image));

  const Bytes image = ReadAllAndStop(status);
  Bytes expected = call.image;
  for (uint8_t& b : expected) b = static_cast<uint8_t>(255 - b);  // identity gamma: the curve as returned
  EXPECT_EQ(image, expected);
  EXPECT_EQ(sharedState->filmImageBuffer, nullptr);
  EXPECT_EQ(sharedState->autoExposureFactor, 0x1000);
  EXPECT_EQ(sharedState->autoGainFactor[0], 0x1234);
  EXPECT_EQ(sharedState->toneCurve[2][200], 102);
  EXPECT_EQ(sharedState->toneCurve[0][7], 3);
}

// A declined tone pass: a positive (byte 8 is 0) ends with 252; a negative
// is scanned once more with mode 2, whose answer is used, or whose refusal
// leaves the image uncorrected.
TEST_F(FilmScan, FilmTypeTwoDeclinedToneRepeatsOnlyForNegatives) {
  struct Case {
    const char* name;
    uint8_t negative;
    std::vector<uint32_t> answers;
    int32_t result;
    size_t calls;
    uint16_t exposure;  // autoExposureFactor afterwards
  };
  const Case cases[] = {
      {"positive declined", 0, {0x15}, 0, 1, 0x1000},
      {"negative saturated, then accepted", 1, {0x01, 0}, 1, 2, 0x2000},
      {"negative declined twice", 1, {0x01, 0x15}, 1, 2, 0x1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scanner->LoadFilm(c.negative != 0 ? tq5sim::FilmKind::Negative : tq5sim::FilmKind::Positive);
    SwitchToFilm(2, c.negative);
    toneFxCalls.clear();
    toneFxAnswers = c.answers;
    toneFxEntry = FakeDoToneFx;
    sharedState->autoExposureFactor = 0x1000;
    const DataStatus status = Start(Area(1, 4, 24, 150, 600, 300));
    Bytes image(status.totalBytes);
    const int32_t result = ReadScan(0, image.data(), status.totalBytes);
    EXPECT_EQ(result, c.result) << lastError;
    if (result == 0) {
      EXPECT_EQ(lastError, kErrToneFxFailed);
    }
    ASSERT_EQ(toneFxCalls.size(), c.calls);
    EXPECT_EQ(toneFxCalls[0].retry, 0u);
    EXPECT_EQ(Big16(toneFxCalls[0].block, 4), c.negative != 0 ? 0x3000 : 0x1000);
    if (c.calls == 2) {
      EXPECT_EQ(toneFxCalls[1].retry, 1u);
      EXPECT_EQ(Big16(toneFxCalls[1].block, 2), 0x2000);
      EXPECT_EQ(Big16(toneFxCalls[1].block, 4), 0x2000);
      // Declined twice: the second scan's image as it was scanned.
      if (c.answers[1] != 0) {
        EXPECT_EQ(image, toneFxCalls[1].image);
      }
    }
    EXPECT_EQ(sharedState->autoExposureFactor, c.exposure);
    lastError = 0;
    EXPECT_EQ(StopScan(), 1) << lastError;
    PlatTestFailThreadCreation(false);
  }
}

// An odd pixelsPerLine: the two half lines give one pixel fewer than the
// output line, and that last pixel repeats its left neighbour. A count that
// is not 0 collects the whole first pass in the first call.
TEST_F(FilmScan, HalfResolutionOddWidthRepeatsTheLastPixel) {
  SwitchToFilm(1);
  ScanParameter p = Area(1, 4, 24, 1200, 600, 20);
  p.pixelsPerLine = 1201;
  p.lineCount = 12;
  const DataStatus status = Start(p);
  EXPECT_EQ(status.bytesPerLine, 3603u);
  EXPECT_EQ(uint32_t{sharedState->workingParameter.pixelsPerLine}, 600u);
  const Bytes image = ReadAllAndStop(status);
  ASSERT_EQ(image.size(), 3603u * 12u);
  for (uint32_t k = 0; k < 12; ++k)
    for (uint32_t c = 0; c < 3; ++c)
      ASSERT_EQ(image[k * 3603 + 1200 * 3 + c], image[k * 3603 + 1199 * 3 + c]) << "line " << k;
  EXPECT_TRUE(Varies(image));
}
