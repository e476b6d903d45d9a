// The driver's internal conventions: the error type, the per-process state
// every subsystem may use, and the shared state pointer.
#pragma once

#include <cstdint>

#include "platform.h"
#include "tq5/tonefx.h"
#include "tq5/tq5drv.h"

// One-byte error code kept in 32 bits; 0 = success. The values are the
// DriverErrorCode constants of the public header.
using DriverError = uint32_t;

struct SharedState;

// The block every process that loads the driver sees in common.
extern SharedState* sharedState;

// Per-process state.
extern PlatDeviceHandle deviceHandle;  // the open device, kPlatInvalidDevice when none
extern int32_t lastError;              // this process's last error, read by GetScannerStatus
using DoToneFxEntry = uint32_t (*)(const uint8_t*, const ToneImageDescriptor*, ToneParameterBlock*, uint16_t*,
                                   uint16_t*, uint32_t);
extern PlatLibrary* toneFxModule;
extern DoToneFxEntry toneFxEntry;

// Lock timeouts of the exports (ms).
constexpr uint32_t kLockTimeout = 1000;
constexpr uint32_t kInitializeLockTimeout = 25000;
