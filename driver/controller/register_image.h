// The driver's own copies of the controller's configuration: the per-process
// register defaults and the shared register image with its scan and
// calibration columns.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// One entry of the register image (4 bytes, the last unused).
struct RegisterImageEntry {
  uint8_t reg;
  uint8_t scanValue;
  uint8_t calibrationValue;
  uint8_t unused;
};
static_assert(sizeof(RegisterImageEntry) == 4);

constexpr int kRegisterImageCount = 39;        // listed registers
constexpr uint8_t kRegisterImageTerminator = 0xFF;

// Default value of every controller register 0x00-0x5F (per process).
extern uint8_t registerDefaults[96];

// Scan and calibration values of a listed register. `reg` must be listed.
uint8_t ScanValue(uint8_t reg);
uint8_t CalibrationValue(uint8_t reg);
void SetScanValue(uint8_t reg, uint8_t value);
void SetCalibrationValue(uint8_t reg, uint8_t value);
// Sets both columns.
void SetBothValues(uint8_t reg, uint8_t value);
// 16-bit value of a high/low register pair in the scan column.
uint16_t ScanValue16(uint8_t highReg);

void LoadRegisterImage();
void ResetScanState();
DriverError WriteScanSet();
DriverError WriteCalibrationSet();
