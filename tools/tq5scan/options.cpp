#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tq5scan {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string Millimetres(uint32_t units) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f mm", UnitsToMillimetres(units));
  return text;
}

// A length as the user typed it (give or take trailing zeros).
std::string Typed(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%g mm", mm);
  return text;
}

// Removes a unit suffix ("mm", "dpi") the user may have typed.
std::string WithoutSuffix(std::string text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (text.size() > n && Lower(text.substr(text.size() - n)) == suffix) text.resize(text.size() - n);
  return text;
}

std::optional<double> ParseNumber(const std::string& text) {
  double value = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto [at, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || at != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<uint32_t> ParseWhole(const std::string& text) {
  uint32_t value = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto [at, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

enum class Id {
  Device, List, Mode, Resolution, XResolution, YResolution, Left, Top, Width, Height,
  Source, Format, Output, Progress, Button, Test, Version, Help, Document, Negative, AutoTone,
};

struct OptionDef {
  char shortName;  // 0: none
  const char* longName;
  bool takesValue;
  Id id;
};

constexpr OptionDef kOptions[] = {
    {'d', "device", true, Id::Device},
    {'L', "list-devices", false, Id::List},
    {0, "mode", true, Id::Mode},
    {0, "resolution", true, Id::Resolution},
    {0, "x-resolution", true, Id::XResolution},
    {0, "y-resolution", true, Id::YResolution},
    {'l', nullptr, true, Id::Left},
    {'t', nullptr, true, Id::Top},
    {'x', nullptr, true, Id::Width},
    {'y', nullptr, true, Id::Height},
    {0, "source", true, Id::Source},
    {0, "format", true, Id::Format},
    {'o', "output-file", true, Id::Output},
    {'p', "progress", false, Id::Progress},
    {0, "wait-for-button", false, Id::Button},
    {'T', "test", false, Id::Test},
    {'V', "version", false, Id::Version},
    {'h', "help", false, Id::Help},
    {0, "document", true, Id::Document},
    {0, "negative", false, Id::Negative},
    {0, "auto-tone", false, Id::AutoTone},
};

const OptionDef* FindShort(char name) {
  for (const auto& def : kOptions)
    if (def.shortName == name) return &def;
  return nullptr;
}

const OptionDef* FindLong(const std::string& name) {
  for (const auto& def : kOptions)
    if (def.longName != nullptr && name == def.longName) return &def;
  return nullptr;
}

std::string Shown(const OptionDef& def) {
  return def.longName != nullptr ? std::string("--") + def.longName : std::string("-") + def.shortName;
}

// What the user asked for, before the checks that need all options at once.
struct Raw {
  Options options;
  std::string mode = "Color";
  std::string source = "Flatbed";
  std::optional<std::string> format;
  std::optional<uint32_t> resolution, xResolution, yResolution;
  std::optional<double> left, top, width, height;  // millimetres
};

std::string Apply(Raw& raw, const OptionDef& def, const std::string& value) {
  const std::string name = Shown(def);
  auto resolution = [&](std::optional<uint32_t>& into) -> std::string {
    const auto parsed = ParseWhole(WithoutSuffix(value, "dpi"));
    if (!parsed) return name + ": '" + value + "' is not a whole number of dots per inch";
    into = *parsed;
    return {};
  };
  auto length = [&](std::optional<double>& into) -> std::string {
    const auto parsed = ParseNumber(WithoutSuffix(value, "mm"));
    if (!parsed) return name + ": '" + value + "' is not a length in millimetres";
    if (*parsed < 0) return name + ": " + value + " is negative; lengths are millimetres from 0";
    into = *parsed;
    return {};
  };
  switch (def.id) {
    case Id::Device:
      if (value.empty()) return name + ": give the path of a device node";
      raw.options.device = value;
      return {};
    case Id::List: raw.options.action = Action::ListDevices; return {};
    case Id::Mode: raw.mode = value; return {};
    case Id::Resolution: return resolution(raw.resolution);
    case Id::XResolution: return resolution(raw.xResolution);
    case Id::YResolution: return resolution(raw.yResolution);
    case Id::Left: return length(raw.left);
    case Id::Top: return length(raw.top);
    case Id::Width: return length(raw.width);
    case Id::Height: return length(raw.height);
    case Id::Source: raw.source = value; return {};
    case Id::Format: raw.format = value; return {};
    case Id::Output:
      if (value.empty()) return name + ": give a file name (or leave the option out for standard output)";
      raw.options.outputPath = value;
      return {};
    case Id::Progress: raw.options.progress = true; return {};
    case Id::Button: raw.options.waitForButton = true; return {};
    case Id::Test: raw.options.action = Action::Test; return {};
    case Id::Version: raw.options.action = Action::Version; return {};
    case Id::Help: raw.options.action = Action::Help; return {};
    case Id::Document:
      if (value.empty()) return name + ": give the path of an image file";
      raw.options.document = value;
      return {};
    case Id::Negative: raw.options.negative = true; return {};
    case Id::AutoTone: raw.options.autoTone = true; return {};
  }
  return {};
}

std::optional<OutputFormat> FormatFromName(const std::string& name) {
  const std::string lower = Lower(name);
  if (lower == "pnm") return OutputFormat::Pnm;
  if (lower == "png") return OutputFormat::Png;
  if (lower == "tiff" || lower == "tif") return OutputFormat::Tiff;
  return std::nullopt;
}

std::string Extension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return Lower(path.substr(dot + 1));
}

// The checks that need every option: they say what is allowed.
std::string Finish(Raw& raw) {
  Options& o = raw.options;

  o.mode = FindMode(raw.mode);
  if (o.mode == nullptr) return "--mode: unknown mode '" + raw.mode + "'; use Color, Gray, Lineart, Color48 or Gray16";

  o.source = FindSource(raw.source);
  if (o.source == nullptr) return "--source: unknown source '" + raw.source + "'; use Flatbed, Film or \"Film Frame\"";
  const SourceInfo& source = *o.source;
  if (!o.Film() && (o.negative || o.autoTone))
    return std::string(o.negative ? "--negative" : "--auto-tone") +
           " is for film: give --source Film or --source \"Film Frame\"";
  // A film frame is scanned in colour and converted to 8-bit grey.
  if (source.scanSource == kSourceFilmFrame && o.mode->channels == 1 && o.mode->bitsPerSample == 16)
    return "--mode Gray16 is not possible on the film frame (it is scanned in colour and converted to 8-bit "
           "grey); use Gray or Color48";

  o.xResolution = raw.xResolution.value_or(raw.resolution.value_or(kDefaultResolution));
  o.yResolution = raw.yResolution.value_or(raw.resolution.value_or(kDefaultResolution));
  const std::string xName = raw.xResolution ? "--x-resolution" : "--resolution";
  const std::string yName = raw.yResolution ? "--y-resolution" : "--resolution";
  const uint32_t maxX = o.autoTone ? kAutoToneMaxResolution : source.maxXResolution;
  const uint32_t maxY = o.autoTone ? kAutoToneMaxResolution : source.maxYResolution;
  // One-bit film-unit lines have no whole pixels: above 600 dpi across the
  // two passes cannot be merged, and the automatic tone pass has nothing to
  // analyse.
  if (source.scanSource == kSourceFilmUnit && o.mode->bitsPerSample == 1) {
    if (o.xResolution > kMaxXResolution)
      return xName + ": Lineart film scans go up to " + std::to_string(kMaxXResolution) +
             " dpi across; scan Gray and threshold it, or use --source \"Film Frame\"";
    if (o.autoTone)
      return "--auto-tone cannot correct Lineart film scans; scan Gray, or use --source \"Film Frame\"";
  }
  const std::string scans = std::string(source.name) + (o.autoTone ? " scans with --auto-tone go" : " scans go");
  if (o.xResolution < kMinResolution || o.xResolution > maxX)
    return xName + ": " + std::to_string(o.xResolution) + " dpi across is not possible; " + scans + " from " +
           std::to_string(kMinResolution) + " to " + std::to_string(maxX) + " dpi across" +
           (o.xResolution > maxX && o.xResolution <= maxY
                ? " (up to " + std::to_string(maxY) + " dpi down: --x-resolution " + std::to_string(maxX) +
                      " --y-resolution " + std::to_string(maxY) + ")"
                : "");
  if (o.yResolution < kMinResolution || o.yResolution > maxY)
    return yName + ": " + std::to_string(o.yResolution) + " dpi down is not possible; " + scans + " from " +
           std::to_string(kMinResolution) + " to " + std::to_string(maxY) + " dpi down";

  // The area: -x and -y default to the rest of the source's window from -l
  // and -t.
  auto units = [](double mm) { return MillimetresToUnits(mm); };
  const std::string area = source.area;
  if (raw.left && units(*raw.left) >= source.widthUnits)
    return "-l: " + Typed(*raw.left) + " is outside the " + area + "; the " + area + " is " +
           Millimetres(source.widthUnits) + " wide";
  if (raw.top && units(*raw.top) >= source.lengthUnits)
    return "-t: " + Typed(*raw.top) + " is outside the " + area + "; the " + area + " is " +
           Millimetres(source.lengthUnits) + " long";
  o.left = raw.left ? units(*raw.left) : 0;
  o.top = raw.top ? units(*raw.top) : 0;
  o.width = raw.width ? units(*raw.width) : source.widthUnits - o.left;
  o.height = raw.height ? units(*raw.height) : source.lengthUnits - o.top;
  if (o.width == 0) return "-x: the width must be more than 0 mm";
  if (o.height == 0) return "-y: the height must be more than 0 mm";
  if (o.left + o.width > source.widthUnits)
    return "-l " + Typed(raw.left.value_or(0)) + " plus -x " + Typed(*raw.width) + " reaches past the right edge of the " +
           area + "; -l plus -x may be at most " + Millimetres(source.widthUnits);
  if (o.top + o.height > source.lengthUnits)
    return "-t " + Typed(raw.top.value_or(0)) + " plus -y " + Typed(*raw.height) +
           " reaches past the bottom edge of the " + area + "; -t plus -y may be at most " +
           Millimetres(source.lengthUnits);
  const uint32_t minimumPixels = o.mode->bitsPerSample == 1 ? 8 : 1;
  if (ExpectedPixelsPerLine(o) < minimumPixels)
    return "-x: the area is too narrow for " + std::to_string(o.xResolution) + " dpi; it must give at least " +
           std::to_string(minimumPixels) + (minimumPixels == 1 ? " pixel" : " pixels") + " per line";
  if (ExpectedLineCount(o) < 1)
    return "-y: the area is too short for " + std::to_string(o.yResolution) + " dpi; it must give at least one line";

  // Format: --format wins; otherwise the output file's extension; else PNM.
  if (raw.format) {
    const auto format = FormatFromName(*raw.format);
    if (!format) return "--format: unknown format '" + *raw.format + "'; use pnm, png or tiff";
    o.format = *format;
  } else if (!o.outputPath.empty()) {
    const std::string ext = Extension(o.outputPath);
    if (ext == "png") {
      o.format = OutputFormat::Png;
    } else if (ext == "tif" || ext == "tiff") {
      o.format = OutputFormat::Tiff;
    } else if (ext.empty() || ext == "pnm" || ext == "ppm" || ext == "pgm" || ext == "pbm") {
      o.format = OutputFormat::Pnm;
    } else {
      return "-o " + o.outputPath + ": cannot tell the format from '." + ext +
             "'; name the file .png, .tif, .tiff or .pnm, or give --format pnm|png|tiff";
    }
  }

  if (!o.document.empty() && !o.device.empty())
    return "--document works only with the built-in virtual scanner; leave out -d to use it";
  if (o.action == Action::Test && o.waitForButton)
    return "--wait-for-button and -T cannot be combined; the test runs at once";
  return {};
}

}  // namespace

const std::vector<ModeInfo>& Modes() {
  static const std::vector<ModeInfo> modes = {
      {"Color", 4, 24, 2, 3, 8},  {"Color48", 4, 48, 2, 3, 16}, {"Gray", 2, 8, 2, 1, 8},
      {"Gray16", 2, 16, 2, 1, 16}, {"Lineart", 0, 1, 2, 1, 1},
  };
  return modes;
}

const std::vector<SourceInfo>& Sources() {
  // The film unit scans its whole 860 x 1500 window and the driver cuts the
  // area out of it; a film frame is 851 x 568.
  static const std::vector<SourceInfo> sources = {
      {"Flatbed", "bed", kSourceFlatbed, kBedWidthUnits, kBedLengthUnits, kMaxXResolution, kMaxYResolution},
      {"Film", "film window", kSourceFilmUnit, 860, 1500, kFilmMaxResolution, kFilmMaxResolution},
      {"Film Frame", "film frame", kSourceFilmFrame, 851, 568, kFilmMaxResolution, kFilmMaxResolution},
  };
  return sources;
}

// "Film Frame", "film-frame" and "filmframe" name one source.
static std::string SourceKey(const std::string& name) {
  std::string key;
  for (char c : Lower(name))
    if (c != ' ' && c != '-' && c != '_') key += c;
  return key;
}

const SourceInfo* FindSource(const std::string& name) {
  const std::string wanted = SourceKey(name);
  for (const auto& source : Sources())
    if (SourceKey(source.name) == wanted) return &source;
  return nullptr;
}

const ModeInfo* FindMode(const std::string& name) {
  const std::string wanted = Lower(name);
  for (const auto& mode : Modes())
    if (Lower(mode.name) == wanted) return &mode;
  return nullptr;
}

uint32_t MillimetresToUnits(double mm) {
  return static_cast<uint32_t>(std::llround(mm * kUnitsPerInch / 25.4));
}

double UnitsToMillimetres(uint32_t units) { return units * 25.4 / kUnitsPerInch; }

uint32_t ExpectedPixelsPerLine(const Options& options) {
  uint32_t pixels = options.width * options.xResolution / kUnitsPerInch;
  if (options.mode != nullptr && options.mode->scanMode < 2) pixels &= ~7u;
  return pixels;
}

uint32_t ExpectedLineCount(const Options& options) { return options.height * options.yResolution / kUnitsPerInch; }

ParseResult ParseOptions(const std::vector<std::string>& arguments) {
  Raw raw;
  ParseResult result;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::string error;
    if (argument.rfind("--", 0) == 0 && argument.size() > 2) {
      const size_t equals = argument.find('=');
      const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const OptionDef* def = FindLong(name);
      if (def == nullptr) {
        result.error = "unknown option '--" + name + "'; see tq5scan --help";
        return result;
      }
      std::string value;
      if (def->takesValue) {
        if (equals != std::string::npos) {
          value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
          value = arguments[++i];
        } else {
          result.error = "--" + name + " needs a value; see tq5scan --help";
          return result;
        }
      } else if (equals != std::string::npos) {
        result.error = "--" + name + " takes no value";
        return result;
      }
      error = Apply(raw, *def, value);
    } else if (argument.size() > 1 && argument[0] == '-') {
      // Short options, getopt style: flags may be grouped ("-pT"), and a value
      // may follow its letter directly ("-l10") or as the next argument.
      for (size_t at = 1; at < argument.size() && error.empty(); ++at) {
        const OptionDef* def = FindShort(argument[at]);
        if (def == nullptr) {
          result.error = std::string("unknown option '-") + argument[at] + "'; see tq5scan --help";
          return result;
        }
        if (!def->takesValue) {
          error = Apply(raw, *def, {});
          continue;
        }
        std::string value;
        if (at + 1 < argument.size()) {
          value = argument.substr(at + 1);
        } else if (i + 1 < arguments.size()) {
          value = arguments[++i];
        } else {
          result.error = std::string("-") + argument[at] + " needs a value; see tq5scan --help";
          return result;
        }
        error = Apply(raw, *def, value);
        break;
      }
    } else {
      error = "unexpected argument '" + argument + "'; the output file is given with -o";
    }
    if (!error.empty()) {
      result.error = error;
      return result;
    }
  }
  if (raw.options.action == Action::Help || raw.options.action == Action::Version) {
    raw.options.mode = FindMode("Color");
    raw.options.source = &Sources().front();
    result.options = raw.options;
    return result;
  }
  result.error = Finish(raw);
  if (result.error.empty()) result.options = raw.options;
  return result;
}

ScanParameter BuildScanParameter(const Options& options) {
  ScanParameter p{};
  p.xResolution = static_cast<uint16_t>(options.xResolution);
  p.yResolution = static_cast<uint16_t>(options.yResolution);
  p.left = static_cast<uint16_t>(options.left);
  p.top = static_cast<uint16_t>(options.top);
  p.width = static_cast<uint16_t>(options.width);
  p.height = static_cast<uint16_t>(options.height);
  p.pixelsPerLine = 0;  // the driver derives the output size from the area
  p.lineCount = 0;
  p.scanMode = options.mode->scanMode;
  p.scanSource = options.source != nullptr ? options.source->scanSource : 0;
  p.bitsPerPixel = options.mode->bitsPerPixel;
  const uint8_t kept[6] = {1, 0, 0, 1, 255, 0};  // as the driver's own defaults
  std::memcpy(p.reserved19, kept, sizeof kept);
  p.monoChannel = options.mode->monoChannel;
  return p;
}

const char* FormatName(OutputFormat format) {
  switch (format) {
    case OutputFormat::Pnm: return "pnm";
    case OutputFormat::Png: return "png";
    case OutputFormat::Tiff: return "tiff";
  }
  return "?";
}

// "216.07 x 297.01 mm"
static std::string SizeText(const SourceInfo& source) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f x %.2f mm", UnitsToMillimetres(source.widthUnits),
                UnitsToMillimetres(source.lengthUnits));
  return text;
}

