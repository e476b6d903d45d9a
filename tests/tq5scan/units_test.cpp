// tq5scan's parts without a scanner: the command line and its checks, the
// mapping of modes onto the driver's scan request, the image writers read
// back through libpng and libtiff, and the progress bar.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "image_output.h"
#include "image_readback.h"
#include "options.h"
#include "progress.h"

using namespace tq5scan;
using tq5scantest::DecodedImage;

namespace {

ParseResult Parse(std::vector<std::string> arguments) { return ParseOptions(arguments); }

std::filesystem::path FreshDirectory() {
  std::random_device entropy;
  auto path = std::filesystem::temp_directory_path() / ("tq5scan-units-" + std::to_string(entropy()));
  std::filesystem::create_directories(path);
  return path;
}

}  // namespace

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

TEST(Options, DefaultsScanTheWholeBedInColourAt150DpiToStandardOutput) {
  const ParseResult r = Parse({});
  ASSERT_TRUE(r.options) << r.error;
  const Options& o = *r.options;
  EXPECT_EQ(o.action, Action::Scan);
  EXPECT_STREQ(o.mode->name, "Color");
  EXPECT_EQ(o.xResolution, 150u);
  EXPECT_EQ(o.yResolution, 150u);
  EXPECT_EQ(o.left, 0u);
  EXPECT_EQ(o.top, 0u);
  EXPECT_EQ(o.width, 5104u);
  EXPECT_EQ(o.height, 7016u);
  EXPECT_EQ(o.format, OutputFormat::Pnm);
  EXPECT_TRUE(o.outputPath.empty());
  EXPECT_TRUE(o.device.empty());
  EXPECT_FALSE(o.progress);
}

TEST(Options, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    const char* mode;
    uint32_t xRes, yRes, left, top, width, height;
    OutputFormat format;
  };
  const Case cases[] = {
      // Millimetres to 1/600 inch, rounded; -x and -y default to the rest.
      {{"-l10", "-t", "20", "-x", "30.5mm", "-y", "40"}, "Color", 150, 150, 236, 472, 720, 945, OutputFormat::Pnm},
      {{"-l", "100", "-t", "290"}, "Color", 150, 150, 2362, 6850, 2742, 166, OutputFormat::Pnm},
      {{"-x", "216.07", "-y", "297.01"}, "Color", 150, 150, 0, 0, 5104, 7016, OutputFormat::Pnm},
      {{"--mode", "gray", "-o", "scan.TIF"}, "Gray", 150, 150, 0, 0, 5104, 7016, OutputFormat::Tiff},
      {{"--mode=Lineart", "--output-file=a.png"}, "Lineart", 150, 150, 0, 0, 5104, 7016, OutputFormat::Png},
      {{"--resolution", "300", "--y-resolution", "1200"}, "Color", 300, 1200, 0, 0, 5104, 7016, OutputFormat::Pnm},
      {{"--x-resolution", "600dpi", "--resolution", "75"}, "Color", 600, 75, 0, 0, 5104, 7016, OutputFormat::Pnm},
      {{"--mode", "Color48", "--format", "tiff", "-o", "x.png"}, "Color48", 150, 150, 0, 0, 5104, 7016,
       OutputFormat::Tiff},  // --format wins over the extension
      {{"--mode", "GRAY16", "-o", "noextension"}, "Gray16", 150, 150, 0, 0, 5104, 7016, OutputFormat::Pnm},
      {{"-o", "scan.pbm", "--source", "flatbed"}, "Color", 150, 150, 0, 0, 5104, 7016, OutputFormat::Pnm},
      {{"--resolution", "25", "--mode", "Gray", "-x", "1.1"}, "Gray", 25, 25, 0, 0, 26, 7016, OutputFormat::Pnm},
      // Film sources: the area defaults to their whole window.
      {{"--source", "Film", "--resolution", "1200"}, "Color", 1200, 1200, 0, 0, 860, 1500, OutputFormat::Pnm},
      {{"--source", "film-frame", "-l", "10"}, "Color", 150, 150, 236, 0, 615, 568, OutputFormat::Pnm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const ParseResult r = Parse(c.arguments);
    ASSERT_TRUE(r.options) << r.error;
    const Options& o = *r.options;
    EXPECT_STREQ(o.mode->name, c.mode);
    EXPECT_EQ(o.xResolution, c.xRes);
    EXPECT_EQ(o.yResolution, c.yRes);
    EXPECT_EQ(o.left, c.left);
    EXPECT_EQ(o.top, c.top);
    EXPECT_EQ(o.width, c.width);
    EXPECT_EQ(o.height, c.height);
    EXPECT_EQ(o.format, c.format);
  }
}

