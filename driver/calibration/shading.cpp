#include "calibration/shading.h"

#include <algorithm>
#include <initializer_list>
#include <cstring>

#include "calibration/front_end.h"
#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "scan/scan_geometry.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kReadBlockBytes = 2048;
constexpr uint32_t kWhiteScale = 0x11300000;          // coefficient numerator
constexpr uint32_t kWhiteScaleFilmFrame = 0x0FF00000;
constexpr uint16_t kFilmFrameDarkRaise = 82;           // channel 0 of the film frame
constexpr uint16_t kFilmFrameMinimumWhite = 0x1900;
constexpr uint32_t kWhiteUploadDelayMs = 200;
constexpr uint16_t kDarkResolution = 150;

// One shading read: its lines, their size and the line timing class.
struct ShadingRead {
  uint32_t pixels;
  uint32_t lineBytes;
  uint32_t lines;
  uint16_t resolution;
};

uint32_t ChannelsPerLine() { return ColourCalibration() ? 3 : 1; }

// Window pixels and line size; 251 when the window's tables cannot fit the
// shading memory (or it is empty), before anything is read.
DriverError PlanRead(uint32_t wanted, ShadingRead* read) {
  read->pixels = ShadingWindowPixels();
  if (read->pixels == 0 || read->pixels * 2 > kShadingMemoryBytes) return kErrBadLength;
  read->lineBytes = read->pixels * 2 * ChannelsPerLine() + 2;
  read->lines = std::max<uint32_t>(1, std::min<uint32_t>(wanted, kMaxTrimValues));
  read->resolution = kDarkResolution;
  return kErrNone;
}

// Programs the calibration column for a shading read and uploads it.
DriverError SetUpRead(bool white, uint16_t resolution, uint8_t blocks) {
  SetCalibrationValue(0x09, static_cast<uint8_t>(ScanValue(0x09) | 0x20));
  for (uint8_t reg : {0x1E, 0x1F, 0x22, 0x23, 0x24, 0x25, 0x48, 0x49}) SetCalibrationValue(reg, ScanValue(reg));
  uint16_t stepPeriod = 0;
  uint32_t phase = 0;
  uint16_t linePeriod = 0;
  ComputeStepTiming(resolution, &stepPeriod, &phase, &linePeriod);
  SetCalibrationPair(0x46, stepPeriod);
  if (white) SetCalibrationPair(0x52, static_cast<uint16_t>(phase & 0xFFFF));
  SetCalibrationValue(0x4A, 0);
  SetCalibrationValue(0x4B, white && sharedState->scanSource == kSourceFilmFrame ? 10 : 1);
  SetCalibrationValue(0x4E, blocks);
  SetCalibrationValue(0x4F, white ? 0 : 2);
  SetCalibrationValue(0x50, 0);
  return WriteCalibrationSet();
}

// Sets a table-loaded bit of register 0x42 in the calibration column and
// makes the scan value equal to it.
void MarkTableLoaded(uint8_t bit) {
  const auto value = static_cast<uint8_t>(CalibrationValue(0x42) | bit);
  SetBothValues(0x42, value);
}

// Sets up, allocates and reads the lines of one shading read; the caller
// owns *buffer on success.
DriverError ReadShadingLines(bool white, const ShadingRead& read, uint8_t blocks, uint8_t** buffer) {
  DriverError result = SetUpRead(white, read.resolution, blocks);
  if (result != kErrNone) return result;
  auto* lines = static_cast<uint8_t*>(AllocBlock(read.lines * read.lineBytes));
  if (lines == nullptr) return kErrNoMemory;
  result = ReadCalibrationLine(lines, read.lines * read.lineBytes);
  if (result != kErrNone) {
    FreeBlock(lines);
    return result;
  }
  *buffer = lines;
  return kErrNone;
}

