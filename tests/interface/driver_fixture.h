// A driver attached in this test process, on the virtual clock, talking to a
// scripted device.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scripted_device.h"

class DriverOnScriptedDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(5'000'000, 1);
    ASSERT_TRUE(DriverProcessAttach());
    device = std::make_unique<tq5test::ScriptedDevice>(tq5test::UniqueSocketPath("dev"));
    ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
    lastError = 0;
  }
  void TearDown() override {
    CloseDeviceForProcess();
    device.reset();
    DriverProcessDetach();
    PlatClockUseReal(1.0);
  }
  std::unique_ptr<tq5test::ScriptedDevice> device;
};
