#include "scanner_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "exit_status.h"
#include "platform.h"
#include "progress.h"

namespace tq5scan {

namespace {

// ReadScan is called for whole lines, about this many bytes at a time.
constexpr uint32_t kReadChunkBytes = 256 * 1024;
// How often the buttons are polled (real time).
constexpr auto kButtonPollInterval = std::chrono::milliseconds(50);
constexpr uint8_t kButtonPressed = 0x81;
// SetTPUMode refuses a lamp that is still warming up for at most 15 s of
// the scanner's time after the switch: attempts a second apart outlast it.
constexpr int kLampAttempts = 20;
constexpr uint32_t kLampRetryMs = 1000;

std::string Text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

std::string Text(const uint8_t* bytes, size_t offset, size_t size) {
  return Text(reinterpret_cast<const char*>(bytes) + offset, size);
}

}  // namespace

ScannerSession::ScannerSession(const DriverApi& api, std::FILE* messages, const std::atomic<bool>& interrupted)
    : api_(api), messages_(messages), interrupted_(interrupted) {}

ScannerSession::~ScannerSession() {
  if (opened_) api_.TerminateDriver();
}

int ScannerSession::Failed(const char* exportName) { return FailedWith(exportName, api_.TakeError()); }

int ScannerSession::FailedWith(const char* exportName, uint8_t code) {
  std::fprintf(messages_, "tq5scan: %s: %s\n", exportName, DriverErrorText(code).c_str());
  std::fflush(messages_);
  return DescribeDriverError(code).exitStatus;
}

void ScannerSession::Notice(const std::string& text) {
  std::fprintf(messages_, "tq5scan: %s\n", text.c_str());
  std::fflush(messages_);
}

int ScannerSession::Open(const std::string& devicePath) {
  if (api_.FindScannerEx(devicePath.c_str()) == 0) {
    const uint8_t code = api_.TakeError();
    std::fprintf(messages_, "tq5scan: cannot open %s: %s\n", devicePath.c_str(), DriverErrorText(code).c_str());
    std::fflush(messages_);
    return DescribeDriverError(code).exitStatus;
  }
  opened_ = true;
  if (api_.InitializeDriver() == 0) return Failed("InitializeDriver");
  return kExitOk;
}

int ScannerSession::WaitForButton() {
  ButtonDescription description{};
  if (api_.InitialButton(&description) == 0) return Failed("InitialButton");
  Notice("waiting for a button on the scanner to be pressed (Ctrl-C to give up)");
  while (!interrupted_.load()) {
    ButtonState state{};
    if (api_.ReadPushButton(&state) == 0) return Failed("ReadPushButton");
    if (state.pressed == kButtonPressed) {
      Notice("button " + std::to_string(state.button) + " pressed: scanning");
      return kExitOk;
    }
    std::this_thread::sleep_for(kButtonPollInterval);
  }
  Notice("interrupted");
  return kExitInterrupted;
}

int ScannerSession::Initialize() {
  if (api_.InitializeScanner() == 0) return Failed("InitializeScanner");
  return kExitOk;
}

int ScannerSession::SwitchLamp(FilmUnitMode mode) {
  // A lamp just switched on is refused (LampNotStable) until it is steady
  // or 15 s have passed since the switch; each new attempt measures again.
  for (int attempt = 1;; ++attempt) {
    if (api_.SetTPUMode(&mode) != 0) return kExitOk;
    const uint8_t code = api_.TakeError();
    if (code == kErrLampNotStable && attempt < kLampAttempts && !interrupted_.load()) {
      if (attempt == 1) Notice("waiting for the lamp to warm up");
      PlatSleep(kLampRetryMs);
      continue;
    }
    if (code == kErrLightSourceFault && mode.switchToFilm == 1) {
      Notice("SetTPUMode: error 178: no film unit is attached to the scanner");
      return kExitScannerFault;
    }
    return FailedWith("SetTPUMode", code);
  }
}

int ScannerSession::SelectSource(const Options& options) {
  FilmUnitMode mode{};
  if (options.Film()) {
    mode.switchToFilm = 1;
    // Film type 2 is the film scan with automatic tone correction; type 0
    // scans with the calibration alone and plain tone curves.
    mode.filmType = options.autoTone ? kFilmTypeAutoTone : 0;
    mode.negative = options.negative ? 1 : 0;
    return SwitchLamp(mode);
  }
  // A flatbed scan after film scans of another program that is still
  // running: the film unit is switched off first. (Otherwise the scanner's
  // initialization has already chosen the flatbed lamp.)
  if (api_.GetTPUMode(&mode) == 0) return Failed("GetTPUMode");
  if (mode.switchToFilm != 1) return kExitOk;
  mode = FilmUnitMode{};
  return SwitchLamp(mode);
}

int ScannerSession::Scan(const Options& options, OutputTarget& target, ImageWriter& writer) {
  ScanParameter parameter = BuildScanParameter(options);
  if (api_.SetScanParameter(&parameter) == 0) return Failed("SetScanParameter");
  DataStatus status{};
  api_.GetDataStatus(&status);

  const ModeInfo& mode = *options.mode;
  const uint32_t bitsPerPixel = static_cast<uint32_t>(mode.channels * mode.bitsPerSample);
  ImageShape shape;
  shape.width = status.bytesPerLine * 8 / bitsPerPixel;
  shape.height = status.lineCount;
  shape.channels = mode.channels;
  shape.bitsPerSample = mode.bitsPerSample;
  shape.xDpi = options.xResolution;
  shape.yDpi = options.yResolution;
  shape.oneBitSetIsBlack = false;  // the driver's one-bit data: a set bit is light
  if (shape.width == 0 || shape.height == 0 || shape.BytesPerRow() != status.bytesPerLine ||
      status.totalBytes != static_cast<uint64_t>(status.bytesPerLine) * status.lineCount) {
    Notice("the driver announced an image of " + std::to_string(status.bytesPerLine) + " bytes x " +
           std::to_string(status.lineCount) + " lines, which does not fit the " + mode.name + " mode");
    return kExitScannerError;
  }

  std::string error;
  if (!writer.Begin(shape, error)) {
    Notice(error);
    return kExitOutput;
  }
  if (api_.StartScan() == 0) return Failed("StartScan");

  const uint32_t linesPerRead = std::max<uint32_t>(1, kReadChunkBytes / status.bytesPerLine);
  std::vector<uint8_t> buffer(static_cast<size_t>(linesPerRead) * status.bytesPerLine);
  ProgressBar progress(messages_, status.totalBytes);
  if (options.progress) progress.Update(0);

  int result = kExitOk;
  uint32_t linesLeft = status.lineCount;
  uint64_t bytesRead = 0;
  while (linesLeft > 0) {
    if (interrupted_.load()) {
      progress.Finish();
      Notice("interrupted: scan stopped");
      result = kExitInterrupted;
      break;
    }
    const uint32_t lines = std::min(linesLeft, linesPerRead);
    const uint32_t bytes = lines * status.bytesPerLine;
    // A read of a buffered film scan collects the whole image first (the
    // driver asks for more calls only when a read asks for no bytes).
    if (api_.ReadScan(0, buffer.data(), bytes) == 0) {
      progress.Finish();
      result = Failed("ReadScan");
      break;
    }
    for (uint32_t line = 0; line < lines; ++line) {
      if (!writer.WriteRow(buffer.data() + static_cast<size_t>(line) * status.bytesPerLine, error)) {
        progress.Finish();
        Notice(error);
        result = kExitOutput;
        break;
      }
    }
    if (result != kExitOk) break;
    linesLeft -= lines;
    bytesRead += bytes;
    if (options.progress) progress.Update(bytesRead);
  }
  if (options.progress) progress.Finish();

  // StopScan ends every scan, complete or not.
  const bool stopped = api_.StopScan() != 0;
  if (result != kExitOk) return result;
  if (!writer.Finish(error) || !target.Commit(error)) {
    Notice(error);
    return kExitOutput;
  }
  // The image is complete and kept; a failed stop is still reported.
  if (!stopped) return Failed("StopScan");
  return kExitOk;
}

int ScannerSession::RunDiagnostics(std::FILE* report) {
  ScannerAbility basic{};
  ScannerAbilityEx extended{};
  FlashRamInfo flash{};
  api_.GetScannerAbility(&basic);
  api_.GetScannerAbilityEx(&extended);
  api_.ReadFlashRAMInfo(&flash);
  const uint8_t* ex = extended.bytes;
  std::fprintf(report, "Scanner: %s %s, version %s, %s interface, sensor %s\n", Text(ex, 0, 6).c_str(),
               Text(ex, 12, 20).c_str(), Text(ex, 32, 6).c_str(), Text(ex, 40, 4).c_str(), Text(ex, 60, 12).c_str());
  std::fprintf(report, "Product code %s, firmware digits %s\n", Text(basic.productCode, sizeof basic.productCode).c_str(),
               Text(basic.versionDigits, sizeof basic.versionDigits).c_str());
  std::fprintf(report, "Optical resolution %u x %u dpi, up to %u dpi\n", basic.opticalXResolution,
               basic.opticalYResolution, basic.maxResolution);
  std::fprintf(report, "Flatbed %.2f x %.2f mm, film unit %.2f x %.2f mm\n", UnitsToMillimetres(basic.flatbedWidth),
               UnitsToMillimetres(basic.flatbedHeight), UnitsToMillimetres(basic.filmUnitWidth),
               UnitsToMillimetres(basic.filmUnitHeight));
  uint32_t captureBytes = 0;
  std::memcpy(&captureBytes, flash.bytes + 10, 4);
  std::fflush(report);

  int failures = 0;
  int firstFailure = kExitOk;
  auto step = [&](const char* title, const char* exportName, auto&& call) {
    std::fprintf(report, "%-44s ", title);
    std::fflush(report);
    const auto start = std::chrono::steady_clock::now();
    if (call() == 0) {
      const uint8_t code = api_.TakeError();
      std::fprintf(report, "FAILED (%s)\n", DriverErrorText(code).c_str());
      std::fprintf(messages_, "tq5scan: %s: %s\n", exportName, DriverErrorText(code).c_str());
      std::fflush(messages_);
      ++failures;
      if (firstFailure == kExitOk) firstFailure = DescribeDriverError(code).exitStatus;
    } else {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(report, "ok (%.1f s)\n", seconds);
    }
    std::fflush(report);
    return failures == 0;
  };

  if (!step("Initialization and calibration", "InitializeScanner", [&] { return api_.InitializeScanner(); })) {
    std::fprintf(report, "Result: the scanner could not be initialized; no further tests\n");
    return firstFailure;
  }
  step("Lamp test (flatbed lamp on)", "TestScanner", [&] { return api_.TestScanner(1, 1, 0, 0); });
  step("Test scan (75 dpi grey, whole bed)", "TestScanner", [&] { return api_.TestScanner(4, 0, 0, 0); });

  std::vector<uint8_t> line(captureBytes > 0 ? captureBytes : 16320);
  const bool captured = step("Sensor line capture", "ReadFlashRAMData", [&] {
    return api_.ReadFlashRAMData(line.data(), static_cast<uint32_t>(line.size()), 0);
  });
  bool dark = false;
  if (captured) {
    // One raw line in the controller's default format: three bytes a pixel.
    const size_t pixels = line.size() / 3;
    std::fprintf(report, "Sensor line: %zu pixels, %zu bytes\n", pixels, line.size());
    unsigned brightest = 0;
    for (int channel = 0; channel < 3; ++channel) {
      unsigned low = 255, high = 0;
      uint64_t sum = 0;
      for (size_t i = 0; i < pixels; ++i) {
        const unsigned v = line[i * 3 + channel];
        low = std::min(low, v);
        high = std::max(high, v);
        sum += v;
      }
      brightest = std::max(brightest, high);
      std::fprintf(report, "  channel %d: min %3u  mean %6.1f  max %3u\n", channel, low,
                   pixels ? static_cast<double>(sum) / pixels : 0.0, high);
    }
    // A line with no sample above this level saw no lamp light at all.
    constexpr unsigned kDarkLimit = 16;
    dark = brightest < kDarkLimit;
    if (dark) std::fprintf(report, "  the sensor line is dark: the lamp gives no light\n");
  }
  // Leave the lamp on, as after an ordinary initialization.
  if (failures == 0 && dark) {
    std::fprintf(report, "Result: fault found in the sensor data\n");
    return kExitTestFailed;
  }
  if (failures == 0) {
    std::fprintf(report, "Result: all tests passed\n");
  } else {
    std::fprintf(report, "Result: %d test(s) failed\n", failures);
  }
  return firstFailure;
}

int ListDevices(const DriverApi& api, std::FILE* out) {
  // Device nodes live where their servers put them; tq5scan looks at the
  // sockets directly in the runtime directory (the natural place for a
  // tq5sim started by hand) and keeps those that answer the register
  // protocol: ReadPushButton reads one status register and changes nothing.
  std::vector<std::string> candidates;
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator(PlatRuntimeDirectory(), code)) {
    std::error_code typeCode;
    if (entry.is_socket(typeCode)) candidates.push_back(entry.path().string());
  }
  std::sort(candidates.begin(), candidates.end());
  ScannerAbilityEx ability{};
  api.GetScannerAbilityEx(&ability);
  const std::string model = Text(ability.bytes, 0, 6) + " " + Text(ability.bytes, 12, 20);
  int found = 0;
  for (const std::string& path : candidates) {
    if (api.FindScannerEx(path.c_str()) == 0) {
      api.TakeError();
      continue;
    }
    ButtonState state{};
    const bool answers = api.ReadPushButton(&state) != 0;
    api.TakeError();
    api.TerminateDriver();
    if (!answers) continue;
    std::fprintf(out, "device `%s' is a %s flatbed scanner\n", path.c_str(), model.c_str());
    ++found;
  }
  if (found == 0) std::fprintf(out, "No scanners were found in %s.\n", PlatRuntimeDirectory());
  std::fprintf(out, "The built-in virtual scanner is used when -d is not given.\n");
  return kExitOk;
}

}  // namespace tq5scan
