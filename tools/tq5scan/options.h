// tq5scan's command line: the options, their defaults and every check that
// can be made before the scanner is touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tq5/records.h"

namespace tq5scan {

// The flatbed in the driver's units (1/600 inch) and its resolution limits.
constexpr uint32_t kUnitsPerInch = 600;
constexpr uint32_t kBedWidthUnits = 5104;
constexpr uint32_t kBedLengthUnits = 7016;
constexpr uint32_t kMinResolution = 25;
constexpr uint32_t kMaxXResolution = 600;
constexpr uint32_t kMaxYResolution = 1200;
constexpr uint32_t kDefaultResolution = 150;

enum class Action { Scan, ListDevices, Test, Version, Help };

// Where the scan comes from: the glass, the film unit's window (a strip of
// film) or one frame of the film holder, with its size in the driver's
// units and the resolutions the driver accepts there (across: above 600
// dpi a film scan is made in two passes at half resolution).
struct SourceInfo {
  const char* name;       // as --source takes it
  const char* area;       // how messages call the scanned window
  uint8_t scanSource;     // ScanParameter::scanSource
  uint32_t widthUnits;
  uint32_t lengthUnits;
  uint32_t maxXResolution;
  uint32_t maxYResolution;
};
// Flatbed, Film, Film Frame (in this order).
const std::vector<SourceInfo>& Sources();
const SourceInfo* FindSource(const std::string& name);  // case-insensitive
// Film scans reach this resolution (two passes above 600 dpi across); the
// automatic tone correction works up to the second.
constexpr uint32_t kFilmMaxResolution = 1200;
constexpr uint32_t kAutoToneMaxResolution = 600;
enum class OutputFormat { Pnm, Png, Tiff };

// One --mode: its name and how it maps onto the driver's scan request.
struct ModeInfo {
  const char* name;      // as the user types it
  uint8_t scanMode;      // ScanParameter::scanMode
  uint8_t bitsPerPixel;  // ScanParameter::bitsPerPixel
  uint8_t monoChannel;   // sensor colour of one-channel modes (2: green)
  int channels;          // samples per pixel in the output image
  int bitsPerSample;     // 1, 8 or 16
};
// Color, Color48, Gray, Gray16, Lineart (in this order).
const std::vector<ModeInfo>& Modes();
const ModeInfo* FindMode(const std::string& name);  // case-insensitive

struct Options {
  Action action = Action::Scan;
  std::string device;  // empty: the built-in virtual scanner
  const ModeInfo* mode = nullptr;
  uint32_t xResolution = kDefaultResolution;
  uint32_t yResolution = kDefaultResolution;
  // Area in 1/600 inch from the bed's origin.
  uint32_t left = 0;
  uint32_t top = 0;
  uint32_t width = kBedWidthUnits;
  uint32_t height = kBedLengthUnits;
  OutputFormat format = OutputFormat::Pnm;
  std::string outputPath;  // empty: standard output
  bool progress = false;
  bool waitForButton = false;
  std::string document;  // image for the virtual scanner's glass (or film holder)
  const SourceInfo* source = nullptr;  // never null after parsing
  bool negative = false;               // film sources: the film is a negative
  bool autoTone = false;               // film sources: automatic tone correction
  bool Film() const { return source != nullptr && source->scanSource != kSourceFlatbed; }
};

struct ParseResult {
  std::optional<Options> options;
  std::string error;  // one line saying what is wrong and what is allowed
};

// Parses and validates the whole command line (argv[0] excluded).
ParseResult ParseOptions(const std::vector<std::string>& arguments);

// The scan request the options describe, filled the way the driver's own
// defaults are (bytes the driver keeps but does not interpret included).
ScanParameter BuildScanParameter(const Options& options);

// Output pixels per line and lines, as the driver derives them.
uint32_t ExpectedPixelsPerLine(const Options& options);
uint32_t ExpectedLineCount(const Options& options);

// Millimetres <-> driver units.
uint32_t MillimetresToUnits(double mm);
double UnitsToMillimetres(uint32_t units);

const char* FormatName(OutputFormat format);
std::string UsageText();

}  // namespace tq5scan
