// SetScanParameter is the host's main input. Input: a 31-byte scan record,
// a 12-byte film-unit record as the shared state holds it, one byte of
// prior state (bit 0: ability cache already filled, bit 1: register 0x19
// left at 2 by a film scan), then optionally a second record for a call
// that must release what the first one allocated.
//
// Every call returns 1, or 0 with 151 or 152. An accepted record leaves a
// consistent geometry: the raw line holds the output line, the raw lines
// hold the output lines, the ring line slots and register 0x4E are in
// range, and nothing the scan engine divides by is zero.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scan/scan_parameters.h"
#include "scripted_device.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

bool OneOf(uint32_t value, std::initializer_list<uint32_t> values) {
  for (uint32_t v : values)
    if (v == value) return true;
  return false;
}

void CheckAccepted(const ScanParameter& request) {
  const SharedState& s = *sharedState;
  Check(std::memcmp(&s.requestedParameter, &request, sizeof request) == 0, "request stored as given");

  const ScanParameter& d = s.deviceParameter;
  Check(d.xResolution != 0 && d.yResolution != 0, "device resolutions");
  Check(OneOf(s.opticalXResolution, {75, 150, 200, 300, 400, 600}), "optical class");
  Check(OneOf(s.motorYResolution, {150, 300, 450, 600, 1200}), "motor class");
  Check(s.xPixelPitch == 6000 / s.opticalXResolution, "pixel pitch");
  Check(s.scanMode <= 5 && (s.scanMode < 2 || s.scanMode == 5 || s.scanBits >= 8), "sample size of byte-wise modes");

  Check(s.rawBytesPerLine % 2 == 0, "raw line even");
  Check(s.rawBytesPerLine >= s.padBytes && s.rawBytesPerLine - s.padBytes >= s.outBytesPerLine,
        "raw line at least as long as the compacted line");
  const uint32_t leadIn = uint32_t{s.firstLineDelay} + s.secondLineDelay + s.extraLines;
  Check(s.rawLineCount >= leadIn && s.rawLineCount - leadIn >= s.outLineCount, "raw lines hold the output lines");
  Check(s.rawTotalBytes == uint32_t{s.rawBytesPerLine} * s.rawLineCount, "raw total");
  Check(s.rawBytesRemaining == s.rawTotalBytes, "raw bytes remaining");
  Check(s.outTotalBytes == uint32_t{s.outBytesPerLine} * s.outLineCount, "output total");
  Check(s.firstLineDelay == s.secondLineDelay, "line delays");
  Check(s.ringLineSlots == s.firstLineDelay + s.secondLineDelay + 2 && s.ringLineSlots <= 18, "ring line slots");
  Check(ScanValue(0x4E) >= 1 && ScanValue(0x4E) <= 144, "register 0x4E");
  Check(ScanValue16(0x46) >= 2, "step period");
  Check(ScanValue16(0x4A) >= 1, "vertical start");
  Check(ScanValue16(0x24) > ScanValue16(0x22) || d.width == 0, "window end after its start");

  DataStatus status{};
  Check(GetDataStatus(&status) == 1, "data status");
  Check(uint64_t{status.bytesPerLine} * status.lineCount == status.totalBytes, "data status total");

  // The buffers of the path taken, and no others.
  const bool film = request.scanSource != 0;
  const bool autoTone = film && s.filmUnitMode.filmType == 2;
  const bool halved = film && !autoTone && request.xResolution > 600;
  Check((s.filmImageBuffer != nullptr) == autoTone, "film image buffer");
  Check(s.filmPrescanPending == 1 || !autoTone, "film prescan pending");
  Check((s.halfImageBuffer != nullptr) == halved && (s.mergeLineBuffer != nullptr) == halved &&
            (s.twoLineBuffer != nullptr) == halved && s.halvedXResolution == (halved ? 1u : 0u),
        "half-resolution buffers");
}

void CallOnce(const ScanParameter& request) {
  ScanParameter p = request;
  lastError = 0;
  const int32_t result = SetScanParameter(&p);
  Check(std::memcmp(&p, &request, sizeof p) == 0, "caller's record unchanged");
  if (result == 1) {
    CheckAccepted(request);
  } else {
    Check(result == 0, "result 0 or 1");
    Check(lastError == kErrBadParameter || lastError == kErrNoMemory, "refusal code");
  }
}

// The state right after InitializeScanner's reset, restored before every
// input (cheaper than running the reset each time).
struct InitialState {
  WorkingState working;
  RegisterImageEntry registerImage[kRegisterImageCount + 1];
  uint16_t toneCurve[3][256];
};
InitialState initial;

void RestoreInitialState() {
  static_cast<WorkingState&>(*sharedState) = initial.working;
  std::memcpy(sharedState->registerImage, initial.registerImage, sizeof initial.registerImage);
  std::memcpy(sharedState->toneCurve, initial.toneCurve, sizeof initial.toneCurve);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tq5test::PrivateRuntimeDirectory();
  PlatClockUseVirtual(5'000'000, 1);
  if (!DriverProcessAttach()) std::abort();
  ResetScanState();
  initial.working = *sharedState;
  std::memcpy(initial.registerImage, sharedState->registerImage, sizeof initial.registerImage);
  std::memcpy(initial.toneCurve, sharedState->toneCurve, sizeof initial.toneCurve);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kRecord = sizeof(ScanParameter);
  constexpr size_t kMode = sizeof(FilmUnitMode);
  uint8_t input[2 * kRecord + kMode + 1] = {};
  std::memcpy(input, data, size < sizeof input ? size : sizeof input);

  RestoreInitialState();
  std::memcpy(&sharedState->filmUnitMode, input + kRecord, kMode);
  const uint8_t prior = input[kRecord + kMode];
  if (prior & 1) {
    ScannerAbilityEx ability;
    GetScannerAbilityEx(&ability);
  }
  if (prior & 2) SetScanValue(0x19, 2);

  ScanParameter first;
  std::memcpy(&first, input, kRecord);
  CallOnce(first);
  if (size > kRecord + kMode + 1) {
    ScanParameter second;
    std::memcpy(&second, input + kRecord + kMode + 1, kRecord);
    CallOnce(second);
  }
  ReleaseWholeImageBuffers();
  return 0;
}
