// Clock modes, threads with exit codes and termination, movable blocks and
// interlocked add.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fork_child.h"
#include "platform.h"

namespace {

using RealClock = std::chrono::steady_clock;

// Leaves the clock real at speed 1 whatever a test did.
class ClockTest : public testing::Test {
 protected:
  void TearDown() override { PlatClockUseReal(1.0); }
};

TEST_F(ClockTest, VirtualTimeMovesOnlyWhenReadSleptOrAdvanced) {
  PlatClockUseVirtual(5000, 3);
  EXPECT_TRUE(PlatClockIsVirtual());
  EXPECT_EQ(PlatClockNow(), 5000u);
  EXPECT_EQ(PlatClockNow(), 5000u) << "looking does not move it";
  EXPECT_EQ(PlatTickCount(), 5000u) << "a tick read returns now, then steps";
  EXPECT_EQ(PlatTickCount(), 5003u);
  const auto realStart = RealClock::now();
  PlatSleep(60000);
  EXPECT_LT(RealClock::now() - realStart, std::chrono::seconds(1)) << "a virtual sleep does not sleep";
  EXPECT_EQ(PlatClockNow(), 5006u + 60000u);
  PlatClockAdvance(10);
  EXPECT_EQ(PlatClockNow(), 65016u);
}

TEST_F(ClockTest, TickCountWrapsAt32Bits) {
  PlatClockUseVirtual(0xFFFFFFFEull, 1);
  EXPECT_EQ(PlatTickCount(), 0xFFFFFFFEu);
  EXPECT_EQ(PlatTickCount(), 0xFFFFFFFFu);
  EXPECT_EQ(PlatTickCount(), 0u);
  EXPECT_EQ(PlatClockNow(), 0x100000001ull);
}

TEST_F(ClockTest, VirtualTimeIsSharedByAllThreads) {
  PlatClockUseVirtual(0, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([] {
      for (int j = 0; j < 1000; ++j) PlatSleep(1);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(PlatClockNow(), 4000u) << "no advance may be lost between threads";
}

TEST_F(ClockTest, RealTimeStartsFarFromZeroAndScales) {
  PlatClockUseReal(1.0);
  EXPECT_FALSE(PlatClockIsVirtual());
  EXPECT_GE(PlatClockNow(), 1000000u) << "a tick of 0 means 'never' to callers";
  const uint32_t before = PlatTickCount();
  PlatSleep(20);
  EXPECT_GE(static_cast<uint32_t>(PlatTickCount() - before), 20u);

  PlatClockUseReal(1000.0);
  EXPECT_EQ(PlatClockSpeed(), 1000.0);
  const uint64_t clockStart = PlatClockNow();
  const auto realStart = RealClock::now();
  PlatSleep(20000);  // 20 ms real
  EXPECT_GE(PlatClockNow() - clockStart, 20000u);
  EXPECT_LT(RealClock::now() - realStart, std::chrono::seconds(2));
  PlatClockUseReal(1.0);
  EXPECT_GE(PlatClockNow(), clockStart + 20000u) << "a change of speed never turns the clock back";
}

TEST(ClockStart, SpeedComesFromTheEnvironmentAtFirstUse) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(plattest::RunAndCapture("TQ5_CLOCK_SPEED=25 '" + self + "' --report-clock-speed"), "25\n");
  EXPECT_EQ(plattest::RunAndCapture("TQ5_CLOCK_SPEED=fast '" + self + "' --report-clock-speed"), "1\n");
  EXPECT_EQ(plattest::RunAndCapture("TQ5_CLOCK_SPEED=-2 '" + self + "' --report-clock-speed"), "1\n");
}

// ---------------------------------------------------------------------------

uint32_t ReturnArgument(void* argument) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument)); }

uint32_t WaitForRelease(void* argument) {
  auto* release = static_cast<std::atomic<bool>*>(argument);
  while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 1;
}

