// Process attach and detach, the shared state block, the device lock and the
// activity broadcast.
#include <cstring>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "tone/tone_tables.h"

SharedState* sharedState = nullptr;
PlatDeviceHandle deviceHandle = kPlatInvalidDevice;
int32_t lastError = 0;
PlatLibrary* toneFxModule = nullptr;
DoToneFxEntry toneFxEntry = nullptr;
PlatMutex* deviceMutex = nullptr;
PlatWindowId activityWindow = 0;

namespace {

PlatSharedBlock* sharedBlock = nullptr;
constexpr const char kSharedBlockName[] = "TQ5DRV.shared";

void CloseDeviceAndToneFx() {
  if (deviceHandle != kPlatInvalidDevice) {
    PlatDeviceClose(deviceHandle);
    deviceHandle = kPlatInvalidDevice;
  }
  if (toneFxModule != nullptr) {
    PlatLibraryFree(toneFxModule);
    toneFxModule = nullptr;
    toneFxEntry = nullptr;
  }
}

}  // namespace

bool DriverProcessAttach() {
  if (sharedState != nullptr) return true;
  bool first = false;
  sharedBlock = PlatSharedAttach(kSharedBlockName, sizeof(SharedState), &first);
  if (sharedBlock == nullptr) return false;
  sharedState = static_cast<SharedState*>(PlatSharedData(sharedBlock));

  // The block of a first process is zeroed by the platform layer; the
  // interlocked count then says who is first among processes attaching now.
  const int32_t count = PlatInterlockedAdd(&sharedState->processCount, 1);
  const bool firstProcess = first || count == 1;
  if (firstProcess) {
    sharedState->initState = 0;
    std::memcpy(sharedState->mutexName, kDeviceMutexName, sizeof kDeviceMutexName);
    deviceMutex = PlatMutexCreate(kDeviceMutexName);
  } else {
    deviceMutex = PlatMutexOpen(kDeviceMutexName);
  }
  sharedState->activityMessage = PlatRegisterWindowMessage(kActivityWindowName);
  if (deviceMutex == nullptr) {
    PlatInterlockedAdd(&sharedState->processCount, -1);
    PlatSharedDetach(sharedBlock);
    sharedBlock = nullptr;
    sharedState = nullptr;
    return false;
  }
  // Until the host loads tables of its own, every process scans through the
  // identity: a process that finds the scanner already initialized by
  // another one must not compose its curves onto all-zero tables.
  SetIdentityGammaTables();
  return true;
}

void DriverProcessDetach() {
  if (sharedState == nullptr) return;
  PlatInterlockedAdd(&sharedState->processCount, -1);
  CloseDeviceAndToneFx();
  if (deviceMutex != nullptr) {
    PlatMutexClose(deviceMutex);
    deviceMutex = nullptr;
  }
  PlatSharedDetach(sharedBlock);
  sharedBlock = nullptr;
  sharedState = nullptr;
}

// A wait that finds the mutex abandoned (its owner died holding it) leaves us
// owning it. We proceed as obtained: the dead owner's half-finished sequence
// is repaired by the sequences themselves (InitializeScanner checks the
// controller, scan start re-uploads everything it uses), and refusing would
// only turn one crash into a spurious lock time-out for a healthy process.
bool LockDevice(uint32_t timeoutMs) {
  if (deviceMutex == nullptr) return false;
  const PlatWaitResult result = PlatMutexWait(deviceMutex, timeoutMs);
  return result == PlatWaitResult::Obtained || result == PlatWaitResult::Abandoned;
}

bool LockForExport(uint32_t timeoutMs) {
  if (LockDevice(timeoutMs)) return true;
  lastError = kErrLockTimeout;
  return false;
}

bool RecordGiven(const void* record) {
  if (record != nullptr) return true;
  lastError = kErrBadParameter;
  return false;
}

void UnlockDevice() {
  if (deviceMutex != nullptr) PlatMutexRelease(deviceMutex);
}

void ActivityBroadcast() {
  activityWindow = PlatFindWindow(kActivityWindowName, kActivityWindowName);
  if (activityWindow != 0) PlatBroadcastMessage(sharedState->activityMessage, 0, 0);
}

void ActivityBroadcastThrottled() {
  const uint32_t now = PlatTickCount();
  if (now - sharedState->lastActivityTime > kActivityThrottleMs) {
    if (activityWindow != 0) PlatBroadcastMessage(sharedState->activityMessage, 0, 0);
    sharedState->lastActivityTime = now;
  }
}

bool ScanInProgress() { return sharedState->readerThread != 0; }

void CloseDeviceForProcess() { CloseDeviceAndToneFx(); }
