#include "scan/scan_geometry.h"

#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "transport/controller_memory.h"

namespace {

constexpr uint16_t kDefaultOpticalResolution = 600;
constexpr int kAbilityOpticalResolutionOffset = 92;

constexpr uint32_t kRingBufferBytes = 0x200000;
constexpr uint32_t kHalfResolutionRingBufferBytes = 0x300000;

struct VerticalClass {
  uint16_t upTo;  // highest yResolution of the class
  uint16_t motorYResolution;
  uint8_t colourExposure;
  uint8_t otherExposure;
};
constexpr VerticalClass kVerticalClasses[] = {
    {150, 150, 6, 10}, {300, 300, 6, 10}, {450, 450, 10, 10}, {600, 600, 10, 10}, {0xFFFF, 1200, 10, 10},
};

struct HorizontalClass {
  uint16_t upTo;  // highest xResolution of the class
  uint16_t opticalXResolution;
  uint8_t register09;
  uint16_t xPixelPitch;
};
// Resolutions above 600 are kept away by the parameter validation; they
// land in the 600 class.
constexpr HorizontalClass kHorizontalClasses[] = {
    {75, 75, 6, 80}, {150, 150, 4, 40}, {200, 200, 3, 30}, {300, 300, 2, 20}, {400, 400, 1, 15}, {0xFFFF, 600, 0, 10},
};

const VerticalClass& VerticalClassOf(uint16_t yResolution) {
  for (const auto& c : kVerticalClasses)
    if (yResolution <= c.upTo) return c;
  return kVerticalClasses[4];
}

const HorizontalClass& HorizontalClassOf(uint16_t xResolution) {
  for (const auto& c : kHorizontalClasses)
    if (xResolution <= c.upTo) return c;
  return kHorizontalClasses[5];
}

// Line-timing registers 0x0F-0x14, 0x17, 0x18 for colour and other scans.
constexpr uint8_t kTimingRegisters[] = {0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x17, 0x18};
constexpr uint8_t kColourTiming[] = {0x06, 0x17, 0x01, 0x03, 0x05, 0x07, 0x0B, 0x00};
constexpr uint8_t kOtherTiming[] = {0x02, 0x08, 0x00, 0x01, 0x01, 0x02, 0x04, 0x00};

// Channel selection (register 0x26) and sensor channel of a one-channel
// scan, by the record's monoChannel.
void SelectMonoChannel(uint8_t monoChannel, uint8_t* register26, uint16_t* channelIndex) {
  switch (monoChannel) {
    case 1:
      *register26 = 0x04, *channelIndex = 0;
      break;
    case 0:
    case 2:
      *register26 = 0x0C, *channelIndex = 1;
      break;
    case 3:
      *register26 = 0x14, *channelIndex = 2;
      break;
    default:
      *register26 = 0x1C, *channelIndex = 1;
      break;
  }
}

void SetScanValue16(uint8_t highReg, uint32_t value) {
  SetScanValue(highReg, static_cast<uint8_t>(value >> 8));
  SetScanValue(static_cast<uint8_t>(highReg + 1), static_cast<uint8_t>(value));
}

// The step-period correction of register 0x19 counts 0 as 1.
uint32_t Register19Divisor() {
  const uint8_t r = ScanValue(0x19);
  return r == 0 ? 1 : r;
}

}  // namespace

// Callers other than SetScanParameter (the test scan, the film-unit mode
// code) may prepare a geometry before anything filled the cache; the
// scanner's optical resolution is then used as the cache would give it.
uint16_t CachedOpticalResolution() {
  if (sharedState->abilityCacheValid == 0) return kDefaultOpticalResolution;
  const uint8_t* cache = sharedState->abilityCache;
  const uint16_t value = static_cast<uint16_t>(cache[kAbilityOpticalResolutionOffset] |
                                               cache[kAbilityOpticalResolutionOffset + 1] << 8);
  return value != 0 ? value : kDefaultOpticalResolution;
}

