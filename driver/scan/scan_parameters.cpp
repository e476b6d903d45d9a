#include "scan/scan_parameters.h"

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "scan/scan_geometry.h"
#include "scan/scan_start.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"

uint16_t statusPixelsPerLine = 0;
uint16_t statusLineCount = 0;

namespace {

constexpr uint8_t kLastScanMode = 5;
constexpr uint16_t kLargeAreaFlag = 0x40;  // area bounds are eight times the limits
constexpr uint32_t kLargeAreaFactor = 8;

constexpr uint16_t kFlatbedMaxXResolution = 600;
constexpr uint16_t kFlatbedMaxYResolution = 1200;
constexpr uint16_t kAutoToneMaxResolution = 600;
constexpr uint16_t kFilmMaxResolution = 1200;  // the highest class the film unit reaches by two passes
constexpr uint16_t kHalvingAbove = 600;

// The bottom of the bed: a scan ending within its last two inches covers at
// least one inch (two when one inch is under 2048 bytes).
constexpr uint32_t kBottomZone = 1200;
constexpr uint32_t kBottomZoneMinBytes = 2048;

// The window of the film unit that the hardware always scans.
constexpr uint16_t kFilmWindowWidth = 860;
constexpr uint16_t kFilmWindowHeight = 1500;

// Offsets of the area limits in the ability cache.
constexpr int kCacheFlatbedWidth = 84;
constexpr int kCacheFlatbedLength = 86;
constexpr int kCacheFilmUnitWidth = 88;
constexpr int kCacheFilmUnitLength = 90;
constexpr int kCacheFrameWidth = 128;
constexpr int kCacheFrameLength = 130;

struct Area {
  uint32_t width;
  uint32_t length;
};

uint32_t CacheValue16(int offset) {
  const uint8_t* cache = sharedState->abilityCache;
  return cache[offset] | cache[offset + 1] << 8;
}

Area FlatbedLimits() { return {CacheValue16(kCacheFlatbedWidth), CacheValue16(kCacheFlatbedLength)}; }

// Area bounds of a source, or a zero area for an unknown source.
Area AreaBounds(uint8_t source, uint16_t flags) {
  Area bounds{0, 0};
  if (source == kSourceFlatbed) bounds = FlatbedLimits();
  if (source == kSourceFilmUnit) bounds = {CacheValue16(kCacheFilmUnitWidth), CacheValue16(kCacheFilmUnitLength)};
  if (source == kSourceFilmFrame) bounds = {CacheValue16(kCacheFrameWidth), CacheValue16(kCacheFrameLength)};
  if (source <= kSourceFilmFrame && (flags & kLargeAreaFlag)) {
    if (source == kSourceFilmFrame) bounds = FlatbedLimits();
    bounds = {bounds.width * kLargeAreaFactor, bounds.length * kLargeAreaFactor};
  }
  return bounds;
}

// Depths a scan mode can deliver. Every mode but the one-bit ones is read
// in whole samples of the depths the controller knows, mode 5 included:
// the line pipeline runs 8- and 16-bit samples only, so another depth is
// refused here rather than by the scan start after the record was stored.
bool DepthFitsMode(uint8_t mode, uint8_t bits) {
  switch (mode) {
    case 0:
    case 1:
      return bits == 1;
    case 2:
    case 3:
      return bits == 8 || bits == 16;
    case 4:
      return bits == 24 || bits == 48;
    case 5:
      return bits == 8 || bits == 16;
    default:
      return false;
  }
}

// The checks made before anything is stored. Besides the area bounds and
// the mode's depth (on the film frame, grey only at 8 bits; on the film
// unit, one bit only up to 600 dpi across and without the automatic tone
// pass of film type 2), a record is refused here when a resolution is zero
// (it divides every size) or when a film-unit resolution is above 1200: two
// passes at half resolution reach 1200 dpi, and no class lies beyond.
bool RecordAcceptable(const ScanParameter& p, uint8_t filmType) {
  if (p.scanSource > kSourceFilmFrame) return false;
  const Area bounds = AreaBounds(p.scanSource, p.parameterFlags);
  if (uint32_t{p.left} + p.width > bounds.width || uint32_t{p.top} + p.height > bounds.length) return false;
  if (p.scanMode > kLastScanMode || !DepthFitsMode(p.scanMode, p.bitsPerPixel)) return false;
  // A film frame is scanned in colour and its lines are converted to 8-bit
  // grey or to bits: a 16-bit grey stream cannot be made from them (it
  // would carry half the bytes GetDataStatus announced).
  if (p.scanSource == kSourceFilmFrame && (p.scanMode == 2 || p.scanMode == 3) && p.bitsPerPixel != 8) return false;
  // Above 600 dpi the film unit scans twice at half resolution and merges
  // the passes pixel by pixel: one-bit lines have no whole pixels to merge.
  // (The film frame is scanned in colour and thresholded after the merge.)
  if (p.scanSource == kSourceFilmUnit && p.scanMode < 2 && p.xResolution > kHalvingAbove) return false;
  // The automatic tone pass analyses the collected image sample by sample:
  // a one-bit film-unit image has none, and its scan would always end with
  // ToneFxFailed. (A film frame is collected in colour.)
  if (p.scanSource == kSourceFilmUnit && p.scanMode < 2 && filmType == kFilmTypeAutoTone) return false;
  if (p.xResolution == 0 || p.yResolution == 0) return false;
  if (p.scanSource != kSourceFlatbed && (p.xResolution > kFilmMaxResolution || p.yResolution > kFilmMaxResolution))
    return false;
  return true;
}

enum class ScanPath { Flatbed, FilmAutoTone, Film };

// Everything SetScanParameter derives from one record, computed without
// touching the shared state so that a record whose sizes do not fit can be
// refused before anything is stored.
struct DerivedScan {
  ScanPath path = ScanPath::Flatbed;
  bool refusedByResolution = false;  // beyond its path's limit: refused after storing
  bool fits = true;                  // every derived value holds in its 16-bit field
  ScanParameter working{};           // output geometry
  ScanParameter workingHalved{};     // working geometry of the first half-resolution pass
  ScanParameter device{};            // what the hardware scans
  bool widthEnlarged = false;
  bool heightEnlarged = false;
  bool halved = false;
  uint64_t filmImageBytes = 0;
  uint64_t mergeLineBytes = 0;
  uint64_t halfImageBytes = 0;
  uint64_t twoLineBytes = 0;

