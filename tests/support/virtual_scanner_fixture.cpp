#include "virtual_scanner_fixture.h"

#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/driver.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scripted_device.h"
#include "tq5/tq5drv.h"

namespace tq5test {

void OnVirtualScanner::SetUp() {
  PrivateRuntimeDirectory();
  if (setup_.clock == VirtualScannerSetup::Clock::Virtual) {
    PlatClockUseVirtual(5'000'000, setup_.clockStep);
  } else {
    PlatClockUseReal(setup_.realSpeed);
  }
  // A new virtual scanner is a cold one: registers at power-on, no
  // initialization marker, lamps cold.
  scanner = std::make_unique<tq5sim::VirtualScanner>();
  path = UniqueSocketPath(setup_.socketStem);
  ASSERT_TRUE(scanner->Start(path));
  ScannerStarted();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(DriverProcessAttach());
  ASSERT_EQ(FindScannerEx(path.c_str()), 1);
  if (setup_.initializeAttempts > 0) {
    int32_t ok = InitializeScanner();
    for (int attempt = 1; ok == 0 && attempt < setup_.initializeAttempts; ++attempt) {
      PlatClockAdvance(setup_.warmUpWaitMs);
      ok = InitializeScanner();
    }
    ASSERT_EQ(ok, 1) << "InitializeScanner: " << lastError;
  }
  lastError = 0;
  blocksAtStart = PlatTestBlocksInUse();
}

void OnVirtualScanner::TearDown() {
  if (setup_.checkBlocks) {
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart) << "a block of the platform was not freed";
  }
  PlatTestFailThreadCreation(false);
  CloseDeviceForProcess();
  DriverProcessDetach();
  scanner.reset();
  // The next test starts as a freshly loaded driver does.
  carriageAtHome = 1;
  PlatClockUseReal(1.0);
}

bool OnVirtualScanner::ReaderFinished() {
  auto* thread = reinterpret_cast<PlatThread*>(sharedState->readerThread);
  uint32_t code = kPlatThreadStillActive;
  return thread == nullptr || (PlatThreadExitCode(thread, &code) && code != kPlatThreadStillActive);
}

}  // namespace tq5test
