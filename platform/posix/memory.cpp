// Movable memory blocks: plain heap blocks, with a failure hook and a count of
// live blocks for the tests.

#include <atomic>
#include <cstdlib>

#include "platform.h"

namespace {
std::atomic<uint32_t> allocationsUntilFailure{0};  // 0 = the hook is off
std::atomic<int64_t> blocksInUse{0};

// True when this allocation is the one the hook was set to fail.
bool HookFailsThisAllocation() {
  uint32_t remaining = allocationsUntilFailure.load();
  while (remaining != 0) {
    if (allocationsUntilFailure.compare_exchange_weak(remaining, remaining - 1)) return remaining == 1;
  }
  return false;
}
}  // namespace

void* PlatBlockAlloc(uint32_t bytes) {
  if (HookFailsThisAllocation()) return nullptr;
  void* block = std::malloc(bytes != 0 ? bytes : 1);
  if (block != nullptr) blocksInUse.fetch_add(1);
  return block;
}

void PlatBlockFree(void* block) {
  if (block == nullptr) return;
  blocksInUse.fetch_sub(1);
  std::free(block);
}

void PlatTestFailAllocation(uint32_t nth) { allocationsUntilFailure.store(nth); }

int64_t PlatTestBlocksInUse() { return blocksInUse.load(); }