  uint16_t Narrow(uint64_t value) {
    if (value > 0xFFFF) fits = false;
    return static_cast<uint16_t>(value);
  }
};

uint64_t LineBytes(const ScanParameter& p) { return uint64_t{p.pixelsPerLine} * p.bitsPerPixel / 8; }

// One-bit lines hold whole bytes: their pixel counts are multiples of 8.
uint64_t PixelsForMode(uint64_t pixels, uint8_t mode) { return mode < 2 ? pixels & ~7ull : pixels; }

// The width is that of the output pixels (rounded up), so the columns fit
// when it does; the lines are checked as the cut counts them, since a host
// may give more lines than its height holds.
bool AreaInFilmWindow(const ScanParameter& w) {
  const uint64_t skippedLines = uint64_t{w.top} * w.yResolution / 600;
  const uint64_t windowLines = uint64_t{w.yResolution} * kFilmWindowHeight / 600;
  return uint32_t{w.left} + w.width <= kFilmWindowWidth && uint32_t{w.top} + w.height <= kFilmWindowHeight &&
         skippedLines + w.lineCount <= windowLines;
}

void UseFilmWindow(DerivedScan& d) {
  ScanParameter& p = d.device;
  p.left = 0;
  p.top = 0;
  p.width = kFilmWindowWidth;
  p.height = kFilmWindowHeight;
  p.pixelsPerLine = d.Narrow(uint64_t{p.xResolution} * kFilmWindowWidth / 600);
  p.lineCount = d.Narrow(uint64_t{p.yResolution} * kFilmWindowHeight / 600);
  d.widthEnlarged = true;
  d.heightEnlarged = true;
}

// A flatbed scan is at least three inches wide (five at 150 dpi and below),
// and one ending near the bottom of the bed is extended upwards.
void EnlargeFlatbedArea(DerivedScan& d) {
  ScanParameter& p = d.device;
  const Area bed = FlatbedLimits();
  const uint32_t minimum = p.xResolution <= 150 ? 3000 : 1800;
  if (p.width < minimum) {
    p.width = static_cast<uint16_t>(minimum);
    if (p.left + minimum > bed.width) p.left = static_cast<uint16_t>(bed.width - minimum);
    p.pixelsPerLine = d.Narrow(PixelsForMode(uint64_t{p.xResolution} * (minimum / 600), p.scanMode));
    d.widthEnlarged = true;
  }
  if (uint32_t{p.top} + p.height > bed.length - kBottomZone) {
    const uint64_t lineBytes = LineBytes(p);
    uint64_t needed = lineBytes * p.yResolution;
    if (needed < kBottomZoneMinBytes) needed *= 2;
    if (lineBytes * p.lineCount < needed) {
      p.lineCount = d.Narrow((needed + lineBytes - 1) / lineBytes);
      const uint32_t height = d.Narrow(uint64_t{p.lineCount} * 600 / p.yResolution);
      // The bottom edge stays where it was; the enlarged height never
      // exceeds the two inches of the zone, so top stays on the bed.
      p.top = static_cast<uint16_t>(p.top + p.height - height);
      p.height = static_cast<uint16_t>(height);
      d.heightEnlarged = true;
    }
  }
}

DerivedScan DeriveScan(const ScanParameter& request, uint8_t filmType) {
  DerivedScan d;
  ScanParameter& w = d.working;
  w = request;
  if (w.pixelsPerLine == 0) {
    w.pixelsPerLine = d.Narrow(PixelsForMode(uint64_t{w.width} * w.xResolution / 600, w.scanMode));
    w.lineCount = d.Narrow(uint64_t{w.height} * w.yResolution / 600);
  }
  // The width covered by the output pixels, rounded up so that the scanned
  // line always holds every output pixel (a 400-dpi line of an odd number
  // of pixels would otherwise come out one pixel short).
  w.width = d.Narrow((uint64_t{w.pixelsPerLine} * 600 + w.xResolution - 1) / w.xResolution);
  // The film frame is scanned in colour; ReadScan converts to the depth
  // asked for.
  if (request.scanSource == kSourceFilmFrame && request.scanMode < kScanModeColour) {
    w.scanMode = kScanModeColour;
    w.bitsPerPixel = 24;
  }
  d.workingHalved = w;
  d.device = w;

  if (w.scanSource == kSourceFlatbed) {
    d.path = ScanPath::Flatbed;
    d.refusedByResolution = w.xResolution > kFlatbedMaxXResolution || w.yResolution > kFlatbedMaxYResolution;
    if (!d.refusedByResolution) EnlargeFlatbedArea(d);
  } else if (filmType == kFilmTypeAutoTone) {
    d.path = ScanPath::FilmAutoTone;
    d.refusedByResolution = w.xResolution > kAutoToneMaxResolution || w.yResolution > kAutoToneMaxResolution;
    UseFilmWindow(d);
    d.filmImageBytes = LineBytes(w) * w.lineCount;
  } else {
    d.path = ScanPath::Film;
    if (w.xResolution > kHalvingAbove) {
      d.halved = true;
      d.mergeLineBytes = 2ull * w.pixelsPerLine * w.bitsPerPixel + 20;
      ScanParameter& h = d.workingHalved;
      h.xResolution /= 2;
      h.pixelsPerLine /= 2;
      d.device.xResolution /= 2;
      d.halfImageBytes = LineBytes(h) * h.lineCount + 20;
      d.twoLineBytes = 2ull * h.pixelsPerLine * h.bitsPerPixel + 20;
    }
    UseFilmWindow(d);
  }
  // Output lines are 16-bit sizes throughout the line pipeline.
  if (LineBytes(w) > 0xFFFF) d.fits = false;
  // The film unit always scans its hardware window, and the requested area
  // is cut out of it: an area reaching past the window would be cut from
  // beyond the end of each device line, or wait for lines the device never
  // sends. Such a record is refused before anything is stored.
  if (w.scanSource != kSourceFlatbed && !AreaInFilmWindow(w)) d.fits = false;
  if (!d.refusedByResolution && !ScanGeometryFits(d.device)) d.fits = false;
  return d;
}

// Buffers this process allocated, to tell them from another process's
// addresses in the shared state.
struct OwnedBuffers {
  uint8_t* filmImage = nullptr;
  uint8_t* halfImage = nullptr;
  uint8_t* mergeLine = nullptr;
  uint8_t* twoLine = nullptr;
} owned;

void Release(uint8_t*& shared, uint8_t*& mine) {
  if (shared != nullptr && shared == mine) FreeBlock(shared);
  shared = nullptr;
  mine = nullptr;
}

uint8_t* AllocWholeImage(uint64_t bytes) {
  if (bytes > kMaxWholeImageBytes) return nullptr;
  return static_cast<uint8_t*>(AllocBlock(static_cast<uint32_t>(bytes)));
}

DriverError PrepareFilmAutoTone(const DerivedScan& d) {
  SharedState& s = *sharedState;
  SetIdentityToneCurves();
  owned.filmImage = s.filmImageBuffer = AllocWholeImage(d.filmImageBytes);
  if (s.filmImageBuffer == nullptr) return kErrNoMemory;
  s.widthEnlarged = 1;
  s.heightEnlarged = 1;
  s.bufferedReadOffset = 0;
  s.filmPrescanPending = 1;
  return kErrNone;
}

DriverError PrepareFilm(const DerivedScan& d) {
  SharedState& s = *sharedState;
  if (d.halved) {
    owned.mergeLine = s.mergeLineBuffer = AllocWholeImage(d.mergeLineBytes);
    if (s.mergeLineBuffer != nullptr) owned.halfImage = s.halfImageBuffer = AllocWholeImage(d.halfImageBytes);
    if (s.halfImageBuffer != nullptr) owned.twoLine = s.twoLineBuffer = AllocWholeImage(d.twoLineBytes);
    if (s.twoLineBuffer == nullptr) {
      ReleaseWholeImageBuffers();
      return kErrNoMemory;
    }
    s.workingParameter = d.workingHalved;
    s.halvedXResolution = 1;
    s.bufferedReadOffset = 0;
  } else {
    s.halvedXResolution = 0;
  }
  s.widthEnlarged = 1;
  s.heightEnlarged = 1;
  return kErrNone;
}

}  // namespace

