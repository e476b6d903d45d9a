// TQ5UTIL: starts a utility program from the TWAIN folder of the Windows
// directory when a user's shell is running.
//
// The Windows build of this library also exports its entry routine under
// the decorated names DllEntryPoint and DllMain (it returns TRUE for every
// reason and does nothing else). Those names exist only for the Windows
// loader; on Linux a library needs no entry routine and exports nothing
// besides ScannerUtilityStart.
#include "launcher.h"

#include <cstring>

#include "platform.h"
#include "tq5/tq5util.h"

namespace {

constexpr const char kTaskbarClass[] = "Shell_TrayWnd";
constexpr const char kTwainFolder[] = "\\TWAIN_32\\";
constexpr uint32_t kRetryPauseMs = 1000;

}  // namespace

// A command longer than the buffer is refused rather than cut: a cut
// command would start the wrong program or drop arguments.
bool BuildUtilityCommand(const char* commandLine, char* buffer) {
  if (commandLine == nullptr) return false;
  const uint32_t size = static_cast<uint32_t>(kLauncherCommandLimit + 1);
  const uint32_t directoryLength = PlatWindowsDirectory(buffer, size);
  if (directoryLength == 0 || directoryLength >= size) return false;
  const size_t folderLength = sizeof kTwainFolder - 1;
  const size_t commandLength = std::strlen(commandLine);
  if (directoryLength + folderLength + commandLength > kLauncherCommandLimit) return false;
  std::memcpy(buffer + directoryLength, kTwainFolder, folderLength);
  std::memcpy(buffer + directoryLength + folderLength, commandLine, commandLength + 1);
  return true;
}

// The platform's process start hands out no process or thread handles, so
// there is nothing to close afterwards.
int32_t LaunchUtility(const char* commandLine, ProcessStarter start) {
  if (PlatFindWindow(kTaskbarClass, nullptr) == 0) return 0;
  char command[kLauncherCommandLimit + 1];
  if (!BuildUtilityCommand(commandLine, command)) return 0;
  uint32_t errorCode = 0;
  if (start(command, &errorCode)) return 1;
  // One more attempt at once; after a second failure, a pause and the
  // second attempt's system error code (what PlatLastError reports for it).
  if (start(command, &errorCode)) return 1;
  PlatSleep(kRetryPauseMs);
  return static_cast<int32_t>(errorCode);
}

extern "C" int32_t TQ5_STDCALL ScannerUtilityStart(void* /*window*/, void* /*instance*/, const char* commandLine,
                                                   int32_t /*show*/) {
  return LaunchUtility(commandLine, PlatCreateProcess);
}
