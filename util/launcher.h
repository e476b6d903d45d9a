// The utility launcher's working parts, open to the tests: the command it
// builds and the start with its one retry, over a replaceable process
// starter.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest command the launcher starts, in characters without the
// terminator: the Windows directory, "\TWAIN_32\" and the caller's command
// line together must fit the launcher's MAX_PATH-sized (261-byte) buffer.
constexpr size_t kLauncherCommandLimit = 260;

// Builds "<Windows directory>\TWAIN_32\<commandLine>" into `buffer` (at
// least kLauncherCommandLimit + 1 bytes). False, with nothing to start, when
// the directory is unknown or the command would exceed the limit.
bool BuildUtilityCommand(const char* commandLine, char* buffer);

// Starts a command line; false with *errorCode set on failure (the platform's
// PlatCreateProcess has this shape).
using ProcessStarter = bool (*)(const char* commandLine, uint32_t* errorCode);

// ScannerUtilityStart's work with the process starter given: 0 without a
// shell taskbar or with a command that cannot be built; 1 when the utility
// started at the first or second attempt; otherwise, after a 1000 ms pause,
// the system error code of the second attempt.
int32_t LaunchUtility(const char* commandLine, ProcessStarter start);
