// Threads with Windows-like exit codes and a cooperative Terminate.
//
// A thread cannot be killed safely on POSIX. PlatThreadTerminate instead
// raises the thread's termination flag; every wait of this backend (device
// calls, stream and accept waits, PlatSleep, mutex waits) looks at the flag at
// least every kWaitSliceMs and fails or returns at once, so a thread stuck on
// the device runs to its end promptly. Terminate then waits for it (at most
// kTerminateWaitMs real time) and records the exit code it was given.

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "internal.h"
#include "platform.h"

namespace {

// How long Terminate waits for the thread to notice its flag and end. Threads
// notice within one wait slice; the bound is only a guard against a thread
// that computes without ever waiting.
constexpr auto kTerminateWait = std::chrono::seconds(30);
// PlatThreadSetHighestPriority: nice steps above the process's own level
// (THREAD_PRIORITY_HIGHEST is two steps above normal).
constexpr int kHighestPriorityBoost = 2;

struct ThreadState {
  std::mutex lock;
  std::condition_variable endedSignal;
  bool finished = false;
  bool exitCodeForced = false;
  uint32_t exitCode = kPlatThreadStillActive;
  std::atomic<bool> terminated{false};
  std::atomic<pid_t> systemId{0};
  std::atomic<bool> wantHighPriority{false};
  std::atomic<bool> priorityApplied{false};
};

thread_local ThreadState* tlsCurrentThread = nullptr;
std::atomic<bool> failThreadCreation{false};
std::atomic<uint32_t> nextThreadId{1};

void ApplyHighPriority(ThreadState& state) {
  const pid_t id = state.systemId.load();
  if (id == 0 || !state.wantHighPriority.load()) return;
  if (state.priorityApplied.exchange(true)) return;
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
  if (errno != 0) return;
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(id), current - kHighestPriorityBoost);  // best effort
}

}  // namespace

struct PlatThread {
  std::thread thread;
  std::shared_ptr<ThreadState> state;
};

bool plat::CurrentThreadTerminated() {
  return tlsCurrentThread != nullptr && tlsCurrentThread->terminated.load(std::memory_order_relaxed);
}

bool PlatThreadTerminated() { return plat::CurrentThreadTerminated(); }

PlatThread* PlatThreadCreate(PlatThreadMain main, void* argument, uint32_t* threadId) {
  if (main == nullptr || failThreadCreation.load()) return nullptr;
  auto handle = std::make_unique<PlatThread>();
  handle->state = std::make_shared<ThreadState>();
  std::shared_ptr<ThreadState> state = handle->state;
  try {
    handle->thread = std::thread([state, main, argument] {
      tlsCurrentThread = state.get();
      state->systemId.store(static_cast<pid_t>(syscall(SYS_gettid)));
      ApplyHighPriority(*state);
      const uint32_t result = main(argument);
      std::lock_guard<std::mutex> guard(state->lock);
      if (!state->exitCodeForced) state->exitCode = result;
      state->finished = true;
      state->endedSignal.notify_all();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  if (threadId != nullptr) *threadId = nextThreadId.fetch_add(1);
  return handle.release();
}

void PlatThreadSetHighestPriority(PlatThread* thread) {
  if (thread == nullptr) return;
  thread->state->wantHighPriority.store(true);
  ApplyHighPriority(*thread->state);
}

bool PlatThreadExitCode(PlatThread* thread, uint32_t* exitCode) {
  if (thread == nullptr || exitCode == nullptr) return false;
  std::lock_guard<std::mutex> guard(thread->state->lock);
  *exitCode = thread->state->finished ? thread->state->exitCode : kPlatThreadStillActive;
  return true;
}

// Returns false when the thread did not end within kTerminateWait; its exit
// code is still the one given here once it does end.
bool PlatThreadTerminate(PlatThread* thread, uint32_t exitCode) {
  if (thread == nullptr) return false;
  ThreadState& state = *thread->state;
  std::unique_lock<std::mutex> guard(state.lock);
  if (state.finished) return true;  // already ended: its own exit code stands
  state.exitCodeForced = true;
  state.exitCode = exitCode;
  state.terminated.store(true);
  if (&state == tlsCurrentThread) return true;  // a thread ending itself goes on to its end
  return state.endedSignal.wait_for(guard, kTerminateWait, [&state] { return state.finished; });
}

void PlatThreadClose(PlatThread* thread) {
  if (thread == nullptr) return;
  bool finished;
  {
    std::lock_guard<std::mutex> guard(thread->state->lock);
    finished = thread->state->finished;
  }
  if (thread->thread.joinable()) {
    if (finished && thread->thread.get_id() != std::this_thread::get_id()) thread->thread.join();
    else thread->thread.detach();  // the thread keeps its state alive until it ends
  }
  delete thread;
}

void PlatTestFailThreadCreation(bool fail) { failThreadCreation.store(fail); }
