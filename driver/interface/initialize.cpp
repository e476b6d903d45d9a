// InitializeScanner brings the scanner to ready for scanning (controller
// loaded and verified, lamp warm, carriage home, calibrated), cheaply when
// this or another process already did; ResetScanner also hands out the
// default scan record.
#include <cstring>

#include "calibration/lamp_check.h"
#include "calibration/sequences.h"
#include "controller/motion.h"
#include "controller/power_on.h"
#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "transport/transport.h"

namespace {

// The flatbed lamp is trusted without a check when it is on and the last
// activity (or button power-up) is at least this old.
constexpr uint32_t kLampTrustedAfterMs = 10000;
constexpr uint32_t kLampRecheckDelayMs = 2000;
constexpr uint8_t kFlatbedLampCheck = 0;

// Steps 7 on of a full initialization, with the lock held. `initState`
// records how far it got: 1 once the controller is loaded and the lamp
// checked, 2 at the end.
DriverError RunFullInitialization() {
  SharedState& s = *sharedState;
  bool flatbedLampOn = false;
  DriverError result = kErrNone;
  if (s.lastActivityTime != 0) {
    bool filmLampOn = false;
    if ((result = GetLampState(&flatbedLampOn, &filmLampOn)) != kErrNone) return result;
  }
  if ((result = PowerOnController()) != kErrNone) return result;
  WriteControlRegister();
  s.lampOnTime = PlatTickCount();
  if (s.initState == 0 && (result = GoHome()) != kErrNone) return result;
  ResetScanState();

  // A lamp that is still warming up after the second check is accepted:
  // lampUnstable tells the film-unit code to finish the job later.
  result = kErrNone;
  if (PlatTickCount() - s.lastActivityTime < kLampTrustedAfterMs || !flatbedLampOn) {
    result = CheckLampWarmUp(kFlatbedLampCheck);
    if (result == kErrLampNotStable) Delay(kLampRecheckDelayMs);
  }
  if (result == kErrLampNotStable) result = CheckLampWarmUp(kFlatbedLampCheck);
  if (result == kErrLampNotStable)
    s.lampUnstable = 1;
  else if (result != kErrNone)
    return result;
  s.initState = 1;

  if ((result = GoHome()) != kErrNone) return result;
  if ((result = InitialCalibration()) != kErrNone) return result;
  if ((result = SetInitMarker()) != kErrNone) return result;
  s.initState = 2;
  return kErrNone;
}

// Steps 4 on, with the lock held.
DriverError Initialize() {
  ResetPipes();
  DriverError result = CheckController();
  if (result != kErrNone) return result;
  bool needsInit = true;
  if ((result = ReadInitMarker(&needsInit)) != kErrNone) return result;
  if (!needsInit && sharedState->initState > 1) return kErrNone;
  return RunFullInitialization();
}

// The record ResetScanner hands out: the whole flatbed at 600 dpi in 24-bit
// colour. Bytes 28-30 are the caller's.
void WriteDefaultParameter(ScanParameter* p) {
  p->xResolution = 600;
  p->yResolution = 600;
  p->left = 0;
  p->top = 0;
  p->width = 5104;
  p->height = 7016;
  p->pixelsPerLine = 0;
  p->lineCount = 0;
  p->scanMode = 4;
  p->scanSource = 0;
  p->bitsPerPixel = 24;
  static const uint8_t kReserved19[6] = {1, 0, 0, 1, 255, 0};
  std::memcpy(p->reserved19, kReserved19, sizeof kReserved19);
  p->monoChannel = 2;
  p->reserved26[0] = 0;
  p->reserved26[1] = 0;
}

}  // namespace

int32_t TQ5_STDCALL InitializeScanner() {
  if (ScanInProgress()) return 1;
  if (!LockDevice(kInitializeLockTimeout)) {
    lastError = kErrLockTimeout;
    return 0;
  }
  ActivityBroadcast();
  const DriverError result = Initialize();
  UnlockDevice();
  if (result != kErrNone) {
    lastError = static_cast<int32_t>(result);
    return 0;
  }
  return 1;
}

// Takes no lock of its own: the copy into requestedParameter follows the
// initialization, after its lock was released.
int32_t TQ5_STDCALL ResetScanner(ScanParameter* parameter) {
  if (parameter == nullptr) {
    lastError = kErrBadParameter;
    return 0;
  }
  if (InitializeScanner() == 0) return 0;
  WriteDefaultParameter(parameter);
  std::memcpy(&sharedState->requestedParameter, parameter, sizeof(ScanParameter));
  return 1;
}
