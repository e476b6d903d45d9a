// tq5scan: scans from a TQ5 scanner, or from the built-in virtual scanner, to
// a PNM, PNG or TIFF image, as an image-acquisition host of the driver.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver_api.h"
#include "embedded_scanner.h"
#include "exit_status.h"
#include "host_environment.h"
#include "image_output.h"
#include "options.h"
#include "platform.h"
#include "scanner_session.h"

#ifndef TQ5SCAN_VERSION
#define TQ5SCAN_VERSION "unknown"
#endif

namespace {

using namespace tq5scan;

// The built-in virtual scanner runs, together with the driver in this
// process, on a clock this many times faster than real time: a whole-bed
// 150-dpi colour scan, lamp warm-up and calibration included, then takes one
// to three seconds here instead of about a minute. The driver's time limits
// shrink by the same factor (its 25 s data limit becomes half a second of
// real time); the virtual scanner makes its data as its clock runs, so only
// a thread kept off the processor that long could hit one, and 50 keeps that
// margin on a loaded two-core machine (100 and more gain little: the scan
// is then bound by processing, not by the scanner's time). TQ5_CLOCK_SPEED
// overrides it; a real device (-d) runs on whatever TQ5_CLOCK_SPEED says,
// real time by default.
constexpr double kEmbeddedClockSpeed = 50.0;

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int signal) {
  interrupted.store(true);
  std::signal(signal, SIG_DFL);  // a second Ctrl-C ends the program at once
}

int Report(int status, const std::string& message) {
  std::fprintf(stderr, "tq5scan: %s\n", message.c_str());
  return status;
}

int PrintVersion() {
  std::printf("tq5scan %s\n", TQ5SCAN_VERSION);
  LoadedDriver driver;
  std::string error;
  if (!driver.Load(error)) {
    std::printf("driver: not found (%s)\n", error.c_str());
    return kExitOk;
  }
  ScannerAbility ability{};
  driver.api().GetScannerAbility(&ability);
  std::printf("driver: libTQ5DRV.so for the %.8s, version digits %.4s\n", ability.productCode,
              ability.versionDigits);
  std::printf("virtual scanner: %s\n", EmbeddedScanner::Available() ? "built in" : "not built in");
  return kExitOk;
}

int Run(const std::vector<std::string>& arguments, const char* argv0) {
  const ParseResult parsed = ParseOptions(arguments);
  if (!parsed.options) return Report(kExitUsage, parsed.error);
  const Options& options = *parsed.options;
  if (options.action == Action::Help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  AddDriverDirectory(ProgramDirectory(argv0));
  if (options.action == Action::Version) return PrintVersion();

  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  std::string error;

  // The output comes first: a file that cannot be written is refused before
  // the scanner is touched.
  std::unique_ptr<OutputTarget> target;
  std::unique_ptr<ImageWriter> writer;
  if (options.action == Action::Scan) {
    target = options.outputPath.empty() ? OutputTarget::OpenStandardOutput()
                                        : OutputTarget::OpenFile(options.outputPath, error);
    if (target == nullptr) return Report(kExitOutput, error);
    writer = MakeImageWriter(options.format, *target);
  }

  // Without -d: the built-in virtual scanner in a private directory, with a
  // runtime directory of its own so that the driver shares no state or lock
  // with other programs, and the fast clock.
  PrivateDirectory privateDirectory;
  EmbeddedScanner embedded;
  std::string device = options.device;
  const bool useEmbedded = device.empty() && options.action != Action::ListDevices;
  if (useEmbedded) {
    if (!EmbeddedScanner::Available())
      return Report(kExitVirtualScanner, "this tq5scan was built without the virtual scanner; give -d PATH");
    if (!privateDirectory.Create(error)) return Report(kExitVirtualScanner, error);
    const double speed = RequestedClockSpeed().value_or(kEmbeddedClockSpeed);
    char speedText[32];
    std::snprintf(speedText, sizeof speedText, "%g", speed);
    SetEnvironmentValue("TQ5_RUNTIME_DIR", (privateDirectory.path() / "runtime").string());
    SetEnvironmentValue("TQ5_CLOCK_SPEED", speedText);
    PlatClockUseReal(speed);
    EmbeddedScanner::Setup setup;
    setup.document = options.document;
    setup.film = options.Film();
    setup.negative = options.negative;
    if (!embedded.Start(privateDirectory.path(), std::string(), setup, error))
      return Report(kExitVirtualScanner, "virtual scanner: " + error);
    device = embedded.devicePath();
  }

  // Listing probes every socket in the runtime directory: one that is not a
  // device node must not hold it up for the driver's full minute (a device answers in
  // milliseconds).
  if (options.action == Action::ListDevices && std::getenv("TQ5_DEVICE_REPLY_LIMIT_MS") == nullptr)
    SetEnvironmentValue("TQ5_DEVICE_REPLY_LIMIT_MS", "500");

  LoadedDriver driver;
  if (!driver.Load(error)) return Report(kExitNoDriver, error);
  if (options.action == Action::ListDevices) return ListDevices(driver.api(), stdout);

  ScannerSession session(driver.api(), stderr, interrupted);
  int status = session.Open(device);
  if (status != kExitOk) return status;
  if (options.action == Action::Test) return session.RunDiagnostics(stdout);
  if (options.waitForButton) {
    if (useEmbedded)
      std::fprintf(stderr, "tq5scan: virtual scanner: press a button with: tq5simctl --control %s click 1\n",
                   embedded.controlPath().c_str());
    status = session.WaitForButton();
    if (status != kExitOk) return status;
  }
  status = session.Initialize();
  if (status != kExitOk) return status;
  status = session.SelectSource(options);
  if (status != kExitOk) return status;
  return session.Scan(options, *target, *writer);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return Run(arguments, argc > 0 ? argv[0] : nullptr);
}
