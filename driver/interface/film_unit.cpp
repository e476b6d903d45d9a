// Film unit mode: GetTPUMode, SetTPUMode, and the measurement of the film
// unit's positions on the first switch to it (CalibrateFilmUnit).
#include <cstring>

#include "calibration/lamp_check.h"
#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/diagnostics.h"
#include "interface/film_unit.h"
#include "interface/shared_state.h"
#include "scan/read_scan.h"
#include "scan/reader.h"
#include "scan/scan_geometry.h"
#include "scan/scan_start.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kLampAcceptAfterMs = 15000;
constexpr uint16_t kFilmLine = 1276;  // 5104 x 150 / 600
constexpr uint16_t kFilmLines = 450;
constexpr uint16_t kDefaultFilmStart = 410;
constexpr uint16_t kDefaultFrameX = 2050;

// The film-unit exports report a failed transfer as "device not open".
int32_t Fail(DriverError code) {
  lastError = static_cast<int32_t>(code == kErrTransferFailed ? static_cast<DriverError>(kErrDeviceNotOpen) : code);
  UnlockDevice();
  return 0;
}

// Mean of the 40 bytes around the centre of a line (bytes 618-657).
uint32_t CentreMean(const uint8_t* line) {
  uint32_t sum = 0;
  for (int i = 618; i < 658; ++i) sum += line[i];
  return sum / 40;
}

// Replaces a measurement that is off by more than 100 from the usual value.
uint16_t Plausible(uint32_t measured, uint16_t usual) {
  const int32_t d = static_cast<int32_t>(measured) - usual;
  return (d > 100 || d < -100) ? usual : static_cast<uint16_t>(measured);
}

DriverError SwitchToFilm(const FilmUnitMode& mode) {
  if (mode.filmType > 4) return kErrBadParameter;
  bool attached = false;
  DriverError code = DetectFilmUnit(&attached);
  if (code != kErrNone) return code;
  if (!attached) return kErrLightSourceFault;
  bool flatbedOn = false, filmOn = false;
  if ((code = GetLampState(&flatbedOn, &filmOn)) != kErrNone) return code;
  if (!filmOn || flatbedOn) {
    if (!filmOn) sharedState->lampUnstable = 1;
    if ((code = SetLamps(false, true)) != kErrNone) return code;
    sharedState->lampOnTime = PlatTickCount();
  }
  if (sharedState->filmCalibrated == 0 || mode.filmType == 2) {
    if (sharedState->filmCalibrated == 0) Delay(2000);
    if ((code = CalibrateFilmUnit()) != kErrNone) return code;
    sharedState->filmCalibrated = 1;
  }
  if (mode.filmType == 0) SetIdentityToneCurves();
  if ((code = GoHome()) != kErrNone) return code;
  if ((code = LeaveHome()) != kErrNone) return code;
  if ((code = MoveCarriage(sharedState->filmStartDistance)) != kErrNone) return code;
  if (sharedState->lampUnstable == 1) {
    code = CheckLampWarmUp(1);
    if (code == kErrLampNotStable && PlatTickCount() - sharedState->lampOnTime > kLampAcceptAfterMs) code = kErrNone;
    if (code != kErrNone) return code;
    sharedState->lampUnstable = 0;
  }
  return kErrNone;
}

DriverError SwitchToFlatbed(const FilmUnitMode& mode) {
  bool flatbedOn = false, filmOn = false;
  DriverError code = GetLampState(&flatbedOn, &filmOn);
  if (code != kErrNone) return code;
  if (filmOn || !flatbedOn) {
    if (!flatbedOn) sharedState->lampUnstable = 1;
    if ((code = SetLamps(true, false)) != kErrNone) return code;
    sharedState->lampOnTime = PlatTickCount();
  }
  sharedState->filmCalibrated = 0;
  if (sharedState->lampUnstable != 0) {
    if ((code = GoHome()) != kErrNone) return code;
    code = CheckLampWarmUp(mode.switchToFilm);
    if (code == kErrLampNotStable) {
      const DriverError left = LeaveHome();
      if (left != kErrNone) return left;
      if (PlatTickCount() - sharedState->lampOnTime > kLampAcceptAfterMs) {
        sharedState->lampUnstable = 0;
        code = kErrNone;
      }
    }
    if (code != kErrNone) return code;
    sharedState->lampUnstable = 0;
    if ((code = LeaveHome()) != kErrNone) return code;
    Delay(1000);
    return kErrNone;
  }
  if ((code = GoHome()) != kErrNone) return code;
  return LeaveHome();
}

}  // namespace

