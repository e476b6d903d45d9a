// The shared block and the named mutex, across threads and real processes,
// including processes that die holding them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fork_child.h"
#include "platform.h"

namespace {

struct State {
  int32_t value;
  int32_t spare[255];
};

State* Data(PlatSharedBlock* block) { return static_cast<State*>(PlatSharedData(block)); }

[[noreturn]] void WaitToBeKilled() {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(SharedBlock, FirstIsTheProcessThatFindsNobodyAttached) {
  bool first = false;
  PlatSharedBlock* mine = PlatSharedAttach("state", sizeof(State), &first);
  ASSERT_NE(mine, nullptr);
  EXPECT_TRUE(first);
  EXPECT_EQ(Data(mine)->value, 0);
  Data(mine)->value = 42;

  // Another process sees the same block and is not first.
  const int child = plattest::StartChild([] {
    bool childFirst = true;
    PlatSharedBlock* block = PlatSharedAttach("state", sizeof(State), &childFirst);
    if (block == nullptr || childFirst) return 1;
    if (Data(block)->value != 42) return 2;
    Data(block)->value = 43;
    PlatSharedDetach(block);
    return 0;
  });
  EXPECT_EQ(plattest::WaitChild(child), 0);
  EXPECT_EQ(Data(mine)->value, 43);

  // A second attach in the same process is not first either.
  PlatSharedBlock* again = PlatSharedAttach("state", sizeof(State), &first);
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(first);
  EXPECT_EQ(Data(again)->value, 43);
  PlatSharedDetach(again);
  PlatSharedDetach(mine);

  // Everybody left: the next one starts from zeros.
  PlatSharedBlock* fresh = PlatSharedAttach("state", sizeof(State), &first);
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(first);
  EXPECT_EQ(Data(fresh)->value, 0);
  PlatSharedDetach(fresh);
}

TEST(SharedBlock, AKilledProcessDoesNotCountAsAttached) {
  plattest::Rendezvous attached("killed-block");
  const int child = plattest::StartChild([&attached] {
    bool first = false;
    PlatSharedBlock* block = PlatSharedAttach("crash", sizeof(State), &first);
    if (block == nullptr) return 1;
    Data(block)->value = 77;
    attached.Signal(first ? 1 : 2);
    WaitToBeKilled();
  });
  ASSERT_EQ(attached.Wait(), 1);
  plattest::KillChild(child);

  bool first = false;
  PlatSharedBlock* block = PlatSharedAttach("crash", sizeof(State), &first);
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(first) << "a killed process must not look attached";
  EXPECT_EQ(Data(block)->value, 0) << "the first process starts from zeros";

  // A process killed while we stay attached leaves the block to us as it was.
  Data(block)->value = 5;
  plattest::Rendezvous second("killed-block-2");
  const int other = plattest::StartChild([&second] {
    bool otherFirst = true;
    PlatSharedBlock* shared = PlatSharedAttach("crash", sizeof(State), &otherFirst);
    if (shared == nullptr) return 1;
    Data(shared)->value = 6;
    second.Signal(otherFirst ? 1 : 2);
    WaitToBeKilled();
  });
  ASSERT_EQ(second.Wait(), 2);
  plattest::KillChild(other);
  PlatSharedBlock* more = PlatSharedAttach("crash", sizeof(State), &first);
  ASSERT_NE(more, nullptr);
  EXPECT_FALSE(first);
  EXPECT_EQ(Data(more)->value, 6);
  PlatSharedDetach(more);
  PlatSharedDetach(block);
}

// ---------------------------------------------------------------------------

PlatWaitResult WaitInThread(PlatMutex* mutex, uint32_t timeoutMs, bool release) {
  PlatWaitResult result = PlatWaitResult::Failed;
  std::thread([&] {
    result = PlatMutexWait(mutex, timeoutMs);
    if (release && (result == PlatWaitResult::Obtained || result == PlatWaitResult::Abandoned)) {
      PlatMutexRelease(mutex);
    }
  }).join();
  return result;
}

TEST(NamedMutex, RecursiveAndOwnedByOneThread) {
  PlatMutex* mutex = PlatMutexCreate("recursive");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(PlatMutexWait(mutex, 0), PlatWaitResult::Obtained);
  EXPECT_EQ(PlatMutexWait(mutex, 0), PlatWaitResult::Obtained);
  EXPECT_EQ(WaitInThread(mutex, 0, true), PlatWaitResult::Timeout);
  EXPECT_TRUE(PlatMutexRelease(mutex));
  EXPECT_EQ(WaitInThread(mutex, 0, true), PlatWaitResult::Timeout) << "still held once";
  EXPECT_TRUE(PlatMutexRelease(mutex));
  EXPECT_FALSE(PlatMutexRelease(mutex)) << "not owned any more";
  EXPECT_EQ(WaitInThread(mutex, 0, true), PlatWaitResult::Obtained);
  PlatMutexClose(mutex);
}

TEST(NamedMutex, OpenFindsOnlyACreatedMutexAndSharesIt) {
  EXPECT_EQ(PlatMutexOpen("never-created"), nullptr);
  PlatMutex* created = PlatMutexCreate("shared-name");
  ASSERT_NE(created, nullptr);
  PlatMutex* opened = PlatMutexOpen("shared-name");
  ASSERT_NE(opened, nullptr);
  ASSERT_EQ(PlatMutexWait(created, 0), PlatWaitResult::Obtained);
  EXPECT_EQ(WaitInThread(opened, 0, true), PlatWaitResult::Timeout);
  EXPECT_EQ(PlatMutexWait(opened, 0), PlatWaitResult::Obtained) << "the same mutex, held by this thread";
  EXPECT_TRUE(PlatMutexRelease(opened));
  EXPECT_TRUE(PlatMutexRelease(created));
  PlatMutexClose(opened);
  PlatMutexClose(created);
}

// Holds a mutex in another thread until told to let go.
class Holder {
 public:
  explicit Holder(PlatMutex* mutex)
      : thread_([this, mutex] {
          obtained_ = PlatMutexWait(mutex, 0) == PlatWaitResult::Obtained;
          ready_ = true;
          while (!letGo_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          if (obtained_) PlatMutexRelease(mutex);
        }) {
    while (!ready_) std::this_thread::yield();
  }
  ~Holder() {
    letGo_ = true;
    thread_.join();
  }
  bool obtained() const { return obtained_; }

 private:
  std::atomic<bool> ready_{false}, letGo_{false}, obtained_{false};
  std::thread thread_;
};

TEST(NamedMutex, TimeoutsFollowThePlatformClock) {
  PlatMutex* mutex = PlatMutexCreate("timed");
  ASSERT_NE(mutex, nullptr);
  using Clock = std::chrono::steady_clock;
  {
  Holder holder(mutex);
  ASSERT_TRUE(holder.obtained());

  // Virtual clock: a 25 s wait times out after 25 s of clock time and no real wait.
  PlatClockUseVirtual(5000000, 1);
  const uint64_t clockStart = PlatClockNow();
  auto realStart = Clock::now();
  EXPECT_EQ(PlatMutexWait(mutex, 25000), PlatWaitResult::Timeout);
  EXPECT_GE(PlatClockNow() - clockStart, 25000u);
  EXPECT_LT(Clock::now() - realStart, std::chrono::seconds(5));
  PlatClockUseReal(1.0);

  // Real clock: the wait lasts its time.
  realStart = Clock::now();
  EXPECT_EQ(PlatMutexWait(mutex, 40), PlatWaitResult::Timeout);
  EXPECT_GE(Clock::now() - realStart, std::chrono::milliseconds(35));

  // Scaled clock: 4000 ms at speed 100 is 40 ms real.
  PlatClockUseReal(100.0);
  realStart = Clock::now();
  EXPECT_EQ(PlatMutexWait(mutex, 4000), PlatWaitResult::Timeout);
  const auto elapsed = Clock::now() - realStart;
  EXPECT_GE(elapsed, std::chrono::milliseconds(35));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  PlatClockUseReal(1.0);
  }
  PlatMutexClose(mutex);
}

TEST(NamedMutex, AnOwnerThatEndsLeavesItAbandoned) {
  PlatMutex* mutex = PlatMutexCreate("thread-owner");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitInThread(mutex, 0, false), PlatWaitResult::Obtained);  // ends without releasing
  EXPECT_EQ(PlatMutexWait(mutex, 0), PlatWaitResult::Abandoned);
  EXPECT_TRUE(PlatMutexRelease(mutex));
  EXPECT_FALSE(PlatMutexRelease(mutex));
  EXPECT_EQ(PlatMutexWait(mutex, 0), PlatWaitResult::Obtained) << "consistent again after recovery";
  EXPECT_TRUE(PlatMutexRelease(mutex));
  PlatMutexClose(mutex);
}

TEST(NamedMutex, AKilledOwnerProcessLeavesItAbandoned) {
  PlatMutex* mutex = PlatMutexCreate("process-owner");
  ASSERT_NE(mutex, nullptr);
  plattest::Rendezvous holding("mutex-owner");
  const int child = plattest::StartChild([&holding] {
    PlatMutex* own = PlatMutexOpen("process-owner");
    if (own == nullptr || PlatMutexWait(own, kPlatWaitForever) != PlatWaitResult::Obtained) return 1;
    holding.Signal();
    WaitToBeKilled();
  });
  ASSERT_EQ(holding.Wait(), 1);
  EXPECT_EQ(PlatMutexWait(mutex, 0), PlatWaitResult::Timeout);
  plattest::KillChild(child);
  EXPECT_EQ(PlatMutexWait(mutex, 5000), PlatWaitResult::Abandoned);
  EXPECT_TRUE(PlatMutexRelease(mutex));
  EXPECT_EQ(WaitInThread(mutex, 0, true), PlatWaitResult::Obtained) << "nobody owns it after the release";
  PlatMutexClose(mutex);
}

struct Waiter {
  PlatMutex* mutex;
  std::atomic<bool> started{false};
  std::atomic<int> result{-1};
};

uint32_t WaitForever(void* argument) {
  auto* waiter = static_cast<Waiter*>(argument);
  waiter->started = true;
  waiter->result = static_cast<int>(PlatMutexWait(waiter->mutex, kPlatWaitForever));
  return 0;
}

TEST(NamedMutex, ATerminatedThreadStopsWaiting) {
  PlatMutex* mutex = PlatMutexCreate("terminate");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(PlatMutexWait(mutex, 0), PlatWaitResult::Obtained);
  Waiter waiter;
  waiter.mutex = mutex;
  PlatThread* thread = PlatThreadCreate(WaitForever, &waiter, nullptr);
  ASSERT_NE(thread, nullptr);
  while (!waiter.started) std::this_thread::yield();
  EXPECT_TRUE(PlatThreadTerminate(thread, 3));
  EXPECT_EQ(waiter.result, static_cast<int>(PlatWaitResult::Failed));
  PlatThreadClose(thread);
  EXPECT_TRUE(PlatMutexRelease(mutex));
  PlatMutexClose(mutex);
}

}  // namespace
