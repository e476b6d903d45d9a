// The device and status exports, the lock rules of TerminateDriver, the
// activity broadcast and the error codes they report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "controller/motion.h"
#include "driver_fixture.h"
#include "transport/transport.h"

using tq5test::RegisterOp;

namespace {

uint8_t Status() {
  uint8_t code = 0xFF;
  EXPECT_EQ(GetScannerStatus(&code), 1);
  return code;
}

}  // namespace

using DeviceExports = DriverOnScriptedDevice;

TEST_F(DeviceExports, FindScannerExWithABadNameClosesTheOldDevice) {
  const std::string regularFile = tq5test::PrivateRuntimeDirectory() + "/not-a-socket";
  std::ofstream(regularFile) << "x";
  const std::string names[] = {tq5test::PrivateRuntimeDirectory() + "/missing.sock", regularFile, ""};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
    EXPECT_NE(deviceHandle, kPlatInvalidDevice);
    EXPECT_EQ(FindScannerEx(name.c_str()), 0);
    EXPECT_EQ(deviceHandle, kPlatInvalidDevice);
    EXPECT_EQ(Status(), kErrDeviceNotOpen);
  }
  EXPECT_EQ(FindScannerEx(nullptr), 0);
  EXPECT_EQ(Status(), kErrDeviceNotOpen);
}

TEST_F(DeviceExports, FindScannerExDoesNotTalkToTheDevice) {
  ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
  EXPECT_TRUE(device->Frames().empty());
}

TEST_F(DeviceExports, GetScannerStatusReadsAndClears) {
  lastError = kErrHomeTimeout;
  EXPECT_EQ(Status(), kErrHomeTimeout);
  EXPECT_EQ(Status(), 0);
  // A buffered film scan's first pass with no error pending: 166 every time,
  // nothing cleared; once an error is pending it is reported and cleared.
  sharedState->halvedXResolution = 1;
  EXPECT_EQ(Status(), kErrScanInProgress);
  EXPECT_EQ(Status(), kErrScanInProgress);
  lastError = kErrDataTimeout;
  EXPECT_EQ(Status(), kErrDataTimeout);
  EXPECT_EQ(Status(), kErrScanInProgress);
  sharedState->halvedXResolution = 0;
  EXPECT_EQ(GetScannerStatus(nullptr), 0);
  EXPECT_EQ(Status(), kErrBadParameter);
}

TEST_F(DeviceExports, InitializeDriverLoadsToneFxOnce) {
  setenv("TQ5_LIBRARY_PATH", TQ5_LIBRARY_DIR, 1);
  CloseDeviceForProcess();
  EXPECT_EQ(InitializeDriver(), 0);
  EXPECT_EQ(Status(), kErrDriverLoadFailed);
  ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
  ASSERT_EQ(InitializeDriver(), 1) << static_cast<int>(Status());
  ASSERT_NE(toneFxModule, nullptr);
  ASSERT_NE(toneFxEntry, nullptr);
  PlatLibrary* first = toneFxModule;
  EXPECT_EQ(InitializeDriver(), 1);
  EXPECT_EQ(toneFxModule, first);
  EXPECT_EQ(TerminateDriver(), 1);
  EXPECT_EQ(toneFxModule, nullptr);
  EXPECT_EQ(deviceHandle, kPlatInvalidDevice);
}

TEST_F(DeviceExports, InitializeDriverWithoutToneFxFails) {
  setenv("TQ5_LIBRARY_PATH", "/nonexistent", 1);
  // The library is looked up beside the program and in TQ5_LIBRARY_PATH; the
  // test program lives in bin/, the library in lib/, so it is not found.
  EXPECT_EQ(InitializeDriver(), 0);
  EXPECT_EQ(Status(), kErrDriverLoadFailed);
  EXPECT_EQ(toneFxModule, nullptr);
}

TEST_F(DeviceExports, TerminateDriverSendsTheCarriageHome) {
  // Carriage away from home: the home sensor appears once the return-home
  // command has been given.
  carriageAtHome = 0;
  bool returning = false;
  device->onWriteRegister = [&](uint8_t reg, uint8_t value) {
    if (reg == 0x07 && value == 0x02) returning = true;
  };
  device->onReadRegister = [&](uint8_t reg, uint8_t stored) -> uint8_t {
    if (reg == 0x02) return returning ? 0x01 : 0x00;
    return stored;
  };
  EXPECT_EQ(TerminateDriver(), 1);
  EXPECT_TRUE(returning);
  EXPECT_EQ(carriageAtHome, 1);
  EXPECT_EQ(deviceHandle, kPlatInvalidDevice);
  const auto ops = device->Ops();
  ASSERT_GE(ops.size(), 4u);
  EXPECT_EQ(ops.front().type, RegisterOp::ResetPipe);
  EXPECT_EQ(ops[1], (RegisterOp{RegisterOp::Write, 0x58, 0x05}));  // bit 2 on before the return
  // Ends with two reads of the status register.
  EXPECT_EQ(ops[ops.size() - 1].reg, 0x02);
  EXPECT_EQ(ops[ops.size() - 2].reg, 0x02);
  EXPECT_EQ(ops[ops.size() - 1].type, RegisterOp::Read);
}

