#include "virtual_scanner_fixture.h"

#include <vector>

#include "controller/motion.h"
#include "interface/device_lock.h"
#include "interface/driver.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scripted_device.h"
#include "tq5/tq5drv.h"

namespace tq5test {

ScanParameter ScanRequest(const ScanArea& area) {
  ScanParameter p{};
  p.xResolution = area.xResolution;
  p.yResolution = area.yResolution;
  p.left = area.left;
  p.top = area.top;
  p.width = area.width;
  p.height = area.height;
  p.scanMode = area.scanMode;
  p.scanSource = area.scanSource;
  p.bitsPerPixel = area.bitsPerPixel;
  p.monoChannel = area.monoChannel;
  return p;
}

void LoadIdentityGammaTables() {
  std::vector<uint16_t> identity(16384);
  for (uint32_t v = 0; v < identity.size(); ++v) identity[v] = static_cast<uint16_t>(4 * v);
  for (uint32_t selector : {1u, 2u, 3u}) EXPECT_EQ(SetGammaTable(identity.data(), selector, 0), 1);
}

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