void ReleaseWholeImageBuffers() {
  SharedState& s = *sharedState;
  Release(s.filmImageBuffer, owned.filmImage);
  Release(s.halfImageBuffer, owned.halfImage);
  Release(s.mergeLineBuffer, owned.mergeLine);
  Release(s.twoLineBuffer, owned.twoLine);
  s.halvedXResolution = 0;
}

// A call made while any process has a scan started (a reader thread runs,
// or a ring exists for a scan read without one) is refused with 162
// (ScannerBusy), as StartScan does: its geometry would drop the running
// scan's ring and tables. On a refusal by the
// resolution limits, or when a buffer cannot be had, the request, the
// working geometry and the status values already hold the new record, while
// the device record, the prepared geometry and the buffers stay those of
// the last accepted call (or none, once an allocation failed).
int32_t TQ5_STDCALL SetScanParameter(ScanParameter* parameter) {
  if (!RecordGiven(parameter)) return 0;
  if (!LockForExport(kLockTimeout)) return 0;
  SharedState& s = *sharedState;
  auto finish = [](DriverError error) {
    UnlockDevice();
    if (error == kErrNone) return 1;
    lastError = static_cast<int32_t>(error);
    return 0;
  };
  if (AnyScanStarted()) return finish(kErrScannerBusy);
  ActivityBroadcastThrottled();
  if (s.abilityCacheValid == 0) {
    ScannerAbilityEx ability;
    GetScannerAbilityEx(&ability);
  }

  const ScanParameter request = *parameter;
  if (!RecordAcceptable(request, s.filmUnitMode.filmType)) return finish(kErrBadParameter);
  const DerivedScan d = DeriveScan(request, s.filmUnitMode.filmType);
  if (!d.refusedByResolution && !d.fits) return finish(kErrBadParameter);

  s.requestedParameter = request;
  s.workingParameter = d.working;
  statusPixelsPerLine = d.working.pixelsPerLine;
  statusLineCount = d.working.lineCount;
  if (d.refusedByResolution) return finish(kErrBadParameter);

  // Buffers of an earlier call that was never scanned go now.
  ReleaseWholeImageBuffers();
  DriverError result = kErrNone;
  switch (d.path) {
    case ScanPath::Flatbed:
      if (d.widthEnlarged) s.widthEnlarged = 1;
      if (d.heightEnlarged) s.heightEnlarged = 1;
      break;
    case ScanPath::FilmAutoTone:
      result = PrepareFilmAutoTone(d);
      break;
    case ScanPath::Film:
      result = PrepareFilm(d);
      break;
  }
  if (result != kErrNone) return finish(result);

  // StartScan prepares every scan of this record with these flags, so that
  // a second scan without a new record repeats the first.
  s.preparedWidthEnlarged = s.widthEnlarged;
  s.preparedHeightEnlarged = s.heightEnlarged;
  s.deviceParameter = d.device;
  PrepareScanGeometry(&s.deviceParameter);
  return finish(kErrNone);
}

int32_t TQ5_STDCALL GetScanParameter(ScanParameter* parameter) {
  if (!RecordGiven(parameter)) return 0;
  *parameter = sharedState->requestedParameter;
  return 1;
}

int32_t TQ5_STDCALL GetDataStatus(DataStatus* status) {
  if (!RecordGiven(status)) return 0;
  status->bytesPerLine = uint32_t{statusPixelsPerLine} * sharedState->requestedParameter.bitsPerPixel / 8;
  status->lineCount = statusLineCount;
  status->totalBytes = status->bytesPerLine * status->lineCount;
  return 1;
}
