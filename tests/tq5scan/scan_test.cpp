// tq5scan scanning, run as a user runs it: from the built-in virtual scanner
// (and, for faults, from a virtual scanner the test serves on a device node).
// These tests need the whole scan pipeline: the driver's calibration and
// scan engine and the virtual scanner.
//
// Where the test chart lies: the chart is drawn at 600 dpi from the glass
// origin, so chart pixels are the driver's 1/600-inch units. Its black block
// spans x 450..2450, y 4500..5500; a registration cross is centred at
// (4800, 300). The areas below are chosen around those.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "image_output.h"
#include "image_readback.h"
#include "in_test_scanner.h"
#include "process_helpers.h"
#include "tool_runner.h"

using namespace tq5scantest;
namespace fs = std::filesystem;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 1/600 inch 300..900 across, 4600..4900 down: 150 units of paper, then the
// black block.
const std::vector<std::string> kPaperThenBlack = {"-l", "12.7", "-t", "194.733", "-x", "25.4", "-y", "12.7"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Mean difference between horizontally neighbouring samples over columns
// [x0, x1), as a fraction of the largest sample value.
double Roughness(const DecodedImage& image, uint32_t x0, uint32_t x1, int channel) {
  const double top = image.bitsPerSample == 16 ? 65535.0 : 255.0;
  double sum = 0;
  size_t n = 0;
  for (uint32_t y = 0; y < image.height; ++y)
    for (uint32_t x = x0; x + 1 < x1; ++x, ++n) sum += std::abs(image.At(x + 1, y, channel) - image.At(x, y, channel));
  return n == 0 ? 1.0 : sum / n / top;
}

// At `dpi` across, the first quarter of kPaperThenBlack is paper and the rest
// black, in every channel and whatever the depth.
void ExpectPaperThenBlack(const DecodedImage& image, uint32_t dpi) {
  const uint32_t edge = 150 * dpi / 600;  // the block's left edge in pixels
  for (int c = 0; c < image.channels; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    EXPECT_GT(image.ColumnMean(1, edge - 4 * dpi / 100, c), 0.6) << "paper is light";
    EXPECT_LT(image.ColumnMean(edge + 8 * dpi / 100, image.width - 1, c), 0.25) << "the block is dark";
    // Neighbouring paper pixels differ by the sensor's noise only; 16-bit
    // samples with their bytes the wrong way round would jump about.
    if (image.bitsPerSample > 1) {
      EXPECT_LT(Roughness(image, 1, edge - 4 * dpi / 100, c), 0.05);
    }
  }
}

}  // namespace

// Every mode in every format (one test a format): the file decodes with the
// size, depth and resolution of the request, and its samples mean what they
// should (light paper, dark ink), which catches a wrong byte order of 16-bit
// samples and a wrong sense of one-bit pixels.
class ScanFormat : public testing::TestWithParam<const char*> {};

