// The driver attached in this test process to a virtual scanner of its own:
// the fixture of the tests that drive the virtual scanner through the
// driver. SetUp starts a cold scanner on a socket of its own, sets the
// platform clock, attaches the driver, finds the scanner and (unless told
// not to) initializes it; TearDown closes, detaches and puts the real clock
// back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tq5/records.h"
#include "virtual_scanner.h"

namespace tq5test {

// What differs between the users of OnVirtualScanner.
struct VirtualScannerSetup {
  enum class Clock {
    Virtual,  // starts at 5'000'000 ms and moves clockStep ms a read
    Real,     // real time, realSpeed times faster
  };
  // Stem of the device node's socket name.
  const char* socketStem = "sim";
  Clock clock = Clock::Virtual;
  uint32_t clockStep = 1;
  double realSpeed = 1.0;
  // InitializeScanner calls SetUp makes at most (0: the scanner is left
  // uninitialized). A cold lamp makes InitializeScanner answer 0 while it
  // warms up, as a host sees it; the clock then moves by warmUpWaitMs before
  // the next call, as a host calls again a little later.
  int initializeAttempts = 30;
  uint32_t warmUpWaitMs = 10000;
  // TearDown checks that the platform holds as many blocks as at the end of
  // SetUp.
  bool checkBlocks = false;
};

// A scan request as a host makes it: an area in 1/600 inch at the given
// resolutions, pixels and lines left for the driver to derive.
struct ScanArea {
  uint16_t xResolution, yResolution;
  uint16_t left, top, width, height;
  uint8_t scanMode, bitsPerPixel;
  uint8_t scanSource = 0;
  uint8_t monoChannel = 2;
};
ScanParameter ScanRequest(const ScanArea& area);

// As a host does before a scan: its own gamma tables, the identity, loaded
// into all three channels with SetGammaTable (each flatbed scan start
// composes the driver's correction onto them).
void LoadIdentityGammaTables();

class OnVirtualScanner : public ::testing::Test {
 protected:
  explicit OnVirtualScanner(VirtualScannerSetup setup = {}) : setup_(setup) {}

  void SetUp() override;
  void TearDown() override;

  // Called once the new scanner serves its socket, before the driver sees
  // it: the place to check (with ASSERT_*) or change the scanner at power-on.
  virtual void ScannerStarted() {}

  // True once the scan's reader thread has ended (or none was started).
  static bool ReaderFinished();

  std::unique_ptr<tq5sim::VirtualScanner> scanner;
  std::string path;            // the scanner's socket
  int64_t blocksAtStart = 0;   // PlatTestBlocksInUse at the end of SetUp

 private:
  VirtualScannerSetup setup_;
};

}  // namespace tq5test
