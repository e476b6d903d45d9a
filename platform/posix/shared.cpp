// The shared state block and the named mutex, both files in the runtime
// directory mapped MAP_SHARED into every process that uses them.
//
// Shared block "<name>": data file "<name>.shm", gate file "<name>.gate".
// Every attached process holds a shared flock on the data file for as long
// as it is attached; the kernel drops it when the process ends, however it
// ends. Attach and detach run under an exclusive flock on the gate file, so
// that "am I alone?" is answered without a race: an attaching process that
// gets the exclusive lock on the data file (without waiting) knows that no
// live process is attached, and zeroes the block.
//
// Named mutex "<name>": file "<name>.mutex" holding a process-shared, robust,
// recursive pthread mutex. Robustness makes a mutex whose owner died come
// back to the next waiter as abandoned, as a Windows kernel mutex does. The
// file stays after the last handle closes (a Windows mutex would vanish);
// "open" therefore fails only for a mutex never created in this runtime
// directory.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include "internal.h"
#include "platform.h"

namespace {

// Opens (or creates) a file in the runtime directory; -1 on failure.
int OpenRuntimeFile(const std::string& leaf, bool create) {
  const std::string path = plat::RuntimePath(leaf);
  if (path.empty()) return -1;
  return open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
}

// flock that retries when a signal interrupts it.
bool Lock(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Exclusive lock on a gate file for the scope of one attach or detach.
class Gate {
 public:
  explicit Gate(const std::string& leaf) : fd_(OpenRuntimeFile(leaf, true)) {
    if (fd_ >= 0 && !Lock(fd_, LOCK_EX)) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Gate() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Shared block
// ---------------------------------------------------------------------------

struct PlatSharedBlock {
  int fd = -1;
  void* data = nullptr;
  size_t size = 0;
  std::string gateLeaf;
};

PlatSharedBlock* PlatSharedAttach(const char* name, size_t size, bool* first) {
  if (first != nullptr) *first = false;
  if (name == nullptr || size == 0) return nullptr;
  const std::string base = plat::FileNameFor(name);
  auto* block = new PlatSharedBlock;
  block->gateLeaf = base + ".gate";
  block->size = size;
  Gate gate(block->gateLeaf);
  if (!gate.held()) {
    delete block;
    return nullptr;
  }
  block->fd = OpenRuntimeFile(base + ".shm", true);
  bool alone = false;
  bool ready = block->fd >= 0;
  if (ready) {
    alone = Lock(block->fd, LOCK_EX | LOCK_NB);
    if (alone) {
      // No live process is attached: start from zeros.
      ready = ftruncate(block->fd, 0) == 0 && ftruncate(block->fd, static_cast<off_t>(size)) == 0;
    } else {
      struct stat info{};
      ready = fstat(block->fd, &info) == 0;
      if (ready && static_cast<size_t>(info.st_size) < size) {
        ready = ftruncate(block->fd, static_cast<off_t>(size)) == 0;  // grows with zeros
      }
    }
    // Converting our exclusive lock (or taking a shared one) cannot race with
    // another attach: the gate is ours.
    ready = ready && Lock(block->fd, LOCK_SH);
  }
  if (ready) {
    block->data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, block->fd, 0);
    ready = block->data != MAP_FAILED;
  }
  if (!ready) {
    if (block->fd >= 0) close(block->fd);
    delete block;
    return nullptr;
  }
  if (first != nullptr) *first = alone;
  return block;
}

void* PlatSharedData(PlatSharedBlock* block) { return block != nullptr ? block->data : nullptr; }

void PlatSharedDetach(PlatSharedBlock* block) {
  if (block == nullptr) return;
  Gate gate(block->gateLeaf);  // best effort: detach goes on without it
  munmap(block->data, block->size);
  close(block->fd);  // drops this process's membership
  delete block;
}

// ---------------------------------------------------------------------------
// Named mutex
// ---------------------------------------------------------------------------

namespace {

struct SharedMutexFile {
  std::atomic<uint32_t> ready;  // kMutexMagic once the mutex is initialised
  // The owning thread (system thread id, 0 = none) and its recursion depth,
  // written only by the owner. Release checks them, so that releasing a
  // mutex one does not own fails without touching the mutex.
  std::atomic<int32_t> owner;
  uint32_t depth;
  uint32_t reserved;
  pthread_mutex_t mutex;
};

// Marks an initialised mutex file of this layout.
constexpr uint32_t kMutexMagic = 0x54513500u ^ static_cast<uint32_t>(sizeof(SharedMutexFile));

int32_t CurrentThreadSystemId() {
  thread_local const auto id = static_cast<int32_t>(syscall(SYS_gettid));
  return id;
}

bool InitialiseMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  const bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                  pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return ok;
}

}  // namespace

struct PlatMutex {
  int fd = -1;
  SharedMutexFile* shared = nullptr;
};

namespace {

PlatMutex* MapMutex(const char* name, bool create) {
  if (name == nullptr) return nullptr;
  const int fd = OpenRuntimeFile(plat::FileNameFor(name) + ".mutex", create);
  if (fd < 0) return nullptr;
  // The file lock serialises creation; a mutex is initialised exactly once.
  bool ok = Lock(fd, LOCK_EX);
  struct stat info{};
  ok = ok && fstat(fd, &info) == 0;
  const bool fresh = ok && static_cast<size_t>(info.st_size) < sizeof(SharedMutexFile);
  if (fresh) ok = create && ftruncate(fd, sizeof(SharedMutexFile)) == 0;
  void* memory = MAP_FAILED;
  if (ok) memory = mmap(nullptr, sizeof(SharedMutexFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ok = memory != MAP_FAILED;
  auto* shared = static_cast<SharedMutexFile*>(memory);
  if (ok && shared->ready.load() != kMutexMagic) {
    ok = create && InitialiseMutex(&shared->mutex);
    if (ok) shared->ready.store(kMutexMagic);
  }
  Lock(fd, LOCK_UN);
  if (!ok) {
    if (memory != MAP_FAILED) munmap(memory, sizeof(SharedMutexFile));
    close(fd);
    return nullptr;
  }
  auto* mutex = new PlatMutex;
  mutex->fd = fd;
  mutex->shared = shared;
  return mutex;
}

// Turns a lock result into a wait result and records the ownership; a mutex
// whose owner died is made consistent again and is ours, once.
PlatWaitResult FromLockResult(SharedMutexFile* shared, int result) {
  const int32_t self = CurrentThreadSystemId();
  switch (result) {
    case 0:
      if (shared->owner.load(std::memory_order_relaxed) == self) {
        ++shared->depth;
      } else {
        shared->owner.store(self, std::memory_order_relaxed);
        shared->depth = 1;
      }
      return PlatWaitResult::Obtained;
    case EOWNERDEAD:
      pthread_mutex_consistent(&shared->mutex);
      shared->owner.store(self, std::memory_order_relaxed);
      shared->depth = 1;
      return PlatWaitResult::Abandoned;
    case EBUSY:
    case ETIMEDOUT: return PlatWaitResult::Timeout;
    default: return PlatWaitResult::Failed;
  }
}

}  // namespace

PlatMutex* PlatMutexCreate(const char* name) { return MapMutex(name, true); }

PlatMutex* PlatMutexOpen(const char* name) { return MapMutex(name, false); }

// Waits follow the platform clock. With the virtual clock the wait spins on
// trylock and PlatSleep(1), so a time-out costs no real time; otherwise it
// blocks on the monotonic clock for timeoutMs / speed, in slices so that a
// terminated thread gives up within one slice.
PlatWaitResult PlatMutexWait(PlatMutex* mutex, uint32_t timeoutMs) {
  if (mutex == nullptr) return PlatWaitResult::Failed;
  pthread_mutex_t* handle = &mutex->shared->mutex;
  if (plat::CurrentThreadTerminated()) return PlatWaitResult::Failed;
  PlatWaitResult result = FromLockResult(mutex->shared, pthread_mutex_trylock(handle));
  if (result != PlatWaitResult::Timeout || timeoutMs == 0) return result;

  if (PlatClockIsVirtual()) {
    const uint32_t start = PlatTickCount();
    for (;;) {
      if (plat::CurrentThreadTerminated()) return PlatWaitResult::Failed;
      result = FromLockResult(mutex->shared, pthread_mutex_trylock(handle));
      if (result != PlatWaitResult::Timeout) return result;
      if (timeoutMs != kPlatWaitForever && PlatTickCount() - start >= timeoutMs) return PlatWaitResult::Timeout;
      PlatSleep(1);
    }
  }

  const double speed = PlatClockSpeed();
  const uint64_t realTimeoutMs =
      timeoutMs == kPlatWaitForever ? UINT64_MAX : static_cast<uint64_t>(static_cast<double>(timeoutMs) / speed);
  const uint64_t startMs = plat::RealMilliseconds();
  for (;;) {
    if (plat::CurrentThreadTerminated()) return PlatWaitResult::Failed;
    const uint64_t elapsed = plat::RealMilliseconds() - startMs;
    if (elapsed >= realTimeoutMs) return PlatWaitResult::Timeout;
    const uint64_t sliceMs = std::min<uint64_t>(realTimeoutMs - elapsed, plat::kWaitSliceMs);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(sliceMs * 1000000u);
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    result = FromLockResult(mutex->shared, pthread_mutex_clocklock(handle, CLOCK_MONOTONIC, &deadline));
    if (result != PlatWaitResult::Timeout) return result;
  }
}

bool PlatMutexRelease(PlatMutex* mutex) {
  if (mutex == nullptr) return false;
  SharedMutexFile* shared = mutex->shared;
  if (shared->owner.load(std::memory_order_relaxed) != CurrentThreadSystemId() || shared->depth == 0) return false;
  if (--shared->depth == 0) shared->owner.store(0, std::memory_order_relaxed);
  return pthread_mutex_unlock(&shared->mutex) == 0;
}

void PlatMutexClose(PlatMutex* mutex) {
  if (mutex == nullptr) return;
  munmap(mutex->shared, sizeof(SharedMutexFile));
  close(mutex->fd);
  delete mutex;
}