DriverError CalibrateFilmUnit() {
  uint8_t* line = static_cast<uint8_t*>(AllocBlock(kFilmLine));
  if (line == nullptr) return kErrNoMemory;
  DriverError code = GoHome();
  if (code == kErrNone) code = LeaveHome();
  // The film unit's window at 150 dpi in grey, from 1/2 inch down the bed.
  const ScanParameter record = FullWidthGreyRecord(150, 300, 1800);
  if (code == kErrNone) code = PrepareScanGeometry(&record);
  if (code != kErrNone) {
    FreeBlock(line);
    return code;
  }
  // Ends the search scan; returns lastError, the code the reader or the line
  // pipeline left.
  auto abandon = [&]() -> DriverError {
    StopReader();
    FreeBlock(line);
    return static_cast<DriverError>(lastError);
  };
  if (BeginScan(0, 0, 1, 2) == 0) return abandon();

  uint32_t lineNumber = 75;  // the first line read is number 76
  uint32_t remaining = kFilmLines;
  auto readLine = [&]() -> bool {
    if (ReadArea(line, kFilmLine) == 0) return false;
    ++lineNumber;
    --remaining;
    return true;
  };
  if (!readLine()) return abandon();
  const uint32_t reference = CentreMean(line);
  if (reference > 20) {
    // No dark start: the film unit's window cannot be measured.
    StopReader();
    FreeBlock(line);
    return kErrNone;
  }
  while (remaining > 20) {
    if (!readLine()) return abandon();
    if (CentreMean(line) > reference + 20) {
      sharedState->filmStartDistance = Plausible(lineNumber * 2 + 40, kDefaultFilmStart);
      break;
    }
  }
  if (remaining > 20) {
    for (int k = 0; k < 20; ++k)
      if (!readLine()) return abandon();
    const uint32_t threshold = (line[640] + line[638] + line[636]) / 3 / 2;
    for (int i = 638; i > 150; i -= 3) {
      if ((line[i] + line[i + 1] + line[i + 2]) / 3u < threshold) {
        sharedState->filmFrameXOffset = Plausible(static_cast<uint32_t>(i) * 4 + 192, kDefaultFrameX);
        break;
      }
    }
  }
  const int32_t stopped = StopReader();
  Delay(2000);
  FreeBlock(line);
  return stopped != 0 ? static_cast<DriverError>(kErrNone) : static_cast<DriverError>(lastError);
}

int32_t TQ5_STDCALL GetTPUMode(FilmUnitMode* mode) {
  if (!RecordGiven(mode) || !LockForExport(kLockTimeout)) return 0;
  *mode = sharedState->filmUnitMode;
  mode->attached = 0;
  bool attached = false;
  const DriverError code = DetectFilmUnit(&attached);
  if (attached) mode->attached = 1;
  if (code != kErrNone) return Fail(code);
  UnlockDevice();
  return 1;
}

int32_t TQ5_STDCALL SetTPUMode(FilmUnitMode* mode) {
  if (!RecordGiven(mode) || !LockForExport(kLockTimeout)) return 0;
  activityWindow = PlatFindWindow(kActivityWindowName, kActivityWindowName);
  ActivityBroadcastThrottled();
  // A film-unit switch moves the carriage and the lamps under a running scan:
  // refused while any process scans.
  if (ScanInProgress()) return Fail(kErrScannerBusy);
  const FilmUnitMode requested = *mode;
  const DriverError code = requested.switchToFilm == 1 ? SwitchToFilm(requested) : SwitchToFlatbed(requested);
  if (code != kErrNone) return Fail(code);
  sharedState->filmUnitMode = requested;
  UnlockDevice();
  return 1;
}