uint16_t MeanAt(const uint8_t* line, uint32_t word) {
  uint16_t value;
  std::memcpy(&value, line + word * 2, sizeof value);
  return value;
}

// Builds one table per channel from the means of the first line and uploads
// it to `memory`: entry(channel, mean) gives each entry, stored high byte
// first. Colour lines go to channels 0, 1, 2; a one-channel line to its
// channel only.
template <typename EntryOf>
DriverError UploadTables(const uint8_t* means, uint32_t pixels, uint8_t memory, EntryOf entry) {
  const uint32_t channels = ChannelsPerLine();
  uint8_t* tables[3] = {nullptr, nullptr, nullptr};
  DriverError result = kErrNone;
  for (uint32_t c = 0; c < channels; ++c) {
    tables[c] = static_cast<uint8_t*>(AllocBlock(pixels * 2));
    if (tables[c] == nullptr) {
      result = kErrNoMemory;
      break;
    }
    for (uint32_t i = 0; i < pixels; ++i) {
      const uint16_t value = entry(c, MeanAt(means, i * channels + c));
      tables[c][2 * i] = static_cast<uint8_t>(value >> 8);
      tables[c][2 * i + 1] = static_cast<uint8_t>(value & 0xFF);
    }
  }
  if (result == kErrNone && memory == kMemoryWhiteShading) Delay(kWhiteUploadDelayMs);
  if (result == kErrNone) result = PrepareMemoryAccess();
  for (uint32_t c = 0; c < channels && result == kErrNone; ++c) {
    const auto bank = static_cast<uint8_t>(channels == 3 ? c : sharedState->monoChannelIndex);
    result = WriteControllerMemory(bank, tables[c], memory, static_cast<uint16_t>(pixels * 2), 0);
  }
  for (uint8_t* table : tables) FreeBlock(table);
  return result;
}

}  // namespace

// The white rule drops more low values than high ones (dust on the white
// strip only darkens a column). Where it would drop every value (two values:
// one low and one high) it keeps the higher one: only the low drop, which
// is what the rule is for, is applied. No other count that arises leaves
// nothing; the same limit guards any count.
uint16_t TrimmedMean(uint16_t* values, int count, TrimRule rule) {
  if (count <= 0) return 0;
  if (count == 1) return values[0];
  int low = 0;
  int high = 0;
  if (rule == TrimRule::White) {
    low = count >= 9 ? count / 4 : count / 2;
    high = count >= 9 ? count / 8 : 1;
  } else {
    low = count / 4;
    high = count >= 9 ? count / 4 : 0;
  }
  if (low + high >= count) high = std::max(0, count - low - 1);
  if (low >= count) low = count - 1;
  std::sort(values, values + count);
  uint32_t sum = 0;
  for (int i = low; i < count - high; ++i) sum += values[i];
  return static_cast<uint16_t>(sum / static_cast<uint32_t>(count - low - high));
}

void ColumnTrimmedMean(uint8_t* buffer, uint32_t lines, uint32_t lineWords, TrimRule rule) {
  const uint32_t count = std::min<uint32_t>(lines, kMaxTrimValues);
  if (count == 0) return;
  const uint32_t lineBytes = lineWords * 2;
  uint16_t values[kMaxTrimValues];
  for (uint32_t j = 0; j < lineWords; ++j) {
    for (uint32_t k = 0; k < count; ++k) {
      const uint8_t* p = buffer + k * lineBytes + j * 2;
      values[k] = static_cast<uint16_t>((p[0] << 8 | p[1]) >> 2);
    }
    const uint16_t mean = TrimmedMean(values, static_cast<int>(count), rule);
    std::memcpy(buffer + j * 2, &mean, sizeof mean);
  }
}

uint16_t WhiteCoefficient(uint16_t mean, uint16_t scanSource) {
  if (mean == 0) return 0xFFFF;
  const uint32_t scale = scanSource == kSourceFilmFrame ? kWhiteScaleFilmFrame : kWhiteScale;
  return static_cast<uint16_t>(std::min<uint32_t>(scale / mean, 0xFFFF));
}

