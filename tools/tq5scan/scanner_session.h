// tq5scan as an image-acquisition host: one open scanner driven through the
// driver's exports in the order a host uses them (FindScannerEx,
// InitializeDriver, InitializeScanner, SetTPUMode, SetScanParameter, GetDataStatus,
// StartScan, ReadScan until the image is complete, StopScan,
// TerminateDriver). Every method returns an exit status (exit_status.h) and
// has printed one line on failure.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "driver_api.h"
#include "image_output.h"
#include "options.h"

namespace tq5scan {

class ScannerSession {
 public:
  // `messages` receives the error lines and notices (standard error);
  // `interrupted` is raised by Ctrl-C and stops waits and scans.
  ScannerSession(const DriverApi& api, std::FILE* messages, const std::atomic<bool>& interrupted);
  // Calls TerminateDriver when the device was opened.
  ~ScannerSession();

  // FindScannerEx and InitializeDriver.
  int Open(const std::string& devicePath);
  // InitialButton, then ReadPushButton until a button is pressed.
  int WaitForButton();
  // InitializeScanner.
  int Initialize();
  // Puts the scanner on the light source the options scan from: the film
  // unit (SetTPUMode, with the film's type) for the film sources, the
  // flatbed lamp otherwise (only if the film unit is on).
  int SelectSource(const Options& options);
  // One scan of the options' area into `writer`; the target is committed
  // when the image is complete.
  int Scan(const Options& options, OutputTarget& target, ImageWriter& writer);
  // The diagnostics report of -T on `report` (standard output).
  int RunDiagnostics(std::FILE* report);

 private:
  // Reads the driver's error after `exportName` returned 0, prints the line
  // and returns the exit status for it.
  int Failed(const char* exportName);
  int FailedWith(const char* exportName, uint8_t code);
  // SetTPUMode, given the time a lamp it switches on needs to warm up.
  int SwitchLamp(FilmUnitMode mode);
  void Notice(const std::string& text);

  const DriverApi& api_;
  std::FILE* messages_;
  const std::atomic<bool>& interrupted_;
  bool opened_ = false;
};

// Device nodes the driver can open: the built-in virtual scanner and the
// sockets in the runtime directory. Prints scanimage-style lines.
int ListDevices(const DriverApi& api, std::FILE* out);

}  // namespace tq5scan