TEST(Threads, ExitCodeIsStillActiveUntilTheThreadEnds) {
  std::atomic<bool> release{false};
  uint32_t id = 0;
  PlatThread* thread = PlatThreadCreate(WaitForRelease, &release, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  PlatThreadSetHighestPriority(thread);  // best effort: must not fail the thread
  uint32_t code = 0;
  ASSERT_TRUE(PlatThreadExitCode(thread, &code));
  EXPECT_EQ(code, kPlatThreadStillActive);
  release = true;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(PlatThreadExitCode(thread, &code));
  } while (code == kPlatThreadStillActive);
  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(PlatThreadTerminate(thread, 9)) << "an ended thread keeps its own code";
  ASSERT_TRUE(PlatThreadExitCode(thread, &code));
  EXPECT_EQ(code, 1u);
  PlatThreadClose(thread);

  // Closing a running thread's handle lets it run on.
  PlatThread* detached = PlatThreadCreate(ReturnArgument, reinterpret_cast<void*>(uintptr_t{5}), nullptr);
  ASSERT_NE(detached, nullptr);
  PlatThreadClose(detached);
}

TEST(Threads, CreationFailsWhileTheHookIsSet) {
  PlatTestFailThreadCreation(true);
  EXPECT_EQ(PlatThreadCreate(ReturnArgument, nullptr, nullptr), nullptr);
  PlatTestFailThreadCreation(false);
  PlatThread* thread = PlatThreadCreate(ReturnArgument, reinterpret_cast<void*>(uintptr_t{12}), nullptr);
  ASSERT_NE(thread, nullptr);
  uint32_t code = kPlatThreadStillActive;
  while (code == kPlatThreadStillActive) {
    ASSERT_TRUE(PlatThreadExitCode(thread, &code));
    std::this_thread::yield();
  }
  EXPECT_EQ(code, 12u);
  PlatThreadClose(thread);
}

struct Sleeper {
  std::atomic<bool> started{false};
  std::atomic<bool> terminatedSeen{false};
};

uint32_t SleepALongTime(void* argument) {
  auto* sleeper = static_cast<Sleeper*>(argument);
  sleeper->started = true;
  PlatSleep(3600 * 1000);
  sleeper->terminatedSeen = PlatThreadTerminated();
  return 0;
}

TEST(Threads, TerminateEndsASleepAndRecordsTheCode) {
  PlatClockUseReal(1.0);
  Sleeper sleeper;
  PlatThread* thread = PlatThreadCreate(SleepALongTime, &sleeper, nullptr);
  ASSERT_NE(thread, nullptr);
  while (!sleeper.started) std::this_thread::yield();
  EXPECT_FALSE(PlatThreadTerminated()) << "only the terminated thread sees its flag";
  EXPECT_TRUE(PlatThreadTerminate(thread, 250));
  EXPECT_TRUE(sleeper.terminatedSeen);
  uint32_t code = 0;
  ASSERT_TRUE(PlatThreadExitCode(thread, &code));
  EXPECT_EQ(code, 250u);
  PlatThreadClose(thread);
}

// ---------------------------------------------------------------------------

TEST(Blocks, TheNthAllocationFailsAndLiveBlocksAreCounted) {
  const int64_t before = PlatTestBlocksInUse();
  PlatTestFailAllocation(2);
  void* first = PlatBlockAlloc(100);
  void* second = PlatBlockAlloc(100);
  void* third = PlatBlockAlloc(100);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr) << "only the one allocation fails";
  EXPECT_EQ(PlatTestBlocksInUse(), before + 2);
  PlatBlockFree(first);
  PlatBlockFree(third);
  PlatBlockFree(nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), before);

  PlatTestFailAllocation(1);
  PlatTestFailAllocation(0);  // switched off again
  void* block = PlatBlockAlloc(0);
  EXPECT_NE(block, nullptr);
  PlatBlockFree(block);
}

TEST(Interlocked, AddReturnsTheNewValueUnderContention) {
  volatile int32_t counter = 10;
  EXPECT_EQ(PlatInterlockedAdd(&counter, 5), 15);
  EXPECT_EQ(PlatInterlockedAdd(&counter, -15), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&counter] {
      for (int j = 0; j < 10000; ++j) PlatInterlockedAdd(&counter, 1);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