ScanLineLayout ComputeScanLineLayout(const ScanParameter& r) {
  const SharedState& s = *sharedState;
  const bool colour = r.scanMode == kScanModeColour;
  ScanLineLayout g{};
  g.opticalXResolution = HorizontalClassOf(r.xResolution).opticalXResolution;
  g.motorYResolution = VerticalClassOf(r.yResolution).motorYResolution;

  // Every one-channel scan reads the sensor's one-channel line, which trails
  // the colour line by 5/300 inch. Mode 5 is a one-channel mode too: taking
  // the correction for modes below 4 only would start it 5/300 inch too high.
  g.yStartBase = s.yOriginOffset + (r.scanMode != kScanModeColour ? 5u : 0u);
  g.xStartBase = registerDefaults[0x1F] + uint64_t{s.xOriginOffset};
  if (r.scanSource == kSourceFilmFrame) {
    g.xStartBase += s.filmFrameXOffset;
    g.yStartBase = 35;
  }

  g.lineDelay = colour ? g.motorYResolution * 4 / CachedOpticalResolution() : 0;
  g.padBytes = 2;
  g.extraLines = g.motorYResolution * 24 / 600;

  // A record of another caller with no depth or no vertical resolution is
  // taken as one bit per pixel and 1 dpi rather than dividing by zero.
  const uint32_t bits = r.bitsPerPixel != 0 ? r.bitsPerPixel : 1;
  const uint32_t yResolution = r.yResolution != 0 ? r.yResolution : 1;

  // The device sends whole bytes and drops the pixels of a last partial
  // byte. A one-bit area that does not fill its last byte (at resolutions
  // between the classes, such as 500 dpi) is widened to whole bytes, so that
  // its right end is scanned too and the output pixels keep their pitch.
  g.width = r.width;
  const uint32_t pixelsPerByte = bits < 8 && 8 % bits == 0 ? 8 / bits : 1;
  const uint64_t sensorPixels = g.width * g.opticalXResolution / 600;
  if (sensorPixels % pixelsPerByte != 0)
    g.width = (sensorPixels / pixelsPerByte + 1) * pixelsPerByte * 600 / g.opticalXResolution;

  // The device sends lines of an even byte count: an odd line is made even
  // by scanning one more pixel.
  g.rawBytesPerLine = g.width * g.opticalXResolution / 600 * bits / 8 + g.padBytes;
  if (g.rawBytesPerLine % 2 != 0) {
    if (colour) {
      g.width += 600 / g.opticalXResolution;
      g.rawBytesPerLine += 3;
      g.padBytes += 3;
    } else {
      g.width += (8 / bits) * 600 / g.opticalXResolution;
      g.rawBytesPerLine += 1;
      g.padBytes += 1;
    }
  }

  g.imageLines = uint64_t{r.lineCount} * g.motorYResolution / yResolution;
  g.rawLineCount = g.imageLines + 2 * g.lineDelay + g.extraLines;
  g.outBytesPerLine = uint64_t{r.pixelsPerLine} * r.bitsPerPixel / 8;
  g.windowEnd = g.xStartBase + r.left + g.width;
  return g;
}

bool ScanGeometryFits(const ScanParameter& record) {
  const ScanLineLayout g = ComputeScanLineLayout(record);
  constexpr uint64_t k16 = 0xFFFF;
  return g.rawBytesPerLine <= k16 && g.rawLineCount <= k16 && g.outBytesPerLine <= k16 && g.windowEnd <= k16 &&
         g.yStartBase + record.top / 2 <= k16 && g.rawBytesPerLine - g.padBytes >= g.outBytesPerLine &&
         g.imageLines >= record.lineCount;
}