std::string UsageText() {
  const std::string bed = SizeText(Sources().front());
  return std::string(
             "Usage: tq5scan [OPTION]...\n"
             "Scans an image from a TQ5 scanner (or the built-in virtual scanner) to PNM, PNG or TIFF.\n"
             "\n"
             "Device:\n"
             "  -d, --device PATH        scan from the scanner at this device node; without -d the\n"
             "                           built-in virtual scanner is started and used\n"
             "  -L, --list-devices       list the scanners that can be opened, then exit\n"
             "      --document FILE      virtual scanner only: put this image (PNG or PNM) on its glass\n"
             "                           (with a film source: in its film holder)\n"
             "\n"
             "Scan:\n"
             "      --mode MODE          Color (24-bit, default), Gray (8-bit), Lineart (1-bit),\n"
             "                           Color48 (48-bit) or Gray16 (16-bit)\n"
             "      --resolution DPI     both resolutions (default 150)\n"
             "      --x-resolution DPI   across the bed: 25 to 600\n"
             "      --y-resolution DPI   down the bed: 25 to 1200\n"
             "  -l MM  -t MM             left and top edge of the area (default 0)\n"
             "  -x MM  -y MM             width and height (default: the rest of the bed)\n"
             "                           the flatbed is ") +
         bed +
         "\n"
         "      --source NAME        Flatbed (default), Film (the film unit's window, " + SizeText(Sources()[1]) + ")\n"
         "                           or \"Film Frame\" (one frame of the film holder, " + SizeText(Sources()[2]) + ");\n"
         "                           film scans go up to 1200 dpi\n"
         "      --negative           film sources: the film is a negative\n"
         "      --auto-tone          film sources: correct the tone automatically from a prescan\n"
         "                           (up to 600 dpi)\n"
         "      --wait-for-button    wait until a button on the scanner is pressed, then scan\n"
         "\n"
         "Output:\n"
         "  -o, --output-file FILE   write the image here (default: standard output)\n"
         "      --format FORMAT      pnm, png or tiff (default: from the file's extension, else pnm)\n"
         "  -p, --progress           show a progress bar on standard error\n"
         "\n"
         "Other:\n"
         "  -T, --test               run the scanner's diagnostics and print a report\n"
         "  -V, --version            print the version and exit\n"
         "  -h, --help               print this help and exit\n"
         "\n"
         "Exit status:\n"
         "  0 success                      6 the scanner failed a check (lamp, carriage, calibration)\n"
         "  1 another scanner error        7 the image data stopped or was damaged\n"
         "  2 bad option, value or area    8 the output could not be written\n"
         "  3 the driver could not load    9 the virtual scanner or its document failed\n"
         "  4 no scanner at that device   10 -T found a fault in the scanner's data\n"
         "  5 the scanner is busy        130 interrupted\n"
         "\n"
         "Environment: TQ5_CLOCK_SPEED (clock speed factor: for the virtual scanner and a tq5sim\n"
         "started with the same speed), TQ5_RUNTIME_DIR, TQ5_LIBRARY_PATH (see docs/tq5scan.md).\n";
}

}  // namespace tq5scan
