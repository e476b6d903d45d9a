#include "driver_api.h"

#include "exit_status.h"
#include "platform.h"

namespace tq5scan {

uint8_t DriverApi::TakeError() const {
  uint8_t code = 0;
  if (GetScannerStatus != nullptr) GetScannerStatus(&code);
  return code;
}

LoadedDriver::~LoadedDriver() {
  if (library_ != nullptr) PlatLibraryFree(library_);
}

namespace {

template <typename Function>
bool Resolve(PlatLibrary* library, const char* name, Function& into, std::string& missing) {
  into = reinterpret_cast<Function>(PlatLibrarySymbol(library, name));
  if (into == nullptr && missing.empty()) missing = name;
  return into != nullptr;
}

}  // namespace

bool LoadedDriver::Load(std::string& error) {
  library_ = PlatLibraryLoad("TQ5DRV.dll");
  if (library_ == nullptr) {
    error = "cannot load the scanner driver libTQ5DRV.so: it is looked for in the lib directory next to "
            "tq5scan's bin directory and in $TQ5_LIBRARY_PATH";
    return false;
  }
  std::string missing;
  DriverApi& a = api_;
  Resolve(library_, "FindScannerEx", a.FindScannerEx, missing);
  Resolve(library_, "InitializeDriver", a.InitializeDriver, missing);
  Resolve(library_, "TerminateDriver", a.TerminateDriver, missing);
  Resolve(library_, "GetScannerStatus", a.GetScannerStatus, missing);
  Resolve(library_, "GetScannerAbility", a.GetScannerAbility, missing);
  Resolve(library_, "GetScannerAbilityEx", a.GetScannerAbilityEx, missing);
  Resolve(library_, "ReadFlashRAMInfo", a.ReadFlashRAMInfo, missing);
  Resolve(library_, "InitializeScanner", a.InitializeScanner, missing);
  Resolve(library_, "InitialButton", a.InitialButton, missing);
  Resolve(library_, "ReadPushButton", a.ReadPushButton, missing);
  Resolve(library_, "TestScanner", a.TestScanner, missing);
  Resolve(library_, "ReadFlashRAMData", a.ReadFlashRAMData, missing);
  Resolve(library_, "GetTPUMode", a.GetTPUMode, missing);
  Resolve(library_, "SetTPUMode", a.SetTPUMode, missing);
  Resolve(library_, "SetScanParameter", a.SetScanParameter, missing);
  Resolve(library_, "GetDataStatus", a.GetDataStatus, missing);
  Resolve(library_, "StartScan", a.StartScan, missing);
  Resolve(library_, "ReadScan", a.ReadScan, missing);
  Resolve(library_, "StopScan", a.StopScan, missing);
  if (!missing.empty()) {
    error = "the scanner driver libTQ5DRV.so has no export " + missing + "; it does not match this tq5scan";
    return false;
  }
  return true;
}

ErrorInfo DescribeDriverError(uint8_t code) {
  switch (code) {
    case kErrShadingDataInvalid:
      return {"ShadingDataInvalid", "calibration failed: the white reference gave unusable data (lamp or sensor fault)",
              kExitScannerFault};
    case kErrFilmLampTooDark:
      return {"FilmLampTooDark", "the film unit's lamp is too dark", kExitScannerFault};
    case kErrLockTimeout:
      return {"LockTimeout", "scanner busy: another program is using the scanner", kExitBusy};
    case kErrBadParameter:
      return {"BadParameter", "the driver refused the scan settings", kExitScannerError};
    case kErrNoMemory:
      return {"NoMemory", "out of memory for the scan's buffers", kExitScannerError};
    case kErrDriverLoadFailed:
      return {"DriverLoadFailed", "the driver could not load its auto tone library libTONEFX.so", kExitNoScanner};
    case kErrDeviceNotOpen:
      return {"DeviceNotOpen", "no scanner at this device node (is it connected, or is tq5sim running?)",
              kExitNoScanner};
    case kErrLineSequenceError:
      return {"LineSequenceError", "the colour lines arrived out of order; the image is damaged", kExitCommunication};
    case kErrScannerBusy:
      return {"ScannerBusy", "scanner busy: another program is scanning", kExitBusy};
    case kErrLampNotStable:
      return {"LampNotStable", "the lamp has not warmed up yet; try again in a minute", kExitScannerFault};
    case kErrScanInProgress:
      return {"ScanInProgress", "scanner busy: a scan is still in progress", kExitBusy};
    case kErrDataTimeout:
      return {"DataTimeout", "the scanner stopped sending image data", kExitCommunication};
    case kErrRegisterMismatch:
      return {"RegisterMismatch", "the scanner's controller does not answer correctly; switch the scanner off and on",
              kExitScannerFault};
    case kErrMemoryMismatch:
      return {"MemoryMismatch", "the scanner's memory check failed; switch the scanner off and on", kExitScannerFault};
    case kErrHomeTimeout:
      return {"HomeTimeout", "the carriage did not return to its home position (is the transport lock open?)",
              kExitScannerFault};
    case kErrReferenceNotFound:
      return {"ReferenceNotFound", "calibration could not find the white reference strip", kExitScannerFault};
    case kErrLightSourceFault:
      return {"LightSourceFault", "the lamp gives too little light (lamp fault)", kExitScannerFault};
    case kErrHomeSensorFault:
      return {"HomeSensorFault", "the carriage did not leave its home position (carriage stuck or sensor fault)",
              kExitScannerFault};
    case kErrTransferFailed:
      return {"TransferFailed", "communication with the scanner failed (cable or device node lost?)",
              kExitCommunication};
    case kErrBadLength:
      return {"BadLength", "the driver asked for an invalid transfer", kExitCommunication};
    case kErrToneFxFailed:
      return {"ToneFxFailed", "the automatic tone correction failed", kExitScannerError};
    case kErrNone:
      return {"None", "the driver reported failure without an error code", kExitScannerError};
    default:
      return {"Unknown", "the driver reported an error this tq5scan does not know", kExitScannerError};
  }
}

std::string DriverErrorText(uint8_t code) {
  const ErrorInfo info = DescribeDriverError(code);
  return "error " + std::to_string(code) + " " + info.name + ": " + info.meaning;
}

}  // namespace tq5scan
