// A second process for the multi-process tests. Commands (argv[1]):
//   attach            attach, print "count <processCount> message <activityMessage>
//                     init <initState>", then wait for a line on stdin... (no stdin:
//                     waits until its standard input closes) and detach.
//   hold-lock         attach, take the device lock, print "locked", sleep until killed.
//   try-lock <ms>     attach, print "obtained" or "timeout" for LockDevice(ms), detach.
//   dlopen <lib>      load the real libTQ5DRV.so, print "loaded <GetScannerStatus ok>",
//                     wait for stdin to close, unload.
//   set-init <n>      attach, set initState to n, print "done", exit without detaching.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interface/device_lock.h"
#include "interface/shared_state.h"

namespace {

void WaitForStdinClose() {
  char c;
  while (read(0, &c, 1) == 1) {
  }
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "dlopen" && argc >= 3) {
    void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      Say(std::string("dlopen failed ") + dlerror());
      return 1;
    }
    using StatusFn = int32_t (*)(uint8_t*);
    auto status = reinterpret_cast<StatusFn>(dlsym(library, "GetScannerStatus"));
    uint8_t code = 0xFF;
    const int32_t result = status != nullptr ? status(&code) : -1;
    Say("loaded " + std::to_string(result) + " " + std::to_string(code));
    WaitForStdinClose();
    dlclose(library);
    Say("unloaded");
    return 0;
  }
  if (!DriverProcessAttach()) {
    Say("attach failed");
    return 1;
  }
  if (command == "attach") {
    Say("count " + std::to_string(sharedState->processCount) + " message " +
        std::to_string(sharedState->activityMessage) + " init " + std::to_string(sharedState->initState));
    WaitForStdinClose();
    DriverProcessDetach();
    return 0;
  }
  if (command == "hold-lock") {
    if (!LockDevice(1000)) {
      Say("not obtained");
      return 1;
    }
    Say("locked");
    for (;;) pause();
  }
  if (command == "try-lock" && argc >= 3) {
    const bool obtained = LockDevice(static_cast<uint32_t>(std::atoi(argv[2])));
    Say(obtained ? "obtained" : "timeout");
    if (obtained) UnlockDevice();
    DriverProcessDetach();
    return 0;
  }
  if (command == "set-init" && argc >= 3) {
    sharedState->initState = std::atoi(argv[2]);
    Say("done");
    _exit(0);  // no detach: as if the process had been killed
  }
  return 2;
}
