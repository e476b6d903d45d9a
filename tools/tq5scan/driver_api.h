// The driver as tq5scan sees it: libTQ5DRV.so loaded at run time, its
// exports resolved by name, and its error codes explained to the user.
#pragma once

#include <string>

#include "tq5/tq5drv.h"

struct PlatLibrary;

namespace tq5scan {

// The exports tq5scan calls, resolved from the loaded library.
struct DriverApi {
  decltype(&::FindScannerEx) FindScannerEx = nullptr;
  decltype(&::InitializeDriver) InitializeDriver = nullptr;
  decltype(&::TerminateDriver) TerminateDriver = nullptr;
  decltype(&::GetScannerStatus) GetScannerStatus = nullptr;
  decltype(&::GetScannerAbility) GetScannerAbility = nullptr;
  decltype(&::GetScannerAbilityEx) GetScannerAbilityEx = nullptr;
  decltype(&::ReadFlashRAMInfo) ReadFlashRAMInfo = nullptr;
  decltype(&::InitializeScanner) InitializeScanner = nullptr;
  decltype(&::InitialButton) InitialButton = nullptr;
  decltype(&::ReadPushButton) ReadPushButton = nullptr;
  decltype(&::TestScanner) TestScanner = nullptr;
  decltype(&::ReadFlashRAMData) ReadFlashRAMData = nullptr;
  decltype(&::GetTPUMode) GetTPUMode = nullptr;
  decltype(&::SetTPUMode) SetTPUMode = nullptr;
  decltype(&::SetScanParameter) SetScanParameter = nullptr;
  decltype(&::GetDataStatus) GetDataStatus = nullptr;
  decltype(&::StartScan) StartScan = nullptr;
  decltype(&::ReadScan) ReadScan = nullptr;
  decltype(&::StopScan) StopScan = nullptr;

  // Reads and clears the driver's last error code.
  uint8_t TakeError() const;
};

// Owns the loaded library; the exports stay valid while it lives.
class LoadedDriver {
 public:
  LoadedDriver() = default;
  ~LoadedDriver();
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  // Loads "TQ5DRV.dll" (libTQ5DRV.so) through the platform's library search
  // and resolves every export above. On failure `error` says what is missing.
  bool Load(std::string& error);
  const DriverApi& api() const { return api_; }

 private:
  PlatLibrary* library_ = nullptr;
  DriverApi api_;
};

// What a driver error code means to the person at the scanner.
struct ErrorInfo {
  const char* name;     // the code's name, e.g. "ScannerBusy"
  const char* meaning;  // e.g. "scanner busy: another program is scanning"
  int exitStatus;       // see exit_status.h
};
ErrorInfo DescribeDriverError(uint8_t code);

// "error 162 ScannerBusy: scanner busy: another program is scanning"
std::string DriverErrorText(uint8_t code);

}  // namespace tq5scan
