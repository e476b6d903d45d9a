// The platform layer: the operating-system services the three libraries use,
// behind a narrow interface named for what they need. Only platform/ includes
// operating-system headers. One backend per operating system implements this
// header (platform/posix/ today); see docs/platform.md for every stand-in and
// its Windows counterpart.
//
// Nothing here uses operating-system types: handles are opaque pointers or
// integers, times are milliseconds, text is char.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Clock. The driver's tick counter (32-bit milliseconds, wrapping) and its
// sleeps come from here, so that tests and demos can replace real time.
//
// Modes:
//  - real: ticks follow the monotonic clock; sleeps sleep.
//  - scaled: like real, but time runs `speed` times faster (the virtual
//    scanner's demo mode; driver and device must use the same speed).
//    Selected at start-up by the environment variable TQ5_CLOCK_SPEED.
//  - virtual: time stands still except when advanced: every PlatTickCount()
//    advances it by `stepPerRead` ms (so busy-wait loops end), every
//    PlatSleep(ms) advances it by ms and returns at once. No test waits.
// ---------------------------------------------------------------------------
uint32_t PlatTickCount();
void PlatSleep(uint32_t ms);
// Current time in ms without advancing a virtual clock (for device models).
uint64_t PlatClockNow();
void PlatClockUseReal(double speed = 1.0);
void PlatClockUseVirtual(uint64_t startMs, uint32_t stepPerRead = 1);
void PlatClockAdvance(uint32_t ms);
bool PlatClockIsVirtual();
double PlatClockSpeed();

// ---------------------------------------------------------------------------
// Device file (stand-in for CreateFileA / WriteFile / ReadFile /
// DeviceIoControl / CloseHandle on a USB still-image device). Speaks the wire
// format of the device node. Every call is synchronous; a malformed,
// oversized or cut-off reply is a failed call.
// ---------------------------------------------------------------------------
using PlatDeviceHandle = intptr_t;
constexpr PlatDeviceHandle kPlatInvalidDevice = -1;

PlatDeviceHandle PlatDeviceOpen(const char* path);
bool PlatDeviceWrite(PlatDeviceHandle device, const void* data, uint32_t length);
// Reads up to `length` bytes; *received gets the count the device returned.
bool PlatDeviceRead(PlatDeviceHandle device, void* buffer, uint32_t length, uint32_t* received);
// IOCTL_RESET_PIPE on all pipes.
bool PlatDeviceResetPipes(PlatDeviceHandle device);
// IOCTL_WRITE_REGISTERS: a vendor control write of `length` bytes.
bool PlatDeviceControlWrite(PlatDeviceHandle device, uint32_t offset, uint32_t index, const void* data,
                            uint32_t length);
void PlatDeviceClose(PlatDeviceHandle device);

// ---------------------------------------------------------------------------
// Shared state block: one zeroed block per machine (per runtime directory,
// see below) seen by every process that attaches. `*first` is true for the
// process that finds no other live process attached; the block is zeroed for
// it. A process that died without detaching does not count as attached.
// ---------------------------------------------------------------------------
struct PlatSharedBlock;
PlatSharedBlock* PlatSharedAttach(const char* name, size_t size, bool* first);
void* PlatSharedData(PlatSharedBlock* block);
void PlatSharedDetach(PlatSharedBlock* block);

// ---------------------------------------------------------------------------
// Named mutex shared by all processes: recursive like a kernel mutex, with
// timed waits, recovering when its owner dies while holding it.
// ---------------------------------------------------------------------------
struct PlatMutex;
enum class PlatWaitResult { Obtained, Abandoned, Timeout, Failed };
PlatMutex* PlatMutexCreate(const char* name);  // create or open
PlatMutex* PlatMutexOpen(const char* name);    // open an existing one
PlatWaitResult PlatMutexWait(PlatMutex* mutex, uint32_t timeoutMs);
bool PlatMutexRelease(PlatMutex* mutex);
void PlatMutexClose(PlatMutex* mutex);

// Interlocked add on a 32-bit value (also across processes in shared memory);
// returns the new value.
int32_t PlatInterlockedAdd(volatile int32_t* target, int32_t delta);

// ---------------------------------------------------------------------------
// Threads. A thread that will not stop can be ended with PlatThreadTerminate:
// from then on every device call, sleep and wait of that thread fails or
// returns at once, so it runs to its end promptly, and Terminate waits for it.
// ---------------------------------------------------------------------------
struct PlatThread;
using PlatThreadMain = uint32_t (*)(void* argument);
constexpr uint32_t kPlatThreadStillActive = 259;
PlatThread* PlatThreadCreate(PlatThreadMain main, void* argument, uint32_t* threadId);
void PlatThreadSetHighestPriority(PlatThread* thread);  // best effort
// Exit code of a finished thread, kPlatThreadStillActive while it runs.
bool PlatThreadExitCode(PlatThread* thread, uint32_t* exitCode);
bool PlatThreadTerminate(PlatThread* thread, uint32_t exitCode);
void PlatThreadClose(PlatThread* thread);  // releases the handle (joins a finished thread)
// True when the calling thread has been terminated.
bool PlatThreadTerminated();

// ---------------------------------------------------------------------------
// Movable memory blocks (GlobalAlloc/GlobalLock stand-in). Not zeroed.
// ---------------------------------------------------------------------------
void* PlatBlockAlloc(uint32_t bytes);
void PlatBlockFree(void* block);