uint32_t ShadingWindowPixels() {
  const int32_t span = int32_t{ScanValue16(0x24)} - int32_t{ScanValue16(0x22)};
  if (span <= 0) return 0;
  return static_cast<uint32_t>(span) * 10 / CalibrationPixelPitch();
}

DriverError CalibrateShading(uint8_t wanted) {
  const SharedState& s = *sharedState;
  ShadingRead read;
  DriverError result = PlanRead(wanted, &read);
  if (result != kErrNone) return result;
  const uint32_t limit = kImageMemoryBytes / read.lineBytes;
  // Fewer lines than wanted fit one read: take what fits, at a lower line
  // resolution so that they still span the white strip.
  if (limit < read.lines) {
    read.lines = limit;
    read.resolution = 100;
    if (ColourCalibration() && read.lines < 12) read.resolution = 75;
  }
  uint32_t bytes = (read.lineBytes * read.lines + kReadBlockBytes - 1) / kReadBlockBytes * kReadBlockBytes;
  bytes = std::min(bytes, kImageMemoryBytes);
  const auto blocks = static_cast<uint8_t>(std::max<uint32_t>(1, bytes / kReadBlockBytes));

  uint8_t* lines = nullptr;
  result = ReadShadingLines(true, read, blocks, &lines);
  if (result != kErrNone) return result;
  const uint32_t lineWords = read.lineBytes / 2;
  ColumnTrimmedMean(lines, read.lines, lineWords, TrimRule::White);

  const uint32_t meanCount = lineWords - 1;
  uint16_t lowest = 0xFFFF;
  uint16_t highest = 0;
  for (uint32_t j = 0; j < meanCount; ++j) {
    const uint16_t mean = MeanAt(lines, j);
    lowest = std::min(lowest, mean);
    highest = std::max(highest, mean);
  }
  const bool refused = (s.scanSource == kSourceFlatbed && lowest == 0) ||
                       (ColourCalibration() && s.scanSource == kSourceFilmFrame && highest < kFilmFrameMinimumWhite);
  if (refused) {
    FreeBlock(lines);
    return kErrShadingDataInvalid;
  }
  MarkTableLoaded(kWhiteTableLoaded);
  const uint16_t source = s.scanSource;
  result = UploadTables(lines, read.pixels, kMemoryWhiteShading,
                        [source](uint32_t, uint16_t mean) { return WhiteCoefficient(mean, source); });
  FreeBlock(lines);
  return result;
}

DriverError MeasureDarkShading(uint16_t wanted) {
  ShadingRead read;
  DriverError result = PlanRead(wanted, &read);
  if (result != kErrNone) return result;
  read.lines = std::min(read.lines, kImageMemoryBytes / read.lineBytes);
  const uint32_t bytes = std::min(read.lineBytes * read.lines, kImageMemoryBytes);
  const auto blocks = static_cast<uint8_t>(std::max<uint32_t>(1, bytes / kReadBlockBytes));

  uint8_t* lines = nullptr;
  result = ReadShadingLines(false, read, blocks, &lines);
  if (result != kErrNone) return result;
  ColumnTrimmedMean(lines, read.lines, read.lineBytes / 2, TrimRule::Dark);
  MarkTableLoaded(kDarkTableLoaded);

  const bool colour = ColourCalibration();
  const bool filmFrame = sharedState->scanSource == kSourceFilmFrame;
  result = UploadTables(lines, read.pixels, kMemoryDarkShading, [colour, filmFrame](uint32_t channel, uint16_t mean) {
    const uint16_t raise = colour && filmFrame && channel == 0 ? kFilmFrameDarkRaise : 0;
    return static_cast<uint16_t>((mean + raise) * 4);
  });
  FreeBlock(lines);
  return result;
}
