// tq5scan's exit statuses, one per kind of failure a user can act on. The
// table is printed by --help and documented in docs/tq5scan.md.
#pragma once

namespace tq5scan {

enum ExitStatus : int {
  kExitOk = 0,
  kExitScannerError = 1,   // a driver error not covered below
  kExitUsage = 2,          // bad option, value or area; nothing was touched
  kExitNoDriver = 3,       // libTQ5DRV.so could not be loaded or lacks an export
  kExitNoScanner = 4,      // the device node could not be opened (155, 153)
  kExitBusy = 5,           // another program holds or uses the scanner (150, 162, 166)
  kExitScannerFault = 6,   // the scanner failed a check (7, 107, 164, 174-179)
  kExitCommunication = 7,  // the image data stopped or was damaged (157, 173, 250, 251)
  kExitOutput = 8,         // the output could not be written
  kExitVirtualScanner = 9, // the built-in virtual scanner or its document failed
  kExitTestFailed = 10,    // -T: a diagnostic reported a fault in the data
  kExitInterrupted = 130,  // stopped by Ctrl-C or a termination signal
};

}  // namespace tq5scan
