// tq5sim: serves the virtual scanner on a device node until told to quit
// (the control command "quit") or killed.
//
//   tq5sim --device PATH [--control PATH] [--speed N] [--document FILE.pnm]
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform.h"
#include "virtual_scanner.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: tq5sim --device PATH [--control PATH] [--speed N] [--document FILE.pnm]\n"
               "  --device PATH    the device node to serve (the driver's device name)\n"
               "  --control PATH   a control channel for tq5simctl\n"
               "  --speed N        run the scanner's time N times faster (also TQ5_CLOCK_SPEED)\n"
               "  --document FILE  a P5/P6 image at 600 dpi on the glass instead of the test chart\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, control, document;
  double speed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--device" && hasValue) device = argv[++i];
    else if (arg == "--control" && hasValue) control = argv[++i];
    else if (arg == "--document" && hasValue) document = argv[++i];
    else if (arg == "--speed" && hasValue) {
      char* end = nullptr;
      speed = std::strtod(argv[++i], &end);
      if (end == nullptr || *end != '\0' || !(speed > 0)) return Usage();
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      return Usage();
    }
  }
  if (device.empty()) return Usage();
  if (speed > 0) PlatClockUseReal(speed);

  tq5sim::VirtualScanner scanner;
  if (!document.empty()) {
    std::string error;
    if (!scanner.LoadDocumentFile(document, &error)) {
      std::fprintf(stderr, "tq5sim: %s\n", error.c_str());
      return 1;
    }
  }
  std::mutex mutex;
  std::condition_variable quit;
  bool quitting = false;
  scanner.OnQuit([&] {
    std::lock_guard<std::mutex> guard(mutex);
    quitting = true;
    quit.notify_all();
  });
  if (!scanner.Start(device)) {
    std::fprintf(stderr, "tq5sim: cannot serve %s (in use or not a place for a socket)\n", device.c_str());
    return 1;
  }
  if (!control.empty() && !scanner.StartControl(control)) {
    std::fprintf(stderr, "tq5sim: cannot serve the control channel %s\n", control.c_str());
    return 1;
  }
  std::printf("tq5sim: serving %s%s%s\n", device.c_str(), control.empty() ? "" : ", control ", control.c_str());
  std::fflush(stdout);
  std::unique_lock<std::mutex> lock(mutex);
  quit.wait(lock, [&] { return quitting; });
  lock.unlock();
  scanner.Stop();
  return 0;
}