TEST_F(DeviceExports, TerminateDriverAtHomeOnlyReadsStatus) {
  carriageAtHome = 1;
  EXPECT_EQ(TerminateDriver(), 1);
  const auto ops = device->Ops();
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0].type, RegisterOp::ResetPipe);
  EXPECT_EQ(ops[1], (RegisterOp{RegisterOp::Read, 0x02, 0}));
  EXPECT_EQ(ops[2], (RegisterOp{RegisterOp::Read, 0x02, 0}));
}

TEST_F(DeviceExports, TerminateDriverDuringAScanOrWithoutTheLockOnlyCloses) {
  sharedState->readerThread = 1;  // another process's scan
  EXPECT_EQ(TerminateDriver(), 1);
  EXPECT_TRUE(device->Frames().empty());
  EXPECT_EQ(deviceHandle, kPlatInvalidDevice);
  sharedState->readerThread = 0;

  ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    ASSERT_TRUE(LockDevice(1000));
    held = true;
    while (!release) std::this_thread::yield();
    UnlockDevice();
  });
  while (!held) std::this_thread::yield();
  const uint32_t before = PlatTickCount();
  EXPECT_EQ(TerminateDriver(), 1);
  EXPECT_GE(PlatTickCount() - before, 1000u);  // waited its full time-out, on the virtual clock
  release = true;
  holder.join();
  EXPECT_TRUE(device->Frames().empty());
  EXPECT_EQ(deviceHandle, kPlatInvalidDevice);
  EXPECT_EQ(lastError, 0);  // not reported
}

TEST_F(DeviceExports, DeviceLockIsRecursiveWithinAThread) {
  ASSERT_TRUE(LockDevice(1000));
  ASSERT_TRUE(LockDevice(1000));
  UnlockDevice();
  std::atomic<int> other{-1};
  std::thread t([&] { other = LockDevice(500) ? 1 : 0; });
  t.join();
  EXPECT_EQ(other, 0);  // still held once
  UnlockDevice();
  std::thread t2([&] {
    other = LockDevice(500) ? 1 : 0;
    if (other) UnlockDevice();
  });
  t2.join();
  EXPECT_EQ(other, 1);
}

// The power-management utility is played by a window of this test.
TEST_F(DeviceExports, ActivityBroadcastAndThrottle) {
  // No window: nothing posted, but the throttled post still advances the time.
  sharedState->lastActivityTime = 0;
  ActivityBroadcast();
  EXPECT_EQ(activityWindow, 0u);
  ActivityBroadcastThrottled();
  EXPECT_NE(sharedState->lastActivityTime, 0u);

  PlatWindow* utility = PlatWindowCreate(kActivityWindowName, kActivityWindowName);
  ASSERT_NE(utility, nullptr);
  uint32_t message = 0;
  uintptr_t w = 0, l = 0;
  ActivityBroadcast();
  EXPECT_NE(activityWindow, 0u);
  ASSERT_TRUE(PlatWindowReceive(utility, &message, &w, &l, 2000));
  EXPECT_EQ(message, sharedState->activityMessage);
  EXPECT_EQ(message, PlatRegisterWindowMessage("Tarnik Q5U Energy Star"));

  // Throttled: more than 30000 ms after the last activity posts once, a call
  // 10 s later does not.
  sharedState->lastActivityTime = PlatTickCount() - 30001;
  ActivityBroadcastThrottled();
  EXPECT_TRUE(PlatWindowReceive(utility, &message, &w, &l, 2000));
  const uint32_t stamped = sharedState->lastActivityTime;
  PlatClockAdvance(10000);
  ActivityBroadcastThrottled();
  EXPECT_FALSE(PlatWindowReceive(utility, &message, &w, &l, 100));
  EXPECT_EQ(sharedState->lastActivityTime, stamped);
  PlatWindowDestroy(utility);
}
