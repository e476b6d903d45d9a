// The driver attached in this test process to a virtual scanner it found
// and initialized, on the virtual clock: the fixture of whole scans through
// the exports.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "scan_support.h"
#include "virtual_scanner.h"

namespace scantest {

class OnVirtualScanner : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(5'000'000, 1);
    scanner = std::make_unique<tq5sim::VirtualScanner>();
    const std::string path = tq5test::UniqueSocketPath("sim");
    ASSERT_TRUE(scanner->Start(path));
    ASSERT_TRUE(DriverProcessAttach());
    ASSERT_EQ(FindScannerEx(path.c_str()), 1);
    // A cold lamp makes InitializeScanner ask for time to warm up.
    int32_t ok = 0;
    for (int attempt = 0; attempt < 30 && ok == 0; ++attempt) {
      ok = InitializeScanner();
      if (ok == 0) PlatClockAdvance(10000);
    }
    ASSERT_EQ(ok, 1) << "InitializeScanner: " << lastError;
    lastError = 0;
  }
  void TearDown() override {
    PlatTestFailThreadCreation(false);
    CloseDeviceForProcess();
    DriverProcessDetach();
    scanner.reset();
    PlatClockUseReal(1.0);
  }

  static bool ReaderFinished() {
    auto* thread = reinterpret_cast<PlatThread*>(sharedState->readerThread);
    uint32_t code = kPlatThreadStillActive;
    return thread == nullptr || (PlatThreadExitCode(thread, &code) && code != kPlatThreadStillActive);
  }

  std::unique_ptr<tq5sim::VirtualScanner> scanner;
};

}  // namespace scantest
