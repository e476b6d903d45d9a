// Several real processes sharing the driver: one shared state, one
// processCount, one message number, one device lock; a killed process
// leaves neither the lock held nor the state looking shared.
#include <gtest/gtest.h>

#include <sstream>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "process_helpers.h"
#include "scripted_device.h"

using tq5test::ChildProcess;
using tq5test::CloseChildInput;
using tq5test::KillChild;
using tq5test::ReadChildLine;
using tq5test::StartChild;
using tq5test::WaitChild;

namespace {

struct Attached {
  int count = -1;
  uint32_t message = 0;
  int init = -1;
};

Attached ParseAttached(const std::string& line) {
  Attached a;
  std::istringstream in(line);
  std::string word;
  in >> word >> a.count >> word >> a.message >> word >> a.init;
  return a;
}

class MultiProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseReal(1.0);
  }
};

}  // namespace

TEST_F(MultiProcess, SecondProcessSharesStateCountAndMessage) {
  ASSERT_TRUE(DriverProcessAttach());
  EXPECT_EQ(sharedState->processCount, 1);
  sharedState->initState = 2;  // as if this process had initialized the scanner
  const uint32_t message = sharedState->activityMessage;
  ASSERT_NE(message, 0u);

  ChildProcess child = StartChild(TQ5_DRIVER_CHILD, {"attach"});
  const Attached seen = ParseAttached(ReadChildLine(child));
  EXPECT_EQ(seen.count, 2);
  EXPECT_EQ(seen.message, message);
  EXPECT_EQ(seen.init, 2);  // a later process keeps the current initState
  EXPECT_EQ(sharedState->processCount, 2);
  CloseChildInput(child);
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(sharedState->processCount, 1);  // the child detached
  DriverProcessDetach();
}

TEST_F(MultiProcess, CountFollowsAttachAndDetach) {
  ASSERT_TRUE(DriverProcessAttach());
  ChildProcess child = StartChild(TQ5_DRIVER_CHILD, {"attach"});
  ASSERT_EQ(ParseAttached(ReadChildLine(child)).count, 2);
  // A killed process cannot detach: the count stays high (it only informs),
  // but the lock and the first-process rule do not depend on it.
  KillChild(child);
  WaitChild(child);
  EXPECT_EQ(sharedState->processCount, 2);
  ChildProcess second = StartChild(TQ5_DRIVER_CHILD, {"try-lock", "100"});
  EXPECT_EQ(ReadChildLine(second), "obtained");
  EXPECT_EQ(WaitChild(second), 0);
  DriverProcessDetach();
}

TEST_F(MultiProcess, RealLibraryLoadsIntoASecondProcess) {
  ASSERT_TRUE(DriverProcessAttach());
  ChildProcess child = StartChild(TQ5_DRIVER_CHILD, {"dlopen", TQ5_DRIVER_LIBRARY});
  EXPECT_EQ(ReadChildLine(child), "loaded 1 0");
  EXPECT_EQ(sharedState->processCount, 2);
  CloseChildInput(child);
  EXPECT_EQ(ReadChildLine(child), "unloaded");
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(sharedState->processCount, 1);
  DriverProcessDetach();
}

TEST_F(MultiProcess, LockSerializesProcesses) {
  ASSERT_TRUE(DriverProcessAttach());
  ASSERT_TRUE(LockDevice(1000));
  ChildProcess blocked = StartChild(TQ5_DRIVER_CHILD, {"try-lock", "200"});
  EXPECT_EQ(ReadChildLine(blocked), "timeout");
  EXPECT_EQ(WaitChild(blocked), 0);
  UnlockDevice();
  ChildProcess free = StartChild(TQ5_DRIVER_CHILD, {"try-lock", "200"});
  EXPECT_EQ(ReadChildLine(free), "obtained");
  EXPECT_EQ(WaitChild(free), 0);
  DriverProcessDetach();
}

TEST_F(MultiProcess, KilledOwnerDoesNotLeaveTheScannerLocked) {
  ASSERT_TRUE(DriverProcessAttach());
  ChildProcess holder = StartChild(TQ5_DRIVER_CHILD, {"hold-lock"});
  ASSERT_EQ(ReadChildLine(holder), "locked");
  EXPECT_FALSE(LockDevice(100));
  KillChild(holder);
  WaitChild(holder);
  // The abandoned lock is taken over.
  ASSERT_TRUE(LockDevice(1000));
  UnlockDevice();
  DriverProcessDetach();
}

TEST_F(MultiProcess, KilledLastProcessDoesNotLeaveStaleState) {
  // A process initializes and dies without detaching; it was the only one.
  ChildProcess child = StartChild(TQ5_DRIVER_CHILD, {"set-init", "2"});
  EXPECT_EQ(ReadChildLine(child), "done");
  EXPECT_EQ(WaitChild(child), 0);
  // The next process is the first again: zeroed state, initState 0, count 1.
  ASSERT_TRUE(DriverProcessAttach());
  EXPECT_EQ(sharedState->processCount, 1);
  EXPECT_EQ(sharedState->initState, 0);
  DriverProcessDetach();
}
