// The reference-mark search on small synthetic captures of the start of the
// bed: a bright strip with a dark mark whose top and left edges are placed
// per case.
#include <gtest/gtest.h>

#include <vector>

#include "calibration/sequences.h"
#include "calibration_fixture.h"
#include "interface/shared_state.h"

namespace {

constexpr uint16_t kPitch = 1406;
constexpr uint16_t kLines = 150;
constexpr uint32_t kPixels = 468;

struct Capture {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(size_t{kPitch} * kLines, 200);
  void Set(uint32_t line, uint32_t pixel, uint32_t channel, uint8_t v) { bytes[line * kPitch + 3 * pixel + channel] = v; }
  // Darkens channel `channel` from `top` down and from pixel `left` to
  // pixel `right`.
  void Mark(uint32_t top, uint32_t left, uint32_t right, uint32_t channel, uint8_t v = 10) {
    for (uint32_t r = top; r < kLines; ++r)
      for (uint32_t i = left; i <= right; ++i) Set(r, i, channel, v);
  }
};

}  // namespace

class ReferenceMark : public CalibrationTest {};

TEST_F(ReferenceMark, ReferenceCaptureLinePitch) { EXPECT_EQ(ReferenceLinePitch(), kPitch); }

TEST_F(ReferenceMark, OriginsFromTheEdges) {
  struct Case {
    const char* name;
    uint32_t top;
    uint32_t left1, left0;  // left edge of the mark in channels 1 and 0
    uint16_t x, y;
  };
  const Case cases[] = {
      {"left edge at pixel 12", 60, 12, 12, 124, 44},
      {"left edge at pixel 29", 60, 29, 29, 158, 44},
      {"left edge at pixel 1", 60, 1, 1, 102, 44},
      {"dark from the first pixel", 60, 0, 0, 90, 44},
      {"far edge, second search finds 40", 60, 40, 40, 110, 44},
      {"first search runs out, second finds 20", 60, 0, 20, 140, 44},
      {"first search runs out, second finds 0", 60, 0, 0, 90, 44},
      {"top edge at line 40", 40, 12, 12, 124, 85},
      {"top edge at line 42", 42, 12, 12, 124, 26},
      {"top edge at line 12", 12, 12, 12, 124, 85},
      {"top edge at line 10", 10, 12, 12, 124, 85},
      {"top edge at line 144", 144, 12, 12, 124, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Capture capture;
    capture.Mark(c.top, c.left1, 300, 1);
    capture.Mark(c.top, c.left0, 300, 0);
    sharedState->xOriginOffset = 1;
    sharedState->yOriginOffset = 1;
    ASSERT_EQ(FindReferenceMark(capture.bytes.data(), kPitch, kLines), kErrNone);
    EXPECT_EQ(sharedState->xOriginOffset, c.x);
    EXPECT_EQ(sharedState->yOriginOffset, c.y);
  }
}

// The top edge must hold for five lines; a short dark stripe is not it.
TEST_F(ReferenceMark, TopEdgeNeedsTheLineFiveBelow) {
  Capture capture;
  for (uint32_t r = 30; r < 33; ++r) capture.Set(r, 150, 1, 10);  // three dark lines
  capture.Mark(70, 12, 300, 1);
  capture.Mark(70, 12, 300, 0);
  ASSERT_EQ(FindReferenceMark(capture.bytes.data(), kPitch, kLines), kErrNone);
  EXPECT_EQ(sharedState->yOriginOffset, 54);
}

// The edge threshold is 3.5 times the mark's dark level, at most 50.
TEST_F(ReferenceMark, EdgeThresholdFollowsTheDarkLevel) {
  Capture capture;
  capture.Mark(60, 12, 300, 1, 10);
  capture.Mark(60, 12, 300, 0, 10);
  for (uint32_t r = 60; r < kLines; ++r) capture.Set(r, 11, 1, 34);  // below 35: still dark
  capture.Set(65, 10, 1, 35);                                         // at 35: the edge
  ASSERT_EQ(FindReferenceMark(capture.bytes.data(), kPitch, kLines), kErrNone);
  EXPECT_EQ(sharedState->xOriginOffset, 2 * 11 + 100);

  Capture bright;  // a mark at 40 in a 200 strip: threshold 66, edge limit 50
  bright.Mark(60, 12, 300, 1, 40);
  bright.Mark(60, 12, 300, 0, 40);
  for (uint32_t r = 60; r < kLines; ++r) bright.Set(r, 11, 1, 49);
  bright.Set(65, 10, 1, 50);
  ASSERT_EQ(FindReferenceMark(bright.bytes.data(), kPitch, kLines), kErrNone);
  EXPECT_EQ(sharedState->xOriginOffset, 2 * 11 + 100);
}

TEST_F(ReferenceMark, Failures) {
  struct Case {
    const char* name;
    uint8_t strip;     // brightness of the strip
    int32_t top;       // -1: no mark
    uint32_t left1, left0;
    DriverError expected;
  };
  const Case cases[] = {
      {"strip too dark (threshold 9)", 29, 60, 12, 12, kErrLightSourceFault},
      {"too dark even without a mark", 20, -1, 0, 0, kErrLightSourceFault},
      {"strip just bright enough (threshold 10)", 30, 60, 12, 12, kErrNone},
      {"no top edge", 200, -1, 0, 0, kErrHomeSensorFault},
      {"top edge too low", 200, 145, 12, 12, kErrHomeSensorFault},
      {"second search runs out", 200, 60, 0, kPixels, kErrReferenceNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Capture capture;
    std::fill(capture.bytes.begin(), capture.bytes.end(), c.strip);
    if (c.top >= 0) {
      capture.Mark(static_cast<uint32_t>(c.top), c.left1, 300, 1, 2);
      if (c.left0 < kPixels) capture.Mark(static_cast<uint32_t>(c.top), c.left0, 300, 0, 2);
    }
    sharedState->xOriginOffset = 7;
    sharedState->yOriginOffset = 8;
    EXPECT_EQ(FindReferenceMark(capture.bytes.data(), kPitch, kLines), c.expected);
    if (c.expected != kErrNone) {
      EXPECT_EQ(sharedState->xOriginOffset, 7);
      EXPECT_EQ(sharedState->yOriginOffset, 8);
    }
  }
}

// A capture too short for the search is refused without reading past it.
TEST_F(ReferenceMark, ShortCaptures) {
  Capture capture;
  capture.Mark(10, 12, 300, 1);
  EXPECT_EQ(FindReferenceMark(capture.bytes.data(), kPitch, 15), kErrHomeSensorFault);
  EXPECT_EQ(FindReferenceMark(capture.bytes.data(), kPitch, 16), kErrNone);
  EXPECT_EQ(FindReferenceMark(capture.bytes.data(), 3 * 150 + 2, 16), kErrReferenceNotFound);
}
