// A driver attached to a scripted device with the working state as
// InitializeScanner's reset leaves it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "capture_source.h"
#include "controller/register_image.h"
#include "driver_fixture.h"
#include "wire.h"

class CalibrationTest : public DriverOnScriptedDevice {
 protected:
  void SetUp() override {
    DriverOnScriptedDevice::SetUp();
    ResetScanState();
    device->SetRegister(0x5B, 0x19);  // flatbed lamp on
    blocksAtStart = PlatTestBlocksInUse();
  }
  void TearDown() override {
    EXPECT_EQ(PlatTestBlocksInUse(), blocksAtStart) << "a block was not released";
    DriverOnScriptedDevice::TearDown();
  }

  // Sets the scan window (600-dpi sensor pixels) in the scan column.
  static void SetScanWindow(uint16_t start, uint16_t end) {
    SetScanValue(0x22, static_cast<uint8_t>(start >> 8));
    SetScanValue(0x23, static_cast<uint8_t>(start & 0xFF));
    SetScanValue(0x24, static_cast<uint8_t>(end >> 8));
    SetScanValue(0x25, static_cast<uint8_t>(end & 0xFF));
  }

  // Values written to a register, in order.
  std::vector<uint32_t> WritesTo(uint8_t reg) {
    std::vector<uint32_t> values;
    for (const auto& op : device->Ops())
      if (op.type == tq5test::RegisterOp::Write && op.reg == reg) values.push_back(op.value);
    return values;
  }

  int64_t blocksAtStart = 0;
};

// A capture of `bytes` bytes whose 16-bit samples are all `value`.
inline std::vector<uint8_t> UniformCapture(size_t bytes, uint16_t value) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    data[i] = static_cast<uint8_t>(value >> 8);
    data[i + 1] = static_cast<uint8_t>(value & 0xFF);
  }
  return data;
}
