// A second process for the gamma test: it attaches to the driver (another
// process has already initialized the scanner), opens the device named in
// argv[1] and uploads channel 0 as a scan start would with the host's
// tables, without ever loading tables of its own. Prints "upload <code>".
#include <cstdio>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "tone/tone_tables.h"

int main(int argc, char** argv) {
  if (argc < 2 || !DriverProcessAttach()) {
    std::printf("attach failed\n");
    return 1;
  }
  DriverError result = kErrDeviceNotOpen;
  if (FindScannerEx(argv[1]) == 1) {
    result = UploadGammaChannel(gammaTable[0], 0, kGammaTableEntries);
    if (result == kErrNone) result = UploadGammaChannel(sharedState->toneCurve[1], 1, 256);
  }
  std::printf("upload %u init %d\n", result, sharedState->initState);
  std::fflush(stdout);
  CloseDeviceForProcess();
  DriverProcessDetach();
  return 0;
}
