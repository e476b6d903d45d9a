// The clock: real, scaled or virtual milliseconds (see platform.h).
//
// Real and scaled mode: clock = anchorClock + (monotonic now - anchorReal) *
// speed. The clock starts at kClockOrigin rather than near 0, because callers
// give a tick of 0 the meaning "not yet" (for instance "no activity so far").
// A change of speed re-anchors, so the clock never jumps.
//
// Virtual mode: one atomic 64-bit counter. PlatTickCount returns it and
// advances it by stepPerRead; PlatSleep advances it by the requested time and
// only yields the processor.

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <type_traits>

#include "internal.h"
#include "platform.h"

namespace {

constexpr uint64_t kClockOrigin = 1000000;  // ms; far from 0, see above

uint64_t RealMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

struct Clock {
  std::mutex lock;  // guards the anchors and the speed
  double speed = 1.0;
  uint64_t anchorRealUs = 0;
  uint64_t anchorClockMs = kClockOrigin;
  std::atomic<bool> isVirtual{false};
  std::atomic<uint64_t> virtualNow{0};
  std::atomic<uint32_t> stepPerRead{1};

  // Caller holds `lock`.
  uint64_t RealModeNowLocked() const {
    const double elapsedUs = static_cast<double>(RealMicroseconds() - anchorRealUs) * speed;
    return anchorClockMs + static_cast<uint64_t>(elapsedUs / 1000.0);
  }
  uint64_t RealModeNow() {
    std::lock_guard<std::mutex> guard(lock);
    return RealModeNowLocked();
  }
  // Caller holds `lock`.
  void SetSpeedLocked(double newSpeed) {
    anchorClockMs = RealModeNowLocked();
    anchorRealUs = RealMicroseconds();
    speed = newSpeed;
  }
};

double ValidSpeed(double speed) { return (std::isfinite(speed) && speed > 0.0) ? speed : 1.0; }

// The clock, set up on first use: real mode at the speed that
// $TQ5_CLOCK_SPEED names (1 when unset or not a positive number).
Clock& TheClock() {
  // A static object, not a heap one: a library that holds this layer can be
  // unloaded without leaving the clock behind, and Clock has no destructor
  // that could run while the library's own exit code still reads the time.
  static Clock clock;
  static const bool initialized = [] {
    clock.anchorRealUs = RealMicroseconds();
    const char* text = std::getenv("TQ5_CLOCK_SPEED");
    if (text != nullptr && text[0] != '\0') clock.speed = ValidSpeed(std::strtod(text, nullptr));
    return true;
  }();
  (void)initialized;
  return clock;
}

static_assert(std::is_trivially_destructible_v<Clock>);

}  // namespace

uint32_t PlatTickCount() {
  Clock& clock = TheClock();
  if (clock.isVirtual.load()) return static_cast<uint32_t>(clock.virtualNow.fetch_add(clock.stepPerRead.load()));
  return static_cast<uint32_t>(clock.RealModeNow());
}

uint64_t PlatClockNow() {
  Clock& clock = TheClock();
  if (clock.isVirtual.load()) return clock.virtualNow.load();
  return clock.RealModeNow();
}

void PlatSleep(uint32_t ms) {
  Clock& clock = TheClock();
  if (plat::CurrentThreadTerminated()) return;
  if (clock.isVirtual.load()) {
    clock.virtualNow.fetch_add(ms);
    std::this_thread::yield();
    return;
  }
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  double speed;
  {
    std::lock_guard<std::mutex> guard(clock.lock);
    speed = clock.speed;
  }
  // Sleep in slices so that a terminated thread wakes up promptly.
  const uint64_t realUs = static_cast<uint64_t>(static_cast<double>(ms) * 1000.0 / speed);
  const uint64_t endUs = RealMicroseconds() + realUs;
  for (;;) {
    if (plat::CurrentThreadTerminated()) return;
    const uint64_t now = RealMicroseconds();
    if (now >= endUs) return;
    const uint64_t sliceUs = std::min<uint64_t>(endUs - now, plat::kWaitSliceMs * 1000u);
    std::this_thread::sleep_for(std::chrono::microseconds(sliceUs));
  }
}

void PlatClockUseReal(double speed) {
  Clock& clock = TheClock();
  std::lock_guard<std::mutex> guard(clock.lock);
  clock.SetSpeedLocked(ValidSpeed(speed));
  clock.isVirtual.store(false);
}

void PlatClockUseVirtual(uint64_t startMs, uint32_t stepPerRead) {
  Clock& clock = TheClock();
  clock.virtualNow.store(startMs);
  clock.stepPerRead.store(stepPerRead);
  clock.isVirtual.store(true);
}

void PlatClockAdvance(uint32_t ms) {
  Clock& clock = TheClock();
  if (clock.isVirtual.load()) {
    clock.virtualNow.fetch_add(ms);
    return;
  }
  std::lock_guard<std::mutex> guard(clock.lock);
  clock.anchorClockMs += ms;
}

bool PlatClockIsVirtual() { return TheClock().isVirtual.load(); }

double PlatClockSpeed() {
  Clock& clock = TheClock();
  std::lock_guard<std::mutex> guard(clock.lock);
  return clock.speed;
}
