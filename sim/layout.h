// The physical layout of the virtual scanner: sensor, bed, calibration strip,
// reference mark, glass, film unit. docs/virtual-scanner.md derives every
// number here from how the driver measures it.
//
// Coordinates:
//  - x: sensor pixels at 600 dpi, 0 = first pixel the sensor clocks out.
//  - y: motor steps of 1/1200 inch measured from the carriage's home
//    position, as seen by the sensor row of channel 0. The rows of channels
//    1 and 2 trail behind it by kRowSpacingSteps and 2 * kRowSpacingSteps;
//    one-channel captures see the bed kOneChannelRowSteps behind it.
//  - rows: the bed scene is stored in 600-dpi rows; row = floor(y / 2).
#pragma once

#include <cstdint>

namespace tq5sim::layout {

// Sensor.
constexpr int kSensorPixels = 5440;  // pixels clocked out per line
constexpr int kMaskedPixels = 64;    // optically masked pixels at the line start (no light)
constexpr int kRowSpacingSteps = 8;  // colour rows are 4/600 inch apart
// Where a one-channel capture takes its line, whatever channel register 0x26
// selects: 10/600 inch behind the row of channel 0. The driver starts every
// one-channel scan 5/300 inch further down the bed than a colour scan of the
// same area, and nothing per channel, so this is where it expects the line.
constexpr int kOneChannelRowSteps = 20;

// Carriage.
constexpr int kHomeSensorSteps = 32;  // home sensor reads "home" while the carriage is below this
constexpr int kLeaveHomeSteps = 64;   // where command 1 (leave home) stops
constexpr int kTravelSteps = 14400;   // end of travel (12 inches)
constexpr double kFeedStepsPerMs = 4.0;  // fast feed for home moves and the vertical start

// Bed scene (600-dpi rows and sensor pixels).
constexpr int kGlassLeft = 188;      // sensor pixel of the glass origin (document left edge)
constexpr int kGlassTopRow = 144;    // row of the glass origin (document top edge)
constexpr int kBedWidth = 5104;      // glass size in 1/600 inch
constexpr int kBedLength = 7016;
// Calibration strip: every row above the glass, the whole sensor width.
// Reference mark: a black patch printed on the glass underside at the corner.
constexpr int kMarkLeft = 88;
constexpr int kMarkRight = 368;  // exclusive
constexpr int kMarkTopRow = 149;
constexpr int kMarkBottomRow = 165;  // exclusive

// Film unit: the lit window of its lamp and the film holder inside it.
constexpr int kFilmWindowLeft = 2052;
constexpr int kFilmWindowRight = 3300;  // exclusive
constexpr int kFilmWindowTopRow = 878;
constexpr int kFilmHolderBarRow = 1234;  // opaque holder bar starts here
constexpr int kFilmFrameTopRow = 1645;   // first frame
constexpr int kFilmFrameLeft = 2236;
constexpr int kFilmFrameWidth = 850;
constexpr int kFilmFrameHeight = 567;
constexpr int kFilmFrameGap = 47;
constexpr int kFilmFrames = 4;
constexpr int kFilmWindowBottomRow =
    kFilmFrameTopRow + kFilmFrames * kFilmFrameHeight + (kFilmFrames - 1) * kFilmFrameGap + 100;

// What the driver's own measurements find on this layout.
constexpr uint16_t kExpectedXOriginOffset = 124;     // reference mark search
constexpr uint16_t kExpectedYOriginOffset = 44;      // reference mark search
constexpr uint16_t kExpectedFilmStartDistance = 410; // film unit calibration
constexpr uint16_t kExpectedFilmFrameXOffset = 2048; // film unit calibration

// Image memory of the controller.
constexpr uint32_t kImageMemoryBytes = 296960;  // 145 blocks
constexpr uint32_t kBlockBytes = 2048;

}  // namespace tq5sim::layout
