// TQ5DRV: the scanner driver's exports, as an image-acquisition host calls
// them. Every export returns 1 for success and 0 for failure; the failure's
// code is read (and cleared) with GetScannerStatus.
#pragma once

#include <cstdint>

#include "tq5/callconv.h"
#include "tq5/records.h"

// Driver error codes (one byte each).
enum DriverErrorCode : uint8_t {
  kErrNone = 0,
  kErrShadingDataInvalid = 7,
  kErrFilmLampTooDark = 107,
  kErrLockTimeout = 150,
  kErrBadParameter = 151,
  kErrNoMemory = 152,
  kErrDriverLoadFailed = 153,
  kErrDeviceNotOpen = 155,
  kErrLineSequenceError = 157,
  kErrScannerBusy = 162,
  kErrLampNotStable = 164,
  kErrScanInProgress = 166,
  kErrDataTimeout = 173,
  kErrRegisterMismatch = 174,
  kErrMemoryMismatch = 175,
  kErrHomeTimeout = 176,
  kErrReferenceNotFound = 177,
  kErrLightSourceFault = 178,
  kErrHomeSensorFault = 179,
  kErrTransferFailed = 250,
  kErrBadLength = 251,
  kErrToneFxFailed = 252,
};

extern "C" {

// Device open, driver load, status.
TQ5_EXPORT int32_t TQ5_STDCALL FindScannerEx(const char* devicePath);
TQ5_EXPORT int32_t TQ5_STDCALL InitializeDriver(void);
TQ5_EXPORT int32_t TQ5_STDCALL TerminateDriver(void);
TQ5_EXPORT int32_t TQ5_STDCALL GetScannerStatus(uint8_t* status);

// Capabilities.
TQ5_EXPORT int32_t TQ5_STDCALL GetADFMode(uint8_t* mode4);
TQ5_EXPORT int32_t TQ5_STDCALL GetScannerAbility(ScannerAbility* ability);
TQ5_EXPORT int32_t TQ5_STDCALL GetScannerAbilityEx(ScannerAbilityEx* ability);
TQ5_EXPORT int32_t TQ5_STDCALL ReadFlashRAMInfo(FlashRamInfo* info);

// Inert entry points: present for the host, they do nothing and return 1.
TQ5_EXPORT int32_t TQ5_STDCALL DoCalibration(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL GetCalibrationStatus(uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL GetShadingData(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL SetShadingData(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL GetLightModulationData(uintptr_t, uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL SetLightModulationData(uintptr_t, uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL SetAGData(uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL GetAGData(uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL SelfCheck(void);
TQ5_EXPORT int32_t TQ5_STDCALL SendRawDataControl(uintptr_t);

// Initialization.
TQ5_EXPORT int32_t TQ5_STDCALL InitializeScanner(void);
TQ5_EXPORT int32_t TQ5_STDCALL ResetScanner(ScanParameter* parameter);

// Push buttons.
TQ5_EXPORT int32_t TQ5_STDCALL InitialButton(ButtonDescription* description);
TQ5_EXPORT int32_t TQ5_STDCALL ReadPushButton(ButtonState* state);

// Diagnostics.
TQ5_EXPORT int32_t TQ5_STDCALL TestScanner(uint32_t test, uint32_t option, uintptr_t, uintptr_t);
TQ5_EXPORT int32_t TQ5_STDCALL ReadFlashRAMData(uint8_t* buffer, uint32_t length, uintptr_t);

// Film unit.
TQ5_EXPORT int32_t TQ5_STDCALL GetTPUMode(FilmUnitMode* mode);
TQ5_EXPORT int32_t TQ5_STDCALL SetTPUMode(FilmUnitMode* mode);

// Scanning.
TQ5_EXPORT int32_t TQ5_STDCALL SetScanParameter(ScanParameter* parameter);
TQ5_EXPORT int32_t TQ5_STDCALL GetScanParameter(ScanParameter* parameter);
TQ5_EXPORT int32_t TQ5_STDCALL GetDataStatus(DataStatus* status);
TQ5_EXPORT int32_t TQ5_STDCALL StartScan(void);
// ReadScan copies exactly `count` bytes of the image into `destination`:
// lines follow each other without padding, in the geometry GetDataStatus
// reports. 16-bit samples are low byte first; a 48-bit pixel is three such
// samples (channels 0, 1, 2). One-bit images have a single polarity whichever
// way they were produced: a 1 bit is a light pixel, a 0 bit a dark one, most
// significant bit first. That is the sense of every other depth (a higher
// value is lighter) and of the film frame conversion (a bit is set for a
// sample of 128 or more); the scanner's one-bit data already have it and are
// passed on unchanged, also when columns are dropped. Only the process that
// started the scan may read it; a read with no scan started, a null
// buffer, or more bytes than remain of the image is refused with 151 and
// copies nothing.
TQ5_EXPORT int32_t TQ5_STDCALL ReadScan(uint32_t unused, uint8_t* destination, uint32_t count);
TQ5_EXPORT int32_t TQ5_STDCALL StopScan(void);

// Tone.
TQ5_EXPORT int32_t TQ5_STDCALL SetGammaTable(const uint16_t* table, uint32_t channelSelector, uint32_t reserved);

}  // extern "C"
