// The front-panel buttons: InitialButton describes them and makes sure the
// controller is powered up with the carriage home; ReadPushButton reports
// which is pressed. Both step aside while a scan runs in any process.
#include <cstring>

#include "controller/controller_registers.h"
#include "controller/motion.h"
#include "controller/power_on.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kButtonCapabilities = 3;
constexpr uint16_t kButtonCount = 2;
constexpr uint16_t kButtonRecordVersion = 1;

constexpr uint8_t kButtonPressed = 0x81;

// Powers the controller up and homes the carriage. lastActivityTime records
// the power-up (whatever its result), which makes the next InitializeScanner
// check the lamp's warm-up.
DriverError PowerUpForButtons() {
  DriverError result = PowerOnController();
  sharedState->lastActivityTime = PlatTickCount();
  if (result == kErrNone) result = GoHome();
  if (result == kErrNone) WriteControlRegister();
  return result;
}

}  // namespace

// The broadcast comes first, before the scan check and the lock, on every
// call (with a record to fill). A failed marker read keeps the description
// as written: only a failed power-up clears its capabilities.
int32_t TQ5_STDCALL InitialButton(ButtonDescription* description) {
  if (description == nullptr) {
    lastError = kErrBadParameter;
    return 0;
  }
  ActivityBroadcast();
  description->capabilities = kButtonCapabilities;
  description->buttonCount = kButtonCount;
  description->version = kButtonRecordVersion;
  if (ScanInProgress()) return 1;
  if (!LockDevice(kLockTimeout)) {
    lastError = kErrLockTimeout;
    return 0;
  }
  bool needsInit = true;
  DriverError result = ReadInitMarker(&needsInit);
  if (result != kErrNone) {
    lastError = static_cast<int32_t>(result);
    UnlockDevice();
    return 0;
  }
  if (!needsInit && sharedState->initState > 1) {
    UnlockDevice();
    return 1;
  }
  result = PowerUpForButtons();
  UnlockDevice();
  if (result != kErrNone) {
    description->capabilities = 0;
    lastError = static_cast<int32_t>(result);
    return 0;
  }
  return 1;
}

// A lock time-out is not a failure here (the monitor polls again): the
// state stays all zero and 150 is left in lastError.
int32_t TQ5_STDCALL ReadPushButton(ButtonState* state) {
  if (state == nullptr) {
    lastError = kErrBadParameter;
    return 0;
  }
  std::memset(state, 0, sizeof *state);
  if (ScanInProgress()) return 1;
  if (!LockDevice(kLockTimeout)) {
    lastError = kErrLockTimeout;
    return 1;
  }
  uint8_t status = 0;
  const DriverError result = ReadRegister(kRegStatus, &status);
  UnlockDevice();
  if (result != kErrNone) {
    lastError = static_cast<int32_t>(result);
    return 0;
  }
  if (status & (kButton1Pressed | kButton2Pressed)) {
    state->pressed = kButtonPressed;
    if (status & kButton2Pressed) state->button = 2;
    if (status & kButton1Pressed) state->button = 1;
  }
  return 1;
}
