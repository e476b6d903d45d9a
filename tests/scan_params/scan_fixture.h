// The driver attached in this test process with its working state freshly
// reset, on the virtual clock and without a device: enough for everything
// that only takes the lock.
#pragma once

#include <gtest/gtest.h>

#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scan/scan_parameters.h"
#include "scripted_device.h"

class AttachedDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(5'000'000, 1);
    ASSERT_TRUE(DriverProcessAttach());
    ResetScanState();
    lastError = 0;
    blocksAtStart = PlatTestBlocksInUse();
  }
  void TearDown() override {
    PlatTestFailAllocation(0);
    ReleaseWholeImageBuffers();
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart) << "blocks left allocated";
    DriverProcessDetach();
    PlatClockUseReal(1.0);
  }
  // InitializeScanner's reset (it frees this process's whole-image buffers).
  static void Reset() { ResetScanState(); }
  int64_t blocksAtStart = 0;
};

// A scan request with the defaults of a one-inch 300-dpi colour flatbed
// scan; tables of cases override what they test.
struct Request {
  uint16_t x = 300, y = 300, left = 0, top = 0, width = 600, height = 600, ppl = 0, lines = 0;
  uint8_t mode = 4, source = 0, bits = 24, mono = 2;
  uint16_t flags = 0;

  ScanParameter Make() const {
    ScanParameter p{};
    p.xResolution = x;
    p.yResolution = y;
    p.left = left;
    p.top = top;
    p.width = width;
    p.height = height;
    p.pixelsPerLine = ppl;
    p.lineCount = lines;
    p.scanMode = mode;
    p.scanSource = source;
    p.bitsPerPixel = bits;
    p.monoChannel = mono;
    p.parameterFlags = flags;
    return p;
  }
};