// ---------------------------------------------------------------------------
// Private-profile integer read with GetPrivateProfileIntA's semantics. The
// path is a Windows path ("C:\TQ5DRV.INI"); see PlatMapWindowsPath.
// ---------------------------------------------------------------------------
uint32_t PlatProfileInt(const char* section, const char* key, int32_t defaultValue, const char* windowsPath);

// ---------------------------------------------------------------------------
// Dynamic libraries: "TONEFX.dll" is found as libTONEFX.so in the directory
// of the library (or program) that contains the platform layer.
// ---------------------------------------------------------------------------
struct PlatLibrary;
PlatLibrary* PlatLibraryLoad(const char* windowsName);
void* PlatLibrarySymbol(PlatLibrary* library, const char* name);
void PlatLibraryFree(PlatLibrary* library);

// Major version of the operating system as GetVersionExA reports it.
uint32_t PlatOsMajorVersion();

// ---------------------------------------------------------------------------
// Window messages (FindWindowA / RegisterWindowMessageA / PostMessageA to all
// top-level windows). A "window" is a message endpoint registered under a
// class and title in the runtime directory; other processes find it and post
// to it. Message numbers are the same in every process for the same name.
// ---------------------------------------------------------------------------
using PlatWindowId = uintptr_t;  // 0 = none
PlatWindowId PlatFindWindow(const char* className, const char* title);  // title may be null
uint32_t PlatRegisterWindowMessage(const char* name);
bool PlatBroadcastMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam);

// For programs that play a window (the power-management utility, a shell
// taskbar) and for tests.
struct PlatWindow;
PlatWindow* PlatWindowCreate(const char* className, const char* title);
// Waits up to timeoutMs (real time) for a posted message.
bool PlatWindowReceive(PlatWindow* window, uint32_t* message, uintptr_t* wParam, uintptr_t* lParam,
                       uint32_t timeoutMs);
void PlatWindowDestroy(PlatWindow* window);

// ---------------------------------------------------------------------------
// Windows directory and processes.
// ---------------------------------------------------------------------------
// GetWindowsDirectoryA: writes the directory in Windows form (e.g. "C:\WINDOWS")
// and returns its length, or the size needed when it does not fit.
uint32_t PlatWindowsDirectory(char* buffer, uint32_t size);
// Maps a Windows path ("C:\WINDOWS\TWAIN_32\tool.exe") to a local path.
bool PlatMapWindowsPath(const char* windowsPath, char* buffer, size_t size);
// CreateProcessA with no application name: starts the command line. Returns
// true on success; *errorCode gets the system error otherwise.
bool PlatCreateProcess(const char* commandLine, uint32_t* errorCode);
uint32_t PlatLastError();

// ---------------------------------------------------------------------------
// Local stream endpoints (Unix-domain stream sockets on POSIX). The device
// node is one; programs that serve a device node (the virtual scanner) and
// their control channels use these. Timeouts are real milliseconds;
// kPlatWaitForever waits without limit.
// ---------------------------------------------------------------------------
struct PlatListener;
struct PlatStream;
constexpr uint32_t kPlatWaitForever = 0xFFFFFFFFu;
PlatListener* PlatListen(const char* path);  // replaces a stale endpoint at path
PlatStream* PlatAccept(PlatListener* listener, uint32_t timeoutMs);  // null on time-out or failure
void PlatListenerClose(PlatListener* listener);  // also removes the path
PlatStream* PlatConnect(const char* path);
// Reads exactly `length` bytes; false on end of stream, failure or time-out.
bool PlatStreamReadAll(PlatStream* stream, void* buffer, size_t length, uint32_t timeoutMs);
// Reads what is available (at least one byte, at most `length`); 0 on end,
// failure or time-out.
size_t PlatStreamReadSome(PlatStream* stream, void* buffer, size_t length, uint32_t timeoutMs);
bool PlatStreamWriteAll(PlatStream* stream, const void* data, size_t length);
void PlatStreamShutdown(PlatStream* stream);  // wakes a blocked reader; further I/O fails
void PlatStreamClose(PlatStream* stream);

// ---------------------------------------------------------------------------
// Runtime directory: where the shared block, the mutex, the windows and the
// mapped Windows drive live. Default $TQ5_RUNTIME_DIR, else
// /tmp/tq5-<user id>. Tests give each run its own directory.
// ---------------------------------------------------------------------------
const char* PlatRuntimeDirectory();

// SetEnvironmentVariableA: sets a variable of this process's environment.
// Hosts use it to hand settings (TQ5_RUNTIME_DIR, TQ5_CLOCK_SPEED,
// TQ5_LIBRARY_PATH) to the platform layer inside a library they load.
bool PlatSetEnvironment(const char* name, const char* value);
// GetModuleFileNameA of the program: the directory of the running program.
// Returns the length written, 0 when unknown or when it does not fit.
size_t PlatProgramDirectory(char* buffer, size_t size);

// ---------------------------------------------------------------------------
// Test hooks. They exist in every build and do nothing until used.
// ---------------------------------------------------------------------------
// The Nth allocation from now (1 = the next) fails; 0 disables.
void PlatTestFailAllocation(uint32_t nth);
// Counts of blocks currently allocated (to find leaks).
int64_t PlatTestBlocksInUse();
// Thread creation fails while set.
void PlatTestFailThreadCreation(bool fail);
// Overrides the OS major version reported (0 restores).
void PlatTestSetOsMajorVersion(uint32_t major);