TEST_P(ScanFormat, EveryModeDecodesWithItsSizeDepthAndResolution) {
  struct Mode {
    const char* name;
    int channels;
    int bits;
    uint32_t width;  // 100 pixels asked; one-bit lines are a multiple of 8
  };
  const Mode modes[] = {{"Color", 3, 8, 100}, {"Color48", 3, 16, 100}, {"Gray", 1, 8, 100}, {"Gray16", 1, 16, 100},
                        {"Lineart", 1, 1, 96}};
  const std::string extension = GetParam();
  Sandbox box;
  for (const Mode& mode : modes) {
    const std::string file = std::string(mode.name) + "." + extension;
    SCOPED_TRACE(file);
    const ToolResult r = box.Run(Join({"--mode", mode.name, "--resolution", "100", "-o", file}, kPaperThenBlack));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const DecodedImage image = ReadImage(box.Path(file));
    ASSERT_EQ(image.error, "");
    EXPECT_EQ(image.width, mode.width);
    EXPECT_EQ(image.height, 50u);
    EXPECT_EQ(image.channels, mode.channels);
    EXPECT_EQ(image.bitsPerSample, mode.bits);
    if (extension != "pnm") {
      EXPECT_NEAR(image.xDpi, 100, 0.05);
      EXPECT_NEAR(image.yDpi, 100, 0.05);
    }
    ExpectPaperThenBlack(image, 100);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ScanFormat, testing::Values("png", "tiff", "pnm"));

TEST(Scan, AreaAndResolutionOptions) {
  Sandbox box;
  struct Case {
    std::vector<std::string> arguments;
    uint32_t width, height;
    double xDpi, yDpi;
  };
  const Case cases[] = {
      // Different resolutions across and down.
      {Join({"--x-resolution", "100", "--y-resolution", "200"}, kPaperThenBlack), 100, 100, 100, 200},
      // -x and -y default to the rest of the bed: 380 x 166 units.
      {{"--resolution", "100", "-l", "200", "-t", "290"}, 63, 27, 100, 100},
      // The whole bed.
      {{"--resolution", "25", "--mode", "Gray"}, 212, 292, 25, 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const ToolResult r = box.Run(Join(c.arguments, {"-o", "area.png"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const DecodedImage image = ReadPng(box.Path("area.png"));
    ASSERT_EQ(image.error, "");
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_NEAR(image.xDpi, c.xDpi, 0.05);
    EXPECT_NEAR(image.yDpi, c.yDpi, 0.05);
    if (c.width == 100) ExpectPaperThenBlack(image, 100);
  }
}

// A small area near the right edge of the bed (the scanner scans wider and
// the driver cuts it out): the registration cross lands in the middle.
TEST(Scan, ASmallAreaAtTheRightEdgeIsCutWhereItWasAsked) {
  Sandbox box;
  const ToolResult r = box.Run({"--mode", "Gray", "--resolution", "300", "-l", "198.967", "-t", "8.467", "-x",
                                "8.467", "-y", "8.467", "-o", "cross.pnm"});
  ASSERT_EQ(r.status, 0) << r.err;
  const DecodedImage image = ReadPnm(box.Path("cross.pnm"));
  ASSERT_EQ(image.error, "");
  ASSERT_EQ(image.width, 100u);
  ASSERT_EQ(image.height, 100u);
  auto darkest = [&](uint32_t x0, uint32_t x1, uint32_t y0, uint32_t y1) {
    uint16_t low = 255;
    for (uint32_t y = y0; y < y1; ++y)
      for (uint32_t x = x0; x < x1; ++x) low = std::min(low, image.At(x, y));
    return low;
  };
  EXPECT_LT(darkest(44, 57, 10, 11), 80) << "the vertical arm crosses row 10 near the middle";
  EXPECT_LT(darkest(10, 11, 44, 57), 80) << "the horizontal arm crosses column 10 near the middle";
  EXPECT_GT(darkest(0, 30, 0, 30), 180) << "the corner is paper";
}

TEST(Scan, ImagesGoToStandardOutputByDefault) {
  Sandbox box;
  for (const char* format : {"pnm", "tiff", "png"}) {
    SCOPED_TRACE(format);
    const ToolResult r = box.Run(Join({"--format", format, "--resolution", "100"}, kPaperThenBlack));
    ASSERT_EQ(r.status, 0) << r.err;
    { std::ofstream(box.Path("stdout.img"), std::ios::binary) << r.out; }
    const DecodedImage image = ReadImage(box.Path("stdout.img"));
    ASSERT_EQ(image.error, "");
    EXPECT_EQ(image.width, 100u);
    EXPECT_EQ(image.height, 50u);
    EXPECT_EQ(image.channels, 3);
    ExpectPaperThenBlack(image, 100);
  }
}

// On a pipe the bar is a series of redraws (carriage return, bar, percent),
// one per new percentage, from 0 % to 100 %, ending with a newline.
TEST(Scan, TheProgressBarOnAPipe) {
  Sandbox box;
  RunOptions options;
  options.stderrThroughPipe = true;
  const ToolResult r = box.Run({"--mode", "Gray", "--resolution", "100", "-p", "-o", "bar.png"}, options);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.front(), '\r');
  EXPECT_EQ(r.err.back(), '\n');
  std::vector<int> percents;
  size_t at = 0;
  const std::string text = r.err.substr(0, r.err.size() - 1);
  while (at < text.size()) {
    const size_t next = text.find('\r', at + 1);
    const std::string draw = text.substr(at, next == std::string::npos ? std::string::npos : next - at);
    ASSERT_EQ(draw.rfind("\rScanning [", 0), 0u) << draw;
    const int percent = std::atoi(draw.substr(draw.find(']') + 1).c_str());
    EXPECT_EQ(static_cast<int>(std::count(draw.begin(), draw.end(), '#')), percent * 40 / 100) << draw;
    EXPECT_EQ(draw.back(), '%');
    percents.push_back(percent);
    at = next == std::string::npos ? text.size() : next;
  }
  ASSERT_GE(percents.size(), 3u) << "a 1 MB image is read in several parts";
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(std::adjacent_find(percents.begin(), percents.end()), percents.end()) << "no percentage drawn twice";
  EXPECT_EQ(ReadPng(box.Path("bar.png")).error, "");
}

// --wait-for-button: the tool waits until a button of the (built-in virtual)
// scanner is pressed through its control channel, then scans.
TEST(Scan, WaitForButtonScansWhenAButtonIsPressed) {
  Sandbox box;
  const std::string command = "cd " + Quote(box.dir()) + " && exec \"$0\" \"$@\" 2>&1";
  char speed[48];
  std::snprintf(speed, sizeof speed, "TQ5_CLOCK_SPEED=%g", kTestClockSpeed);
  tq5test::ChildProcess child =
      tq5test::StartChild("/bin/sh", {"-c", command, ToolProgram(), "--wait-for-button", "--mode", "Gray",
                                      "--resolution", "50", "-x", "20", "-y", "20", "-o", "button.png"},
                          {speed});
  std::string control;
  std::string line;
  bool waiting = false;
  while (!waiting) {
    line = tq5test::ReadChildLine(child);
    if (line.empty()) break;
    const std::string marker = "tq5simctl --control ";
    if (const size_t at = line.find(marker); at != std::string::npos) {
      control = line.substr(at + marker.size());
      control = control.substr(0, control.find(' '));
    }
    waiting = Contains(line, "waiting for a button");
  }
  ASSERT_TRUE(waiting) << "last line: " << line;
  ASSERT_FALSE(control.empty());
  EXPECT_FALSE(fs::exists(box.Path("button.png"))) << "nothing scanned before the press";
  EXPECT_EQ(std::system((Quote(TQ5SIMCTL_PROGRAM) + " --control " + Quote(control) + " click 2 >/dev/null").c_str()),
            0);
  const std::string pressed = tq5test::ReadChildLine(child);
  EXPECT_EQ(pressed, "tq5scan: button 2 pressed: scanning");
  EXPECT_EQ(tq5test::WaitChild(child), 0);
  const DecodedImage image = ReadPng(box.Path("button.png"));
  EXPECT_EQ(image.error, "");
  EXPECT_EQ(image.width, 39u);  // 472 units at 50 dpi
}

TEST(Scan, TestModeRunsTheDiagnosticsAndReports) {
  Sandbox box;
  const ToolResult r = box.Run({"-T"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* text : {"Scanner: KALDO QT-73418M, version 1.09, USB interface, sensor TOSHIBA2557",
                           "Initialization and calibration", "Lamp test (flatbed lamp on)",
                           "Test scan (75 dpi grey, whole bed)", "Sensor line: 5440 pixels, 16320 bytes",
                           "channel 2:", "Result: all tests passed"})
    EXPECT_TRUE(Contains(r.out, text)) << text << "\n" << r.out;
  EXPECT_FALSE(Contains(r.out, "FAILED"));
}

// --document lays the user's image on the glass. A PNG that records its
// resolution keeps its size; a PNM is a 600-dpi image.
TEST(Scan, YourOwnDocument) {
  Sandbox box;
  // 2 x 1 inch at 300 dpi: red on the left half, blue on the right.
  {
    std::string error;
    auto target = tq5scan::OutputTarget::OpenFile(box.Path("page.png"), error);
    ASSERT_TRUE(target) << error;
    auto writer = tq5scan::MakeImageWriter(tq5scan::OutputFormat::Png, *target);
    tq5scan::ImageShape shape;
    shape.width = 600;
    shape.height = 300;
    shape.channels = 3;
    shape.xDpi = shape.yDpi = 300;
    ASSERT_TRUE(writer->Begin(shape, error));
    std::vector<uint8_t> row(shape.BytesPerRow());
    for (uint32_t x = 0; x < shape.width; ++x) {
      row[3 * x] = x < 300 ? 220 : 30;
      row[3 * x + 1] = 30;
      row[3 * x + 2] = x < 300 ? 30 : 220;
    }
    for (uint32_t y = 0; y < shape.height; ++y) ASSERT_TRUE(writer->WriteRow(row.data(), error));
    ASSERT_TRUE(writer->Finish(error) && target->Commit(error)) << error;
  }
  const ToolResult r = box.Run({"--document", "page.png", "--resolution", "100", "-x", "76.2", "-y", "25.4", "-o",
                                "scan.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  const DecodedImage image = ReadPng(box.Path("scan.png"));
  ASSERT_EQ(image.error, "");
  ASSERT_EQ(image.width, 300u);
  // Red, then blue, then (beyond the 2-inch document) the white lid.
  EXPECT_GT(image.ColumnMean(10, 90, 0), image.ColumnMean(10, 90, 2) + 0.4);
  EXPECT_GT(image.ColumnMean(110, 190, 2), image.ColumnMean(110, 190, 0) + 0.4);
  for (int c = 0; c < 3; ++c) EXPECT_GT(image.ColumnMean(215, 295, c), 0.8);

  // A 600-dpi grey PNM, one inch square, black: the scan's top-left inch is dark.
  {
    std::ofstream pnm(box.Path("square.pgm"), std::ios::binary);
    pnm << "P5\n600 600\n255\n" << std::string(600 * 600, '\0');
  }
  const ToolResult dark = box.Run({"--document", "square.pgm", "--mode", "Gray", "--resolution", "50", "-x", "50.8",
                                   "-y", "25.4", "-o", "square.png"});
  ASSERT_EQ(dark.status, 0) << dark.err;
  const DecodedImage square = ReadPng(box.Path("square.png"));
  ASSERT_EQ(square.error, "");
  EXPECT_LT(square.ColumnMean(5, 45), 0.2);
  EXPECT_GT(square.ColumnMean(55, 95), 0.8);

  for (const char* bad : {"missing.png", "page.txt"}) {
    SCOPED_TRACE(bad);
    { std::ofstream(box.Path("page.txt")) << "not an image"; }
    const ToolResult refused = box.Run({"--document", bad, "-o", "never.png"});
    EXPECT_EQ(refused.status, 9);
    EXPECT_TRUE(Contains(refused.err, "tq5scan: virtual scanner: ")) << refused.err;
    EXPECT_FALSE(fs::exists(box.Path("never.png")));
  }
}

// Film: the built-in scanner has its film unit plugged in and a film of the
// test chart in the holder (each frame shows the chart scaled down). A
// negative shows the scene inverted under the film's orange mask; the
// automatic tone correction turns it back into a positive.
namespace {

// Correlation of the mean sample of each pixel of two images of one size.
double Correlation(const DecodedImage& a, const DecodedImage& b) {
  auto level = [](const DecodedImage& image, uint32_t x, uint32_t y) {
    double sum = 0;
    for (int c = 0; c < image.channels; ++c) sum += image.At(x, y, c);
    return sum / image.channels / (image.bitsPerSample == 16 ? 65535.0 : image.bitsPerSample == 1 ? 1.0 : 255.0);
  };
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  const double n = static_cast<double>(a.width) * a.height;
  for (uint32_t y = 0; y < a.height; ++y)
    for (uint32_t x = 0; x < a.width; ++x) {
      const double u = level(a, x, y), v = level(b, x, y);
      sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v;
    }
  const double cov = sab / n - sa / n * sb / n;
  const double var = (saa / n - sa / n * sa / n) * (sbb / n - sb / n * sb / n);
  return var > 0 ? cov / std::sqrt(var) : 0;
}

}  // namespace

TEST(Scan, FilmSources) {
  Sandbox box;
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    uint32_t width, height;
    int channels, bits;
  };
  const Case cases[] = {
      // The film unit's whole window, 860 x 1500 units.
      {"film", {"--source", "Film"}, 215, 375, 3, 8},
      // One frame, 851 x 568 units.
      {"frame", {"--source", "Film Frame"}, 212, 142, 3, 8},
      {"negative", {"--source", "Film Frame", "--negative"}, 212, 142, 3, 8},
      {"negative, auto tone", {"--source", "Film Frame", "--negative", "--auto-tone"}, 212, 142, 3, 8},
      {"positive, auto tone", {"--source", "Film Frame", "--auto-tone"}, 212, 142, 3, 8},
      // The frame is scanned in colour and converted.
      {"frame grey", {"--source", "Film Frame", "--mode", "Gray"}, 212, 142, 1, 8},
      {"frame lineart", {"--source", "Film Frame", "--mode", "Lineart"}, 208, 142, 1, 1},
  };
  std::map<std::string, DecodedImage> images;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = box.Run(Join(c.arguments, {"--resolution", "150", "-o", "film.png"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    DecodedImage image = ReadPng(box.Path("film.png"));
    ASSERT_EQ(image.error, "");
    ASSERT_EQ(image.width, c.width);
    ASSERT_EQ(image.height, c.height);
    EXPECT_EQ(image.channels, c.channels);
    EXPECT_EQ(image.bitsPerSample, c.bits);
    images[c.name] = std::move(image);
  }
  const DecodedImage& frame = images["frame"];
  // The film unit's window is scanned under the flatbed lamp; the virtual
  // scanner's film unit lights only its frame holder, so the window shows
  // the chart on the glass below it: paper and patches.
  EXPECT_GT(images["film"].ColumnMean(0, 215, 1), 0.3);
  EXPECT_LT(images["film"].ColumnMean(0, 215, 1), 0.9);
  EXPECT_LT(Correlation(frame, images["negative"]), -0.3) << "a negative is the scene inverted";
  // The orange mask: red passes most, blue least.
  const DecodedImage& negative = images["negative"];
  EXPECT_GT(negative.ColumnMean(0, 212, 0), 1.3 * negative.ColumnMean(0, 212, 1));
  EXPECT_GT(negative.ColumnMean(0, 212, 1), 1.3 * negative.ColumnMean(0, 212, 2));
  EXPECT_GT(Correlation(frame, images["negative, auto tone"]), 0.7) << "auto tone makes the negative a positive";
  EXPECT_GT(Correlation(frame, images["positive, auto tone"]), 0.8);
  EXPECT_GT(Correlation(frame, images["frame grey"]), 0.9);
  // One-bit lines are 208 pixels: compare with the first 208 of the frame.
  DecodedImage narrow = frame;
  narrow.width = 208;
  narrow.samples.clear();
  for (uint32_t y = 0; y < frame.height; ++y)
    for (uint32_t x = 0; x < 208; ++x)
      for (int ch = 0; ch < 3; ++ch) narrow.samples.push_back(frame.At(x, y, ch));
  EXPECT_GT(Correlation(narrow, images["frame lineart"]), 0.6);
}

// Above 600 dpi across the film unit scans twice at half the resolution and
// merges the passes: the image is the 600-dpi scan at twice the pixels.
//
// The area lies across a vertical edge and well inside the content above
// and below it: a film scan starts where the white shading before it left
// the carriage, and that capture runs on until the driver stops it, so on
// a loaded machine and the fast clock the start moves by a few lines.
TEST(Scan, FilmAt1200DpiAcross) {
  Sandbox box;
  const std::vector<std::string> area = {"--source", "Film", "-l", "2", "-t", "8", "-x", "20", "-y", "8"};
  const ToolResult fine = box.Run(Join(area, {"--x-resolution", "1200", "--y-resolution", "300", "-o", "fine.png"}));
  ASSERT_EQ(fine.status, 0) << fine.err;
  const ToolResult half = box.Run(Join(area, {"--x-resolution", "600", "--y-resolution", "300", "-o", "half.png"}));
  ASSERT_EQ(half.status, 0) << half.err;
  const DecodedImage a = ReadPng(box.Path("fine.png")), b = ReadPng(box.Path("half.png"));
  ASSERT_EQ(a.error, "");
  ASSERT_EQ(b.error, "");
  ASSERT_EQ(a.width, 944u);  // 472 units at 1200 dpi
  ASSERT_EQ(b.width, 472u);
  ASSERT_EQ(a.height, b.height);
  DecodedImage halved = b;  // every second pixel of the 1200-dpi scan
  for (uint32_t y = 0; y < a.height; ++y)
    for (uint32_t x = 0; x < b.width; ++x)
      for (int c = 0; c < 3; ++c) halved.samples[(static_cast<size_t>(y) * b.width + x) * 3 + c] = a.At(2 * x, y, c);
  EXPECT_GT(Correlation(halved, b), 0.9);
}

// --document puts the user's image in the film holder: a film left dark and
// right clear gives a frame dark on the left and light on the right.
TEST(Scan, YourOwnFilm) {
  Sandbox box;
  {
    std::ofstream pnm(box.Path("film.pgm"), std::ios::binary);
    std::string row(850, '\xFF');
    std::fill(row.begin(), row.begin() + 425, '\0');
    pnm << "P5\n850 567\n255\n";
    for (int y = 0; y < 567; ++y) pnm << row;
  }
  const ToolResult r = box.Run({"--source", "Film Frame", "--document", "film.pgm", "--mode", "Gray",
                                "--resolution", "100", "-o", "frame.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  const DecodedImage image = ReadPng(box.Path("frame.png"));
  ASSERT_EQ(image.error, "");
  ASSERT_EQ(image.width, 141u);
  EXPECT_LT(image.ColumnMean(5, 60), 0.2);
  EXPECT_GT(image.ColumnMean(80, 136), 0.7);
}

// The demo's own settings: the built-in scanner on its default clock.
TEST(Scan, TheDefaultClockScans) {
  Sandbox box;
  RunOptions options;
  options.defaultClock = true;
  const ToolResult r = box.Run(Join({"--resolution", "100", "-o", "demo.png"}, kPaperThenBlack), options);
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectPaperThenBlack(ReadPng(box.Path("demo.png")), 100);
}

// The built-in scanner's private directory (device node, control channel,
// the driver's runtime files) is gone when the tool ends.
TEST(Scan, TheBuiltInScannerLeavesNothingBehind) {
  Sandbox box;
  fs::create_directories(box.Path("tmp"));
  RunOptions options;
  options.env = {"TMPDIR=" + box.Path("tmp")};
  const ToolResult r = box.Run({"--resolution", "50", "-x", "10", "-y", "10", "-o", "small.png"}, options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_empty(box.Path("tmp")));
}

// ---------------------------------------------------------------------------
// Failures of the scanner: one line with the driver's code, its name and what
// it means, the documented exit status, and no image file.
// ---------------------------------------------------------------------------

// Injects a fault once the carriage, capturing, passes `steps` (1/1200 inch
// from home); gives up when the tool has finished first.
template <typename Inject>
bool InjectWhenCarriagePasses(tq5sim::VirtualScanner& scanner, double steps, const std::atomic<bool>& finished,
                              Inject inject) {
  while (!finished) {
    const tq5sim::DeviceState state = scanner.State();
    if (state.captureActive && state.positionSteps > steps) {
      inject(scanner);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class ScanFailures : public testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    ASSERT_TRUE(device.started());
  }
  ToolResult ScanSmallArea() { return box.Run({"-d", device.path(), "-x", "20", "-y", "20", "-o", "scan.png"}); }
  void ExpectFailure(const ToolResult& r, int status, const std::string& line) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, "tq5scan: " + line + "\n");
    EXPECT_FALSE(fs::exists(box.Path("scan.png")));
    EXPECT_FALSE(fs::exists(box.Path("scan.png.part")));
  }

  InTestScanner device;
  Sandbox box;
};

TEST_F(ScanFailures, AnotherProgramHoldingTheScannerMeansBusy) {
  PlatMutex* lock = PlatMutexCreate("Meridan_U");  // the driver's device lock
  ASSERT_NE(lock, nullptr);
  ASSERT_EQ(PlatMutexWait(lock, 0), PlatWaitResult::Obtained);
  const ToolResult r = ScanSmallArea();
  PlatMutexRelease(lock);
  PlatMutexClose(lock);
  ExpectFailure(r, 5,
                "InitializeScanner: error 150 LockTimeout: scanner busy: another program is using the scanner");
}

TEST_F(ScanFailures, ScannerFaultsFoundByInitialization) {
  struct Case {
    const char* name;
    void (*inject)(tq5sim::VirtualScanner&);
    int status;
    const char* line;
  };
  const Case cases[] = {
      {"dead lamp", [](tq5sim::VirtualScanner& s) { s.DeadLamp(true, false); }, 6,
       "InitializeScanner: error 178 LightSourceFault: the lamp gives too little light (lamp fault)"},
      {"jammed carriage", [](tq5sim::VirtualScanner& s) { s.JamCarriage(true); }, 6,
       "InitializeScanner: error 179 HomeSensorFault: the carriage did not leave its home position (carriage stuck "
       "or sensor fault)"},
      {"no image data", [](tq5sim::VirtualScanner& s) { s.StopImageData(true); }, 7,
       "InitializeScanner: error 173 DataTimeout: the scanner stopped sending image data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device.scanner().ClearFaults();
    device.scanner().PowerCycle();  // a fresh scanner: the driver runs its whole initialization
    c.inject(device.scanner());
    ExpectFailure(ScanSmallArea(), c.status, c.line);
  }
  device.scanner().ClearFaults();
}

TEST_F(ScanFailures, AFilmScanWithoutTheFilmUnit) {
  const ToolResult r = box.Run({"-d", device.path(), "--source", "Film", "-x", "20", "-y", "20", "-o", "scan.png"});
  ExpectFailure(r, 6, "SetTPUMode: error 178: no film unit is attached to the scanner");
}

// A film lamp that warms up slowly: the driver refuses it for a while after
// switching it on, and tq5scan waits and asks again.
TEST_F(ScanFailures, AFilmLampThatWarmsUpSlowlyIsWaitedFor) {
  device.scanner().AttachFilmUnit(true);
  device.scanner().LoadFilm(tq5sim::FilmKind::Positive);
  ASSERT_TRUE(device.scanner().SetLampWarmUp(7.0, 0.4));
  const ToolResult r =
      box.Run({"-d", device.path(), "--source", "Film Frame", "-x", "10", "-y", "10", "-o", "scan.png"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "tq5scan: waiting for the lamp to warm up\n");
  EXPECT_TRUE(fs::exists(box.Path("scan.png")));
}

// A film lamp that gives no light is found when the film unit is switched
// on, before anything is scanned.
TEST_F(ScanFailures, ADeadFilmLamp) {
  device.scanner().AttachFilmUnit(true);
  device.scanner().DeadLamp(false, true);
  const ToolResult r =
      box.Run({"-d", device.path(), "--source", "Film Frame", "-x", "10", "-y", "10", "-o", "scan.png"});
  ExpectFailure(r, 6, "SetTPUMode: error 107 FilmLampTooDark: the film unit's lamp is too dark");
}

TEST_F(ScanFailures, TheDiagnosticsReportAFault) {
  device.scanner().DeadLamp(true, false);
  const ToolResult r = box.Run({"-d", device.path(), "-T"});
  EXPECT_EQ(r.status, 6);
  EXPECT_TRUE(Contains(r.out, "Initialization and calibration")) << r.out;
  EXPECT_TRUE(Contains(r.out, "FAILED (error 178 LightSourceFault")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Result: the scanner could not be initialized")) << r.out;
  EXPECT_EQ(r.err, "tq5scan: InitializeScanner: error 178 LightSourceFault: the lamp gives too little light (lamp "
                   "fault)\n");
}

// A lamp that dies after the test scan has started: the scan goes on (the
// data are only dark), and the sensor line captured afterwards shows the
// fault.
TEST_F(ScanFailures, TheDiagnosticsFindADarkSensorLine) {
  std::atomic<bool> finished{false};
  ToolResult r;
  std::thread tool([&] {
    r = box.Run({"-d", device.path(), "-T"});
    finished = true;
  });
  // Only the whole-bed test scan takes the carriage this far from home.
  const bool injected = InjectWhenCarriagePasses(device.scanner(), 4000, finished,
                                                 [](tq5sim::VirtualScanner& s) { s.DeadLamp(true, false); });
  tool.join();
  ASSERT_TRUE(injected);
  EXPECT_EQ(r.status, 10) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "the sensor line is dark: the lamp gives no light")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Result: fault found in the sensor data")) << r.out;
}

// The data stop while the image is being read: ReadScan reports it, the
// scan is stopped and no partial file is left.
TEST_F(ScanFailures, ImageDataThatStopsDuringTheScan) {
  // A long scan down the whole bed at 1200 dpi: the carriage passes 2000
  // steps (well below the calibration area) long before it ends.
  std::atomic<bool> finished{false};
  std::thread tool([&] {
    const ToolResult r = box.Run({"-d", device.path(), "--mode", "Gray", "--x-resolution", "25", "--y-resolution",
                                  "1200", "-x", "20", "-o", "scan.png"});
    ExpectFailure(r, 7, "ReadScan: error 173 DataTimeout: the scanner stopped sending image data");
    finished = true;
  });
  const bool injected = InjectWhenCarriagePasses(device.scanner(), 2000, finished,
                                                 [](tq5sim::VirtualScanner& s) { s.StopImageData(true); });
  tool.join();
  EXPECT_TRUE(injected);
}