DriverError PrepareScanGeometry(const ScanParameter* record) {
  SharedState& s = *sharedState;
  const ScanParameter& r = *record;
  const bool colour = r.scanMode == kScanModeColour;

  s.scanBits = r.bitsPerPixel;
  s.scanMode = r.scanMode;
  s.scanSource = r.scanSource;
  // The previous scan's end has freed its ring and tables; only the
  // references remain to be dropped.
  s.ringBuffer = nullptr;
  s.columnTable = nullptr;
  s.ringCapacityBytes = 0;
  s.syncFillBytes = 0;

  const ScanLineLayout g = ComputeScanLineLayout(r);
  s.xStartBase = static_cast<uint16_t>(g.xStartBase);
  s.yStartBase = static_cast<uint16_t>(g.yStartBase);

  // Resolution classes and the exposure code (scan value of register 0x08).
  const VerticalClass& vertical = VerticalClassOf(r.yResolution);
  const HorizontalClass& horizontal = HorizontalClassOf(r.xResolution);
  s.motorYResolution = vertical.motorYResolution;
  s.opticalXResolution = horizontal.opticalXResolution;
  s.xPixelPitch = horizontal.xPixelPitch;
  uint8_t exposure = colour ? vertical.colourExposure : vertical.otherExposure;
  if (horizontal.opticalXResolution == 75) exposure = colour ? 2 : 10;

  uint8_t register09 = horizontal.register09;
  if (r.bitsPerPixel == 8 || r.bitsPerPixel == 24) register09 |= 0x18;
  if (r.bitsPerPixel == 16 || r.bitsPerPixel == 48) register09 |= 0x20;

  if (r.scanSource == kSourceFilmFrame) {
    exposure = 10;
  } else if (r.scanSource == kSourceFlatbed && r.scanMode < kScanModeColour && r.yResolution >= 300) {
    exposure = 15;
  }
  SetScanValue(0x08, exposure);
  SetScanValue(0x09, register09);
  SetScanValue(0x57, 0x1F);

  // Colour line delay, lead-in, raw line and image sizes.
  s.firstLineDelay = static_cast<uint8_t>(g.lineDelay);
  s.secondLineDelay = static_cast<uint8_t>(g.lineDelay);
  s.extraLines = static_cast<uint16_t>(g.extraLines);
  s.padBytes = static_cast<uint16_t>(g.padBytes);
  s.rawBytesPerLine = static_cast<uint16_t>(g.rawBytesPerLine);
  s.rawLineCount = static_cast<uint16_t>(g.rawLineCount);
  s.rawTotalBytes = uint32_t{s.rawBytesPerLine} * s.rawLineCount;

  const uint8_t* timing = colour ? kColourTiming : kOtherTiming;
  for (size_t i = 0; i < sizeof kTimingRegisters; ++i) SetScanValue(kTimingRegisters[i], timing[i]);
  SetScanValue(0x1E, registerDefaults[0x1E]);
  SetScanValue(0x1F, registerDefaults[0x1F]);

  // Horizontal window on the sensor, 600-dpi pixels.
  const uint32_t windowStart = static_cast<uint32_t>(g.xStartBase + r.left);
  SetScanValue16(0x22, windowStart);
  SetScanValue16(0x24, static_cast<uint32_t>(g.windowEnd));

  uint8_t register26 = 0x00;
  if (!colour) SelectMonoChannel(r.monoChannel, &register26, &s.monoChannelIndex);
  SetScanValue(0x26, register26);

  // Analog front end at neutral codes, then the source's exposure and motor
  // slowdown (register 0x19).
  SetScanValue(0x38, 0), SetScanValue(0x39, 0), SetScanValue(0x3A, 0);
  SetScanValue(0x3B, 1), SetScanValue(0x3C, 1), SetScanValue(0x3D, 1);
  SetScanValue(0x42, 0x20);
  if (r.scanSource != kSourceFlatbed) {
    SetScanValue(0x19, 2);
    SetScanValue(0x08, 5);
  } else if (s.opticalXResolution >= 450 && r.scanMode > 2) {
    // Register 0x19 keeps what the previous geometry left in it.
    SetScanValue(0x08, 10);
  } else {
    SetScanValue(0x19, 0);
  }

  // Vertical start: bed position in 1/300 inch, never 0.
  uint32_t verticalStart = static_cast<uint32_t>(g.yStartBase + r.top / 2);
  if (verticalStart < 1) verticalStart = 1;
  SetScanValue16(0x4A, verticalStart);

  // Register 0x4E: image memory blocks per read, bounded by what one read
  // may take after a line and by the whole image.
  const uint16_t perRead = static_cast<uint16_t>((kImageMemoryBytes - s.rawBytesPerLine) / kImageBlockBytes);
  const uint16_t perImage = static_cast<uint16_t>(s.rawTotalBytes / kImageBlockBytes);
  uint16_t blocks = perRead < perImage ? perRead : perImage;
  if (blocks < 1) blocks = 1;
  SetScanValue(0x4E, static_cast<uint8_t>(blocks));

  s.bottomEdge = static_cast<uint16_t>(r.top + r.height);
  SetScanValue(0x4F, 2);
  SetScanValue(0x50, 0x3F);

  uint16_t stepPeriod = 0, linePeriod = 0;
  uint32_t phase = 0;
  ComputeStepTiming(s.motorYResolution, &stepPeriod, &phase, &linePeriod);
  SetScanValue16(0x46, stepPeriod < 2 ? 2 : stepPeriod);
  SetScanValue16(0x52, phase & 0xFFFF);
  SetScanValue16(0x48, ComputeRegister48Value());

  s.rawBytesRemaining = s.rawTotalBytes;
  s.outBytesPerLine = static_cast<uint16_t>(g.outBytesPerLine);
  s.outLineCount = r.lineCount;
  s.outTotalBytes = uint32_t{s.outBytesPerLine} * s.outLineCount;
  s.scanXResolution = r.xResolution;
  s.ringBufferSize = s.halfImageBuffer != nullptr ? kHalfResolutionRingBufferBytes : kRingBufferBytes;
  s.ringLineSlots = static_cast<uint16_t>(s.firstLineDelay + s.secondLineDelay + 2);
  s.opticalXResolution = horizontal.opticalXResolution;
  return kErrNone;
}