TEST(Options, FlagsAndActions) {
  auto r = Parse({"-pT", "-d", "/dev/node"});
  ASSERT_TRUE(r.options) << r.error;
  EXPECT_TRUE(r.options->progress);
  EXPECT_EQ(r.options->action, Action::Test);
  EXPECT_EQ(r.options->device, "/dev/node");
  EXPECT_EQ(Parse({"-L"}).options->action, Action::ListDevices);
  EXPECT_EQ(Parse({"--wait-for-button"}).options->waitForButton, true);
  EXPECT_EQ(Parse({"--document", "page.png"}).options->document, "page.png");
  // Help and version win over options that would be refused.
  EXPECT_EQ(Parse({"--mode", "Bogus", "--help"}).options->action, Action::Help);
  EXPECT_EQ(Parse({"-V", "-l", "900"}).options->action, Action::Version);
}

// Every refusal names the option and says what is allowed.
TEST(Options, RefusedCommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    std::vector<const char*> said;
  };
  const Case cases[] = {
      {{"--mode", "Colour"}, {"--mode", "Color, Gray, Lineart, Color48 or Gray16"}},
      {{"--resolution", "601"}, {"--resolution", "25 to 600 dpi across", "--y-resolution 1200"}},
      {{"--x-resolution", "1200"}, {"--x-resolution", "25 to 600 dpi across"}},
      {{"--y-resolution", "1201"}, {"--y-resolution", "25 to 1200 dpi down"}},
      {{"--resolution", "24"}, {"25 to 600"}},
      {{"--resolution", "150.5"}, {"not a whole number"}},
      {{"--resolution", "-5"}, {"not a whole number"}},
      {{"-l", "216.1"}, {"-l", "outside the bed", "216.07 mm wide"}},
      {{"-t", "300"}, {"-t", "outside the bed", "297.01 mm long"}},
      {{"-l", "100", "-x", "120"}, {"-l 100 mm plus -x 120 mm", "at most 216.07 mm"}},
      {{"-t", "290", "-y", "7.1"}, {"-t 290 mm plus -y 7.1 mm", "at most 297.01 mm"}},
      {{"-x", "-3"}, {"-x", "negative"}},
      {{"-y", "ten"}, {"-y", "not a length in millimetres"}},
      {{"-x", "0"}, {"-x", "more than 0"}},
      {{"--mode", "Lineart", "-x", "1"}, {"too narrow", "at least 8 pixels"}},
      {{"--resolution", "25", "-y", "0.5"}, {"too short", "at least one line"}},
      {{"--source", "ADF"}, {"unknown source", "Flatbed, Film or \"Film Frame\""}},
      // The film sources: their own windows and resolutions.
      {{"--source", "Film", "-l", "36.5"}, {"-l", "outside the film window", "36.41 mm wide"}},
      {{"--source", "Film Frame", "-t", "10", "-y", "15"}, {"bottom edge of the film frame", "at most 24.05 mm"}},
      {{"--source", "Film", "--resolution", "1201"}, {"Film scans go from 25 to 1200 dpi across"}},
      {{"--source", "Film", "--auto-tone", "--resolution", "1200"}, {"with --auto-tone", "25 to 600 dpi"}},
      {{"--negative"}, {"--negative is for film", "--source Film"}},
      {{"--auto-tone", "--source", "flatbed"}, {"--auto-tone is for film"}},
      {{"--source", "Film Frame", "--mode", "Gray16"}, {"Gray16", "film frame", "use Gray"}},
      {{"--source", "Film", "--mode", "Lineart", "--x-resolution", "601"}, {"--x-resolution", "up to 600 dpi"}},
      {{"--source", "Film", "--mode", "Lineart", "--auto-tone"}, {"--auto-tone", "Lineart"}},
      {{"--format", "gif"}, {"--format", "pnm, png or tiff"}},
      {{"-o", "scan.jpg"}, {"'.jpg'", "--format pnm|png|tiff"}},
      {{"-d", "/dev/x", "--document", "page.png"}, {"--document", "built-in virtual scanner"}},
      {{"-T", "--wait-for-button"}, {"cannot be combined"}},
      {{"scan.png"}, {"unexpected argument 'scan.png'", "-o"}},
      {{"--colour"}, {"unknown option '--colour'", "--help"}},
      {{"-q"}, {"unknown option '-q'"}},
      {{"--mode"}, {"--mode needs a value"}},
      {{"-l"}, {"-l needs a value"}},
      {{"--progress=yes"}, {"--progress takes no value"}},
      {{"-d", ""}, {"device node"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const ParseResult r = Parse(c.arguments);
    EXPECT_FALSE(r.options);
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line";
    for (const char* text : c.said) EXPECT_NE(r.error.find(text), std::string::npos) << r.error;
  }
}

// ---------------------------------------------------------------------------
// The scan request
// ---------------------------------------------------------------------------

TEST(ScanRequest, ModesMapOntoTheDriversScanModes) {
  struct Case {
    const char* mode;
    uint8_t scanMode, bits, mono;
  };
  const Case cases[] = {{"Color", 4, 24, 2}, {"Color48", 4, 48, 2}, {"Gray", 2, 8, 2}, {"Gray16", 2, 16, 2},
                        {"Lineart", 0, 1, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const ParseResult r = Parse({"--mode", c.mode, "--x-resolution", "300", "--y-resolution", "600", "-l", "10",
                                 "-t", "20", "-x", "30", "-y", "40"});
    ASSERT_TRUE(r.options) << r.error;
    const ScanParameter p = BuildScanParameter(*r.options);
    EXPECT_EQ(p.scanMode, c.scanMode);
    EXPECT_EQ(p.bitsPerPixel, c.bits);
    EXPECT_EQ(p.monoChannel, c.mono);
    EXPECT_EQ(p.scanSource, 0);
    EXPECT_EQ(p.xResolution, 300);
    EXPECT_EQ(p.yResolution, 600);
    EXPECT_EQ(p.left, 236);
    EXPECT_EQ(p.top, 472);
    EXPECT_EQ(p.width, 709);
    EXPECT_EQ(p.height, 945);
    EXPECT_EQ(p.pixelsPerLine, 0) << "the driver derives the output size";
    EXPECT_EQ(p.lineCount, 0);
    const uint8_t kept[6] = {1, 0, 0, 1, 255, 0};
    EXPECT_EQ(std::memcmp(p.reserved19, kept, 6), 0);
    EXPECT_EQ(p.parameterFlags, 0);
  }
}

TEST(ScanRequest, SourcesMapOntoTheDriversScanSources) {
  struct Case {
    const char* source;
    uint8_t scanSource;
  };
  for (const Case& c : {Case{"Flatbed", 0}, Case{"Film", 1}, Case{"Film Frame", 2}}) {
    SCOPED_TRACE(c.source);
    std::vector<std::string> arguments = {"--source", c.source};
    if (c.scanSource != 0) arguments.insert(arguments.end(), {"--negative", "--auto-tone"});
    const ParseResult r = Parse(arguments);
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(BuildScanParameter(*r.options).scanSource, c.scanSource);
    EXPECT_EQ(r.options->Film(), c.scanSource != 0);
    EXPECT_EQ(r.options->negative, c.scanSource != 0);
    EXPECT_EQ(r.options->autoTone, c.scanSource != 0);
  }
}

TEST(ScanRequest, ExpectedSizeFollowsTheDriversDerivation) {
  Options o;
  o.mode = FindMode("Lineart");
  o.xResolution = 300;
  o.yResolution = 300;
  o.width = 1000;
  o.height = 600;
  EXPECT_EQ(ExpectedPixelsPerLine(o), 496u);  // 500 rounded down to a multiple of 8
  EXPECT_EQ(ExpectedLineCount(o), 300u);
  o.mode = FindMode("Gray");
  EXPECT_EQ(ExpectedPixelsPerLine(o), 500u);
}

// ---------------------------------------------------------------------------
// Image writers, read back through the image libraries
// ---------------------------------------------------------------------------

namespace {

struct WriterCase {
  const char* name;
  int channels;
  int bits;
};

// A sample value with distinct high and low bytes, so that a byte order
// mistake shows.
uint16_t SampleValue(uint32_t x, uint32_t y, int c, int bits) {
  if (bits == 16) return static_cast<uint16_t>(0x1234 + x * 0x0101 + y * 0x0707 + c * 0x3001);
  if (bits == 8) return static_cast<uint16_t>((x * 37 + y * 11 + c * 80) & 0xFF);
  return static_cast<uint16_t>(((x * 7 + y * 3) % 5) < 2);  // 1 = white in the driver's data
}

// One row in the driver's layout: 16-bit samples low byte first, one-bit
// pixels most significant bit first.
std::vector<uint8_t> DriverRow(const ImageShape& shape, uint32_t y) {
  std::vector<uint8_t> row(shape.BytesPerRow(), 0);
  for (uint32_t x = 0; x < shape.width; ++x)
    for (int c = 0; c < shape.channels; ++c) {
      const uint16_t v = SampleValue(x, y, c, shape.bitsPerSample);
      const size_t i = static_cast<size_t>(x) * shape.channels + c;
      if (shape.bitsPerSample == 16) {
        row[2 * i] = static_cast<uint8_t>(v & 0xFF);
        row[2 * i + 1] = static_cast<uint8_t>(v >> 8);
      } else if (shape.bitsPerSample == 8) {
        row[i] = static_cast<uint8_t>(v);
      } else if (v) {
        row[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
      }
    }
  return row;
}

}  // namespace

TEST(ImageWriters, EveryFormatAndDepthReadsBackExactly) {
  const WriterCase depths[] = {{"colour 24", 3, 8}, {"colour 48", 3, 16}, {"grey 8", 1, 8}, {"grey 16", 1, 16},
                               {"one-bit", 1, 1}};
  const OutputFormat formats[] = {OutputFormat::Pnm, OutputFormat::Png, OutputFormat::Tiff};
  const auto directory = FreshDirectory();
  for (const OutputFormat format : formats) {
    for (const WriterCase& depth : depths) {
      SCOPED_TRACE(std::string(FormatName(format)) + " " + depth.name);
      ImageShape shape;
      shape.width = 24;
      shape.height = 5;
      shape.channels = depth.channels;
      shape.bitsPerSample = depth.bits;
      shape.xDpi = 300;
      shape.yDpi = 150;
      const std::string path = (directory / (std::string("image-") + depth.name + "." + FormatName(format))).string();
      std::string error;
      auto target = OutputTarget::OpenFile(path, error);
      ASSERT_TRUE(target) << error;
      auto writer = MakeImageWriter(format, *target);
      ASSERT_TRUE(writer->Begin(shape, error)) << error;
      for (uint32_t y = 0; y < shape.height; ++y) ASSERT_TRUE(writer->WriteRow(DriverRow(shape, y).data(), error));
      EXPECT_FALSE(std::filesystem::exists(path)) << "only the .part file exists until the image is complete";
      ASSERT_TRUE(writer->Finish(error)) << error;
      ASSERT_TRUE(target->Commit(error)) << error;
      EXPECT_FALSE(std::filesystem::exists(path + ".part"));

      const DecodedImage image = tq5scantest::ReadImage(path);
      ASSERT_EQ(image.error, "");
      EXPECT_EQ(image.width, shape.width);
      EXPECT_EQ(image.height, shape.height);
      EXPECT_EQ(image.channels, shape.channels);
      EXPECT_EQ(image.bitsPerSample, shape.bitsPerSample);
      if (format != OutputFormat::Pnm) {  // PNM cannot record a resolution
        EXPECT_NEAR(image.xDpi, 300, 0.05);
        EXPECT_NEAR(image.yDpi, 150, 0.05);
      }
      for (uint32_t y = 0; y < shape.height; ++y)
        for (uint32_t x = 0; x < shape.width; ++x)
          for (int c = 0; c < shape.channels; ++c)
            ASSERT_EQ(image.At(x, y, c), SampleValue(x, y, c, shape.bitsPerSample)) << x << "," << y << "," << c;
    }
  }
  std::filesystem::remove_all(directory);
}

TEST(ImageWriters, AnAbandonedImageLeavesNoFile) {
  const auto directory = FreshDirectory();
  const std::string path = (directory / "cut.png").string();
  std::string error;
  {
    auto target = OutputTarget::OpenFile(path, error);
    ASSERT_TRUE(target);
    auto writer = MakeImageWriter(OutputFormat::Png, *target);
    ImageShape shape;
    shape.width = 8;
    shape.height = 4;
    ASSERT_TRUE(writer->Begin(shape, error));
    ASSERT_TRUE(writer->WriteRow(DriverRow(shape, 0).data(), error));
    EXPECT_TRUE(std::filesystem::exists(path + ".part"));
  }  // neither finished nor committed
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  EXPECT_FALSE(OutputTarget::OpenFile((directory / "missing" / "x.png").string(), error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  std::filesystem::remove_all(directory);
}

// ---------------------------------------------------------------------------
// Progress bar
// ---------------------------------------------------------------------------

TEST(Progress, DrawsOnlyWhenThePercentageChangesAndEndsTheLine) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  ProgressBar bar(stream, 1000);
  for (uint64_t done : {0, 5, 9, 10, 11, 500, 999, 1000, 1000}) bar.Update(done);
  bar.Finish();
  bar.Update(1000);  // nothing after the end
  std::rewind(stream);
  std::string text;
  for (int c; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(stream);
  EXPECT_EQ(text, ProgressBar::Render(0) + ProgressBar::Render(1) + ProgressBar::Render(50) +
                      ProgressBar::Render(99) + ProgressBar::Render(100) + "\n");
  EXPECT_EQ(ProgressBar::Render(25), "\rScanning [##########..............................]  25%");
  EXPECT_EQ(ProgressBar::Render(100).size(), ProgressBar::Render(0).size());
}
