// Diagnostics: the test scan, the lamp test and the flash-data line capture.
#pragma once

#include <cstdint>

#include "interface/driver.h"
#include "tq5/records.h"

constexpr uint32_t kFlashCaptureBytes = 16320;  // 5440 pixels x 3 bytes

// Waits up to 15000 ms for the controller's command bits to clear (162).
DriverError WaitCommandIdle();
// Fills the scan column of the register image for the line capture, with
// the INI overrides; returns the capture length in bytes.
uint32_t PrepareLineCaptureSet();

// A full-width grey (green channel) flatbed record at one resolution.
ScanParameter FullWidthGreyRecord(uint16_t resolution, uint16_t top, uint16_t height);