void ComputeStepTiming(uint16_t m, uint16_t* stepPeriod, uint32_t* phase, uint16_t* linePeriod) {
  const uint8_t* d = registerDefaults;
  const uint32_t b = d[0x0D] >> 7;
  const uint32_t baseLine =
      (d[0x20] * 256u + d[0x21]) + (b + 1) * ((d[0x0E] & 0x0Fu) + 2 * (d[0x0E] >> 4) + 1) + 3 - b;

  // A colour-interleaved channel selection reads three sensor rows per line.
  const uint8_t selection = ScanValue(0x26) & 0x07;
  const uint32_t multiplier = (selection == 1 || selection == 5) ? 3 : 1;
  *linePeriod = static_cast<uint16_t>(multiplier * baseLine);

  uint32_t step = baseLine * m / 1200;
  const uint32_t r = Register19Divisor();
  if (r > 1) step = step * (r + 1) / r;
  *stepPeriod = static_cast<uint16_t>(step);

  // A line period of 0 (only possible with other register defaults) leaves
  // no phase to take.
  const uint32_t period = *linePeriod;
  const uint32_t advance = 4u * (ScanValue(0x50) & 0x3Fu) * *stepPeriod;
  *phase = period != 0 ? period - advance % period : 0;
}

uint16_t ComputeRegister48Value() {
  const uint32_t base = sharedState->scanMode == kScanModeColour ? 2200 : 6600;
  const uint32_t exposure = ScanValue(0x08);
  return static_cast<uint16_t>(base / (Register19Divisor() * (exposure + 2)));
}
