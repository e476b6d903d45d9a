// The cross-process device lock and the activity broadcast to the
// power-management utility.
#pragma once

#include <cstdint>

#include "interface/driver.h"

extern PlatMutex* deviceMutex;
extern PlatWindowId activityWindow;

// Names fixed by the scanner's software family.
constexpr const char kDeviceMutexName[] = "Meridan_U";
constexpr const char kActivityWindowName[] = "Tarnik Q5U Energy Star";
constexpr uint32_t kActivityThrottleMs = 30000;

// Waits up to timeoutMs for deviceMutex. True when obtained (also when the
// previous owner died holding it: see the definition).
bool LockDevice(uint32_t timeoutMs);
void UnlockDevice();
// The common start of a locking export: false (with lastError 150) when the
// lock was not obtained within timeoutMs.
bool LockForExport(uint32_t timeoutMs);
// False (with lastError 151) when an export was handed a null record.
bool RecordGiven(const void* record);

// Finds the utility's window now, remembers it in activityWindow and posts
// activityMessage to all top-level windows when it exists.
void ActivityBroadcast();
// Throttled post: at most once every 30000 ms, to the window last found in
// this process; lastActivityTime advances even when no window is known.
void ActivityBroadcastThrottled();

// True while a scan's reader thread runs in any process.
bool ScanInProgress();

// Process attach / detach of the library (called by the library's entry
// code, and by tests that link the driver's core directly).
bool DriverProcessAttach();
void DriverProcessDetach();

// Closes this process's device handle and unloads TONEFX.
void CloseDeviceForProcess();
