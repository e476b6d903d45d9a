// Device open, driver load and status exports.
#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "transport/transport.h"

int32_t TQ5_STDCALL FindScannerEx(const char* devicePath) {
  if (deviceHandle != kPlatInvalidDevice) {
    PlatDeviceClose(deviceHandle);
    deviceHandle = kPlatInvalidDevice;
  }
  if (devicePath != nullptr) deviceHandle = PlatDeviceOpen(devicePath);
  if (deviceHandle == kPlatInvalidDevice) {
    lastError = kErrDeviceNotOpen;
    return 0;
  }
  return 1;
}

int32_t TQ5_STDCALL InitializeDriver() {
  if (deviceHandle == kPlatInvalidDevice) {
    lastError = kErrDriverLoadFailed;
    return 0;
  }
  if (toneFxModule != nullptr) return 1;
  toneFxModule = PlatLibraryLoad("TONEFX.dll");
  if (toneFxModule != nullptr)
    toneFxEntry = reinterpret_cast<DoToneFxEntry>(PlatLibrarySymbol(toneFxModule, "DoToneFx"));
  if (toneFxModule == nullptr || toneFxEntry == nullptr) {
    // A loaded module without the entry stays loaded until TerminateDriver.
    lastError = kErrDriverLoadFailed;
    return 0;
  }
  return 1;
}

// Returns the carriage home and lets the controller settle; errors are not
// reported (the host is shutting down).
static void ShutDownDevice() {
  if (!ResetPipes()) return;
  DriverError result = kErrNone;
  if (carriageAtHome == 0) {
    result = SetReg58Bit2(true);
    if (result == kErrNone) result = GoHome();
  }
  if (result == kErrNone) {
    uint8_t ignored = 0;
    if (ReadRegister(0x02, &ignored) == kErrNone) ReadRegister(0x02, &ignored);
  }
}

int32_t TQ5_STDCALL TerminateDriver() {
  if (!ScanInProgress() && LockDevice(kLockTimeout)) {
    ShutDownDevice();
    UnlockDevice();
  }
  CloseDeviceForProcess();
  return 1;
}

int32_t TQ5_STDCALL GetScannerStatus(uint8_t* status) {
  if (status == nullptr) {
    lastError = kErrBadParameter;
    return 0;
  }
  // A film-unit scan above 600 dpi is buffered internally; while its first
  // pass runs and nothing failed, the host is told to keep waiting.
  if (sharedState->halvedXResolution != 0 && lastError == 0) {
    *status = kErrScanInProgress;
    return 1;
  }
  *status = static_cast<uint8_t>(lastError);
  lastError = 0;
  return 1;
}
